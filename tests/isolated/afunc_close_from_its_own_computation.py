"""A computation that closes its own memoised function: with wait=True it does not wait for
itself (it finishes, and so does the other computation); with wait=False it is cancelled
with the others. Neither hangs nor recurses without end.

Run: python afunc_close_from_its_own_computation.py; prints one line per wait."""
import asyncio

from amber_moth.func import alru_cache

for wait in (False, True):
    @alru_cache
    async def f(x):
        if x == "closer":
            await f.cache_close(wait=wait)
            return "closed"
        await asyncio.sleep(0.05)
        return x

    async def main():
        tasks = [asyncio.create_task(f("closer")), asyncio.create_task(f(1))]
        await asyncio.wait(tasks, timeout=5)
        return [t.done() and ("cancelled" if t.cancelled() else t.result()) for t in tasks]

    print(wait, *asyncio.run(main()))
