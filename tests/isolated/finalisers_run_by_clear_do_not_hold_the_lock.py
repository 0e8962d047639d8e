"""A value's finaliser waits for another thread that uses the cache, and sees it empty."""
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

cache = LRUCache(4, thread_safe=True)
seen = []
class Flushes:
    def __del__(self):
        t = threading.Thread(target=lambda: seen.append((cache.get("other"), len(cache))))
        t.start()
        t.join()
cache["v"] = Flushes()
cache["other"] = 1
cache["w"] = Flushes()
cache.clear()
assert seen == [(None, 0), (None, 0)], seen
cache["again"] = 2
assert_consistent(cache)
print("ok")
