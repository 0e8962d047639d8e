"""The shipped stub: it matches the runtime, documents it, typed use passes mypy, misuse is
caught."""
import ast
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import amber_moth

HERE = pathlib.Path(__file__).parent / "typing"
PACKAGE = pathlib.Path(amber_moth.__file__).parent


def mypy(path, tmp_path):
    """mypy on path, finding the package where this interpreter imports it from. (Naming that
    folder in MYPYPATH breaks when it is a site-packages: mypy refuses it, or takes the
    typing_extensions installed there for a copy of its own.)"""
    exe = shutil.which("mypy")
    if exe is None:
        pytest.skip("mypy is not installed")
    env = {"PATH": "/usr/bin:/bin"}
    if "PYTHONPATH" in os.environ:
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    return subprocess.run(
        [exe, "--strict", "--no-incremental", f"--cache-dir={tmp_path}", "--python-version=3.14",
         f"--python-executable={sys.executable}", str(path)],
        capture_output=True, text=True, cwd=tmp_path, env=env,
    )


def test_stubs_and_marker_ship_with_the_package():
    assert all((PACKAGE / name).exists() for name in ("py.typed", "lru_cache.pyi", "func.pyi"))


@pytest.mark.parametrize("program", ["usage.py", "func_usage.py"])
def test_typed_usage_passes(program, tmp_path):
    proc = mypy(HERE / program, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("program", ["misuse.py", "func_misuse.py"])
def test_misuse_is_reported(program, tmp_path):
    path = HERE / program
    marked = {
        number for number, line in enumerate(path.read_text().splitlines(), 1)
        if line.endswith("# rejected")
    }
    proc = mypy(path, tmp_path)
    assert proc.returncode == 1
    reported = {int(n) for n in re.findall(rf"^[^:\n]*{re.escape(program)}:(\d+): error:", proc.stdout, re.M)}
    assert reported == marked, proc.stdout


@pytest.mark.parametrize("module", ["amber_moth.lru_cache", "amber_moth.func"])
def test_stub_matches_the_runtime(module, tmp_path):
    pytest.importorskip("mypy.stubtest", reason="mypy does not run on this interpreter")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        capture_output=True, text=True, cwd=tmp_path, env=os.environ.copy(),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_every_method_and_property_is_documented():
    stub = ast.parse((PACKAGE / "lru_cache.pyi").read_text())
    [cls] = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "LRUCache"]
    defs = [node for node in cls.body if isinstance(node, ast.FunctionDef)]
    documented = {node.name for node in defs if ast.get_docstring(node)}
    assert ast.get_docstring(cls)
    assert {node.name for node in defs} - documented == set()
