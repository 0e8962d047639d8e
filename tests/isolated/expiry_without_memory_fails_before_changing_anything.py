"""One allocation fails, at every point in turn, when a cache first needs its deadlines
(setting the ttl, set_with_ttl, the first write of a store re-initialised with a ttl): the
call either completes or raises MemoryError with the cache unchanged."""
import sys

import _testcapi

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

outcomes = set()
for how in ("ttl", "set_with_ttl", "reinit"):
    for start in range(8):
        c = LRUCache(4)
        c.timer = lambda: 0.0
        c["a"] = 1
        if how == "reinit":
            c.ttl = 1
            c.__init__(4)
        before = (c.items(), c.ttl, sys.getsizeof(c))
        _testcapi.set_nomemory(start, start + 1)
        try:
            if how == "ttl":
                c.ttl = 5
            else:
                c.set_with_ttl("b", 2, 5) if how == "set_with_ttl" else c.set("b", 2)
            done = True
        except MemoryError:
            done = False
        finally:
            _testcapi.remove_mem_hooks()
        if done:
            assert sys.getsizeof(c) == before[2] + 16 * 4, (how, start)
        else:
            assert (c.items(), c.ttl, sys.getsizeof(c)) == before, (how, start)
        outcomes.add(done)
        assert_consistent(c)
print(sorted(outcomes))
