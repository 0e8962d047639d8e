"""Threads store, read and expire entries of one thread-safe cache while a shared fake clock
moves on and the ttl changes; on_evict sees each expired or evicted entry once, and the cache
stays consistent."""
import random
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

now = [0.0]
cache = LRUCache(64, True)
cache.timer = lambda: now[0]
cache.ttl = 0.5
lock = threading.Lock()
reported = []
stored = []


def hook(key, value):
    with lock:
        reported.append(value)


cache.on_evict = hook


def worker(seed):
    rng = random.Random(seed)
    for i in range(20_000):
        key = rng.randrange(200)
        op = rng.randrange(6)
        if op == 0:
            now[0] += 0.01
        elif op == 1:
            value = (seed, i)
            with lock:
                stored.append(value)
            cache.set_with_ttl(key, value, rng.choice([None, 0.1, 1]))
        elif op == 2:
            cache.get(key)
        elif op == 3:
            cache.expire()
        elif op == 4:
            cache.ttl = rng.choice([None, 0.2, 2])
        else:
            len(cache), cache.keys()


threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert_consistent(cache)
# Every value stored is now reported, still held, or was overwritten: never reported twice.
assert len(reported) == len(set(reported))
assert set(reported) | set(cache.values()) <= set(stored)
print("ok")
