"""resize() and __init__ on a thread-safe cache wait for another thread's operations, whose
Python __eq__ lets other threads in, instead of raising; the waiting operations of a third
thread then run on the store as it is once they have the lock. From inside an operation on
the same thread (a key's __eq__), both still raise RuntimeError; so do they at interpreter
shutdown while a daemon thread holds the lock, rather than wait for it forever.

Run: python thread_safe_resize_and_reinit_wait_for_other_threads.py ROUNDS; prints "ok".
Run with "shutdown" instead of ROUNDS: prints "refused refused" as the interpreter exits."""
import gc
import os
import sys
import threading

from amber_moth.lru_cache import LRUCache

from support import Collide, assert_consistent

cache = LRUCache(64, thread_safe=True)
if sys.argv[1] == "shutdown":
    class Holds:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            holding.set()
            threading.Event().wait()  # holds the lock for good

    class AtExit:
        def __init__(self):
            self.write = os.write
            self.cycle = self  # garbage the collector frees while the interpreter finalises

        def __del__(self):
            for act in (lambda: cache.resize(5), lambda: cache.__init__(5, True)):
                try:
                    act()
                    self.write(1, b"done ")
                except RuntimeError:
                    self.write(1, b"refused ")

    holding = threading.Event()
    cache[Holds()] = 1
    threading.Thread(target=lambda: cache.get(Holds()), daemon=True).start()
    holding.wait()
    gc.disable()
    AtExit()
    sys.exit(0)

rounds = int(sys.argv[1])
sys.setswitchinterval(1e-5)
done = threading.Event()
errors = []


def looker(offset):
    try:
        n = 0
        while not done.is_set():
            n += 1
            key = Collide(offset + n % 40, n % 4)
            cache[key] = n
            value = cache.get(key)
            assert value is None or value == n, (value, n)  # None: re-initialised meanwhile
    except RuntimeError as e:  # only while __init__ drops the old entries
        assert "not initialized" in str(e), e
        if not done.is_set():
            return looker(offset)
    except BaseException as e:
        errors.append(e)


threads = [threading.Thread(target=looker, args=(i * 100,)) for i in range(2)]
for t in threads:
    t.start()
try:
    for i in range(rounds):
        cache.resize(8 + i % 50)
        if i % 10 == 0:
            cache.__init__(8 + i % 50, True)
finally:
    done.set()
    for t in threads:
        t.join(60)
assert not errors, errors
assert_consistent(cache)


class Reenter:
    """A stored key whose comparisons run `action` on the comparing thread."""
    def __hash__(self):
        return 0

    def __eq__(self, other):
        try:
            action()
        except RuntimeError as e:
            refused.append(str(e))
        return False


refused = []
cache.clear()
cache[Reenter()] = 0
for action in (lambda: cache.resize(3), lambda: cache.__init__(3, True)):
    cache.get(Reenter())
assert len(refused) == 2 and all("operations is running" in r for r in refused), refused
assert_consistent(cache)
print("ok")
