"""Memory fails from every point in turn inside an operation made from __eq__ on a
thread-safe cache: it either completes, its finalisers waiting for the outer lookup to
end, or raises MemoryError with the cache unchanged. No finaliser runs under the lock."""
import _testcapi

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

in_eq = False
ran_in_eq = []
class Noted:
    def __del__(self):
        ran_in_eq.append(in_eq)
class Acts:
    def __init__(self, action):
        self.action, self.armed, self.start = action, False, 0
    def __hash__(self):
        return 1
    def __eq__(self, other):
        global in_eq
        if self.armed:
            self.armed = False
            in_eq = True
            _testcapi.set_nomemory(self.start, self.start + 1)  # one allocation fails
            try:
                self.action()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
                in_eq = False
        return False
class Probe:
    def __hash__(self):
        return 1
def snapshot():  # holds no reference to a value
    return [(key, type(value).__name__) for key, value in cache.items()]
outcomes = set()
for how in ("pop", "popitem", "set", "clear"):
    for start in range(40):
        cache = LRUCache(8, thread_safe=True)
        cache["a"] = Noted()
        cache["b"] = Noted()
        actions = {"pop": lambda: cache.pop("a"), "popitem": cache.popitem,
                   "set": lambda: cache.set("a", 1), "clear": cache.clear}
        stored = Acts(actions[how])
        stored.start = start
        cache[stored] = 0
        stored.armed = True
        before = snapshot()
        ran_in_eq.clear()
        cache.get(Probe())
        assert True not in ran_in_eq, (how, start, ran_in_eq)
        changed = snapshot() != before
        outcomes.add((how, changed))
        assert len(ran_in_eq) == {"clear": 2}.get(how, 1) * changed, (how, start)
        assert_consistent(cache)
print(sorted(outcomes))
