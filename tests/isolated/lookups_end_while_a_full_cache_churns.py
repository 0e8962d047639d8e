"""Each comparison sees 30 new keys stored into a full cache of 16 (memoised results, or
another thread's traffic): every store evicts, and the tombstones make the index
rebuild during every comparison. A lookup still ends after a comparison or two, as a
dict's does, whether the probe is equal to the stored key or not.

Arguments: the_comparison|another_thread unlocked|thread_safe
"""
import itertools
import sys
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent, thread_safety

by, thread_safe = sys.argv[1], thread_safety(sys.argv[2])

fresh = itertools.count(10**6)
calls = 0
armed = False
def churn():
    for _ in range(30):
        cache.get(stored)  # an identity hit keeps the compared entry recent
        cache[next(fresh)] = 0
class Memo:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return 10**9  # shared by no int key here
    def __eq__(self, other):
        global calls
        if armed:
            calls += 1
            if calls > 50:
                raise RuntimeError("the lookup does not end")
            if by == "another_thread":
                worker = threading.Thread(target=churn)
                worker.start()
                worker.join()
            else:
                churn()
        return isinstance(other, Memo) and other.n == self.n
stored = Memo("k")
def armed_call(name, key):
    # A full cache whose path for `stored` starts with a tombstone, so that a rebuild moves
    # `stored` back a slot, and the result and comparison count of one armed operation.
    global armed, calls, cache
    cache = LRUCache(16, thread_safe)
    first = Memo("first")
    cache[first] = 0
    cache[stored] = "v"
    for i in range(14):
        cache[i] = i
    del cache[first]
    armed, calls = True, 0
    try:
        return getattr(cache, name)(key), calls
    finally:
        armed = False
        assert_consistent(cache)
assert armed_call("get", Memo("k")) == ("v", 1)
assert armed_call("pop", Memo("k")) == ("v", 1)  # removed from the slot it moved to
assert stored not in cache
value, calls = armed_call("get", Memo("other"))
assert value is None and calls <= 3, calls
print("ok")
