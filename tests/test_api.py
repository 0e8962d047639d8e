"""The script API: recency, eviction, errors, defaults, views, iteration, properties,
resizing, lookup statistics and the eviction hook."""
import collections
import functools
import random
import sys
import weakref

import pytest

from amber_moth.lru_cache import CacheInfo, LRUCache
from conftest import Collide, assert_consistent


def test_recency_follows_reads_and_writes_only(make_cache):
    c = make_cache(3)
    for k in "abc":
        c[k] = k.upper()
    assert c.keys() == ["a", "b", "c"]
    assert c.get("a") == "A"
    assert c.keys() == ["b", "c", "a"]
    assert c.has("b") and "b" in c
    c.keys(), c.values(), c.items(), list(c), c.head, c.tail, len(c), c.length(), c.capacity
    assert c.keys() == ["b", "c", "a"]
    assert (c.head, c.tail) == ("b", "a")
    assert c["b"] == "B"
    assert c.keys() == ["c", "a", "b"]
    c.set("c", "C2")
    assert c.keys() == ["a", "b", "c"]
    c["c"] = "C3"  # overwriting the tail leaves the order alone
    assert c.keys() == ["a", "b", "c"] and len(c) == 3
    assert c.get("missing") is None and c.keys() == ["a", "b", "c"]


def test_eviction_takes_least_recently_used(make_cache):
    c = make_cache(2)
    c["a"], c["b"] = 1, 2
    c.get("a")
    c["c"] = 3
    assert c.keys() == ["a", "c"]
    for i in range(100):
        c[i] = i
        assert len(c) == 2
    assert c.items() == [(98, 98), (99, 99)]


def test_freed_node_is_reused_without_eviction(make_cache):
    c = make_cache(4)
    for i in range(4):
        c[i] = i
    c.delete(1)
    c[10] = 10
    assert c.keys() == [0, 2, 3, 10]
    assert c.pop(2) == 2
    c[11] = 11
    assert c.keys() == [0, 3, 10, 11]


def test_overwrite_keeps_first_key_object(make_cache):
    c = make_cache(4)
    c[1] = "int"
    c[1.0] = "float"
    assert len(c) == 1
    [key] = c.keys()
    assert type(key) is int and c[1] == "float"
    c.set(True, "bool")
    assert type(c.keys()[0]) is int and c.values() == ["bool"]


def test_get_and_pop_defaults(make_cache):
    c = make_cache(4)
    default = object()
    assert c.get("x") is None
    assert c.get("x", default) is default
    assert c.pop("x") is None
    assert c.pop("x", default) is default
    c["x"] = 5
    assert c.pop("x", default) == 5
    assert len(c) == 0 and c.length() == 0
    assert c.delete("x") is None
    assert c.set("y", 1) is None


@pytest.mark.parametrize(
    "key, args",
    [("k", ("k",)), (7, (7,)), ((1, 2), (1, 2)), ((), ()), (None, ()), (((1,),), ((1,),))],
)
def test_missing_key_error_arguments(make_cache, key, args):
    c = make_cache(4)
    with pytest.raises(KeyError) as info:
        c[key]
    assert info.value.args == args
    with pytest.raises(KeyError) as info:
        del c[key]
    assert info.value.args == args


@pytest.mark.parametrize("key", [KeyError("x"), ValueError("y"), LookupError()])
def test_missing_exception_key_raises_a_new_key_error(make_cache, key):
    c = make_cache(4)
    for _ in range(3):
        for miss in (lambda: c[key], lambda: c.__delitem__(key)):
            with pytest.raises(KeyError) as info:
                miss()
            assert info.value is not key and info.value.args == (key,)
    assert key.__traceback__ is None  # the key itself was never raised
    c[key] = 1
    assert c[key] == 1


def test_setdefault(make_cache):
    c = make_cache(2)
    marker = object()
    assert c.setdefault("a") is None and c["a"] is None
    assert c.setdefault("b", marker) is marker and c["b"] is marker
    c["a"] = 1
    assert c.keys() == ["b", "a"]
    assert c.setdefault("b", 2) is marker  # present: stored value, made most recent
    assert c.keys() == ["a", "b"]
    assert c.setdefault("c", 3) == 3  # absent in a full cache: evicts the least recent
    assert c.items() == [("b", marker), ("c", 3)]
    with pytest.raises(TypeError):
        c.setdefault([], 1)
    with pytest.raises(TypeError):
        c.setdefault()


def test_subscript_delete_and_contains(make_cache):
    c = make_cache(4)
    c[(1, 2)] = "t"
    assert (1, 2) in c and c[(1, 2)] == "t"
    del c[(1, 2)]
    assert (1, 2) not in c and len(c) == 0
    assert not c
    c["z"] = 0
    assert c


@pytest.mark.parametrize(
    "op",
    [
        lambda c, k: c.get(k),
        lambda c, k: c.get(k, 1),
        lambda c, k: c.set(k, 1),
        lambda c, k: c.has(k),
        lambda c, k: c.delete(k),
        lambda c, k: c.pop(k),
        lambda c, k: c.pop(k, 1),
        lambda c, k: c[k],
        lambda c, k: c.__setitem__(k, 1),
        lambda c, k: c.__delitem__(k),
        lambda c, k: k in c,
        lambda c, k: c.peek(k),
        lambda c, k: c.update([(k, 1)]),
    ],
)
def test_unhashable_key_raises_type_error(make_cache, op):
    c = make_cache(4)
    c["a"] = 1
    with pytest.raises(TypeError, match="unhashable"):
        op(c, [1, 2])
    assert c.items() == [("a", 1)]


def test_hash_errors_propagate():
    class BadHash:
        def __hash__(self):
            raise ZeroDivisionError

    c = LRUCache(4)
    with pytest.raises(ZeroDivisionError):
        c[BadHash()] = 1
    with pytest.raises(ZeroDivisionError):
        BadHash() in c


def test_views_empty_and_full(make_cache):
    c = make_cache(5)
    assert c.keys() == c.values() == c.items() == list(c) == []
    assert c.head is None and c.tail is None
    c["only"] = 1
    assert c.head == c.tail == "only"
    for i in range(10):
        c[i] = str(i)
    assert c.keys() == [5, 6, 7, 8, 9]
    assert c.values() == ["5", "6", "7", "8", "9"]
    assert c.items() == list(zip(c.keys(), c.values()))
    assert all(type(pair) is tuple for pair in c.items())
    assert_consistent(c)


def test_iteration_is_a_snapshot(make_cache):
    c = make_cache(8)
    for i in range(5):
        c[i] = i
    seen = []
    for key in c:
        seen.append(key)
        c[100 + key] = key
        c.delete(key)
    assert seen == [0, 1, 2, 3, 4]
    assert c.keys() == [100, 101, 102, 103, 104]


def test_clear_keeps_capacity_and_reuses(make_cache):
    c = make_cache(3)
    for i in range(10):
        c[i] = i
    assert c.clear() is None
    assert len(c) == 0 and c.capacity == 3 and c.head is None
    for i in range(4):
        c[i] = i
    assert c.keys() == [1, 2, 3]


@pytest.mark.parametrize("name", ["capacity", "head", "tail", "thread_safe"])
def test_properties_are_read_only(name):
    c = LRUCache(2)
    with pytest.raises(AttributeError):
        setattr(c, name, 1)
    with pytest.raises(AttributeError):
        delattr(c, name)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.set(1),
        lambda c: c.set(1, 2, 3),
        lambda c: c.get(),
        lambda c: c.get(1, 2, 3),
        lambda c: c.get(1, default=2),
        lambda c: c.pop(1, default=2),
        lambda c: c.pop(),
        lambda c: c.has(),
        lambda c: c.keys(1),
        lambda c: c.clear(1),
        lambda c: c.length(1),
        lambda c: c.delete(key=1),
        lambda c: c.peek(),
        lambda c: c.peek(1, default=2),
        lambda c: c.popitem(1),
        lambda c: c.update({}, {}),
        lambda c: c.update(1),
        lambda c: c.resize(),
        lambda c: c.resize(capacity=2),
        lambda c: c.cache_info(1),
    ],
)
def test_argument_count_errors(call):
    c = LRUCache(2)
    c[1] = 1
    with pytest.raises(TypeError):
        call(c)
    assert c.items() == [(1, 1)]


def test_colliding_hashes_and_tombstones(make_cache):
    c = make_cache(16)
    keys = [Collide(i) for i in range(16)]
    for k in keys:
        c[k] = k.n
    for k in keys[::2]:
        del c[k]  # tombstones in the middle of the collision run
    for k in keys[1::2]:
        assert c[Collide(k.n)] == k.n
    for k in keys[::2]:
        assert Collide(k.n) not in c
        c[Collide(k.n)] = -k.n
    assert sorted(v for v in c.values()) == sorted([k.n for k in keys[1::2]] + [-k.n for k in keys[::2]])
    assert_consistent(c)


@pytest.mark.parametrize("capacity, hashes", [(8, 1000), (16, 17), (16, 2**61)])
def test_index_rebuilds_keep_every_entry_reachable(capacity, hashes):
    """Churn with keys of a few hashes, whose runs of slots wrap around the index's end: the
    tombstones it leaves make the index rebuild again and again, and every entry must stay
    where its lookup finds it."""
    rng = random.Random(capacity * hashes)
    c, model = LRUCache(capacity), collections.OrderedDict()
    for step in range(4000):
        n = rng.randrange(3 * capacity)
        key = Collide(n, n * 7919 % hashes)
        if rng.random() < 0.55:
            c[key] = n
            model[n] = n
            model.move_to_end(n)
            if len(model) > capacity:
                model.popitem(last=False)
        else:
            assert c.pop(key, None) == model.pop(n, None), step
    assert [k.n for k in c.keys()] == list(model)
    assert all(c.peek(Collide(n, n * 7919 % hashes)) == n for n in model)


def test_identity_counts_as_equality():
    class NeverEqual:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return False

    c = LRUCache(4)
    k = NeverEqual()
    c[k] = "v"
    assert c[k] == "v" and k in c
    assert NeverEqual() not in c
    nan = float("nan")
    c[nan] = "nan"
    assert c[nan] == "nan" and float("nan") not in c


def test_identity_is_only_that_of_keys_held_now():
    """A key object freed after its entry left may come back, as another key with the same
    hash, at the same address: an index slot reused by a new entry must not take it for
    the new entry's key."""
    c = LRUCache(64)
    for i in range(40):
        gone = Collide(-1 - i)
        c[gone] = "gone"
        del c[gone]  # a tombstone at the end of the run of hash 7...
        c[Collide(i)] = i  # ...which the next key of that hash takes over
        del gone
        probe = Collide(1000 + i)  # where the allocator reuses memory, at gone's address
        assert probe not in c and c.get(probe) is None
    assert [k.n for k in c.keys()] == list(range(40))


def test_sequential_and_strided_int_keys():
    c = LRUCache(5000)
    for i in range(0, 5000 * 4096, 4096):
        c[i] = i
    for i in range(5000):
        c[i] = i
    assert len(c) == 5000
    assert all(c[i] == i for i in range(5000))
    assert 2 * 4096 not in c and 4999 * 4096 not in c


def test_peek_and_popitem(make_cache):
    c = make_cache(3)
    with pytest.raises(KeyError, match=r"^'popitem\(\): LRUCache is empty'$"):
        c.popitem()
    c["a"], c["b"] = "A", "B"
    assert c.peek("a") == "A" and c.peek("x") is None and c.peek("x", 0) == 0
    assert c.popitem() == ("a", "A")  # peek left a the least recently used
    assert c.popitem() == ("b", "B") and len(c) == 0


def test_update_as_dict_update(make_cache):
    class Mapping:  # keys() and [] only: read as a mapping, not iterated as pairs
        def keys(self):
            return iter(["m1", "m2"])

        def __getitem__(self, key):
            return key.upper()

    c = make_cache(5)
    c.update([("a", 1), ["b", 2], "cd"], b=3, e=5)
    assert c.items() == [("a", 1), ("c", "d"), ("b", 3), ("e", 5)]
    c.update(Mapping())
    assert c.items() == [("c", "d"), ("b", 3), ("e", 5), ("m1", "M1"), ("m2", "M2")]
    c.update(other=0)  # a keyword named like the positional parameter is a key
    assert c.keys()[-1] == "other" and c.update() is None
    for bad, error, message in [
        ([("x", 1), 7], TypeError, "cannot convert LRUCache update sequence element #1 to a sequence"),
        ([("y", 1), ("z", 2, 3)], ValueError, "LRUCache update sequence element #1 has length 3; 2 is required"),
    ]:
        with pytest.raises(error, match=f"^{message}$"):
            c.update(bad, never=1)
        assert c.keys()[-1] in "xy" and "never" not in c  # the pairs before the error stay


def test_update_from_a_dict_hashes_each_key_once():
    hashes = []

    class Key:
        def __hash__(self):
            hashes.append(self)
            return 5

    keys = [Key(), Key()]
    for kind in (dict, collections.Counter, lambda pairs: collections.defaultdict(int, pairs)):
        source = kind(dict.fromkeys(keys, 1))
        hashes.clear()
        c = LRUCache(4)
        c.update(source)
        assert c.keys() == keys and hashes == keys  # once, by the cache's own set


# (capacity, entries, new capacity): entries 0..n-1 with 0 then used again, so the order
# is 1, ..., n-1, 0; the most recently used entries that fit stay, the rest are evicted.
@pytest.mark.parametrize(
    "capacity, entries, new",
    [(4, 3, 10), (5, 5, 2), (4, 4, 4), (8, 3, 3), (200, 150, -1),
     (60_000, 50_000, 140_000), (140_000, 140_000, 60_000)],
    ids=["up", "down_full", "same_full", "down_to_fit", "default_evicts",
         "up_in_large_arrays", "down_from_large_arrays"],
)
def test_resize(make_cache, capacity, entries, new):
    c = make_cache(capacity)
    for i in range(entries):
        c[i] = str(i)
    c.get(0), c.get("absent")
    order = list(range(1, entries)) + [0]
    effective = new if new > 0 else 128
    kept, dropped = order[max(0, entries - effective):], order[: max(0, entries - effective)]
    evicted = []
    c.on_evict = lambda k, v: evicted.append((k, v, k in c))
    assert c.resize(new) is None
    assert c.items() == [(k, str(k)) for k in kept]
    assert evicted == [(k, str(k), False) for k in dropped]
    assert c.capacity == effective and sys.getsizeof(c) == sys.getsizeof(LRUCache(effective))
    assert c.cache_info() == (1, 1, effective, len(kept))
    # The resized cache evicts at its new capacity, oldest first.
    evicted.clear()
    fresh = [("new", i) for i in range(effective + 1)]
    for k in fresh:
        c[k] = str(k)
    assert c.keys() == fresh[1:]
    assert [k for k, _, _ in evicted] == kept + fresh[:1]
    assert_consistent(c)


@pytest.mark.parametrize(
    "arg, error, message",
    [
        ("3", TypeError, None),
        (1.5, TypeError, None),
        (2**70, OverflowError, None),
        (2**62, MemoryError, f"^cannot allocate an LRUCache of capacity {2**62}$"),
    ],
)
def test_resize_errors_change_nothing(make_cache, arg, error, message):
    c = make_cache(3)
    for i in range(3):
        c[i] = i
    c.get(1)
    evicted = []
    c.on_evict = lambda k, v: evicted.append(k)
    with pytest.raises(error, match=message):
        c.resize(arg)
    assert c.items() == [(0, 0), (2, 2), (1, 1)] and evicted == []
    assert c.cache_info() == (1, 0, 3, 3)
    c.resize(2)
    assert c.keys() == [2, 1] and evicted == [0]


def test_cache_info_is_a_named_tuple_like_functools():
    # What it counts is checked against the model in test_model.py.
    info = LRUCache(2).cache_info()
    assert type(info) is CacheInfo and CacheInfo.__module__ == "amber_moth.lru_cache"
    assert CacheInfo._fields == functools.lru_cache(lambda: 0).cache_info()._fields
    assert info == (0, 0, 2, 0) and info.maxsize == 2


def test_on_evict_property(make_cache):
    c = make_cache(1)
    assert c.on_evict is None
    hook = print
    c.on_evict = hook
    assert c.on_evict is hook
    for bad in (3, "print", object()):
        with pytest.raises(TypeError, match="^on_evict must be callable or None, not "):
            c.on_evict = bad
        assert c.on_evict is hook
    c.on_evict = None
    assert c.on_evict is None
    c.on_evict = hook
    del c.on_evict
    assert c.on_evict is None
    del c.on_evict
    c[1] = 1
    c[2] = 2  # evicts with no hook


class Value:
    """A value object, so that the hook's arguments can be checked by identity."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"V({self.name})"


# Each adds two new keys (or shrinks the cache by two) to a full cache ordered b, c, a.
EVICTING = {
    "set": lambda c, new: [c.set(k, v) for k, v in new],
    "setitem": lambda c, new: [c.__setitem__(k, v) for k, v in new],
    "setdefault": lambda c, new: [c.setdefault(k, v) for k, v in new],
    "update_pairs": lambda c, new: c.update(new),
    "update_mapping": lambda c, new: c.update(dict(new)),
    "update_kwargs": lambda c, new: c.update(**dict(new)),
    "resize": lambda c, new: c.resize(1),
}


@pytest.mark.parametrize("how", EVICTING)
def test_on_evict_sees_each_eviction_after_its_operation(make_cache, how):
    c = make_cache(3)
    values = {k: Value(k) for k in "abcxy"}
    for k in "abc":
        c[k] = values[k]
    c.get("a")
    seen = []
    c.on_evict = lambda k, v: seen.append((k, v, c.keys()))
    EVICTING[how](c, [("x", values["x"]), ("y", values["y"])])
    if how == "resize":
        after = [["a"], ["a"]]  # one operation: both evicted before the first call
    else:
        after = [["c", "a", "x"], ["a", "x", "y"]]  # each pair is stored as set() stores it
    assert [(k, v, keys) for k, v, keys in seen] == [
        ("b", values["b"], after[0]), ("c", values["c"], after[1])
    ]
    assert seen[0][1] is values["b"] and seen[1][1] is values["c"]


REMOVING = {
    "overwrite": lambda c: c.set("a", 0),
    "delete": lambda c: c.delete("a"),
    "del": lambda c: c.__delitem__("a"),
    "pop": lambda c: c.pop("a"),
    "popitem": lambda c: c.popitem(),
    "clear": lambda c: c.clear(),
    "reinit": lambda c: c.__init__(1),
    "resize_up": lambda c: c.resize(5),
    "dealloc": lambda c: None,  # the test drops its last reference
}


@pytest.mark.parametrize("how", REMOVING)
def test_on_evict_is_not_called_for_removals(make_cache, how):
    c = make_cache(2)
    tracked = Value("a")
    c["a"], c["b"] = tracked, 2
    ref = weakref.ref(tracked)
    del tracked
    calls = []
    c.on_evict = lambda k, v: calls.append(k)
    REMOVING[how](c)
    if how == "dealloc":
        del c
    assert calls == [] and (ref() is None) is (how != "resize_up")


def test_on_evict_errors_are_unraisable_and_the_hook_is_read_at_each_call(make_cache, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    c = make_cache(4)
    for i in range(4):
        c[i] = i
    later = []

    def first(k, v):
        c.on_evict = lambda k, v: later.append(k)  # takes the next eviction of this resize
        raise ZeroDivisionError(k)

    c.on_evict = first
    assert c.resize(2) is None
    assert c.keys() == [2, 3] and later == [1]
    [report] = unraisable
    assert type(report.exc_value) is ZeroDivisionError and report.exc_value.args == (0,)
    assert "eviction hook" in report.err_msg
    c.on_evict = first
    c[4] = 4  # set() returns normally too
    assert len(unraisable) == 2 and c.keys() == [3, 4]

