"""__hash__ runs exactly once per operation; __eq__ never runs when the probe is the
stored key itself, nor during evictions and index rebuilds."""
from amber_moth.lru_cache import LRUCache

class Counted:
    hashes = 0
    eqs = 0
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        Counted.hashes += 1
        return self.n % 4  # plenty of collisions
    def __eq__(self, other):
        Counted.eqs += 1
        return isinstance(other, Counted) and self.n == other.n

c = LRUCache(8)
keys = [Counted(i) for i in range(200)]
ops = [lambda k: c.__setitem__(k, 1), lambda k: c.get(k), lambda k: k in c, lambda k: c.has(k),
       lambda k: c.pop(k), lambda k: c.delete(k), lambda k: c.set(k, 2), lambda k: c.get(k, 0)]
for i, k in enumerate(keys):
    for op in ops:
        before = Counted.hashes
        op(k)
        assert Counted.hashes == before + 1
# Same objects as probes: identity, never __eq__, even through evictions and rebuilds.
c.clear()
Counted.eqs = 0
class Own(Counted):  # distinct hashes: a key's only equal-hash slot is its own
    def __hash__(self):
        Counted.hashes += 1
        return self.n
few = [Own(i) for i in range(8)]
for round in range(200):
    for k in few:
        c[k] = round
        assert c[k] == round and k in c
    for k in few[:4]:
        del c[k]
assert Counted.eqs == 0
# Evictions compare nothing, even when the victim's slot comes after an equal-hash key in
# its probe run: b is evicted while c (same hash) sits before it.
c = LRUCache(2)
a, b, cc = Counted(5), Counted(9), Counted(13)  # all hash to 1
c[a] = c[b] = 0
del c[a]
c[cc] = 0  # takes a's slot, ahead of b's
Counted.eqs = 0
new = Own(100)
c[new] = 1  # evicts b
assert Counted.eqs == 0
kept = c.keys()
assert len(kept) == 2 and kept[0] is cc and kept[1] is new
