"""After fork(), a child calling with the key of a computation that another thread of the
parent had under way computes it itself: that thread does not exist in the child.

Run: python func_fork_with_a_flight.py (prints "ok")."""
import os
import threading
import warnings

from amber_moth.func import lru_cache

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
parent = os.getpid()
started, release = threading.Event(), threading.Event()


@lru_cache(single_flight=True)
def f(x):
    if os.getpid() == parent:
        started.set()
        release.wait(30)
    return x * 2


worker = threading.Thread(target=f, args=(21,))
worker.start()
started.wait(30)
pid = os.fork()
if pid == 0:
    import signal

    signal.alarm(20)
    os._exit(0 if f(21) == 42 else 1)
release.set()
worker.join()
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
print("ok")
