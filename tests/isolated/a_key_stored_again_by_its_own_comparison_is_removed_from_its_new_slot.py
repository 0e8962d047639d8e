"""The compared key deletes itself and is stored again, into the tombstone ahead of its
old slot (same node, no rebuild), then answers equal: the entry found is removed from
the slot it is in now.

Arguments: unlocked|thread_safe
"""
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent, thread_safety

thread_safe = thread_safety(sys.argv[1])

class K:
    def __init__(self, n, hostile=False):
        self.n, self.hostile = n, hostile
    def __hash__(self):
        return 12345
    def __eq__(self, other):
        if self.hostile:
            self.hostile = False
            del cache[self]
            cache[self] = "v"
        return isinstance(other, K) and other.n == self.n
for op in ("pop", "del", "delete"):
    cache = LRUCache(8, thread_safe)
    b = K("b", hostile=True)
    cache[K("x")] = 1
    cache[b] = 2
    del cache[K("x")]
    if op == "pop":
        assert cache.pop(K("b")) == "v"
    elif op == "del":
        del cache[K("b")]
    else:
        cache.delete(K("b"))
    assert len(cache) == 0 and b not in cache, (op, cache.items())
    cache[K("y")] = 3
    assert_consistent(cache)
print("ok")
