"""__eq__ of a stored key pops "a" and stores two keys, the second evicting "b". On a thread-safe cache
the pop's drop, the hook's call for "b" and b's drop wait, in that order, until the
outer lookup has ended (and no operation is running: a finaliser may resize); the
error the comparison then raises survives the hook, even one that raises too. On an
unlocked cache they run at once, inside __eq__, where resizing is refused."""
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value))  # keeps no frame alive
for thread_safe in (False, True):
    for raises in (False, True):
        cache = LRUCache(4, thread_safe)
        in_eq = False
        log = []
        class Noted:
            def __init__(self, name):
                self.name = name
            def __del__(self):
                try:
                    cache.resize(cache.capacity)
                    resized = True
                except RuntimeError:
                    resized = False
                log.append(("del", self.name, in_eq, resized))
        class Acts:
            armed = False
            def __hash__(self):
                return 1
            def __eq__(self, other):
                global in_eq
                if self.armed:
                    self.armed = False
                    in_eq = True
                    cache.pop("a")
                    cache["new"] = cache["new2"] = 0
                    in_eq = False
                    if raises:
                        raise ZeroDivisionError
                return False
        class Probe:
            def __hash__(self):
                return 1
        def hook(key, value):
            log.append(("hook", key, in_eq, value.name))
            if raises:
                raise KeyError(key)
        cache["a"], cache["b"], cache["c"] = Noted("a"), Noted("b"), 0
        stored = Acts()
        cache[stored] = 0
        cache.on_evict = hook
        stored.armed = True
        try:
            cache.get(Probe())
        except ZeroDivisionError:
            assert raises
        else:
            assert not raises
        deferred = thread_safe
        assert log == [("del", "a", not deferred, deferred), ("hook", "b", not deferred, "b"),
                       ("del", "b", not deferred, deferred)], (thread_safe, raises, log)
        assert cache.keys() == ["c", stored, "new", "new2"]
        assert_consistent(cache)
assert unraisable == [KeyError, KeyError], unraisable
print("ok")
