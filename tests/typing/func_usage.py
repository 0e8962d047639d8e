"""Typed use of the memoising decorators; checked by mypy, never run."""
from amber_moth.func import CacheInfo, alru_cache, cache, lru_cache
from amber_moth.lru_cache import LRUCache


@lru_cache(maxsize=256, typed=True)
def area(width: int, height: int = 1) -> float:
    return width * height / 2


@lru_cache
def bare(name: str) -> str:
    return name.upper()


@cache
def fib(n: int) -> int:
    return n if n < 2 else fib(n - 1) + fib(n - 2)


@lru_cache(None, single_flight=True)
def fetch(url: str) -> bytes:
    return url.encode()


class Shape:
    @lru_cache
    def scaled(self, factor: int) -> list[int]:
        return [factor]


result: float = area(3, height=4)
upper: str = bare("x")
number: int = fib(10)
info: CacheInfo = area.cache_info()
bound: int | None = info.maxsize
area.cache_clear()
store: LRUCache[object, float] | None = area.cache
if store is not None:
    store.resize(512)
maxsize: int | None = fetch.cache_parameters()["maxsize"]
scaled: list[int] = Shape().scaled(2)
original = area.__wrapped__
halved: list[int] = Shape().scaled(factor=2)
unbound: list[int] = Shape.scaled(Shape(), 2)


@alru_cache(maxsize=64, ttl=30.0)
async def lookup(user: int, *, fresh: bool = False) -> str:
    return str(user)


@alru_cache
async def ping(host: str) -> bytes:
    return host.encode()


async def use_async() -> None:
    name: str = await lookup(1, fresh=True)
    pong: bytes = await ping("h")
    seen: bool = lookup.cache_contains(1) or lookup.cache_invalidate(1, fresh=True)
    async_info: CacheInfo = ping.cache_info()
    await ping.cache_close(wait=True)
