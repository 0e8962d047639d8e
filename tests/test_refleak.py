"""Reference leaks, measured on a debug interpreter (make refleak) by the rule CPython's own
regression tests use: warm up, then measure sys.gettotalrefcount() over repeated rounds; an
operation leaks when every measured round, less an empty round's drift, gained references."""
import asyncio
import gc
import pickle
import sys

import pytest

from amber_moth.func import alru_cache, cache, lru_cache
from amber_moth.lru_cache import LRUCache
from conftest import Collide

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (make refleak)"
)

WARMUPS, RUNS, REPEAT = 3, 5, 50


class RaisingEq(Collide):
    __hash__ = Collide.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError


class Finalised:
    """A value whose __del__ re-enters the cache it lives in."""

    def __init__(self, cache):
        self.cache = cache

    def __del__(self):
        try:
            self.cache[("from del", id(self))] = 1
            self.cache.pop(("from del", id(self)))
        except RuntimeError:
            pass


def attempt(fn, *args):
    try:
        fn(*args)
    except (KeyError, TypeError, ValueError, ZeroDivisionError, RuntimeError, MemoryError,
            OverflowError):
        pass


def filled(capacity=8, thread_safe=False):
    c = LRUCache(capacity, thread_safe)
    for i in range(capacity):
        c[f"k{i}"] = [i]
    return c


class Sub(LRUCache):
    pass


def op_keyed(c):
    c.get("k1"), c.get("zz"), c.get("zz", []), c["k2"], c.has("k3"), "k4" in c, "no" in c
    c.set("new", [1]), c.__setitem__("k5", [2]), c.pop("k6"), c.pop("zz", []), c.delete("k7")
    attempt(c.__getitem__, "zz"), attempt(c.__delitem__, "zz"), attempt(c.__delitem__, ("t", 1))
    c[("tuple", 1)] = object()
    del c[("tuple", 1)]


def op_errors(c):
    for op in (c.get, c.has, c.delete, c.pop, c.__getitem__, c.__delitem__, c.__contains__):
        attempt(op, [1])
    attempt(c.set, [1], 1), attempt(c.set, 1), attempt(c.get), attempt(c.pop, 1, 2, 3)
    attempt(c.keys, 1), attempt(c.__setitem__, {}, 1)
    c[Collide(1)] = 1
    for op in (c.get, c.has, c.pop, c.delete, c.__getitem__, c.__delitem__):
        attempt(op, RaisingEq(2))
    attempt(c.set, RaisingEq(2), 1)
    attempt(pickle.dumps, c)
    c.delete(Collide(1))


def op_bulk(c):
    c.keys(), c.values(), c.items(), list(c), c.head, c.tail, c.capacity, len(c), c.length()
    list(iter(c)), bool(c), sys.getsizeof(c), LRUCache[str, int], LRUCache[str, int](2)


def op_eviction_and_clear(c):
    for i in range(20):
        c[("evict", i)] = [i]
    c.clear()
    for i in range(8):
        c[f"k{i}"] = [i]


def op_lifecycle(c):
    d = LRUCache(4, True)
    d["a"] = [1]
    d.__init__(2)
    d["b"] = [2]
    attempt(d.__init__, "bad")
    attempt(d.__init__, 2**62)
    attempt(d.__init__, 2**70)
    s = Sub(3)
    s["x"] = [3]
    del s
    u = LRUCache.__new__(LRUCache)
    attempt(u.get, 1), attempt(len, u)
    del d, u


def op_finalisers(c):
    d = LRUCache(3)
    for i in range(6):
        d[i] = Finalised(d)
    d.pop(5), d.delete(4), d.clear()
    d[0] = Finalised(d)
    d.__init__(2)
    d[1] = Finalised(d)
    d.clear()  # the value refers to the cache: a cycle the collector cannot see
    del d


class PopsOnEq(Collide):
    """A stored key whose comparison pops another entry: the pop's drops may be deferred."""

    __hash__ = Collide.__hash__

    def __eq__(self, other):
        self.cache.pop(self.victim, None)
        self.cache.clear()
        return False


def op_deferred_and_deep(c):
    c.setdefault("k1"), c.setdefault("new", [1]), c.setdefault(("t", 2), [2])
    attempt(c.setdefault, [1]), attempt(c.__getitem__, KeyError("absent"))
    key = PopsOnEq(1)
    key.cache, key.victim = c, "k3"
    c[key] = [1]
    c.get(Collide(2))  # same hash: compares with key, which pops and clears
    chain = None
    for _ in range(40):  # deeper than the nesting that is freed at once
        link = LRUCache(1)
        link[0] = chain
        chain = link
    del chain, link


def op_popitem_peek_update_resize(c):
    c.peek("k1"), c.peek("zz"), c.peek("zz", []), c.popitem(), c.cache_info()
    c.update({"u1": [1]}, u2=[2])
    c.update([("u3", [3]), ["u4", [4]], "ab"])
    c.update(iter([("u5", [5])]))
    c.resize(3), c.resize(20), c.resize(20), c.resize(0)
    for i in range(4):
        c[("new", i)] = [i]
    while c:
        c.popitem()
    attempt(c.popitem)
    attempt(c.update, [("x", [1]), 7]), attempt(c.update, [("y", [1], 2)]), attempt(c.update, 5)
    attempt(c.update, [([], 1)]), attempt(c.update, {"z": 1}, {}), attempt(c.peek, [1])
    attempt(c.peek, RaisingEq(2)), attempt(c.update, [(RaisingEq(2), 1)])
    attempt(c.resize, 2**62), attempt(c.resize, 2**70), attempt(c.resize, "x")


class EvictsOnEq(Collide):
    """A stored key whose comparison stores keys that evict: on a thread-safe cache the
    hook's calls are deferred until the outer lookup ends."""

    __hash__ = Collide.__hash__

    def __eq__(self, other):
        self.cache.update([(("from eq", i), [i]) for i in range(3)])
        return False


def op_on_evict(c):
    evicted = []

    def record(k, v):
        evicted.append((k, v))
        return [k]  # a result the call must drop

    c.on_evict = record
    for i in range(4):
        c[("evict", i)] = [i]
    c.setdefault(("evict", 9), [9]), c.update(a=[1]), c.resize(2)
    attempt(setattr, c, "on_evict", 3)
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        c.on_evict = lambda k, v: 1 / 0  # errors go to the unraisable hook
        c["x"], c["y"] = [1], [2]
        c.on_evict = lambda k, v: c.__setitem__(("again", len(evicted)), v)  # evicts in turn
        c["z"] = [3]
    finally:
        sys.unraisablehook = old_hook
    c.resize(8)
    c.on_evict = record
    key = EvictsOnEq(1)
    key.cache = c
    c[key] = [1]
    for i in range(8):
        c[("fill", i)] = [i]  # evicts key
    c[key] = [1]
    c.get(Collide(2))  # same hash: compares with key, which evicts
    del c.on_evict  # the hooks above refer to the cache: a cycle the collector cannot see
    key.cache = None


def op_expiry(c):
    """Entries expiring through every path: the hook, a timer that fails, purges of more
    than the inline room, resize, reinitialisation with a ttl kept."""
    now = [0.0]
    c.timer = lambda: now[0]
    c.on_evict = lambda k, v: [k]
    c.ttl = 1
    for i in range(12):
        c[("ttl", i)] = [i]
    c.set_with_ttl("long", [1], 5), c.set_with_ttl("never", [2], None)
    attempt(c.set_with_ttl, "bad", [3], True), attempt(setattr, c, "ttl", 0)
    now[0] = 2
    c.get(("ttl", 0)), len(c), c.expire()
    for reading in (None, float("nan")):
        c.timer = lambda reading=reading: reading
        attempt(c.get, "long"), attempt(len, c)
    c.timer = lambda: 1 / 0
    attempt(c.keys)
    c.timer = lambda: now[0]
    c.resize(4), c.__init__(8, c.thread_safe), c.update(a=[1], b=[2])
    now[0] = 10
    c.items(), c.cache_info()
    del c.ttl, c.timer, c.on_evict


OPERATIONS = [op_keyed, op_errors, op_bulk, op_eviction_and_clear, op_lifecycle, op_finalisers,
              op_deferred_and_deep, op_popitem_peek_update_resize, op_on_evict, op_expiry]


# The interpreter's type and method caches take references as they fill, in spells
# long after the warm-up (update's lookups of keys() show it): cleared before each count, as
# CPython's own refleak runs clear them.
clear_caches = getattr(sys, "_clear_internal_caches", sys._clear_type_cache)


def deltas(fn):
    for _ in range(WARMUPS):
        fn()
    result = []
    for _ in range(RUNS):
        clear_caches()
        gc.collect()
        before = sys.gettotalrefcount()
        fn()
        clear_caches()
        gc.collect()
        result.append(sys.gettotalrefcount() - before)
    return result


@pytest.mark.parametrize("thread_safe", [False, True], ids=["unlocked", "thread_safe"])
@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda f: f.__name__)
def test_no_reference_leaks(operation, thread_safe):
    def round_of(op):
        def run():
            for _ in range(REPEAT):
                c = filled(8, thread_safe)
                op(c)
                del c
        return run

    baseline = deltas(round_of(lambda c: None))
    measured = deltas(round_of(operation))
    leaks = [m - b for m, b in zip(measured, baseline)]
    print(f"{operation.__name__}: refcount deltas {leaks}")
    assert not all(d >= 1 for d in leaks), f"leaked references per round: {leaks}"


def func_calls():
    """The memoising wrapper: hits and misses of each key form, eviction, growth, errors,
    recursion, single flight, clearing, and a cycle through a result for the collector."""
    def f(*args, **kwargs):
        if args and args[0] == "raise":
            raise ValueError
        return [args, kwargs]

    for g in (lru_cache(2)(f), lru_cache(None)(f), lru_cache(0)(f), lru_cache(4, True)(f),
              cache(f), lru_cache(3, single_flight=True)(f), lru_cache(None, single_flight=True)(f),
              lru_cache(2, ttl=1e-9)(f), lru_cache(None, ttl=60)(f)):
        for _ in range(2):
            g(1), g("s"), g(1.5), g((1, 2)), g(1, 2), g(1, k=(2,)), g(k=1), g(), g(*range(20))
        for i in range(40):
            g(i)
        attempt(g, "raise"), attempt(g, []), attempt(lambda: g(1, k={}))
        g(Collide(1)), attempt(g, RaisingEq(2)), attempt(g, RaisingEq(3), 1)
        g.cache_info(), g.cache_invalidate(1), g.cache_invalidate(1, k=(2,)), attempt(g.cache_invalidate, [])
        g.cache_clear(), g.cache_parameters(), pickle.dumps(len)
        if g.cache is not None:
            g.cache.on_evict = lambda k, v: None
            g(100), g.cache.resize(1), g(101), g(102)

    @lru_cache(None)
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    fib(50)  # results do not refer to fib, but fib's globals do: a cycle to collect
    del fib

    @lru_cache(None)
    def selfish(x):
        return [selfish]  # a cycle through a result

    selfish(1)
    del selfish


def async_calls():
    """The coroutine memoiser: hits, misses, joins, errors, a computation cancelled with all
    its awaiters, invalidation, re-entry, closing, and a call made outside a loop."""
    async def f(*args, **kwargs):
        await asyncio.sleep(0)
        if args and args[0] == "raise":
            raise ValueError
        if args and args[0] == "again":
            return await g(*args)
        return [args]

    async def main(g):
        for _ in range(2):
            await asyncio.gather(g(1), g(1), g("s"), g(1, 2), g(k=1), g(*range(20)), g(Collide(1)))
        for i in range(10):
            await g(i)
        await asyncio.gather(g("raise"), g("raise"), g("again"), return_exceptions=True)
        for bad in ([], RaisingEq(2)):
            try:
                await g(bad)
            except (TypeError, ZeroDivisionError):
                pass
        tasks = [asyncio.create_task(g("cancelled")) for _ in range(3)]
        await asyncio.sleep(0)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        pending = asyncio.create_task(g("invalidated"))
        await asyncio.sleep(0)
        g.cache_invalidate("invalidated"), g.cache_contains(1), g.cache_info(), g.cache_clear()
        await pending
        g(1).close()
        asyncio.create_task(g("closed"))
        await asyncio.sleep(0)
        await g.cache_close()

    for g in (alru_cache(2)(f), alru_cache(None)(f), alru_cache(0)(f), alru_cache(4, True)(f)):
        asyncio.run(main(g))
    g = alru_cache(f)
    asyncio.run(g(1)), asyncio.run(g(1))
    del g


@pytest.mark.parametrize("operation", [func_calls, async_calls], ids=lambda f: f.__name__)
def test_no_reference_leaks_memoising(operation):
    measured = deltas(operation)
    baseline = deltas(lambda: None)
    leaks = [m - b for m, b in zip(measured, baseline)]
    print(f"{operation.__name__}: refcount deltas {leaks}")
    assert not all(d >= 1 for d in leaks), f"leaked references per round: {leaks}"
