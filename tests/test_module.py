"""The module, the type, construction, re-initialisation, deallocation and pickling."""
import copy
import gc
import inspect
import pickle
import sys
import tracemalloc
import types
import weakref

import pytest

import amber_moth.lru_cache as lru_cache_module
from amber_moth.lru_cache import LRUCache
from conftest import run_isolated


class Tracked:
    """A value whose lifetime the tests watch through a weak reference."""


def test_module_and_type_names():
    assert lru_cache_module.__doc__ == "Bounded LRU cache with optional thread safety. Raw C."
    assert lru_cache_module.__name__ == "amber_moth.lru_cache"
    assert LRUCache.__module__ == "amber_moth.lru_cache"
    assert LRUCache.__name__ == "LRUCache"
    assert LRUCache.__qualname__ == "LRUCache"
    assert LRUCache.__doc__ == "An LRU cache with optional thread safety."
    assert LRUCache.__text_signature__ == "(capacity=128, thread_safe=False)"
    assert not hasattr(LRUCache(), "__dict__")


def test_every_method_has_a_text_signature_and_the_added_ones_a_docstring():
    original = {"clear", "length", "has", "get", "set", "delete", "pop", "keys", "values", "items",
                "__reduce__", "capacity", "head", "tail"}
    for name, attr in vars(LRUCache).items():
        if callable(attr) and name != "__new__":  # takes what __init__ takes, as dict's does
            assert str(inspect.signature(getattr(LRUCache, name))).startswith(("(self", "(item")), name
        if isinstance(attr, (types.MethodDescriptorType, types.ClassMethodDescriptorType,
                             types.GetSetDescriptorType)):
            assert (attr.__doc__ is None) == (name in original), name
    assert str(inspect.signature(LRUCache.update)) == "(self, other=(), /, **kwargs)"


def test_subscripted_type_is_a_generic_alias():
    alias = LRUCache[str, int]
    assert type(alias) is types.GenericAlias
    assert alias.__origin__ is LRUCache and alias.__args__ == (str, int)
    cache = alias(3, thread_safe=True)
    assert type(cache) is LRUCache and cache.capacity == 3

    class Named(LRUCache[str, int]):
        pass

    assert Named.__mro__[1] is LRUCache and Named.__orig_bases__ == (alias,)
    assert Named[bytes, int].__origin__ is Named
    named = Named(2)
    named["a"] = 1
    assert named.items() == [("a", 1)]
    with pytest.raises(KeyError):
        named[str]  # on an instance, subscription stays a lookup


def test_sizeof_counts_the_store():
    uninitialised = LRUCache.__new__(LRUCache)
    base = sys.getsizeof(uninitialised)
    assert base == LRUCache.__basicsize__ + 16  # and the cycle collector's header
    small, large = LRUCache(1000), LRUCache(100_000, thread_safe=True)
    assert base < sys.getsizeof(small) < sys.getsizeof(large)
    assert sys.getsizeof(large) > 100_000 * 40  # a node and two or more index slots per entry
    empty = sys.getsizeof(small)
    for i in range(2000):
        small[i] = str(i)
    assert sys.getsizeof(small) == empty  # allocated once, at construction
    small.__init__(2000)
    assert sys.getsizeof(small) > empty


@pytest.mark.parametrize("capacity", [1000, 100_000])
def test_tracemalloc_sees_the_store_from_construction_to_release(capacity):
    def traced(snapshot, *filters):
        return sum(stat.size for stat in snapshot.filter_traces(filters).statistics("filename"))

    here, store_domain = tracemalloc.Filter(True, __file__), tracemalloc.DomainFilter(True, 0x4C525543)
    tracemalloc.start()
    try:
        cache = LRUCache(capacity)
        made = tracemalloc.take_snapshot()
        cache.resize(2 * capacity)  # a new store replaces the old one
        resized = tracemalloc.take_snapshot()
        size = sys.getsizeof(cache)
        del cache
        released = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    assert traced(made, here) >= 0.9 * sys.getsizeof(LRUCache(capacity))
    assert 0.9 * size <= traced(resized, here) <= 1.1 * size
    assert traced(resized, store_domain) >= 0.9 * size
    assert traced(released, store_domain) == 0


@pytest.mark.parametrize(
    "args, kwargs, capacity, thread_safe",
    [
        ((), {}, 128, False),
        ((0,), {}, 128, False),
        ((-5,), {}, 128, False),
        ((1,), {}, 1, False),
        ((10, True), {}, 10, True),
        ((), {"capacity": 10, "thread_safe": True}, 10, True),
        ((), {"thread_safe": "yes"}, 128, True),
        ((), {"thread_safe": []}, 128, False),
        ((True,), {}, 1, False),
    ],
)
def test_constructor_arguments(args, kwargs, capacity, thread_safe):
    cache = LRUCache(*args, **kwargs)
    assert cache.capacity == capacity
    assert cache.thread_safe is thread_safe
    assert len(cache) == 0


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (("10",), {}, TypeError),
        ((2**70,), {}, OverflowError),
        ((1.5,), {}, TypeError),
        ((1, 2, 3), {}, TypeError),
        ((), {"size": 3}, TypeError),
    ],
)
def test_constructor_rejects_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        LRUCache(*args, **kwargs)


def test_thread_safe_truth_test_error_propagates():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        LRUCache(4, Bad())


@pytest.mark.parametrize("capacity", [2**40, 2**56 + 1, 2**62, 2**63 - 1])
def test_huge_capacity_is_memory_error_and_changes_nothing(capacity):
    with pytest.raises(MemoryError, match=f"^cannot allocate an LRUCache of capacity {capacity}$"):
        LRUCache(capacity)
    cache = LRUCache(4, thread_safe=True)
    cache[1] = 1
    with pytest.raises(MemoryError):
        cache.__init__(capacity)
    assert cache.items() == [(1, 1)] and cache.capacity == 4
    cache.__init__(3)
    assert cache.capacity == 3 and len(cache) == 0


def test_reinit_empties_applies_new_arguments_and_drops_references():
    cache = LRUCache(4)
    value = Tracked()
    key = Tracked()
    ref_value, ref_key = weakref.ref(value), weakref.ref(key)
    cache[key] = value
    del key, value
    cache.__init__(2, thread_safe=True)
    assert ref_value() is None and ref_key() is None
    assert cache.capacity == 2 and cache.keys() == [] and cache.thread_safe is True
    for i in range(5):
        cache[i] = i
    assert cache.keys() == [3, 4]


def test_failed_reinit_parse_keeps_everything():
    cache = LRUCache(4)
    cache["a"] = 1
    with pytest.raises(TypeError):
        cache.__init__("big")
    assert cache.capacity == 4 and cache.items() == [("a", 1)]


def test_subclass_lifecycle_drops_type_and_values():
    class Sub(LRUCache):
        def __init__(self, capacity):
            super().__init__(capacity)
            self.extra = "attr"

    value = Tracked()
    ref_value = weakref.ref(value)
    before = sys.getrefcount(Sub)
    cache = Sub(2)
    cache["k"] = value
    del value
    assert sys.getrefcount(Sub) == before + 1
    assert cache.extra == "attr" and cache["k"] is ref_value()
    ref_cache = weakref.ref(cache)
    del cache
    gc.collect()
    assert ref_cache() is None and ref_value() is None
    assert sys.getrefcount(Sub) == before


def test_dealloc_drops_every_reference():
    keys = [Tracked() for _ in range(5)]
    values = [Tracked() for _ in range(5)]
    refs = [weakref.ref(o) for o in keys + values]
    cache = LRUCache(3)
    for k, v in zip(keys, values):
        cache[k] = v
    del keys, values, k, v
    assert sum(r() is not None for r in refs) == 6  # the three evicted pairs are gone
    del cache
    assert all(r() is None for r in refs)


def test_a_hook_that_refers_back_to_its_cache_is_collected():
    class Owner:
        def __init__(self):
            self.cache = LRUCache(2)
            self.cache.on_evict = self.evicted

        def evicted(self, key, value):
            pass

    owner = Owner()
    owner.cache["v"] = Tracked()
    ref_owner, ref_value = weakref.ref(owner), weakref.ref(owner.cache["v"])
    del owner
    gc.collect()
    assert ref_owner() is None and ref_value() is None


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_pickling_and_copying_refused(action):
    cache = LRUCache(2)
    cache[1] = 2
    with pytest.raises(TypeError, match="^LRUCache cannot be pickled$"):
        action(cache)


def test_uninitialized_instances_fail_cleanly():
    out = run_isolated("uninitialized_instances_fail_cleanly.py")
    assert out == "ok\n"


def test_finalizers_touching_cache_during_reinit():
    out = run_isolated("finalizers_touching_cache_during_reinit.py")
    assert out == "ok\n"
