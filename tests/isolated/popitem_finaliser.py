"""popitem() made from a stored key's __eq__, whose caller drops the popped pair at once.

The popped value's finaliser starts a thread that reads the cache and waits for it: run
under the cache's lock, it would wait forever. On a thread-safe cache it must run only once
the outer lookup has released the lock; without a lock, when the pair is dropped. Prints
what happened, in order. Usage: popitem_finaliser.py unlocked|thread_safe
"""
import sys
import threading

from amber_moth.lru_cache import LRUCache

cache = LRUCache(8, sys.argv[1] == "thread_safe")
events = []


class Waits:
    def __del__(self):
        events.append("finaliser")
        reader = threading.Thread(target=lambda: events.append(f"read {cache.get('other')}"))
        reader.start()
        reader.join()


class PopsInEq:
    armed = False

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            key, value = cache.popitem()
            events.append(f"popped {key}")
            del key, value
            events.append("pair dropped")
        return False


class Probe:
    def __hash__(self):
        return 1


cache["victim"] = Waits()
cache["other"] = 1
stored = PopsInEq()
cache[stored] = 0
stored.armed = True
cache.get(Probe())
events.append("lookup returned")
assert cache.keys() == [stored, "other"], cache.keys()  # the read made "other" most recent
print("\n".join(events))
