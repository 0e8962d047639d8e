"""Thread B deletes an entry; while B drops its key, thread A takes the cache lock for an
unrelated get() with an application lock held. The value's finaliser runs on B, and A
is never made to run it (which would deadlock on the application lock)."""
import threading

from amber_moth.lru_cache import LRUCache

cache = LRUCache(8, thread_safe=True)
app = threading.Lock()
a_holds_cache_lock = threading.Event()
b_continues = threading.Event()
ran = []
class Key:
    def __hash__(self):
        return 1
    def __eq__(self, other):
        return isinstance(other, KeyProbe)
    def __del__(self):
        a.start()
        a_holds_cache_lock.wait(10)
class Value:
    def __del__(self):
        b_continues.set()
        acquired = app.acquire(timeout=5)
        if acquired:
            app.release()
        ran.append((threading.current_thread().name, acquired))
class Waits:
    def __hash__(self):
        return 2
    def __eq__(self, other):
        a_holds_cache_lock.set()
        b_continues.wait(5)
        return False
class Probe:
    def __hash__(self):
        return 2
class KeyProbe:
    def __hash__(self):
        return 1
def a_gets():
    with app:
        cache.get(Probe())
a = threading.Thread(target=a_gets, name="A")
key = Key()
cache[key] = Value()
cache[Waits()] = 0
b = threading.Thread(target=lambda: cache.delete(KeyProbe()), name="B")
del key
b.start()
b.join(20)
a.join(20)
assert ran == [("B", True)], ran
print("ok")
