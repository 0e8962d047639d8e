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


@pytest.mark.parametrize("thread_safe", [True, False], ids=["thread_safe", "unlocked"])
def test_threads_hammer_the_new_operations(thread_safe):
    """popitem, peek, update, setdefault, resize and cache_info from many threads: values
    match their keys, resize is refused (never run) while another thread's operation is under
    way, and the hook is called only on a thread making an operation that can evict. In a
    subprocess: a resize under another thread's operation would free the store it uses."""
    out = run_isolated(
        f"""
import random, sys, threading
sys.setswitchinterval(1e-6)

class Collide:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return self.n % 5
    def __eq__(self, other):
        return isinstance(other, Collide) and self.n == other.n

cache = LRUCache(16, {thread_safe})
evicting = threading.local()
errors = []

def check(key, value):
    n = key.n if isinstance(key, Collide) else key
    assert value == ("v", n), (key, value)

def on_evict(key, value):
    try:
        assert getattr(evicting, "now", False), "hook called on a thread that did not evict"
        check(key, value)
    except BaseException as e:
        errors.append(e)

cache.on_evict = on_evict

def worker(seed):
    rng = random.Random(seed)
    try:
        for _ in range(5_000):
            n = rng.randrange(64)
            key = Collide(n) if n % 2 else n
            r = rng.random()
            evicting.now = r < 0.55
            if r < 0.2:
                cache[key] = ("v", n)
            elif r < 0.35:
                cache.update([(key, ("v", n))])
            elif r < 0.5:
                check(key, cache.setdefault(key, ("v", n)))
            elif r < 0.55:
                try:
                    cache.resize(rng.randrange(4, 32))
                except RuntimeError as e:
                    assert "while one of its operations is running" in str(e)
            elif r < 0.7:
                value = cache.peek(key)
                assert value is None or check(key, value) is None
            elif r < 0.85:
                try:
                    check(*cache.popitem())
                except KeyError:
                    pass
            else:
                info = cache.cache_info()
                assert info.currsize <= info.maxsize, info
            evicting.now = False
    except BaseException as e:
        errors.append(e)

workers = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
for w in workers:
    w.start()
for w in workers:
    w.join()
if errors:
    raise errors[0]
assert_consistent(cache)
print("ok")
""",
        timeout=240,
    )
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
def test_reinit_from_another_thread_mid_operation_is_refused(thread_safe):
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
    with pytest.raises(RuntimeError, match="operations is running"):
        cache.__init__(8)
    release.set()
    t.join(30)
    assert cache.capacity == 4 and cache.values() == ["stored"]


def test_finalisers_run_on_the_thread_that_dropped_them():
    # Thread B deletes an entry; while B drops its key, thread A takes the cache lock for an
    # unrelated get() with an application lock held. The value's finaliser runs on B, and A
    # is never made to run it (which would deadlock on the application lock).
    out = run_isolated(
        """
import threading
cache = LRUCache(8, thread_safe=True)
app = threading.Lock()
a_holds_cache_lock = threading.Event()
b_continues = threading.Event()
ran = []
class Key:
    def __hash__(self):
        return 1
    def __eq__(self, other):
        return isinstance(other, KeyProbe)
    def __del__(self):
        a.start()
        a_holds_cache_lock.wait(10)
class Value:
    def __del__(self):
        b_continues.set()
        acquired = app.acquire(timeout=5)
        if acquired:
            app.release()
        ran.append((threading.current_thread().name, acquired))
class Waits:
    def __hash__(self):
        return 2
    def __eq__(self, other):
        a_holds_cache_lock.set()
        b_continues.wait(5)
        return False
class Probe:
    def __hash__(self):
        return 2
class KeyProbe:
    def __hash__(self):
        return 1
def a_gets():
    with app:
        cache.get(Probe())
a = threading.Thread(target=a_gets, name="A")
key = Key()
cache[key] = Value()
cache[Waits()] = 0
b = threading.Thread(target=lambda: cache.delete(KeyProbe()), name="B")
del key
b.start()
b.join(20)
a.join(20)
assert ran == [("B", True)], ran
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


def test_clear_without_memory_stops_while_another_thread_re_initialises():
    # clear() falls back to removing one entry at a time; between two steps another thread's
    # __init__ is still dropping the old entries (the cache has no store): clear() stops.
    out = run_isolated(
        """
import _testcapi, threading, time
for thread_safe in (False, True):
    c = LRUCache(8, thread_safe)
    go = threading.Event()
    class V:
        def __init__(self, i):
            self.i = i
        def __del__(self):
            if threading.current_thread().name == "A" and self.i == 0:
                go.set()
                time.sleep(0.3)  # A, between two steps
            elif threading.current_thread().name == "B":
                time.sleep(0.6)  # B, inside __init__, dropping the old entries
    for i in range(4):
        c[i] = V(i)
    def clears():
        _testcapi.set_nomemory(0, 1)  # only clear()'s array fails
        c.clear()
        _testcapi.remove_mem_hooks()
    a = threading.Thread(target=clears, name="A")
    b = threading.Thread(target=lambda: (go.wait(10), c.__init__(8, thread_safe)), name="B")
    b.start(); a.start(); a.join(30); b.join(30)
    c["after"] = 1
    assert_consistent(c)
print("ok")
""",
        timeout=90,
    )
    assert out == "ok\n"


def test_comparisons_of_two_threads_see_each_others_stores():
    # Thread A and then thread B compare their equal probes with a stored key of the same
    # hash, each waiting inside the comparison. A finishes first (its comparison is not the
    # newest under way) and stores its key in a slot B has passed; B, told that a key of its
    # hash was stored, looks again and finds it rather than storing it twice.
    out = run_isolated(
        """
import threading
class Key:
    def __init__(self, n, entered=None, go=None):
        self.n, self.entered, self.go = n, entered, go
    def __hash__(self):
        return 5
    def __eq__(self, other):
        if other.entered is not None:
            entered, other.entered = other.entered, None
            entered.set()
            other.go.wait(10)
        return self.n == other.n
cache = LRUCache(8)
cache[Key(9)] = 9
cache[Key(0)] = 0
del cache[Key(9)]  # a free slot before Key(0) on the path: where A's key goes
events = {name: (threading.Event(), threading.Event()) for name in "ab"}
threads = {name: threading.Thread(target=cache.__setitem__, args=(Key(1, *events[name]), name))
           for name in "ab"}
for name in "ab":
    threads[name].start()
    assert events[name][0].wait(10)
for name in "ab":
    events[name][1].set()
    threads[name].join(10)
assert len(cache) == 2 and cache[Key(1)] == "b", (len(cache), cache.items())
assert_consistent(cache)
print("ok")
"""
    )
    assert out == "ok\n"
