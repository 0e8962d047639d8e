"""Hostile keys and results through alru_cache, in a child process where a crash or a hang
fails one test: keys whose __eq__ calls the function, clears its cache, invalidates a key,
resizes the cache or raises, results whose finalisers do the same, while tasks of one loop
await equal and unequal calls and some are cancelled. Every await gives its function's
result, or raises the comparison's error or CancelledError, and the cache stays consistent.

Run: python afunc_hostile.py SEED MAXSIZE ROUNDS (MAXSIZE "none" for unbounded); prints "ok"
and exits 0."""
import asyncio
import random
import sys

from amber_moth.func import alru_cache
from support import assert_consistent

seed, maxsize, rounds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
maxsize = None if maxsize == "none" else int(maxsize)
rng = random.Random(seed)
armed = False


def meddle():
    """One thing Python code run by the wrapper may do to it."""
    action = rng.randrange(6)
    if action == 0:
        f(("nested", rng.randrange(4))).close()
    elif action == 1:
        f.cache_clear()
    elif action == 2:
        f.cache_invalidate(Key(rng.randrange(6)))
    elif action == 3 and f.cache is not None:
        try:
            f.cache.resize(rng.choice([1, 3, 8]))
        except RuntimeError:  # an operation of the cache is under way
            pass
    elif action == 4:
        f.cache_contains(Key(rng.randrange(6)), "pair")
    else:
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


class Result:
    def __init__(self, args):
        self.args = args

    def __del__(self):
        if armed and rng.random() < 0.3:
            try:
                meddle()
            except ZeroDivisionError:
                pass


@alru_cache(maxsize)
async def f(*args):
    await asyncio.sleep(0)
    return Result(args)


async def one(args):
    try:
        result = await f(*args)
    except (ZeroDivisionError, asyncio.CancelledError):
        return
    assert result.args == args, (result.args, args)


async def main():
    global armed
    armed = True
    done = 0
    while done < rounds:
        batch = [asyncio.create_task(one((Key(rng.randrange(6)),) * rng.randrange(1, 3)))
                 for _ in range(rng.randrange(1, 20))]
        await asyncio.sleep(0)
        for task in batch:
            if rng.random() < 0.2:
                task.cancel()
        await asyncio.gather(*batch, return_exceptions=True)
        done += len(batch)
    armed = False
    await f.cache_close()
    if f.cache is not None:
        assert_consistent(f.cache)


asyncio.run(main())
print("ok")
