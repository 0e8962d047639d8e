"""The compared key removes itself and is freed by the lookup's last reference to it; a
finaliser that the interpreter runs only after freeing it (deferred from deep
recursion) stores an unequal key of the same hash, which gets the freed key's memory
and node. The lookup must not take that key's entry for the one it compared, as a dict
would not."""
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

sys.setrecursionlimit(10**6)
state = {}
class K:
    __slots__ = ("n", "hostile", "__weakref__")
    def __init__(self, n, hostile=False):
        self.n, self.hostile = n, hostile
    def __hash__(self):
        return 4242
    def __eq__(self, other):
        if self.hostile:
            self.hostile = False
            state["b"] = id(self)
            del cache[self]
        return isinstance(other, K) and other.n == self.n
    def __del__(self):
        if state.get("b") == id(self) and "armed" not in state:
            state["armed"] = True
            deep_drop()
class D:
    def __del__(self):
        pool = [K("c") for _ in range(64)]  # one of them takes the freed key's memory
        c = next((k for k in pool if id(k) == state["b"]), pool[0])
        state["reused"] = id(c) == state["b"]
        cache[c] = "c"
class Rec:  # one long-lived object, so that nothing is collected while recursing
    def __str__(self):
        global left
        left -= 1
        if left == 0:
            if dropping:
                d = D()
                del d  # deep enough to be deferred until the frame's object is freed
            return ""
        return str(self)
REC = Rec()
left, dropping = 0, False
def max_depth():
    global left
    lo, hi = 1, 1 << 16
    while lo < hi:
        mid = (lo + hi + 1) // 2
        left = mid
        try:
            str(REC)
            lo = mid
        except RecursionError:
            hi = mid - 1
    return lo
def deep_drop():
    # Drops D as deep as the recursion limit allows, from one frame above where that was
    # measured.
    global left, dropping
    left, dropping = max_depth() - 2, True
    str(REC)
cache = LRUCache(8)
b = K("b", hostile=True)
cache[b] = "b"
del b
print(cache.get(K("b")), state.get("reused", False))
assert_consistent(cache)
