"""Memoising functions in an LRUCache: lru_cache() and cache(), called as functools' are.

    from amber_moth.func import lru_cache, cache

The wrapper is a C type (_lru_cache_wrapper) that builds each call's key as functools does,
hashes it once and looks it up in an amber_moth LRUCache, reachable as the wrapper's `cache`
attribute (None when maxsize is 0).
"""
import os
from functools import update_wrapper

from amber_moth.lru_cache import CacheInfo, _forget_flights, _lru_cache_wrapper

__all__ = ["CacheInfo", "cache", "lru_cache"]

# The name functools gives its CacheInfo, which code written for functools may read.
_CacheInfo = CacheInfo

# A child process has none of its parent's other threads: it must not wait for the
# computations they had under way.
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_flights)


def lru_cache(maxsize=128, typed=False, *, ttl=None, single_flight=False):
    """Decorator memoising a function in an LRUCache of at most maxsize results.

    As functools.lru_cache: maxsize None stores every result, 0 stores none, a negative
    maxsize acts as 0; with typed, arguments of different types are cached apart. With a
    ttl (seconds), a result expires ttl seconds after its call returned. With
    single_flight, a call whose key another thread is computing waits for that result
    instead of computing it again.
    """
    if isinstance(maxsize, int):
        maxsize = max(maxsize, 0)
    elif callable(maxsize) and isinstance(typed, bool):
        # The function was passed in directly as maxsize: @lru_cache without parentheses.
        user_function, maxsize = maxsize, 128
        return _decorate(user_function, maxsize, typed, single_flight, ttl)
    elif maxsize is not None:
        raise TypeError("Expected first argument to be an integer, a callable, or None")

    def decorating_function(user_function):
        return _decorate(user_function, maxsize, typed, single_flight, ttl)

    return decorating_function


def cache(user_function, /):
    """Simple unbounded cache: lru_cache(maxsize=None)(user_function)."""
    return _decorate(user_function, None, False, False, None)


def _decorate(user_function, maxsize, typed, single_flight, ttl):
    wrapper = _lru_cache_wrapper(user_function, maxsize, typed, single_flight, ttl)
    return update_wrapper(wrapper, user_function)
