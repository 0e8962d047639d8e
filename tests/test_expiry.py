"""Time-to-live expiry beyond what the model test drives: the settings' errors, the timer's
calls and failures, the built-in clock, memory, and Python code run while entries expire."""
import math
import sys
import time

import pytest

from amber_moth.lru_cache import LRUCache
from conftest import assert_consistent, run_isolated


class Clock:
    """A fake timer that counts its calls."""

    def __init__(self, now=0.0):
        self.now, self.calls = now, 0

    def __call__(self):
        self.calls += 1
        return self.now


@pytest.mark.parametrize(
    "ttl, error",
    [(True, TypeError), ("1", TypeError), (1j, TypeError), (b"1", TypeError), ([1], TypeError),
     (0, ValueError), (-1, ValueError), (0.0, ValueError), (math.inf, ValueError),
     (math.nan, ValueError), (10**400, ValueError)],
)
def test_a_ttl_is_none_or_a_real_number_above_zero_and_finite(ttl, error):
    c = LRUCache(2)
    c.ttl = 2
    with pytest.raises(error):
        c.ttl = ttl
    with pytest.raises(error):
        c.set_with_ttl("k", 1, ttl)
    assert c.ttl == 2.0 and "k" not in c


def test_settings_take_numbers_and_callables_and_survive_reinitialisation():
    c = LRUCache(4)
    assert (c.ttl, c.timer) == (None, None)
    clock = Clock()
    c.ttl, c.timer = 3, clock
    assert c.ttl == 3.0 and type(c.ttl) is float and c.timer is clock
    c.__init__(8, True)
    assert (c.ttl, c.timer) == (3.0, clock)
    del c.ttl, c.timer
    assert (c.ttl, c.timer) == (None, None)
    with pytest.raises(TypeError):
        c.timer = 5
    from fractions import Fraction
    c.ttl = Fraction(1, 2)
    assert c.ttl == 0.5


def test_the_timer_is_read_once_per_operation_and_only_once_expiry_was_used():
    clock = Clock()
    c = LRUCache(4)
    c.timer = clock
    c["a"] = 1
    c.get("a"), len(c), c.keys(), c.update({"b": 2})
    with pytest.raises(TypeError):
        c.set_with_ttl([], 1, 5)  # unhashable: nothing stored, expiry still unused
    c.get("a")
    assert clock.calls == 0  # never used: the time is never read
    c.ttl = 10
    for op in (lambda: c.get("a"), lambda: c["a"], lambda: c.set("x", 1), lambda: len(c),
               lambda: c.update([(1, 1), (2, 2), (3, 3)], z=0), lambda: c.items(),
               lambda: "a" in c, lambda: c.head, lambda: c.cache_info(), lambda: c.expire()):
        clock.calls = 0
        op()
        assert clock.calls == 1
    del c.ttl
    clock.calls = 0
    c.get("a")
    assert clock.calls == 1  # once used, always read: entries may still have deadlines


@pytest.mark.parametrize(
    "reading, error", [(ZeroDivisionError, ZeroDivisionError), ("soon", TypeError),
                       (None, TypeError), (math.nan, ValueError), (-math.inf, ValueError),
                       (10**400, ValueError)]
)
def test_an_operation_whose_timer_fails_raises_with_the_cache_unchanged(make_cache, reading, error):
    c = make_cache(3)
    clock = Clock()
    c.timer, c.ttl = clock, 1
    c["a"], c["b"] = 1, 2
    clock.now = 5  # both are due, but nothing may change
    evicted = []
    c.on_evict = lambda k, v: evicted.append(k)

    def failing():
        if reading is ZeroDivisionError:
            return 1 / 0
        return reading

    c.timer = failing
    for op in (lambda: c["a"], lambda: c.set("c", 3), lambda: len(c), lambda: c.expire(),
               lambda: c.popitem(), lambda: c.resize(1), lambda: c.keys()):
        with pytest.raises(error) as raised:
            op()
        assert isinstance(raised.value.__cause__, OverflowError) == (reading == 10**400)
    c.timer = clock
    assert evicted == [] and c.expire() == 2 and evicted == ["a", "b"]


def test_the_built_in_clock_expires_entries():
    c = LRUCache(4)
    c.set_with_ttl("short", 1, 0.05)
    c.set_with_ttl("long", 2, 60)
    c["forever"] = 3
    assert c.keys() == ["short", "long", "forever"]
    time.sleep(0.2)
    assert c.keys() == ["long", "forever"] and "short" not in c


def test_expiry_memory_is_allocated_once_used_and_counted():
    c = LRUCache(1000)
    size = sys.getsizeof(c)
    c.timer = Clock()
    c.set_with_ttl("k", 1, None)
    c.ttl = None
    assert sys.getsizeof(c) == size  # never used: nothing allocated
    c.set_with_ttl("k", 1, 5)
    assert sys.getsizeof(c) - size == 16 * 1000
    c.resize(10)
    assert sys.getsizeof(c) - sys.getsizeof(LRUCache(10)) == 16 * 10
    c.ttl = 1
    c.__init__(100)  # the new store gets its deadlines with its first write that expires
    assert sys.getsizeof(c) == sys.getsizeof(LRUCache(100))
    c["a"] = 1
    assert sys.getsizeof(c) - sys.getsizeof(LRUCache(100)) == 16 * 100


def test_a_new_key_in_a_full_cache_takes_an_expired_entrys_place():
    clock = Clock()
    c = LRUCache(3)
    c.timer = clock
    evicted = []
    c.on_evict = lambda k, v: evicted.append(k)
    c["lru"] = 0
    c.set_with_ttl("late", 1, 2)
    c.set_with_ttl("early", 2, 1)
    c["lru"]  # the least recently used is now "late"
    clock.now = 1
    c["new"] = 3
    assert evicted == ["early"] and c.keys() == ["late", "lru", "new"]
    clock.now = 2
    c["newer"] = 4
    assert evicted == ["early", "late"]
    c["newest"] = 5
    assert evicted == ["early", "late", "lru"]
    assert_consistent(c)


def test_purging_never_scans_live_entries():
    """A full cache of 100,000 entries that all expire under a stream of new keys: each store
    takes out the one entry due, so a store costs about what a store that evicts costs in
    the same cache without a ttl (a scan of the live entries would cost 1,000 times more).
    Gross bound, as the timed stores also call a Python timer: within 20 times."""
    def run(ttl):
        clock = Clock()
        c = LRUCache(100_000)
        c.timer = clock
        c.ttl = ttl
        for i in range(100_000):
            clock.now = i
            c[i] = i
        start = time.perf_counter()
        for i in range(100_000, 120_000):
            clock.now = i
            c[i] = i
        assert len(c) == 100_000 and c.cache_info().currsize == 100_000
        return time.perf_counter() - start
    assert min(run(100_000) for _ in range(3)) < 20 * min(run(None) for _ in range(3))


@pytest.mark.parametrize("thread_safe", ["unlocked", "thread_safe"])
@pytest.mark.parametrize("scenario", ["timer", "hook", "eq_clock", "eq_ttl", "finaliser"])
def test_python_code_run_while_entries_expire_leaves_the_cache_consistent(thread_safe, scenario):
    out = run_isolated("expiry_re_entry.py", scenario, thread_safe)
    assert out == "ok\n"


def test_threads_using_a_cache_while_entries_expire():
    assert run_isolated("expiry_threads.py", timeout=300) == "ok\n"


def test_expiry_without_memory_fails_before_changing_anything():
    out = run_isolated("expiry_without_memory_fails_before_changing_anything.py")
    assert out == "[False, True]\n"
