"""Four threads call an unbounded memoised function on the same distinct keys, whose hash
spreads badly and whose __eq__ is Python code that lets other threads in: the cache grows
while other threads' lookups are under way, so every result is stored once computed. The
same calls are made on functools' lru_cache in the same process, as the reference.

Run: python func_threads_store_every_result.py KEYS; prints "CALLS FUNCTOOLS_CALLS SIZE",
the function's computations through amber_moth.func and through functools, and the number
of results the cache ends holding."""
import functools
import random
import sys
import threading

from amber_moth.func import lru_cache

from support import Collide, assert_consistent

keys = int(sys.argv[1])
sys.setswitchinterval(1e-5)


def run(decorate):
    calls = 0

    @decorate
    def f(key):
        nonlocal calls
        calls += 1
        return key.n * 2

    def worker(seed):
        order = list(range(keys))
        random.Random(seed).shuffle(order)
        for v in order:
            assert f(Collide(v, v % 16)) == 2 * v

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return calls, f


calls, f = run(lru_cache(maxsize=None))
reference, _ = run(functools.lru_cache(maxsize=None))
assert_consistent(f.cache)
assert sorted(k[0].n for k in f.cache.keys()) == list(range(keys))
print(calls, reference, f.cache_info().currsize)
