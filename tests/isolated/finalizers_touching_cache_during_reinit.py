"""Finalisers run while __init__ drops the old entries get RuntimeError from the cache,
and one that re-initialises it meanwhile leaves it consistent."""
from amber_moth.lru_cache import LRUCache

from support import assert_consistent

class Toucher:
    def __init__(self, cache, log):
        self.cache, self.log = cache, log
    def __del__(self):
        c = self.cache
        try:
            self.log.append(("len", len(c)))
            c["new"] = 1
            self.log.append(("set", c.keys()))
        except RuntimeError as e:
            self.log.append(("error", str(e)))

log = []
cache = LRUCache(3)
cache["a"] = Toucher(cache, log)
cache.__init__(5)
assert log and log[0][0] == "error", log
assert_consistent(cache)
assert cache.capacity == 5

holder = LRUCache(3)
class Reinit:
    def __del__(self):
        holder.__init__(7)
        holder["x"] = 1
holder["r"] = Reinit()
holder.__init__(2)
assert_consistent(holder)
print("ok")
