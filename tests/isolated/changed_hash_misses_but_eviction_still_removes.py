"""A key whose hash changes once stored is no longer found, but evicting it still removes
it and drops its value."""
import weakref

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

class Mutable:
    def __init__(self, h):
        self.h = h
    def __hash__(self):
        return self.h
class V:
    pass
c = LRUCache(2)
k = Mutable(1)
v = V()
ref = weakref.ref(v)
c[k] = v
del v
k.h = 2
assert k not in c and c.get(k) is None
assert c.keys() == [k]
c["a"] = 1
c["b"] = 2
assert ref() is None and c.keys() == ["a", "b"]
assert_consistent(c)
