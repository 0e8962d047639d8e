import os
import pathlib
import subprocess
import sys

import pytest

from amber_moth.lru_cache import LRUCache

# The programs that tests run in processes of their own, each a file runnable as it stands
# (python3.14 tests/isolated/NAME.py ARGS...), and the helpers they share with the tests.
ISOLATED = pathlib.Path(__file__).parent / "isolated"
collect_ignore = ["isolated"]
pytest.register_assert_rewrite("isolated.support")
from isolated.support import Collide, assert_consistent  # noqa: E402


def run_isolated(program, *args, timeout=120):
    """Runs isolated/PROGRAM with ARGS in a fresh interpreter (so that a crash fails the test
    rather than the run) and returns its stdout."""
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(ISOLATED / program), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=os.environ.copy(),
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


# Under AddressSanitizer or memcheck, freed memory is quarantined and the address space is
# the tool's own: process size says nothing and capping it breaks the tool.
memory_is_instrumented = any(
    tool in os.environ.get("LD_PRELOAD", "") for tool in ("libasan", "vgpreload")
)
needs_plain_memory = pytest.mark.skipif(
    memory_is_instrumented, reason="memory is instrumented by ASan or valgrind"
)


@pytest.fixture(params=[False, True], ids=["unlocked", "thread_safe"])
def make_cache(request):
    """Builds caches with and without thread safety."""
    return lambda capacity=128: LRUCache(capacity, request.param)
