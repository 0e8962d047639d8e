"""One allocation fails, at every point in turn: resize either completes (the hook sees
every eviction) or raises MemoryError with the cache, its counts and its hook's calls
unchanged. The hook lifts the failure, so that only the resize itself is swept."""
import _testcapi

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

outcomes = set()
for thread_safe in (False, True):
    for new in (2, 3, 8):
        for start in range(12):
            c = LRUCache(6, thread_safe)
            for i in range(6):
                c[i] = str(i)
            c.get(0), c.get("absent")
            evicted = []
            def hook(k, v):
                _testcapi.remove_mem_hooks()
                evicted.append((k, v))
            c.on_evict = hook
            before = (c.items(), c.cache_info())
            _testcapi.set_nomemory(start, start + 1)
            try:
                c.resize(new)
                done = True
            except MemoryError as e:
                done = False
                assert str(e) == f"cannot allocate an LRUCache of capacity {new}", (new, start, e)
            finally:
                _testcapi.remove_mem_hooks()
            if done:
                order = [1, 2, 3, 4, 5, 0]
                assert c.keys() == order[-new:] and c.capacity == new, (new, start)
                assert evicted == [(k, str(k)) for k in order[:-new]], (new, start, evicted)
                assert c.cache_info() == (1, 1, new, min(6, new))
            else:
                assert (c.items(), c.cache_info()) == before and evicted == [], (new, start)
            outcomes.add((new, done))
            assert_consistent(c)
print(sorted(outcomes))
