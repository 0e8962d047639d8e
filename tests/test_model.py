"""Every operation checked step by step against an OrderedDict model of an exact LRU cache."""
import os
from collections import OrderedDict

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from amber_moth.lru_cache import LRUCache
from conftest import Collide, assert_consistent

settings.register_profile(
    "ci", max_examples=300, stateful_step_count=50, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "small", max_examples=40, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "fuzz", max_examples=10_000, stateful_step_count=80, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


class Str(str):
    """Inherits str's equality and hash: equal to the plain str, but never compared as one."""


class Int(int):
    pass


class Caseless(str):
    """Its own equality and hash: equal to any str that matches it ignoring case."""

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()

    def __hash__(self):
        return hash(self.lower())


def fresh(key):
    """An equal key that is, where the interpreter allows, a different object."""
    if type(key) is str:
        return "".join(["", key])
    if type(key) is int:
        return int(str(key))
    if type(key) is float:
        return float(repr(key))
    if type(key) is tuple:
        return tuple(fresh(item) for item in key)
    return key


base_keys = st.one_of(
    st.integers(-4, 20),
    st.integers(),
    st.integers(2**30 - 2, 2**30 + 2) | st.integers(-(2**30) - 2, -(2**30) + 2),
    st.sampled_from([0, 0.0, -0.0, False, 1, 1.0, True, float("nan"), float("inf"), -1, -2]),
    st.floats(),
    st.text(max_size=3),
    st.text(alphabet="aA\xe9\u20ac\U0001f600", max_size=3),  # every str kind
    st.text(alphabet="aAbB", max_size=2).map(Str) | st.text(alphabet="aAbB", max_size=2).map(Caseless),
    st.integers(-3, 3).map(Int),
    st.tuples(st.integers(0, 3), st.text(max_size=1)),
    st.tuples(st.sampled_from([1, 1.0, True, "a", Caseless("A"), Int(1)]), st.integers(0, 2)),
    st.builds(Collide, st.integers(0, 12)),
    st.just(None),
)
# Keys are looked up both as themselves and as equal copies.
keys = st.tuples(base_keys, st.booleans()).map(lambda kb: fresh(kb[0]) if kb[1] else kb[0])
values = st.integers() | st.none() | st.text(max_size=2)
capacities = st.sampled_from([1, 2, 3, 8, 9, 64])
MISSING = object()


class LRUModel(RuleBasedStateMachine):
    @initialize(capacity=capacities, thread_safe=st.booleans())
    def start(self, capacity, thread_safe):
        self.cache = LRUCache(capacity, thread_safe)
        self.model = OrderedDict()
        self.capacity = capacity

    def _model_get(self, key):
        if key in self.model:
            self.model.move_to_end(key)
            return self.model[key]
        return MISSING

    @rule(key=keys, value=values, subscript=st.booleans())
    def set(self, key, value, subscript):
        if subscript:
            self.cache[key] = value
        else:
            assert self.cache.set(key, value) is None
        if key in self.model:
            self.model[key] = value
            self.model.move_to_end(key)
        else:
            if len(self.model) == self.capacity:
                self.model.popitem(last=False)
            self.model[key] = value

    @rule(key=keys)
    def get(self, key):
        expected = self._model_get(key)
        assert self.cache.get(key, MISSING) is expected

    @rule(key=keys)
    def getitem(self, key):
        expected = self._model_get(key)
        try:
            got = self.cache[key]
        except KeyError:
            got = MISSING
        assert got is expected

    @rule(key=keys)
    def contains(self, key):
        assert self.cache.has(key) is (key in self.model)
        assert (key in self.cache) is (key in self.model)

    @rule(key=keys, how=st.sampled_from(["delete", "del", "pop"]))
    def remove(self, key, how):
        expected = self.model.pop(key, MISSING)
        if how == "delete":
            assert self.cache.delete(key) is None
        elif how == "pop":
            assert self.cache.pop(key, MISSING) is expected
        else:
            try:
                del self.cache[key]
                assert expected is not MISSING
            except KeyError:
                assert expected is MISSING

    @rule(key=keys, default=values)
    def setdefault(self, key, default):
        if key not in self.model:
            if len(self.model) == self.capacity:
                self.model.popitem(last=False)
            self.model[key] = default
        assert self.cache.setdefault(key, default) is self._model_get(key)

    @precondition(lambda self: len(self.model) > 0)
    @rule(data=st.data())
    def touch_existing(self, data):
        key = data.draw(st.sampled_from(list(self.model)))
        assert self.cache[key] is self._model_get(key)

    @rule()
    def clear(self):
        self.cache.clear()
        self.model.clear()

    @rule(capacity=capacities, thread_safe=st.booleans())
    def reinit(self, capacity, thread_safe):
        self.cache.__init__(capacity, thread_safe)
        self.model.clear()
        self.capacity = capacity

    @invariant()
    def matches_model(self):
        assert self.cache.items() == list(self.model.items())
        assert self.cache.capacity == self.capacity
        assert_consistent(self.cache)


TestLRUModel = LRUModel.TestCase
