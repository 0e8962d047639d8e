from collections.abc import Callable, Hashable, Iterable, Iterator
from types import GenericAlias
from typing import Any, Generic, NamedTuple, NoReturn, Protocol, TypeVar, overload

from typing_extensions import disjoint_base

_K = TypeVar("_K", bound=Hashable)
_V = TypeVar("_V")
_T = TypeVar("_T")
_KT = TypeVar("_KT")
_VT_co = TypeVar("_VT_co", covariant=True)

# What update() reads a mapping through. The key type appears in __getitem__ too, so that a
# dict literal of the wrong key type is not inferred as having keys of type Any.
class _Mapping(Protocol[_KT, _VT_co]):
    def keys(self) -> Iterable[_KT]: ...
    def __getitem__(self, key: _KT, /) -> _VT_co: ...

class CacheInfo(NamedTuple):
    """Lookup statistics of a cache, as functools.lru_cache reports them."""

    hits: int
    misses: int
    maxsize: int
    currsize: int

@disjoint_base
class LRUCache(Generic[_K, _V]):
    """An LRU cache with optional thread safety.

    Holds at most `capacity` entries. Reading an entry (get, cache[key]) or writing it (set,
    cache[key] = value) makes it the most recently used; nothing else reorders entries. A
    new key in a full cache evicts the least recently used entry. Keys are compared as dict
    compares them: the probe itself, else a key of the same hash that __eq__ finds equal.

    Every keyed operation raises the key's own error when it cannot be hashed (TypeError for
    unhashable keys) and the error of a stored key's __eq__ that raises, leaving the cache
    unchanged. Every operation raises RuntimeError on an instance whose __init__ has not
    completed.
    """

    def __init__(self, capacity: int = 128, thread_safe: object = False) -> None:
        """Makes the cache empty, with room for `capacity` entries (128 when capacity <= 0).

        With a true `thread_safe`, each operation holds the instance's reentrant lock.
        Calling it again on a cache empties the cache and applies the new arguments.
        Raises TypeError or OverflowError for bad arguments, MemoryError when the capacity
        cannot be allocated, and RuntimeError when re-initialising a cache from inside one
        of its operations on the same thread (a key's __eq__, or a finaliser run there), or
        one without thread safety while another thread is inside an operation; a
        thread-safe cache waits for other threads' operations. A call that raises changes
        nothing: a new instance stays
        uninitialised, and a cache being re-initialised keeps its entries and arguments.
        """

    @property
    def capacity(self) -> int:
        """The most entries the cache holds. Read-only."""

    @property
    def thread_safe(self) -> bool:
        """Whether each operation holds the instance's reentrant lock (the truth of the
        constructor's `thread_safe`). Read-only."""

    @property
    def head(self) -> _K | None:
        """The least recently used key (the next to be evicted), or None when empty.
        Read-only; does not change recency."""

    @property
    def tail(self) -> _K | None:
        """The most recently used key, or None when empty. Read-only; does not change
        recency."""

    @property
    def on_evict(self) -> Callable[[_K, _V], object] | None:
        """The eviction hook, or None (the default).

        Called as on_evict(key, value) for every entry evicted to make room for a new key
        (through set, cache[key] = value, setdefault, update and resize), in eviction order,
        once the operation has completed and the lock is released, on the thread that made
        the operation. Not called for entries removed on request (delete, del, pop, popitem,
        clear, re-initialisation, deallocation). An error the hook raises goes to
        sys.unraisablehook; the operation has already succeeded. The hook may use the cache;
        if it evicts in turn, it is called again, from within itself, for those entries.
        Setting anything but a callable or None raises TypeError; deleting it sets None.
        """
    @on_evict.setter
    def on_evict(self, hook: Callable[[_K, _V], object] | None) -> None: ...
    @on_evict.deleter
    def on_evict(self) -> None: ...

    @property
    def ttl(self) -> float | None:
        """Seconds that entries written from now on live, or None (the default): never expire.

        An entry written (set, cache[key] = value, setdefault when it stores, update) while
        the ttl is set is absent to every operation from the moment the timer reads its
        write time plus the ttl; it then leaves as an evicted entry does (on_evict is called
        for it). Reads never extend it. Changing the ttl affects later writes only;
        re-initialisation keeps it. Setting anything but None or a real number raises
        TypeError (bool included), a number not greater than 0 or not finite ValueError;
        deleting it sets None. MemoryError, nothing changed, when the cache's first deadlines
        cannot be allocated (16 bytes per unit of capacity).
        """
    @ttl.setter
    def ttl(self, ttl: float | None) -> None: ...
    @ttl.deleter
    def ttl(self) -> None: ...

    @property
    def timer(self) -> Callable[[], float] | None:
        """What gives the time, in seconds: None (the default) for the built-in monotonic
        clock, at most 10 ms coarse, or a callable returning a real number. Called at most
        once per operation, only once the cache has used expiry, before the lock is taken;
        an operation whose timer raises, or returns no finite real number, raises with the
        cache unchanged. Re-initialisation keeps it. Setting anything but a callable or None
        raises TypeError; deleting it sets None."""
    @timer.setter
    def timer(self, timer: Callable[[], float] | None) -> None: ...
    @timer.deleter
    def timer(self) -> None: ...

    @overload
    def get(self, key: _K, /) -> _V | None:
        """get(key[, default]): the value stored under key, or `default` (None when not
        given) when absent. A hit makes the entry the most recently used; a miss changes
        nothing."""
    @overload
    def get(self, key: _K, default: _T, /) -> _V | _T: ...

    def set(self, key: _K, value: _V, /) -> None:
        """Stores value under key and makes the entry the most recently used. An existing
        entry keeps its first key object; a new key in a full cache evicts the least
        recently used entry."""

    def set_with_ttl(self, key: _K, value: _V, ttl: float | None, /) -> None:
        """Stores value under key as set() does, the entry expiring ttl seconds from now
        (None: never), whatever the cache's ttl is. Raises for a ttl as setting the ttl
        property does."""

    def expire(self) -> int:
        """Removes every expired entry now (on_evict is called for each, earliest deadline
        first) and returns how many it removed."""

    @overload
    def setdefault(self: LRUCache[_K, _T | None], key: _K, /) -> _T | None:
        """setdefault(key[, default]): the value stored under key; when absent, stores
        `default` (None when not given) under key and returns it. Either way the entry
        becomes the most recently used, and a new key in a full cache evicts the least
        recently used entry."""
    @overload
    def setdefault(self, key: _K, default: _V, /) -> _V: ...

    @overload
    def peek(self, key: _K, /) -> _V | None:
        """peek(key[, default]): the value stored under key, or `default` (None when not
        given) when absent. Does not change recency and is not counted by cache_info()."""
    @overload
    def peek(self, key: _K, default: _T, /) -> _V | _T: ...

    def popitem(self) -> tuple[_K, _V]:
        """Removes the least recently used entry and returns it as (key, value). Raises
        KeyError when the cache is empty."""

    @overload
    def update(self, other: _Mapping[_K, _V], /, **kwargs: _V) -> None:
        """update([other], **kwargs): stores each pair of `other` (a mapping, read through
        its keys(), or an iterable of (key, value) pairs), then each keyword argument, in
        order, as set() stores it: each becomes the most recently used and may evict. Raises
        as dict.update does (TypeError, ValueError for pairs of the wrong length); pairs
        stored before the error stay."""
    @overload
    def update(self, other: Iterable[tuple[_K, _V]] = ..., /, **kwargs: _V) -> None: ...

    def resize(self, capacity: int, /) -> None:
        """Gives the cache a new capacity (128 when capacity <= 0), keeping the most recently
        used entries that fit, in order, and evicting the rest (on_evict is called for them).
        Raises MemoryError, with the cache unchanged, when the new capacity cannot be
        allocated, and RuntimeError when called from inside one of the cache's operations on
        the same thread (a key's __eq__, or a finaliser run there), or on a cache without
        thread safety while another thread is inside an operation; a thread-safe cache
        waits for other threads' operations."""

    def cache_info(self) -> CacheInfo:
        """(hits, misses, maxsize, currsize): lookups by get, cache[key] and setdefault that
        found their key and that did not, since the cache was made or last cleared (clear()
        and re-initialisation reset them; resize keeps them), the capacity and the number of
        entries."""

    def has(self, key: object, /) -> bool:
        """Whether key is in the cache (as `key in cache`). Does not change recency."""

    def delete(self, key: _K, /) -> None:
        """Removes key's entry if present; an absent key is not an error."""

    @overload
    def pop(self, key: _K, /) -> _V | None:
        """pop(key[, default]): removes key's entry and returns its value, or returns
        `default` (None when not given) when absent. Never raises KeyError."""
    @overload
    def pop(self, key: _K, default: _T, /) -> _V | _T: ...

    def clear(self) -> None:
        """Removes every entry and resets the cache_info() counts; the capacity stays."""

    def length(self) -> int:
        """The number of entries (as len(cache))."""

    def keys(self) -> list[_K]:
        """A new list of the keys, least recently used first. Does not change recency."""

    def values(self) -> list[_V]:
        """A new list of the values, least recently used first. Does not change recency."""

    def items(self) -> list[tuple[_K, _V]]:
        """A new list of (key, value) pairs, least recently used first. Does not change
        recency."""

    def __len__(self) -> int:
        """The number of entries."""

    def __contains__(self, key: object, /) -> bool:
        """Whether key is in the cache. Does not change recency."""

    def __getitem__(self, key: _K, /) -> _V:
        """The value stored under key; the entry becomes the most recently used. Raises
        KeyError(key) when absent (a tuple key gives its items as the error's arguments, and
        None gives none)."""

    def __setitem__(self, key: _K, value: _V, /) -> None:
        """As set(key, value)."""

    def __delitem__(self, key: _K, /) -> None:
        """Removes key's entry. Raises KeyError(key) when absent."""

    def __iter__(self) -> Iterator[_K]:
        """An iterator over a snapshot of the keys, least recently used first. Does not
        change recency; the cache may change during the iteration."""

    def __sizeof__(self) -> int:
        """Bytes the cache owns: the instance, and once initialised its store record, node
        pool and index, all allocated at construction. Keys and values are not counted."""

    def __reduce__(self) -> NoReturn:
        """Raises TypeError: a cache cannot be pickled or copied."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """LRUCache[K, V]: a types.GenericAlias, for annotations and subclassing."""
