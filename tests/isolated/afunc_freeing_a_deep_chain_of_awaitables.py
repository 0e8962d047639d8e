"""Freeing a chain of awaitables of stored results, each the result of the next, from its head:
its depth is no more limited by the C stack than a chain of tuples' (on 3.13, that holds on the
main thread's stack only)."""
import asyncio

from amber_moth.func import alru_cache

results = {}


@alru_cache(maxsize=None)
async def stored(i):
    return results.pop(i)


async def chain(depth):
    link = None
    for i in range(depth):
        results[i] = link
        await stored(i)
        link = stored(i)  # a hit's awaitable, holding the link before it
    return link


def free_chain(depth):
    head = asyncio.run(chain(depth))
    stored.cache_clear()
    del head


free_chain(100_000)
print("ok")
