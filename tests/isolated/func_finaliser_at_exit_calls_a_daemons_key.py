"""A finaliser run while the interpreter finalises calls a memoised function with the key a
daemon thread is computing: the daemon thread will never run again, so the finaliser
computes the result itself and the process exits (as with functools).

Run: python func_finaliser_at_exit_calls_a_daemons_key.py (prints "computed at exit")."""
import gc
import threading

from amber_moth.func import lru_cache

started = threading.Event()


@lru_cache(single_flight=True)
def f(x):
    if threading.current_thread().name == "daemon":
        started.set()
        threading.Event().wait()  # for ever
    return "computed at exit"


class AtExit:
    """Collected by the interpreter as it finalises, after the main thread has ended (the
    daemon thread's frame keeps this module's globals, and f, alive)."""

    def __del__(self):
        print(f(1), flush=True)


threading.Thread(target=f, args=(1,), name="daemon", daemon=True).start()
started.wait(30)
gc.disable()  # so that nothing collects the cycle before then
at_exit = AtExit()
at_exit.cycle = at_exit
del at_exit
