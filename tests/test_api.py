"""The script API: recency, eviction, errors, defaults, views, iteration and properties."""
import pytest

from amber_moth.lru_cache import LRUCache
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


@pytest.mark.parametrize("name", ["capacity", "head", "tail"])
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
