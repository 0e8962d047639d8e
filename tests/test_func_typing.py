"""The memoising module's stub: it matches the runtime, typed use passes mypy --strict, and
misuse is caught."""
import os
import subprocess
import sys

import pytest

from test_typing import HERE, mypy


def test_typed_usage_passes(tmp_path):
    proc = mypy(HERE / "func_usage.py", tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_misuse_is_reported(tmp_path):
    proc = mypy(HERE / "func_misuse.py", tmp_path)
    assert proc.returncode == 1
    assert proc.stdout.count("error:") == 4, proc.stdout


def test_stub_matches_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest", reason="mypy does not run on this interpreter")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "amber_moth.func"],
        capture_output=True, text=True, cwd=tmp_path, env=os.environ.copy(),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
