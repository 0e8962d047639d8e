"""A comparison that changes unrelated entries (pops and re-stores a bookkeeping entry, or
stores many new keys) does not make the lookup start again: it ends, and N equal-hash
keys doing so cost N comparisons, not N*N/2 or an endless loop. BUSY names what each
comparison does: re_stores_one_entry or stores_twenty_new_keys.

Arguments: BUSY
"""
import itertools
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

busy = sys.argv[1]
calls = 0
fresh = itertools.count(10**6)
class Busy:
    def __init__(self, n, cache):
        self.n, self.cache, self.armed = n, cache, False
    def __hash__(self):
        return 5
    def __eq__(self, other):
        global calls
        calls += 1
        if self.armed:
            if busy == "re_stores_one_entry":
                self.cache["book"] = self.cache.pop("book", 0) + 1
            else:
                assert busy == "stores_twenty_new_keys", busy
                for _ in range(20): self.cache[next(fresh)] = 0
        return isinstance(other, Busy) and other.n == self.n
for thread_safe in (False, True):
    cache = LRUCache(20000, thread_safe)
    cache["book"] = 0
    keys = [Busy(i, cache) for i in range(400)]
    for k in keys:
        cache[k] = k.n
    for k in keys:
        k.armed = True
    calls = 0
    assert cache.get(Busy(-1, cache)) is None
    assert calls == 400, calls
    calls = 0
    assert cache[Busy(399, cache)] == 399
    assert calls == 400, calls
    for k in keys:
        k.armed = False
    assert [cache.peek(k) for k in keys] == list(range(400))
    assert_consistent(cache)
print("ok")
