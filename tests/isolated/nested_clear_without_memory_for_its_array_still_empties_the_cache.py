"""From __eq__ on a thread-safe cache, with drops already deferred, clear() reserves room
for its drops, then fails to get its one-step array: it removes the entries one at a
time within that room, and completes."""
import _testcapi

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

log = []
for failing_from in range(6):
    c = LRUCache(64, thread_safe=True)
    others = [("o", i) for i in range(5)]
    class K:
        def __hash__(self):
            return 7
        def __eq__(self, other):
            for i in range(11):  # 11 overwritten values wait for the outer get
                c[others[i % 5]] = i
            _testcapi.set_nomemory(failing_from, 0)
            try:
                c.clear()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            _testcapi.remove_mem_hooks()
            log.append((outcome, len(c)))
            return False
    c[K()] = 0
    for o in others:
        c[o] = 0
    c.get(K())
    assert_consistent(c)
assert all(entry in (("ok", 0), ("MemoryError", 6)) for entry in log), log
print("ok")
