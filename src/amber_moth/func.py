"""Memoising functions in an LRUCache: lru_cache() and cache(), called as functools' are,
and alru_cache() for coroutine functions.

    from amber_moth.func import lru_cache, cache, alru_cache

The wrapper is a C type (_lru_cache_wrapper) that builds each call's key as functools does,
hashes it once and looks it up in an amber_moth LRUCache, reachable as the wrapper's `cache`
attribute (None when maxsize is 0).
"""
import os
from collections.abc import Coroutine
from functools import update_wrapper

from amber_moth.lru_cache import (
    CacheInfo, _alru_cache_wrapper, _Awaiting, _forget_flights, _lru_cache_wrapper
)

__all__ = ["CacheInfo", "alru_cache", "cache", "lru_cache"]

# The name functools gives its CacheInfo, which code written for functools may read.
_CacheInfo = CacheInfo

# A child process has none of its parent's other threads: it must not wait for the
# computations they had under way.
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_flights)

# What alru_cache's calls return is a coroutine to asyncio (run, create_task, gather).
Coroutine.register(_Awaiting)


def lru_cache(maxsize=128, typed=False, *, ttl=None, single_flight=False):
    """Decorator memoising a function in an LRUCache of at most maxsize results.

    As functools.lru_cache: maxsize None stores every result, 0 stores none, a negative
    maxsize acts as 0; with typed, arguments of different types are cached apart. With a
    ttl (seconds), a result expires ttl seconds after its call returned. With
    single_flight, a call whose key another thread is computing waits for that result
    instead of computing it again.
    """
    return _call_forms(maxsize, typed, lambda fn, size: _decorate(fn, size, typed, single_flight, ttl))


def alru_cache(maxsize=128, typed=False, *, ttl=None):
    """Decorator memoising a coroutine function in an LRUCache of at most maxsize results.

    Called as lru_cache. Calls of an equal key await one computation, a task on the running
    loop; its result is stored when it returns (an exception is not), and with ttl expires
    ttl seconds later. Cancelling an awaiter cancels it alone; once every awaiter of a
    computation is cancelled, so is the computation.
    """
    return _call_forms(maxsize, typed, lambda fn, size: _decorate_async(fn, size, typed, ttl))


def _call_forms(maxsize, typed, decorate):
    """functools' call forms: @decorator, @decorator(), @decorator(maxsize, typed)."""
    if isinstance(maxsize, int):
        maxsize = max(maxsize, 0)
    elif callable(maxsize) and isinstance(typed, bool):
        # The function was passed in directly as maxsize: the decorator without parentheses.
        return decorate(maxsize, 128)
    elif maxsize is not None:
        raise TypeError("Expected first argument to be an integer, a callable, or None")
    return lambda user_function: decorate(user_function, maxsize)


def cache(user_function, /):
    """Simple unbounded cache: lru_cache(maxsize=None)(user_function)."""
    return _decorate(user_function, None, False, False, None)


def _decorate(user_function, maxsize, typed, single_flight, ttl):
    wrapper = _lru_cache_wrapper(user_function, maxsize, typed, single_flight, ttl)
    return update_wrapper(wrapper, user_function)


def _decorate_async(user_function, maxsize, typed, ttl):
    from inspect import iscoroutinefunction, markcoroutinefunction

    if not iscoroutinefunction(user_function):
        raise TypeError(f"alru_cache needs a coroutine function, got {user_function!r}")
    wrapper = update_wrapper(_alru_cache_wrapper(user_function, maxsize, typed, ttl), user_function)
    return markcoroutinefunction(wrapper)
