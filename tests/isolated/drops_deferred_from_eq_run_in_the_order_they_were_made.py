"""Entries that a key's __eq__ deletes or clears are dropped in the order they were
removed, on a thread-safe cache (where the drops wait for the outer lookup) as on an
unlocked one."""
from amber_moth.lru_cache import LRUCache

order = []
class Noted:
    def __init__(self, name):
        self.name = name
    def __del__(self):
        order.append(self.name)
class Acts:
    def __init__(self, action):
        self.action, self.armed = action, False
    def __hash__(self):
        return 1
    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.action()
        return False
class Probe:
    def __hash__(self):
        return 1
for thread_safe in (False, True):
    for clears in (False, True):
        cache = LRUCache(8, thread_safe)
        for name in "abcd":
            cache[name] = Noted(name)
        action = cache.clear if clears else (lambda: (cache.delete("a"), cache.delete("b")))
        stored = Acts(action)
        cache[stored] = 0
        stored.armed = True
        order.clear()
        cache.get(Probe())
        assert order == (list("abcd") if clears else ["a", "b"]), (thread_safe, clears, order)
print("ok")
