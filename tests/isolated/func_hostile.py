"""Hostile keys and results through the memoising wrapper, in a child process where a crash
or a hang fails one test: keys whose __eq__ calls the wrapper, clears or resizes its cache,
pops entries or raises, results whose finalisers do the same, from one thread and several.
Every call returns its function's result or raises the comparison's error, and the cache
stays consistent.

Run: python func_hostile.py SEED MAXSIZE SINGLE_FLIGHT THREADS ROUNDS (MAXSIZE "none" for
unbounded; ROUNDS calls in all); prints "ok" and exits 0."""
import random
import sys
import threading

from amber_moth.func import lru_cache

seed, maxsize, single_flight, threads, rounds = (int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1",
                                                 int(sys.argv[4]), int(sys.argv[5]))
maxsize = None if maxsize == "none" else int(maxsize)
rng = random.Random(seed)
armed = False


def meddle():
    """One thing Python code run by the wrapper may do to it."""
    action = rng.randrange(8)
    if action == 0:
        f(("nested", rng.randrange(4)))
    elif action == 1:
        f.cache_clear()
    elif action == 2 and f.cache is not None:
        try:
            f.cache.resize(rng.choice([1, 3, 8, 64]))
        except RuntimeError:  # an operation of the cache is under way
            pass
    elif action == 3 and f.cache is not None and len(f.cache):
        try:
            f.cache.popitem()
        except KeyError:
            pass
    elif action == 4 and f.cache is not None:
        f.cache.pop(Key(rng.randrange(6)))
    elif action == 5:
        f(Key(rng.randrange(6)), "pair")
    elif action == 6:
        raise ZeroDivisionError


class Key:
    """Keys of few hashes, so that lookups compare; a comparison may meddle."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n % 3

    def __eq__(self, other):
        if armed and rng.random() < 0.3:
            meddle()
        return isinstance(other, Key) and self.n == other.n

    def __repr__(self):
        return f"Key({self.n})"


class Result:
    def __init__(self, n):
        self.n = n

    def __del__(self):
        if armed and rng.random() < 0.3:
            try:
                meddle()
            except ZeroDivisionError:
                pass


@lru_cache(maxsize, single_flight=single_flight)
def f(*args):
    return Result(args)


def check():
    cache = f.cache
    if cache is None:
        return
    keys, values = cache.keys(), cache.values()
    assert len(keys) == len(values) == len(cache) <= cache.capacity
    info = f.cache_info()
    assert info.currsize == len(cache)


def plain(args):
    """The arguments with each Key as its number, to compare without running __eq__."""
    return [a.n if isinstance(a, Key) else a for a in args]


def work(rounds):
    for _ in range(rounds):
        args = (Key(rng.randrange(6)),) if rng.random() < 0.7 else (Key(rng.randrange(6)), "pair")
        try:
            result = f(*args)
        except ZeroDivisionError:
            continue
        assert isinstance(result, Result) and plain(result.n) == plain(args), (result.n, args)


armed = True
if threads == 1:
    work(rounds)
else:
    pool = [threading.Thread(target=work, args=(rounds // threads,)) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
armed = False
check()
f.cache_clear()
check()
print("ok")
