"""Mistakes the memoising stub must reject; checked by mypy, never run."""
from amber_moth.func import cache, lru_cache


@lru_cache(maxsize=16)
def area(width: int, height: int = 1) -> float:
    return width * height / 2


@cache
def name(n: int) -> str:
    return str(n)


area("3")
area(3, depth=4)
wrong: int = name(1)
lru_cache("16")
