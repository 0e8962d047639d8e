import os
import subprocess
import sys
import textwrap

import pytest

from amber_moth.lru_cache import LRUCache

# Helpers shared with the programs in isolated/, which run them in their own processes.
pytest.register_assert_rewrite("isolated.support")
from isolated.support import assert_consistent  # noqa: E402


class Collide:
    """Keys that share one hash (`h`) and are equal when their numbers are."""

    __slots__ = ("n", "h")

    def __init__(self, n, h=7):
        self.n, self.h = n, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Collide) and self.n == other.n

    def __repr__(self):
        return f"Collide({self.n})"


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter (so a crash fails the test rather than the run) and
    returns its stdout. The child gets this file's helpers and LRUCache already imported."""
    prelude = "from amber_moth.lru_cache import LRUCache\n" + _helpers_source()
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=os.environ.copy(),
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


def _helpers_source():
    import inspect

    return inspect.getsource(assert_consistent) + "\n"


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
