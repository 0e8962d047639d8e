"""Several threads on one cache: no deadlock, no corruption, values always match their keys."""
import random
import sys
import threading
import time

import pytest

from amber_moth.lru_cache import LRUCache
from conftest import Collide, assert_consistent, run_isolated


@pytest.fixture
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def hammer(cache, threads, ops, seed_base=0, check_values=True):
    errors = []
    barrier = threading.Barrier(threads)

    def worker(seed):
        rng = random.Random(seed)
        try:
            barrier.wait()
            for _ in range(ops):
                n = rng.randrange(64)
                key = Collide(n, n % 5) if n % 2 else n
                r = rng.random()
                if r < 0.4:
                    cache[key] = ("v", n)
                elif r < 0.7:
                    v = cache.get(key)
                    assert not check_values or v is None or v == ("v", n), (key, v)
                elif r < 0.8:
                    v = cache.pop(key)
                    assert not check_values or v is None or v == ("v", n), (key, v)
                elif r < 0.85:
                    cache.delete(key)
                elif r < 0.9:
                    key in cache
                elif r < 0.95:
                    items = cache.items()
                    assert len(items) <= cache.capacity
                elif r < 0.99:
                    cache.head, cache.tail, len(cache)
                else:
                    cache.clear()
        except BaseException as e:  # re-raised in the main thread
            errors.append(e)

    workers = [threading.Thread(target=worker, args=(seed_base + i,)) for i in range(threads)]
    for w in workers:
        w.start()
    deadline = time.monotonic() + 240
    for w in workers:
        w.join(max(0.0, deadline - time.monotonic()))
    assert not any(w.is_alive() for w in workers), "deadlock: workers still running"
    if errors:
        raise errors[0]
    assert_consistent(cache)


@pytest.mark.parametrize("thread_safe", [True, False], ids=["thread_safe", "unlocked"])
def test_threads_hammer_one_cache(tiny_switch_interval, thread_safe):
    hammer(LRUCache(16, thread_safe), threads=16, ops=10_000)


@pytest.mark.parametrize("locking", ["thread_safe", "unlocked"])
def test_threads_hammer_the_new_operations(locking):
    out = run_isolated("threads_hammer_the_new_operations.py", locking, timeout=240)
    assert out == "ok\n"


def test_on_evict_runs_on_the_thread_that_evicted(make_cache):
    cache = make_cache(1)
    cache["main"] = 0
    calls = []
    cache.on_evict = lambda key, value: calls.append((key, threading.get_ident()))
    worker = threading.Thread(target=lambda: (cache.__setitem__("worker", 1), cache.resize(1)))
    worker.start()
    worker.join(30)
    cache.resize(2)
    cache["a"], cache["b"] = 2, 3
    assert calls == [("main", worker.ident), ("worker", threading.get_ident())]


def test_waiting_thread_does_not_stall_the_holder(tiny_switch_interval):
    """The holder runs a slow __eq__ while another thread waits for the lock: the waiter must
    give up the interpreter, or the holder could never finish."""
    cache = LRUCache(8, thread_safe=True)
    started = threading.Event()

    class Slow:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            started.set()
            end = time.monotonic() + 0.3
            while time.monotonic() < end:
                pass
            return False

    cache[Slow()] = 1
    waiter_done = []

    def waiter():
        started.wait()
        cache["x"] = 2
        waiter_done.append(True)

    t = threading.Thread(target=waiter)
    t.start()
    assert cache.get(Slow()) is None
    t.join(30)
    assert not t.is_alive() and waiter_done
    assert cache["x"] == 2


@pytest.mark.parametrize("thread_safe", [True, False], ids=["thread_safe", "unlocked"])
def test_reinit_from_another_thread_mid_operation_waits_or_is_refused(thread_safe):
    """A thread-safe cache's __init__ waits for the other thread's operation; one without a
    lock cannot tell when it ends, and refuses."""
    cache = LRUCache(4, thread_safe)
    inside, release = threading.Event(), threading.Event()

    class Blocking:
        def __hash__(self):
            return 5

        def __eq__(self, other):
            inside.set()
            release.wait(30)
            return False

    cache[Blocking()] = "stored"
    t = threading.Thread(target=lambda: cache.get(Blocking()))
    t.start()
    assert inside.wait(30)
    if thread_safe:
        threading.Timer(0.2, release.set).start()
        cache.__init__(8)
        assert release.is_set()
        t.join(30)
        assert cache.capacity == 8 and cache.values() == []
        return
    with pytest.raises(RuntimeError, match="operations is running"):
        cache.__init__(8)
    release.set()
    t.join(30)
    assert cache.capacity == 4 and cache.values() == ["stored"]


def test_thread_safe_resize_and_reinit_wait_for_other_threads():
    out = run_isolated("thread_safe_resize_and_reinit_wait_for_other_threads.py", 3000, timeout=300)
    assert out == "ok\n"
    out = run_isolated("thread_safe_resize_and_reinit_wait_for_other_threads.py", "shutdown", timeout=60)
    assert out.split() == ["refused", "refused"]


def test_finalisers_run_on_the_thread_that_dropped_them():
    out = run_isolated("finalisers_run_on_the_thread_that_dropped_them.py", timeout=60)
    assert out == "ok\n"


def test_clear_without_memory_stops_while_another_thread_re_initialises():
    out = run_isolated("clear_without_memory_stops_while_another_thread_re_initialises.py", timeout=90)
    assert out == "ok\n"


def test_comparisons_of_two_threads_see_each_others_stores():
    out = run_isolated("comparisons_of_two_threads_see_each_others_stores.py")
    assert out == "ok\n"
