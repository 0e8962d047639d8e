"""Values (WHERE=value) or keys (WHERE=key) whose __del__ re-enters the cache while they
are dropped, for every action and every way of dropping them: prints the number of
scenarios run.

Arguments: value|key
"""
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

where = sys.argv[1]


class Dropper:
    # Runs `action(cache)` when it is freed.
    def __init__(self, cache, action):
        self.cache, self.action = cache, action
    def __del__(self):
        try:
            self.action(self.cache)
        except RuntimeError:
            pass  # a cache being re-initialized or freed has no store meanwhile

DEL_ACTIONS = {
    "insert": lambda c: c.__setitem__("from del", 1),
    "insert_many": lambda c: [c.__setitem__(("del", i), i) for i in range(10)],
    "clear": lambda c: c.clear(),
    "pop": lambda c: c.pop("a"),
    "read": lambda c: (c.head, c.tail, c.items(), c.get("b"), c.peek("a"), c.cache_info()),
    "reinit": lambda c: c.__init__(5),
    "resize": lambda c: c.resize(2),
    "popitem": lambda c: c.popitem() if len(c) else None,
}
TRIGGERS = {
    "overwrite": lambda c: c.__setitem__("victim", "replaced"),
    "evict": lambda c: [c.__setitem__(("new", i), i) for i in range(4)],
    "delete": lambda c: c.delete("victim"),
    "del": lambda c: c.__delitem__("victim"),
    "pop": lambda c: c.pop("victim"),
    "clear": lambda c: c.clear(),
    "reinit": lambda c: c.__init__(4),
    "update": lambda c: c.update([("victim", "replaced")]),
    "popitem": lambda c: (c.get("a"), c.get("b"), c.popitem()),
    "resize": lambda c: (c.get("a"), c.get("b"), c.resize(2)),
}

class KeyDropper(Dropper):
    def __hash__(self):
        return hash("victim")
    def __eq__(self, other):
        return other == "victim"

count = 0
for name, action in DEL_ACTIONS.items():
    for trigger_name, trigger in TRIGGERS.items():
        for thread_safe in (False, True):
            c = LRUCache(4, thread_safe)
            c["a"], c["b"] = 1, 2
            if where == "value":
                c["victim"] = Dropper(c, action)
            else:
                c[KeyDropper(c, action)] = "victim value"
            trigger(c)
            assert_consistent(c)
            count += 1
# Deallocation: nothing can reach a cache being freed, but its values' finalisers may use
# other caches, including making and freeing new ones.
other = LRUCache(4)
def use_other(_):
    other["from dealloc"] = LRUCache(2)
    LRUCache(3)["x"] = 1
c = LRUCache(3)
c["x"] = Dropper(None, use_other)
del c
assert other.keys() == ["from dealloc"]
print(count)
