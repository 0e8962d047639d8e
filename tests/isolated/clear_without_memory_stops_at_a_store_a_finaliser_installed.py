"""clear() without memory for its one-step array removes entries one at a time; when a
finaliser re-initialises the cache and fills it meanwhile, clear() stops there and keeps
the new entries."""
import _testcapi

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

for thread_safe in (False, True):
    cache = LRUCache(100, thread_safe)
    seen = []
    class Reinit:
        def __del__(self):
            _testcapi.remove_mem_hooks()
            seen.append(len(cache))  # 2: entries still leave one at a time
            cache.__init__(100, thread_safe)
            for i in range(50):
                cache[i] = i
    cache["a"] = Reinit()
    cache["b"] = 1
    cache["c"] = 2
    _testcapi.set_nomemory(0, 0)
    try:
        cache.clear()
    finally:
        _testcapi.remove_mem_hooks()
    assert seen == [2] and cache.keys() == list(range(50)), (seen, cache.keys())
    assert_consistent(cache)
print("ok")
