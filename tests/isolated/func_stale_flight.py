"""A flight whose removal raised (a key's __eq__ on the probe path) stays in the flights
table: later calls pass it over and compute, instead of waiting for it for ever (when its
computation raised) or taking its old result after the cache was cleared.

Run: python func_stale_flight.py raised|returned (prints "ok")."""
import sys
import threading

from amber_moth.func import lru_cache

raised = sys.argv[1] == "raised"


class Key:
    """Keys of one hash; A's comparison with B raises the third time, which is when B's
    flight is taken out."""

    def __init__(self, name):
        self.name, self.compared = name, 0

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self.name == "A" and isinstance(other, Key) and other.name == "B":
            self.compared += 1
            if self.compared == 3:
                raise RuntimeError("from __eq__")
        return self is other


A, B = Key("A"), Key("B")
calls = []


@lru_cache(single_flight=True)
def f(k):
    calls.append(k.name)
    if k is A:
        try:
            f(B)
        except ValueError:
            pass
        return "a"
    if raised:
        raise ValueError("b fails")
    return f"b{len(calls)}"


unraisable = []
sys.unraisablehook = unraisable.append
assert f(A) == "a" and calls == ["A", "B"] and len(unraisable) == 1
f.cache_clear()
outcome = []


def other():
    try:
        outcome.append(f(B))
    except ValueError:
        outcome.append("ValueError")


t = threading.Thread(target=other, daemon=True)
t.start()
t.join(30)
assert not t.is_alive(), "a call waited for a flight that had landed"
assert calls == ["A", "B", "B"], calls
assert outcome == (["ValueError"] if raised else ["b3"]), outcome
print("ok")
