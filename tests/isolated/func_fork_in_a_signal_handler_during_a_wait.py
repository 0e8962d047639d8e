"""A signal handler that forks while the main thread waits for another thread's flight: in
the child, where that thread does not exist, the wait ends and the main thread computes the
result itself; in the parent the wait goes on and takes the other thread's result.

Run: python func_fork_in_a_signal_handler_during_a_wait.py (prints "ok")."""
import os
import signal
import threading
import time
import warnings

from amber_moth.func import lru_cache

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
parent = os.getpid()
started, release = threading.Event(), threading.Event()
calls = []


@lru_cache(single_flight=True)
def f(x):
    calls.append(threading.current_thread().name)
    if os.getpid() == parent:
        started.set()
        release.wait(30)
    return x * 2


children = []


def handler(signum, frame):
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a child that waits for ever dies of SIGALRM
    else:
        children.append(pid)


def orchestrate():
    time.sleep(0.3)  # the main thread is waiting for the worker's flight
    signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
    deadline = time.monotonic() + 20
    while not children and time.monotonic() < deadline:
        time.sleep(0.01)
    release.set()


signal.signal(signal.SIGUSR1, handler)
threading.Thread(target=f, args=(21,), name="worker", daemon=True).start()
started.wait(30)
threading.Thread(target=orchestrate, daemon=True).start()
result = f(21)
if os.getpid() != parent:
    os._exit(0 if result == 42 and calls == ["worker", "MainThread"] else 1)
assert result == 42 and calls == ["worker"], (result, calls)
(child,) = children
_, status = os.waitpid(child, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
print("ok")
