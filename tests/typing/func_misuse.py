"""Mistakes the memoising stub must reject, each on a line of its own marked as such;
checked by mypy, never run."""
from amber_moth.func import alru_cache, cache, lru_cache


@lru_cache(maxsize=16)
def area(width: int, height: int = 1) -> float:
    return width * height / 2


@cache
def name(n: int) -> str:
    return str(n)


area("3")  # rejected
area(3, depth=4)  # rejected
wrong: int = name(1)  # rejected
lru_cache("16")  # rejected


class Shape:
    @lru_cache
    def scaled(self, factor: int) -> list[int]:
        return [factor]


Shape().scaled("2")  # rejected
Shape().scaled(2, 3)  # rejected


@alru_cache
async def lookup(user: int) -> str:
    return str(user)


async def misuse_async() -> None:
    wrong_result: int = await lookup(1)  # rejected
    lookup("1")  # rejected


alru_cache(area)  # rejected
