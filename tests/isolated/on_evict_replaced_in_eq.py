"""The eviction hook replaced (or deleted) from a stored key's __eq__: the old hook, whose
finaliser starts a thread that reads the cache and joins it, is dropped only once the outer
lookup has released a thread-safe cache's lock (without a lock, at once).

Run: python on_evict_replaced_in_eq.py unlocked|thread_safe set|delete (prints what
happened, in order)."""
import sys
import threading

from amber_moth.lru_cache import LRUCache

cache = LRUCache(4, sys.argv[1] == "thread_safe")
events = []


class Hook:
    def __call__(self, key, value):
        pass

    def __del__(self):
        reader = threading.Thread(target=lambda: events.append(f"read {cache.get('other')}"))
        reader.start()
        reader.join()
        events.append("old hook dropped")


class ReplacesHook:
    armed = False

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            if sys.argv[2] == "set":
                cache.on_evict = print
            else:
                del cache.on_evict
            events.append("hook replaced")
        return False


class Probe:
    def __hash__(self):
        return 7


cache.on_evict = Hook()
cache["other"] = 1
stored = ReplacesHook()
cache[stored] = 0
stored.armed = True
cache.get(Probe())
events.append("lookup returned")
print("\n".join(events))
