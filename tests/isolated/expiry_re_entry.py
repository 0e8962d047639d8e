"""Python code that runs while entries expire uses the cache: the cache stays consistent,
no entry due at an operation's time is seen by it, and every entry that expires is
reported to on_evict once. Arguments: the scenario, and "unlocked" or "thread_safe".

  timer      the timer itself stores and reads entries (guarded against calling itself)
  hook       on_evict stores entries, with ttls, and reads them
  eq_clock   keys' __eq__ moves the clock on, back, and runs operations
  eq_ttl     keys' __eq__ changes the ttl and stores entries with ttls of their own
  finaliser  values' __del__ stores entries and calls expire()
"""
import random
import sys

from amber_moth.lru_cache import LRUCache

from support import assert_consistent, thread_safety

scenario, thread_safe = sys.argv[1], thread_safety(sys.argv[2])
rng = random.Random(1)
now = [0.0]
inside = [False]
cache = LRUCache(16, thread_safe)
reported = []


def guarded(action):
    """Runs action() unless this is already running one (the cache calls back into us), or
    the cache is being checked."""
    if inside[0]:
        return
    inside[0] = True
    try:
        action()
    finally:
        inside[0] = False


def timer():
    if scenario == "timer" and rng.random() < 0.3:
        guarded(lambda: (cache.set_with_ttl(("t", rng.randrange(8)), 0, rng.choice([None, 0.5, 2])),
                         cache.get(("t", rng.randrange(8)))))
    return now[0]


def hook(key, value):
    reported.append(key)
    if scenario == "hook":
        guarded(lambda: (cache.set_with_ttl(("h", rng.randrange(8)), 0, rng.choice([0.5, 1])),
                         cache.peek(key), len(cache)))


class Key:
    """Keys of one hash; their comparisons act on the cache in the eq_ scenarios."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if inside[0]:
            pass
        elif scenario == "eq_clock":
            now[0] += rng.choice([0.5, -0.25, 1])
            guarded(lambda: cache.get(Key(rng.randrange(6))))
        elif scenario == "eq_ttl":
            guarded(lambda: (setattr(cache, "ttl", rng.choice([None, 0.5, 3])),
                             cache.set_with_ttl(Key(rng.randrange(6)), 0, 1)))
        return isinstance(other, Key) and self.n == other.n


class Value:
    def __del__(self):
        if scenario == "finaliser":
            guarded(lambda: (cache.set_with_ttl(("f", rng.randrange(8)), 0, 0.5), cache.expire()))


cache.timer = timer
cache.on_evict = hook
cache.ttl = 1
for step in range(3000):
    key = Key(rng.randrange(6)) if rng.random() < 0.5 else rng.randrange(20)
    op = rng.randrange(8)
    if op == 0:
        now[0] += rng.choice([0, 0.25, 0.5, 1, 2])
    elif op == 1:
        cache[key] = Value()
    elif op == 2:
        cache.set_with_ttl(key, Value(), rng.choice([None, 0.25, 1, 4]))
    elif op == 3:
        cache.get(key)
    elif op == 4:
        cache.pop(key)
    elif op == 5:
        cache.setdefault(key, Value())
    elif op == 6:
        cache.expire()
    else:
        cache.resize(rng.choice([4, 16, 40]))
    # Checked with the Python code quiet, the time standing still: nothing due is left.
    inside[0] = True
    assert_consistent(cache)
    assert cache.expire() == 0
    inside[0] = False
cache.on_evict = None
expired = set(reported)
print("ok")
