"""A comparison that raises, or answers with an object whose truth test raises, makes every
keyed operation raise that error with the cache unchanged, and leaves no exception set."""
import sys

from amber_moth.lru_cache import LRUCache

from hostile import ACTIONS, Hostile, Plain, arm, operations

class BadBool:
    def __bool__(self):
        raise ZeroDivisionError

for answer_kind in ("raise", "badbool"):
    for op in operations(None):
        if op == "resize":
            continue  # compares no key
        for hostile_stored in (False, True):
            c = LRUCache(3)
            c[Plain(0)] = 0
            action = ACTIONS["raise"] if answer_kind == "raise" else (lambda c, me: None)
            probe = arm(c, Hostile(1, c, action, answer=BadBool(), times=10**9), hostile_stored)
            before = c.items()
            try:
                operations(probe)[op](c)
            except ZeroDivisionError:
                pass
            else:
                raise AssertionError(f"{op} swallowed the comparison error")
            assert c.items() == before, (op, c.items(), before)
            assert sys.exc_info() == (None, None, None)
