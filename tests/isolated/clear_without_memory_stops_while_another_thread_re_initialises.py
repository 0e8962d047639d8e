"""clear() falls back to removing one entry at a time; between two steps another thread's
__init__ is still dropping the old entries (the cache has no store): clear() stops."""
import _testcapi
import threading
import time

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

for thread_safe in (False, True):
    c = LRUCache(8, thread_safe)
    go = threading.Event()
    class V:
        def __init__(self, i):
            self.i = i
        def __del__(self):
            if threading.current_thread().name == "A" and self.i == 0:
                go.set()
                time.sleep(0.3)  # A, between two steps
            elif threading.current_thread().name == "B":
                time.sleep(0.6)  # B, inside __init__, dropping the old entries
    for i in range(4):
        c[i] = V(i)
    def clears():
        _testcapi.set_nomemory(0, 1)  # only clear()'s array fails
        c.clear()
        _testcapi.remove_mem_hooks()
    a = threading.Thread(target=clears, name="A")
    b = threading.Thread(target=lambda: (go.wait(10), c.__init__(8, thread_safe)), name="B")
    b.start(); a.start(); a.join(30); b.join(30)
    c["after"] = 1
    assert_consistent(c)
print("ok")
