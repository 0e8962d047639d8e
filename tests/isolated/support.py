"""What the tests check in their own processes and in the programs of this folder alike."""


def assert_consistent(cache):
    """The invariants every view of a cache must agree on, whatever ran before."""
    keys = cache.keys()
    values = cache.values()
    items = cache.items()
    assert len(cache) == cache.length() == len(keys) == len(values) == len(items)
    assert len(keys) <= cache.capacity
    assert items == list(zip(keys, values))
    assert list(cache) == keys
    assert cache.head is (keys[0] if keys else None)
    assert cache.tail is (keys[-1] if keys else None)
    for key in keys:
        assert key in cache


def thread_safety(name):
    """LRUCache's thread_safe argument, as a program's command line names it."""
    return {"unlocked": False, "thread_safe": True}[name]


class Collide:
    """Keys that share one hash (`h`) and are equal when their numbers are."""

    __slots__ = ("n", "h")

    def __init__(self, n, h=7):
        self.n, self.h = n, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Collide) and self.n == other.n

    def __repr__(self):
        return f"Collide({self.n})"
