import os
import subprocess
import sys
import textwrap

import pytest

from amber_moth.lru_cache import LRUCache


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


def assert_consistent(cache):
    """The invariants every view of a cache must agree on, whatever ran before."""
    keys = cache.keys()
    values = cache.values()
    items = cache.items()
    assert len(cache) == cache.length() == len(keys) == len(values) == len(items)
    assert len(keys) <= cache.capacity
    assert items == list(zip(keys, values))
    assert list(cache) == keys
    assert cache.head is (keys[0] if keys else None)
    assert cache.tail is (keys[-1] if keys else None)
    for key in keys:
        assert key in cache


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter (so a crash fails the test rather than the run) and
    returns its stdout. The child gets this file's helpers and LRUCache already imported."""
    prelude = "from amber_moth.lru_cache import LRUCache\n" + _helpers_source()
    return _run_child(["-c", prelude + textwrap.dedent(code)], timeout)


def run_program(name, *args, timeout=60):
    """Runs the program tests/isolated/NAME with ARGS in a fresh interpreter (a crash or a
    hang fails the test rather than the run) and returns its stdout."""
    return _run_child([os.path.join(os.path.dirname(__file__), "isolated", name), *args], timeout)


def _run_child(arguments, timeout):
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", *arguments],
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
