"""KeyboardInterrupt ends a single-flight wait: the main thread waits for a computation
another thread holds open, is interrupted, and the computation then lands once.

Run: python func_interrupted_wait.py (prints the verdict; exit status 0)."""
import _thread
import threading
import time

from amber_moth.func import lru_cache

entered = threading.Event()
release = threading.Event()
calls = []


@lru_cache(None, single_flight=True)
def slow(x):
    calls.append(x)
    entered.set()
    release.wait(60)
    return x


worker = threading.Thread(target=slow, args=(1,))
worker.start()
entered.wait(60)
threading.Timer(0.2, _thread.interrupt_main).start()
started = time.monotonic()
try:
    slow(1)  # waits for the worker's computation
    raise SystemExit("the wait was not interrupted")
except KeyboardInterrupt:
    pass
assert time.monotonic() - started < 30, "the interrupt took too long to end the wait"
release.set()
worker.join(60)
assert slow(1) == 1 and calls == [1], calls
print("interrupted, then computed once")
