"""Thread A and then thread B compare their equal probes with a stored key of the same
hash, each waiting inside the comparison. A finishes first (its comparison is not the
newest under way) and stores its key in a slot B has passed; B, told that a key of its
hash was stored, looks again and finds it rather than storing it twice."""
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

class Key:
    def __init__(self, n, entered=None, go=None):
        self.n, self.entered, self.go = n, entered, go
    def __hash__(self):
        return 5
    def __eq__(self, other):
        if other.entered is not None:
            entered, other.entered = other.entered, None
            entered.set()
            other.go.wait(10)
        return self.n == other.n
cache = LRUCache(8)
cache[Key(9)] = 9
cache[Key(0)] = 0
del cache[Key(9)]  # a free slot before Key(0) on the path: where A's key goes
events = {name: (threading.Event(), threading.Event()) for name in "ab"}
threads = {name: threading.Thread(target=cache.__setitem__, args=(Key(1, *events[name]), name))
           for name in "ab"}
for name in "ab":
    threads[name].start()
    assert events[name][0].wait(10)
for name in "ab":
    events[name][1].set()
    threads[name].join(10)
assert len(cache) == 2 and cache[Key(1)] == "b", (len(cache), cache.items())
assert_consistent(cache)
print("ok")
