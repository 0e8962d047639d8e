"""Every operation checked step by step against a model of an exact LRU cache: a dict, which
looks keys up as the cache must, and a list of its keys in order of use; with time-to-live
expiry driven by a fake timer, or without it."""
import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
import pytest

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
    """Its own equality and hash: equal to another Caseless that matches it ignoring case, and
    to a str as str compares. Equality stays symmetric, so that which of two keys is the
    stored one never decides whether they match."""

    def __eq__(self, other):
        if isinstance(other, Caseless):
            return self.lower() == other.lower()
        return str.__eq__(self, other)

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
ttls = st.sampled_from([None, 0.5, 1, 2.5, 5])
MISSING = object()


class Model:
    """An exact LRU cache of `capacity` entries. `entries` maps each key to its stored key
    object (the first one stored, as the cache keeps it) and its value, looking keys up as
    the cache must; `order` holds the stored key objects, least recently used first.
    `evicted` lists the (stored key, value) pairs evicted to make room or expired, in order;
    `hits` and `misses` count the lookups that cache_info() counts.

    Expiry: `due` maps each key that has a deadline to (deadline, n), n counting the
    deadlines set; `now` is the time, when the cache reads one (None otherwise). Every
    operation but clear() first removes the entries whose deadline is not after `now`,
    earliest deadline first, deadlines set earlier first among equal ones (purge)."""

    def __init__(self, capacity, now=None):
        self.capacity = capacity
        self.entries = {}
        self.order = []
        self.evicted = []
        self.hits = self.misses = 0
        self.due = {}
        self.deadlines_set = 0
        self.now = now

    def purge(self):
        """Removes what is due at `now`, as evicted; returns how many."""
        if self.now is None:
            return 0
        due = sorted((d for d in self.due.items() if d[1][0] <= self.now), key=lambda d: d[1])
        for key, _ in due:
            stored, value = self._drop(key)
            self._forget(stored)
            self.evicted.append((stored, value))
        return len(due)

    def _drop(self, key):
        self.due.pop(key, None)
        return self.entries.pop(key)

    def _evict_head(self):
        stored = self.order.pop(0)
        self.evicted.append(self._drop(stored))

    def _forget(self, stored):
        del self.order[next(i for i, k in enumerate(self.order) if k is stored)]

    def touch(self, key):
        """The value, the entry becoming the most recently used; MISSING when absent."""
        self.purge()
        if key not in self.entries:
            return MISSING
        stored, value = self.entries[key]
        self._forget(stored)
        self.order.append(stored)
        return value

    def lookup(self, key):
        """touch(key), counted as a hit or a miss."""
        value = self.touch(key)
        if value is MISSING:
            self.misses += 1
        else:
            self.hits += 1
        return value

    def set(self, key, value, ttl=None):
        """Stores the pair; with a ttl (and a time), to expire ttl seconds from now."""
        if self.touch(key) is MISSING:
            if len(self.order) == self.capacity:
                self._evict_head()
            self.order.append(key)
            self.entries[key] = (key, value)
        else:
            self.entries[key] = (self.entries[key][0], value)
        self.due.pop(key, None)
        if ttl is not None and self.now is not None:
            self.deadlines_set += 1
            self.due[key] = (self.now + ttl, self.deadlines_set)

    def pop(self, key):
        self.purge()
        if key not in self.entries:
            return MISSING
        stored, value = self._drop(key)
        self._forget(stored)
        return value

    def popitem(self):
        self.purge()
        stored = self.order.pop(0)
        return self._drop(stored)

    def resize(self, capacity):
        self.purge()
        self.capacity = capacity if capacity > 0 else 128
        while len(self.order) > self.capacity:
            self._evict_head()

    def __contains__(self, key):
        self.purge()
        return key in self.entries

    def __len__(self):
        self.purge()
        return len(self.order)

    def items(self):
        self.purge()
        return [(k, self.entries[k][1]) for k in self.order]


class LRUModel(RuleBasedStateMachine):
    @initialize(capacity=capacities, thread_safe=st.booleans(), expiring=st.booleans())
    def start(self, capacity, thread_safe, expiring):
        """An expiring cache reads a fake clock, `now`; the others never read the time."""
        self.cache = LRUCache(capacity, thread_safe)
        self.expiring = expiring
        self.now = 100.0 if expiring else None
        self.ttl = None
        self.model = Model(capacity, self.now)
        self.evicted = []
        self.cache.on_evict = lambda key, value: self.evicted.append((key, value))
        if expiring:
            self.cache.timer = lambda: self.now

    @rule(key=keys, value=values, subscript=st.booleans())
    def set(self, key, value, subscript):
        if subscript:
            self.cache[key] = value
        else:
            assert self.cache.set(key, value) is None
        self.model.set(key, value, self.ttl)

    @precondition(lambda self: self.expiring)
    @rule(key=keys, value=values, ttl=ttls)
    def set_with_ttl(self, key, value, ttl):
        assert self.cache.set_with_ttl(key, value, ttl) is None
        self.model.set(key, value, ttl)

    @precondition(lambda self: self.expiring)
    @rule(ttl=ttls, how=st.sampled_from(["set", "del"]))
    def set_ttl(self, ttl, how):
        if how == "del" and ttl is None:
            del self.cache.ttl
        else:
            self.cache.ttl = ttl
        self.ttl = ttl
        assert self.cache.ttl == ttl

    @precondition(lambda self: self.expiring)
    @rule(step=st.sampled_from([0, 0.5, 1, 2.5, 7, -0.5, -3]))
    def advance(self, step):
        """Time passes, stands still, or goes back."""
        self.now += step
        self.model.now = self.now

    @rule()
    def expire(self):
        assert self.cache.expire() == self.model.purge()

    @rule(key=keys)
    def get(self, key):
        expected = self.model.lookup(key)
        assert self.cache.get(key, MISSING) is expected

    @rule(key=keys)
    def getitem(self, key):
        expected = self.model.lookup(key)
        try:
            got = self.cache[key]
        except KeyError:
            got = MISSING
        assert got is expected

    @rule(key=keys)
    def contains(self, key):
        assert self.cache.has(key) is (key in self.model)
        assert (key in self.cache) is (key in self.model)

    @rule(key=keys)
    def peek(self, key):
        expected = self.model.entries[key][1] if key in self.model else MISSING
        assert self.cache.peek(key, MISSING) is expected

    @rule(key=keys, how=st.sampled_from(["delete", "del", "pop"]))
    def remove(self, key, how):
        expected = self.model.pop(key)
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

    @rule()
    def popitem(self):
        if len(self.model) == 0:
            with pytest.raises(KeyError):
                self.cache.popitem()
            return
        stored, value = self.model.popitem()
        key, got = self.cache.popitem()
        assert key is stored and got is value

    @rule(key=keys, default=values)
    def setdefault(self, key, default):
        if key not in self.model:
            self.model.set(key, default, self.ttl)
            self.model.misses += 1
        else:
            self.model.hits += 1
        assert self.cache.setdefault(key, default) is self.model.touch(key)

    @rule(
        pairs=st.lists(st.tuples(keys, values), max_size=6),
        how=st.sampled_from(["pairs", "mapping", "none"]),
        kwargs=st.dictionaries(st.text(max_size=2), values, max_size=3),
        bad=st.sampled_from([None, (1, 2, 3), 5]),
    )
    def update(self, pairs, how, kwargs, bad):
        """Pairs, a mapping (read through keys()) or nothing, then keyword arguments; an
        invalid pair fails the call, the pairs before it staying stored."""
        other = {"pairs": pairs, "mapping": dict(pairs), "none": []}[how]
        for key, value in other.items() if how == "mapping" else other:
            self.model.set(key, value, self.ttl)
        if how == "pairs" and bad is not None:
            with pytest.raises((TypeError, ValueError), match="update sequence element #"):
                self.cache.update(pairs + [bad], **kwargs)
            return
        for key, value in kwargs.items():
            self.model.set(key, value, self.ttl)
        args = () if how == "none" else (other,)
        assert self.cache.update(*args, **kwargs) is None

    @precondition(lambda self: len(self.model) > 0)
    @rule(data=st.data())
    def touch_existing(self, data):
        key = data.draw(st.sampled_from(self.model.order))
        assert self.cache[key] is self.model.lookup(key)

    @rule(capacity=capacities | st.sampled_from([0, -1]))
    def resize(self, capacity):
        assert self.cache.resize(capacity) is None
        self.model.resize(capacity)

    @rule()
    def clear(self):
        """Removes everything, expired entries included, reporting nothing."""
        self.cache.clear()
        self.model = Model(self.model.capacity, self.now)

    @rule(capacity=capacities, thread_safe=st.booleans())
    def reinit(self, capacity, thread_safe):
        """Empties the cache; its hook, ttl and timer stay."""
        self.cache.__init__(capacity, thread_safe)
        self.model = Model(capacity, self.now)
        assert self.cache.ttl == self.ttl

    @invariant()
    def matches_model(self):
        assert len(self.cache) == len(self.model)
        assert self.cache.items() == self.model.items()
        assert self.cache.capacity == self.model.capacity
        model = self.model
        assert self.cache.cache_info() == (model.hits, model.misses, model.capacity, len(model))
        # Every eviction, in order, with the stored key object and the value; nothing else.
        assert [(type(k), type(v)) for k, v in self.evicted] == [
            (type(k), type(v)) for k, v in model.evicted
        ]
        assert all(k is mk and v is mv for (k, v), (mk, mv) in zip(self.evicted, model.evicted))
        self.evicted.clear()
        model.evicted.clear()
        assert_consistent(self.cache)


TestLRUModel = LRUModel.TestCase
