"""A hook that evicts in turn is called again, nested, for those entries. Without end,
the recursion is the hook's: RecursionError is reported as unraisable, and the
operation that evicted first returns normally."""
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

unraisable = []
sys.unraisablehook = unraisable.append  # a builtin: still callable at the recursion limit
for thread_safe in (False, True):
    c = LRUCache(2, thread_safe)
    c["a"], c["b"] = 1, 2
    log = []
    def hook(k, v):
        log.append(("in", k, c.peek(k), len(c)))
        if k == "a":
            c[("again", k)] = v  # full: evicts b, and the hook is called for it from here
        log.append(("out", k))
    c.on_evict = hook
    c["x"] = 3
    assert log == [("in", "a", None, 2), ("in", "b", None, 2), ("out", "b"), ("out", "a")], log
    assert c.items() == [("x", 3), (("again", "a"), 1)]

    calls = 0
    def endless(k, v):
        global calls
        calls += 1
        c[("endless", calls)] = v
    c.on_evict = endless
    assert c.set("y", 4) is None
    assert calls > 100 and len(c) == 2
    [report] = unraisable
    assert type(report.exc_value) is RecursionError
    unraisable.clear()
    c.on_evict = None
    c["z"] = 5
    assert_consistent(c)
print("ok")
