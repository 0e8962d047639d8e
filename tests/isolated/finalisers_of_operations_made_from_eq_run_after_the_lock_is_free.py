"""An __eq__ pops an entry (or its own key) from a thread-safe cache: the popped
references are dropped only once the outer lookup has released the lock, so their
finalisers may wait for another thread that uses the cache."""
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

for pops_itself in (False, True):
    cache = LRUCache(8, thread_safe=True)
    blocked = []
    class Waits:
        def __del__(self):
            t = threading.Thread(target=lambda: cache.get("other"))
            t.start()
            t.join(10)
            blocked.append(t.is_alive())
    class Popper:
        def __init__(self, victim):
            self.victim, self.armed = victim, False
        def __hash__(self):
            return 1
        def __eq__(self, other):
            if self.armed:
                self.armed = False
                cache.pop(self.victim if self.victim is not None else self)
            return False
    class Probe:
        def __hash__(self):
            return 1
    cache["other"] = 1
    if pops_itself:
        stored = Popper(None)
        stored.guard = Waits()  # freed with the key the comparison pops
    else:
        cache["victim"] = Waits()
        stored = Popper("victim")
    cache[stored] = 0
    stored.armed = True
    del stored
    probe = Probe()
    cache.get(probe)
    assert blocked == [False], blocked
    assert_consistent(cache)
print("ok")
