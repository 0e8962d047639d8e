"""Keys whose __eq__ answers alternately True and False leave the cache consistent after
every operation."""
from amber_moth.lru_cache import LRUCache

from support import assert_consistent

class Flip:
    flips = 0
    def __hash__(self):
        return 3
    def __eq__(self, other):
        Flip.flips += 1
        return Flip.flips % 2 == 0
for thread_safe in (False, True):
    c = LRUCache(4, thread_safe)
    keys = [Flip() for _ in range(6)]
    for k in keys * 3:
        c[k] = 1
        c.get(Flip()); Flip() in c; c.pop(Flip()); c.delete(Flip())
        assert_consistent(c)
