"""Reference leaks, measured on a debug interpreter (make refleak) by the rule CPython's own
regression tests use: warm up, then measure sys.gettotalrefcount() over repeated rounds; an
operation leaks when every measured round, less an empty round's drift, gained references."""
import gc
import pickle
import sys

import pytest

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
    except (KeyError, TypeError, ZeroDivisionError, RuntimeError, MemoryError, OverflowError):
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


OPERATIONS = [op_keyed, op_errors, op_bulk, op_eviction_and_clear, op_lifecycle, op_finalisers,
              op_deferred_and_deep]


def deltas(fn):
    for _ in range(WARMUPS):
        fn()
    result = []
    for _ in range(RUNS):
        gc.collect()
        before = sys.gettotalrefcount()
        fn()
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
