"""What a user installs: the sdist's contents, the licence in the installed metadata, a lean
release module, and builds that leave nothing behind for a later pip install to reuse."""
import importlib.metadata
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile

import pytest

import amber_moth.lru_cache

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The variants that scripts/build makes with the store's assertions and debug information.
CHECKED_VARIANTS = {"asan", "debug", "checked", "slotless"}
INTERMEDIATES = ("lib.", "temp.", "bdist.")


def clean_env():
    """The environment without the sanitizer runtimes, for tools that build rather than test."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}


def installed(module):
    """Whether module is importable as a real module, not as a namespace made of a folder
    that happens to bear its name (such as the source tree's build/)."""
    spec = importlib.util.find_spec(module)
    return spec is not None and spec.origin is not None


def test_sdist_ships_its_tests_and_licence(tmp_path):
    if not installed("build"):
        pytest.skip("the build module is not installed")
    # Run from elsewhere: in the source tree, `-m build` would import its build/ folder.
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(tmp_path), str(ROOT)],
        cwd=tmp_path, env=clean_env(), check=True, capture_output=True,
    )
    [sdist] = tmp_path.glob("amber_moth-*.tar.gz")
    with tarfile.open(sdist) as tar:
        top = tar.getnames()[0].split("/")[0]
        names = {name.removeprefix(top + "/") for name in tar.getnames()}
        pkg_info = tar.extractfile(f"{top}/PKG-INFO").read().decode()
    tests = {str(p.relative_to(ROOT)) for p in (ROOT / "tests").rglob("*.py")}
    shipped = {"LICENSE", "README.md", "pyproject.toml", "setup.py"} | {
        f"src/amber_moth/{name}" for name in ("__init__.py", "lru_cache.cpp", "utils.h", "lru_cache.pyi", "py.typed")
    }
    assert shipped | tests <= names
    assert not [n for n in names if n.split("/")[0] in ("build", "bench", "docs", "scripts", ".ci")]
    assert not [n for n in names if "__pycache__" in n or n.endswith(".so")]
    assert "License-File: LICENSE" in pkg_info and "License-Expression: MIT" in pkg_info


def test_installed_metadata_carries_the_licence():
    dist = importlib.metadata.distribution("amber_moth")
    assert dist.metadata["License-Expression"] == "MIT"
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    licence = next(f for f in dist.files if f.name == "LICENSE")
    assert "Permission is hereby granted" in licence.read_text()
    assert dist.metadata["Requires-Python"] == ">=3.13"


def test_debug_information_only_in_checked_builds():
    module = pathlib.Path(amber_moth.lru_cache.__file__).read_bytes()
    checked = os.environ.get("AMBER_MOTH_VARIANT") in CHECKED_VARIANTS
    assert (b".debug_info" in module) == checked


@pytest.mark.parametrize("breaks", [False, True], ids=["success", "failure"])
def test_builds_leave_no_setuptools_intermediates(breaks):
    """After make asan, a pip install . would reuse ASan-linked objects left in build/."""
    script = ROOT / "scripts" / "build"
    if not script.exists() or not installed("setuptools"):
        pytest.skip("scripts/build runs in the repository, with setuptools at hand")
    env = clean_env() | {"CXXFLAGS": "-include /nonexistent.h" if breaks else "-Werror"}
    proc = subprocess.run(
        [str(script), "intermediates-check", sys.executable], env=env, capture_output=True, text=True,
    )
    variant = ROOT / "build" / "intermediates-check"
    try:
        assert (proc.returncode != 0) == breaks, proc.stderr
        assert variant.is_dir() != breaks
        assert not [p.name for p in (ROOT / "build").iterdir() if p.name.startswith(INTERMEDIATES)]
        assert not (ROOT / "build" / "intermediates-check.new").exists()
    finally:
        shutil.rmtree(variant, ignore_errors=True)
