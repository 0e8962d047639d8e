"""An unbounded memoised function whose keys' __eq__ calls it with new keys: no result is
ever evicted or left unstored below the bound.
  "store": with 127 results in 128 slots, storing a result runs a comparison that calls
  the function with a new key, which takes the last slot; the first result is then stored
  after the cache grows, evicting nothing.
  "lookup": with the cache full, a call's lookup runs a comparison that calls the function
  with a new key, whose result needs the cache to grow under the lookup under way; the
  lookup then goes on in the grown cache.

Run: python func_results_stored_from_comparisons_never_evict_below_the_bound.py; prints
"ok"."""
from amber_moth.func import cache as memoise

from support import assert_consistent

armed = False


class Key:
    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return 7

    def __eq__(self, other):
        global armed
        if armed:
            armed = False
            f(("new", self.v, other.v))
        return isinstance(other, Key) and other.v == self.v


def f(x):
    return x


for case, filled, arm_in_body in (("store", 127, True), ("lookup", 128, False)):
    f = memoise(lambda x, arm=arm_in_body: (globals().__setitem__("armed", arm), x)[1])
    for i in range(filled - 1):
        f(i)
    f(Key(0))
    assert f.cache_info().currsize == filled == len(f.cache)
    armed = not arm_in_body  # "lookup": the wrapper's own lookup of Key(1) compares first
    assert f(Key(1)).v == 1
    info = f.cache_info()
    assert info.currsize == filled + 2 and info.misses == filled + 2, (case, info)
    assert f.cache.capacity == 256, (case, f.cache.capacity)
    assert all(i in f.cache for i in range(filled - 1)), case
    assert_consistent(f.cache)
print("ok")
