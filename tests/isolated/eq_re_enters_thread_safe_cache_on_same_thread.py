"""A key's __eq__ may use the thread-safe cache that is comparing it, on the same thread,
and the lock is wholly released afterwards."""
from amber_moth.lru_cache import LRUCache

from hostile import Hostile, Plain
from support import assert_consistent

c = LRUCache(8, thread_safe=True)
c[Plain(1)] = 1
seen = []
h = Hostile(2, c, lambda cache, me: seen.append((cache.has(Plain(1)), cache[Plain(1)])), True)
c[h] = 2
h.armed = True
assert c[Plain(2)] == 2
assert seen == [(True, 1)]
c[Plain(3)] = 3  # the lock was fully released: this would deadlock otherwise
assert_consistent(c)
