"""A signal handler that runs during a single-flight wait and calls a memoised function
whose key another thread is computing computes it itself rather than open a second wait (a
thread waits for one flight at a time, which keeps the check for wait cycles sound).

Run: python func_wait_in_signal_handler.py (prints "ok")."""
import signal
import threading
import time

from amber_moth.func import lru_cache

release_f, release_g = threading.Event(), threading.Event()
computed = []


@lru_cache(single_flight=True)
def f(x):
    computed.append(("f", threading.current_thread().name))
    release_f.wait(30)
    return "f"


@lru_cache(single_flight=True)
def g(x):
    computed.append(("g", threading.current_thread().name))
    if threading.current_thread().name == "C":
        release_g.wait(30)
    return "g"


handled = []


def handler(signum, frame):
    handled.append(g(2))


signal.signal(signal.SIGUSR1, handler)
main = threading.main_thread().ident


def orchestrate():
    while len(computed) < 2:
        time.sleep(0.01)
    time.sleep(0.2)  # the main thread is waiting for f(1)
    signal.pthread_kill(main, signal.SIGUSR1)
    deadline = time.monotonic() + 20
    while not handled and time.monotonic() < deadline:
        time.sleep(0.01)
    release_g.set()
    release_f.set()


threading.Thread(target=f, args=(1,), name="B", daemon=True).start()
threading.Thread(target=g, args=(2,), name="C", daemon=True).start()
threading.Thread(target=orchestrate, daemon=True).start()
while len(computed) < 2:
    time.sleep(0.01)
assert f(1) == "f"
assert handled == ["g"], handled
assert ("g", "MainThread") in computed, computed
print("ok")
