"""Our cache as the store of the ecosystem's memoising decorators."""
import threading

import pytest

from amber_moth.lru_cache import LRUCache

cachetools = pytest.importorskip("cachetools")

VARIANTS = {
    "plain": {},
    "lock": {"lock": threading.Lock()},
    "condition": {"condition": threading.Condition()},
    "info": {"info": True},
    "lock_info": {"lock": threading.RLock(), "info": True},
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_cachetools_cached(variant):
    store = LRUCache(2, thread_safe=True)
    calls = []

    @cachetools.cached(cache=store, **VARIANTS[variant])
    def square(n):
        calls.append(n)
        return n * n

    assert [square(n) for n in (1, 2, 1, 3, 2, 1)] == [1, 4, 1, 9, 4, 1]
    assert calls == [1, 2, 3, 2, 1]  # 2 was evicted by 3, then 1 by 2
    assert len(store) == 2
    if VARIANTS[variant].get("info"):
        assert square.cache_info().hits == 1


# cachedmethod's info=True insists on a registered Mapping, which our cache is not.
@pytest.mark.parametrize("variant", [v for v in VARIANTS if "info" not in VARIANTS[v]])
def test_cachetools_cachedmethod(variant):
    calls = []

    # cachedmethod takes the lock or condition as a function of the instance.
    options = {k: (lambda self, v=v: v) for k, v in VARIANTS[variant].items()}

    class Squares:
        def __init__(self):
            self.store = LRUCache(4)

        @cachetools.cachedmethod(lambda self: self.store, **options)
        def square(self, n):
            calls.append(n)
            return n * n

    s = Squares()
    assert [s.square(n) for n in (2, 2, 3, 2)] == [4, 4, 9, 4]
    assert calls == [2, 3] and len(s.store) == 2


def test_concurrent_memoisation_computes_each_key_once_with_condition():
    store = LRUCache(64, thread_safe=True)
    calls = []

    @cachetools.cached(cache=store, condition=threading.Condition())
    def slow(n):
        calls.append(n)
        return n

    threads = [threading.Thread(target=lambda: [slow(n % 8) for n in range(200)]) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(calls) == list(range(8))
