"""A thread inside an operation of a memoised function's thread-safe cache (a key's __eq__
run under the cache's lock) calls the function with a key another thread is computing: it
computes the result itself instead of waiting, since that computation's store would wait
for the lock this thread holds (functools finishes too).

Run: python func_no_wait_inside_an_operation_of_the_cache.py (prints "ok")."""
import faulthandler
import threading
import time

from amber_moth.func import lru_cache

faulthandler.dump_traceback_later(30, exit=True)  # a deadlock fails in 30 s
started, release = threading.Event(), threading.Event()
computed = []


@lru_cache(single_flight=True)
def f(x):
    computed.append((x, threading.current_thread().name))
    if threading.current_thread().name == "worker":
        started.set()
        release.wait(30)
    return x * 2


f.cache.__init__(128, True)  # the wrapper's cache, made thread-safe


class Key:
    """Stored in f.cache; compared with a probe of its hash, calls f(2) once."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if isinstance(other, Probe):
            results.append(f(2))
        return False


results = []
f.cache[Key()] = "stored"


class Probe:
    def __hash__(self):
        return 7


worker = threading.Thread(target=f, args=(2,), name="worker")
worker.start()
started.wait(30)
threading.Timer(0.3, release.set).start()  # the worker's store comes while the lock is held
assert f.cache.get(Probe()) is None
worker.join()
assert results == [4] and sorted(computed) == [(2, "MainThread"), (2, "worker")], (results, computed)
print("ok")
