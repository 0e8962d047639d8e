"""Every operation on an instance whose __init__ never ran, or failed, raises
RuntimeError; __init__ then makes it usable."""
import pickle

from amber_moth.lru_cache import LRUCache

class NoInit(LRUCache):
    def __init__(self):
        pass

def operations(c):
    return [
        lambda: c.get(1), lambda: c.get(1, 2), lambda: c.set(1, 2), lambda: c.has(1),
        lambda: c.delete(1), lambda: c.pop(1), lambda: c.clear(), lambda: c.length(),
        lambda: c.keys(), lambda: c.values(), lambda: c.items(), lambda: c.capacity,
        lambda: c.head, lambda: c.tail, lambda: c.thread_safe, lambda: len(c), lambda: 1 in c, lambda: c[1],
        lambda: c.__setitem__(1, 2), lambda: c.__delitem__(1), lambda: iter(c),
        lambda: list(c), lambda: bool(c), lambda: c.peek(1), lambda: c.popitem(),
        lambda: c.update(), lambda: c.update({1: 2}), lambda: c.resize(4),
        lambda: c.cache_info(), lambda: c.on_evict, lambda: setattr(c, "on_evict", None),
    ]

failed = LRUCache.__new__(LRUCache)
try:
    failed.__init__(2**62)
except MemoryError:
    pass
for c in [LRUCache.__new__(LRUCache), NoInit(), failed]:
    for op in operations(c):
        try:
            op()
        except RuntimeError as e:
            assert "not initialized" in str(e)
        else:
            raise AssertionError("an operation on an uninitialized cache succeeded")
    try:
        pickle.dumps(c)
    except TypeError:
        pass
    LRUCache.__init__(c, 2)
    c[1] = 1
    assert c.items() == [(1, 1)]
print("ok")
