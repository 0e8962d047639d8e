from collections.abc import Awaitable, Callable, Coroutine
from typing import (
    Any, Concatenate, Generic, Literal, NamedTuple, NotRequired, ParamSpec, Self, TypedDict, TypeVar,
    final, overload
)

from amber_moth.lru_cache import LRUCache

__all__ = ["CacheInfo", "alru_cache", "cache", "lru_cache"]

_P = ParamSpec("_P")
_Q = ParamSpec("_Q")
_R = TypeVar("_R")
_S = TypeVar("_S")

class CacheInfo(NamedTuple):
    """A memoised function's statistics, as functools reports them (the class LRUCache's
    cache_info() returns too, where maxsize is never None)."""

    hits: int
    misses: int
    maxsize: int | None
    currsize: int

_CacheInfo = CacheInfo

class _CacheParameters(TypedDict):
    maxsize: int | None
    typed: bool
    ttl: NotRequired[float]
    single_flight: NotRequired[Literal[True]]

@final
class _lru_cache_wrapper(Generic[_P, _R]):
    """A function memoised in an LRUCache; made by lru_cache() and cache()."""

    __wrapped__: Callable[_P, _R]
    def __new__(
        cls,
        user_function: Callable[_P, _R],
        maxsize: int | None,
        typed: bool,
        single_flight: bool,
        ttl: float | None = None,
    ) -> _lru_cache_wrapper[_P, _R]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R:
        """Calls the function, or returns the result stored for an equal call."""
    @property
    def cache(self) -> LRUCache[Any, _R] | None:
        """The LRUCache holding the results, or None when maxsize is 0."""
    def cache_info(self) -> CacheInfo:
        """Hits, misses, maxsize (None when unbounded) and currsize, as functools reports them."""
    def cache_clear(self) -> None:
        """Empties the cache and zeroes the statistics."""
    def cache_parameters(self) -> _CacheParameters:
        """The arguments given to lru_cache()."""
    def cache_invalidate(self, *args: _P.args, **kwargs: _P.kwargs) -> bool:
        """Removes the result that a call with these arguments would use, and returns whether
        there was one (an expired result counts as none)."""
    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self: ...
    @overload
    def __get__(
        self: _lru_cache_wrapper[Concatenate[_S, _Q], _R], instance: _S, owner: type[Any] | None = None, /
    ) -> Callable[_Q, _R]:
        """Bound as a method, as a function is: called without the instance."""
    def __reduce__(self) -> str: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...

@overload
def lru_cache(
    maxsize: int | None = 128,
    typed: bool = False,
    *,
    ttl: float | None = None,
    single_flight: bool = False,
) -> Callable[[Callable[_P, _R]], _lru_cache_wrapper[_P, _R]]:
    """Decorator memoising a function in an LRUCache of at most maxsize results (None: all).
    With a ttl (seconds), a result expires ttl seconds after its call returned; ttl raises
    as LRUCache.ttl does."""

@overload
def lru_cache(
    maxsize: Callable[_P, _R],
    typed: bool = False,
    *,
    ttl: float | None = None,
    single_flight: bool = False,
) -> _lru_cache_wrapper[_P, _R]: ...
def cache(user_function: Callable[_P, _R], /) -> _lru_cache_wrapper[_P, _R]:
    """Simple unbounded cache: lru_cache(maxsize=None)(user_function)."""

class _AsyncCacheParameters(TypedDict):
    maxsize: int | None
    typed: bool
    ttl: float | None

@final
class _alru_cache_wrapper(Generic[_P, _R]):
    """A coroutine function memoised in an LRUCache; made by alru_cache()."""

    __wrapped__: Callable[_P, Coroutine[Any, Any, _R]]
    def __new__(
        cls,
        user_function: Callable[_P, Coroutine[Any, Any, _R]],
        maxsize: int | None,
        typed: bool,
        ttl: float | None = None,
    ) -> _alru_cache_wrapper[_P, _R]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> Coroutine[Any, Any, _R]:
        """An awaitable of the stored result, of the computation under way, or of a new one."""
    @property
    def cache(self) -> LRUCache[Any, _R] | None:
        """The LRUCache holding the results, or None when maxsize is 0."""
    def cache_info(self) -> CacheInfo:
        """Hits (stored results and joined computations), misses, maxsize and currsize."""
    def cache_clear(self) -> None:
        """Empties the cache and zeroes the statistics; computations under way store nothing."""
    def cache_parameters(self) -> _AsyncCacheParameters:
        """The arguments given to alru_cache()."""
    def cache_invalidate(self, *args: _P.args, **kwargs: _P.kwargs) -> bool:
        """Forgets the call's result, and lets its computation under way store nothing."""
    def cache_contains(self, *args: _P.args, **kwargs: _P.kwargs) -> bool:
        """Whether the call's result is stored; statistics and recency unchanged."""
    def cache_close(self, wait: bool = False) -> Awaitable[None]:
        """Refuses later calls; cancels the computations under way, or with wait lets them end."""
    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: type[Any] | None = None, /) -> Callable[..., Coroutine[Any, Any, _R]]: ...
    def __reduce__(self) -> str: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...

@overload
def alru_cache(
    maxsize: int | None = 128, typed: bool = False, *, ttl: float | None = None
) -> Callable[[Callable[_P, Coroutine[Any, Any, _R]]], _alru_cache_wrapper[_P, _R]]:
    """Decorator memoising a coroutine function: one computation per key and loop."""

@overload
def alru_cache(
    maxsize: Callable[_P, Coroutine[Any, Any, _R]], typed: bool = False, *, ttl: float | None = None
) -> _alru_cache_wrapper[_P, _R]: ...
