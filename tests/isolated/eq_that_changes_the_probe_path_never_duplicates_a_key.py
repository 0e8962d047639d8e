"""Comparisons that free, re-store or add keys on the probe's own path never leave a key
stored twice: two chosen cases, then a long random run."""
import random

from amber_moth.lru_cache import LRUCache

from hostile import Hostile, Plain
from support import assert_consistent

def no_duplicates(c):
    keys = c.keys()
    assert len({k.n for k in keys}) == len(keys), keys

for thread_safe in (False, True):
    # An earlier slot of the path is freed and the probed key added again into it.
    c = LRUCache(8, thread_safe)
    x, k0 = Plain(0), Plain(1)
    c[x] = 0
    c[Hostile(2, c, lambda c, me: (c.pop(k0), c.__setitem__(k0, "reinserted")))] = 1
    c[k0] = 2
    del c[x]
    c.keys()[0].armed = True
    c[k0] = "outer"
    no_duplicates(c)
    assert c[k0] == "outer"
    # An equal key is only added, into an earlier tombstone.
    c = LRUCache(8, thread_safe)
    x, probe = Plain(0), Plain(1)
    c[x] = 0
    c[Hostile(2, c, lambda c, me: c.__setitem__(Plain(1), "from eq"))] = 1
    del c[x]
    c.keys()[0].armed = True
    c[probe] = "outer"
    no_duplicates(c)
    assert c[Plain(1)] == "outer"

# A long run in which comparisons pop, delete and re-insert keys on the one probe path.
rng = random.Random(99)
class Meddler(Plain):
    __hash__ = Plain.__hash__
    armed = True
    def __eq__(self, other):
        if Meddler.armed and rng.random() < 0.2:
            k = Plain(rng.randrange(12))
            rng.choice([lambda: CACHE.pop(k), lambda: CACHE.delete(k),
                        lambda: CACHE.__setitem__(k, "eq"),
                        lambda: (CACHE.pop(k), CACHE.__setitem__(k, "again"))])()
        return Plain.__eq__(self, other)
for thread_safe in (False, True):
    CACHE = LRUCache(10, thread_safe)
    for step in range(20_000):
        k = (Meddler if rng.random() < 0.5 else Plain)(rng.randrange(12))
        rng.choice([lambda: CACHE.__setitem__(k, step), lambda: CACHE.get(k),
                    lambda: CACHE.pop(k), lambda: CACHE.setdefault(k, step), lambda: k in CACHE])()
        if step % 100 == 0:
            Meddler.armed = False
            no_duplicates(CACHE)
            assert_consistent(CACHE)
            Meddler.armed = True
print("ok")
