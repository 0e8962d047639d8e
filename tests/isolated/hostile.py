"""Shared by the programs of hostile comparisons: keys with one hash, one of them hostile,
and every operation."""
from amber_moth.lru_cache import LRUCache

from support import assert_consistent

class Plain:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return 7
    def __eq__(self, other):
        if not isinstance(other, Plain):
            return NotImplemented
        return self.n == other.n
    def __repr__(self):
        return f"P{self.n}"

class Hostile:
    # Once armed, runs `action(cache, self)` from __eq__ (at most `times` times) and answers
    # `answer`; unarmed (while it is being stored) it is equal to nothing else.
    def __init__(self, n, cache, action, answer=False, times=1):
        self.n, self.cache, self.action, self.answer, self.times = n, cache, action, answer, times
        self.armed = False
    def __hash__(self):
        return 7
    def __eq__(self, other):
        if not self.armed:
            return False
        if self.times > 0:
            self.times -= 1
            self.action(self.cache, self)
        return self.answer
    def __repr__(self):
        return f"H{self.n}"

def operations(probe):
    return {
        "get": lambda c: c.get(probe), "getitem": lambda c: c[probe],
        "set": lambda c: c.set(probe, "new"), "setitem": lambda c: c.__setitem__(probe, "new"),
        "has": lambda c: c.has(probe), "in": lambda c: probe in c,
        "delete": lambda c: c.delete(probe), "del": lambda c: c.__delitem__(probe),
        "pop": lambda c: c.pop(probe), "peek": lambda c: c.peek(probe),
        "update": lambda c: c.update([(probe, "new")], other="kw"),
        # Compares nothing itself; the eviction hook set by scenario() does.
        "resize": lambda c: c.resize(2 if c.capacity > 2 else 16),
    }

def refused_resize(c, me):
    try:
        c.resize(1)
    except RuntimeError as e:
        assert "while one of its operations is running" in str(e)
        return
    raise AssertionError("resized under a running operation")

ACTIONS = {
    "read": lambda c, me: (c.get(Plain(1)), c.peek(Plain(2)), c.head, c.tail, c.keys(),
                           c.items(), len(c), c.cache_info()),
    "clear": lambda c, me: c.clear(),
    "delete_self": lambda c, me: c.delete(me),
    "pop_self": lambda c, me: c.pop(me),
    "delete_other": lambda c, me: c.delete(Plain(0)),
    "insert_many": lambda c, me: [c.__setitem__(Plain(100 + i), i) for i in range(20)],
    "insert_self": lambda c, me: c.__setitem__(me, "from eq"),
    "reinit": lambda c, me: c.__init__(3),
    "raise": lambda c, me: 1 / 0,
    "popitem": lambda c, me: c.popitem(),
    "popitem_all": lambda c, me: [c.popitem() for _ in range(len(c))],
    "update": lambda c, me: c.update([(Plain(100 + i), i) for i in range(10)], kw=me),
    "resize": refused_resize,
}

def arm(c, h, hostile_stored):
    # Stores h (probing with an equal-hash plain key) or a plain key (probing with h);
    # arms h and returns the probe.
    if hostile_stored:
        c[h] = "hostile"
        probe = Plain(h.n)
    else:
        c[Plain(h.n)] = "plain"
        probe = h
    h.armed = True
    return probe

def scenario(action, answer, hostile_stored, thread_safe, op):
    c = LRUCache(6, thread_safe)
    for i in range(3):
        c[Plain(i)] = i
    refused = []
    def on_evict(key, value):
        # Called once the evicting operation has ended: on a thread-safe cache, whose nested
        # operations defer their evictions, no operation is running then. The lookup compares
        # with the hostile key, whose action then runs from the hook.
        try:
            c.resize(c.capacity)
        except RuntimeError:
            refused.append(thread_safe)
        try:
            c.get(Plain(1))
        except (ZeroDivisionError, RuntimeError):
            pass
    c.on_evict = on_evict
    probe = arm(c, Hostile(9, c, ACTIONS[action], answer), hostile_stored)
    try:
        operations(probe)[op](c)
    except (KeyError, ZeroDivisionError, RuntimeError):
        pass
    assert True not in refused, (action, op)
    assert_consistent(c)
