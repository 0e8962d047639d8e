"""20,000 random operations with keys whose __eq__ sometimes mutates the cache (one in
twenty comparisons): the cache stays consistent. Prints whether over a thousand
mutations ran."""
import random

from amber_moth.lru_cache import LRUCache

from hostile import ACTIONS, Plain, operations
from support import assert_consistent

rng = random.Random(1234)
MUTATIONS = [ACTIONS[a] for a in ("clear", "delete_self", "pop_self", "delete_other", "insert_many", "read",
                                  "popitem", "update", "resize")]

class Sometimes(Plain):
    cache = None
    armed = True
    mutations = 0
    __hash__ = Plain.__hash__
    def __eq__(self, other):
        if Sometimes.armed and rng.random() < 0.05:
            Sometimes.mutations += 1
            rng.choice(MUTATIONS)(Sometimes.cache, self)
        return super().__eq__(other) if isinstance(other, Plain) else NotImplemented

def check(c):
    Sometimes.armed = False
    assert_consistent(c)
    Sometimes.armed = True

for thread_safe in (False, True):
    c = LRUCache(16, thread_safe)
    Sometimes.cache = c
    for step in range(20000):
        k = Sometimes(rng.randrange(40))
        try:
            rng.choice(list(operations(k).values()))(c) if rng.random() < 0.9 else c.clear()
        except KeyError:
            pass
        if step % 500 == 0:
            check(c)
    check(c)
print(Sometimes.mutations > 1000)
