"""What a user installs: the sdist's contents, the licence in the installed metadata, a lean
release module, and builds that leave nothing behind for a later pip install to reuse."""
import importlib.metadata
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile

import pytest

import amber_moth.lru_cache

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The variants that scripts/build makes with the store's assertions and debug information.
CHECKED_VARIANTS = {"asan", "debug", "checked", "slotless"}
checked_build = os.environ.get("AMBER_MOTH_VARIANT") in CHECKED_VARIANTS
MODULE = pathlib.Path(amber_moth.lru_cache.__file__)
INTERMEDIATES = ("lib.", "temp.", "bdist.")


def clean_env():
    """The environment without the sanitizer runtimes, for tools that build rather than test."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}


def installed(module):
    """Whether module is importable as a real module, not as a namespace made of a folder
    that happens to bear its name (such as the source tree's build/)."""
    spec = importlib.util.find_spec(module)
    return spec is not None and spec.origin is not None


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The names in an sdist built from the tree (less the top folder), and its PKG-INFO."""
    if not installed("build"):
        pytest.skip("the build module is not installed")
    out = tmp_path_factory.mktemp("sdist")
    # Run from elsewhere: in the source tree, `-m build` would import its build/ folder.
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
        cwd=out, env=clean_env(), check=True, capture_output=True,
    )
    [path] = out.glob("amber_moth-*.tar.gz")
    with tarfile.open(path) as tar:
        top = tar.getnames()[0].split("/")[0]
        names = {name.removeprefix(top + "/") for name in tar.getnames()}
        return names, tar.extractfile(f"{top}/PKG-INFO").read().decode()


def test_sdist_ships_its_tests_and_licence(sdist):
    names, pkg_info = sdist
    tests = {str(p.relative_to(ROOT)) for p in (ROOT / "tests").rglob("*.py")}
    shipped = {"LICENSE", "README.md", "pyproject.toml", "setup.py"} | {
        f"src/amber_moth/{name}" for name in ("__init__.py", "lru_cache.cpp", "utils.h", "lru_cache.pyi", "py.typed")
    }
    assert shipped | tests <= names
    assert not [n for n in names if n.split("/")[0] in ("build", "dist", "bench", "docs", "scripts", ".ci")]
    assert not [n for n in names if "__pycache__" in n or n.endswith(".so")]
    assert "License-File: LICENSE" in pkg_info and "License-Expression: MIT" in pkg_info


def test_long_description_is_the_readme_with_no_relative_link(sdist):
    """The package index page shows the README without the repository around it."""
    pkg_info = sdist[1]
    assert "Description-Content-Type: text/markdown" in pkg_info
    description = pkg_info.split("\n\n", 1)[1]
    assert description.startswith("# amber_moth\n")
    targets = re.findall(r"\]\(([^)]*)\)", description)
    assert [t for t in targets if not t.startswith(("https://", "http://", "#"))] == []


def test_installed_metadata_carries_the_licence():
    dist = importlib.metadata.distribution("amber_moth")
    assert dist.metadata["License-Expression"] == "MIT"
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    licence = next(f for f in dist.files if f.name == "LICENSE")
    assert "Permission is hereby granted" in licence.read_text()
    assert dist.metadata["Requires-Python"] == ">=3.13"


def test_version_is_the_metadata_version():
    assert amber_moth.__version__ == importlib.metadata.version("amber_moth")


def test_debug_information_only_in_checked_builds():
    assert (b".debug_info" in MODULE.read_bytes()) == checked_build


def test_installed_files_are_the_package_alone():
    dist = importlib.metadata.distribution("amber_moth")
    files = [f for f in dist.files if "__pycache__" not in f.parts]
    assert {f.parts[0] for f in files} == {"amber_moth", f"amber_moth-{dist.version}.dist-info"}
    package = {f.name for f in files if f.parts[0] == "amber_moth"}
    assert package == {"__init__.py", "py.typed", "lru_cache.pyi", "func.py", "func.pyi", MODULE.name}


def readelf(*options):
    return subprocess.run(
        ["readelf", "--wide", *options, str(MODULE)], env=clean_env(), check=True, capture_output=True, text=True,
    ).stdout


@pytest.mark.skipif(checked_build, reason="checked builds keep their symbols and sanitizer runtimes")
@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf (binutils)")
def test_release_module_is_stripped_and_needs_libc_alone():
    """What a wheel ships: no symbol table or debug sections, PyInit_lru_cache the one export,
    nothing of a sanitizer or of the checked build's assertions, and libc and the loader the
    only libraries (the module takes nothing from libstdc++ or libgcc_s)."""
    sections = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", readelf("--section-headers"), re.MULTILINE)
    assert ".dynsym" in sections
    assert not [s for s in sections if s == ".symtab" or s.startswith((".debug", ".zdebug"))]
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", readelf("--dynamic"))
    assert [n for n in needed if not n.startswith(("libc.so", "ld-linux"))] == [], needed
    # Num: Value Size Type Bind Vis Ndx Name[@version]
    symbols = [line.split() for line in readelf("--dyn-syms").splitlines() if re.match(r"\s*\d+:", line)]
    exported = [s[7] for s in symbols if len(s) > 7 and s[6] != "UND" and s[4] != "LOCAL"]
    assert exported == ["PyInit_lru_cache"]
    imported = [s[7].split("@")[0] for s in symbols if len(s) > 7 and s[6] == "UND"]
    unwanted = ("__asan", "__ubsan", "__sanitizer", "__assert_fail", "__gxx_personality", "_Unwind")
    assert not [name for name in imported if name.startswith(unwanted)]


@pytest.mark.parametrize("breaks", [False, True], ids=["success", "failure"])
def test_builds_leave_no_setuptools_intermediates(breaks):
    """After make asan, a pip install . would reuse ASan-linked objects left in build/. And a
    failed build leaves no previous build of its variant to be imported in its place."""
    script = ROOT / "scripts" / "build"
    if not script.exists() or not installed("setuptools"):
        pytest.skip("scripts/build runs in the repository, with setuptools at hand")
    env = clean_env() | {"CXXFLAGS": "-include /nonexistent.h" if breaks else "-Werror"}
    variant = ROOT / "build" / "intermediates-check"
    (variant / "amber_moth").mkdir(parents=True, exist_ok=True)  # a previous build
    proc = subprocess.run(
        [str(script), "intermediates-check", sys.executable], env=env, capture_output=True, text=True,
    )
    try:
        assert (proc.returncode != 0) == breaks, proc.stderr
        assert variant.is_dir() != breaks
        assert not [p.name for p in (ROOT / "build").iterdir() if p.name.startswith(INTERMEDIATES)]
        assert not (ROOT / "build" / "intermediates-check.new").exists()
    finally:
        shutil.rmtree(variant, ignore_errors=True)


def test_benchmark_scripts_compile():
    """`make bench` and `make bench-callgrind` run them; a syntax error would surface only there."""
    scripts = sorted((ROOT / "bench").glob("*.py"))
    if not scripts:
        pytest.skip("a checkout's file (the sdist carries no benchmarks)")
    for script in scripts:
        compile(script.read_text(encoding="utf-8"), str(script), "exec")
