"""__init__ called from a key's __eq__ raises RuntimeError and leaves the cache as it was."""
from amber_moth.lru_cache import LRUCache

from hostile import Hostile, Plain

for thread_safe in (False, True):
    c = LRUCache(4, thread_safe)
    c[Plain(1)] = 1
    errors = []
    def reinit(cache, me):
        try:
            cache.__init__(10)
        except RuntimeError as e:
            errors.append(str(e))
    h = Hostile(2, c, reinit)
    c[h] = 2
    h.armed = True
    assert c.get(Plain(2)) is None
    assert errors and "operations is running" in errors[0]
    assert c.capacity == 4 and len(c) == 2
