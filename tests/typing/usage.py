"""Typed use of the cache; checked by mypy, never run."""
import sys

from amber_moth.lru_cache import LRUCache

cache: LRUCache[str, int] = LRUCache(100, thread_safe=True)
cache["a"] = 1
cache.set("b", 2)
hit: int = cache["a"]
maybe: int | None = cache.get("a")
either: int | str = cache.get("a", "missing")
stored: int = cache.setdefault("c", 3)
popped: int | None = cache.pop("b")
popped_or: int | float = cache.pop("b", 0.5)
present: bool = cache.has("a") and "a" in cache
keys: list[str] = cache.keys()
pairs: list[tuple[str, int]] = cache.items()
first: str | None = cache.head
size: int = len(cache) + cache.length() + cache.capacity
locks: bool = cache.thread_safe
for key in cache:
    key.upper()

bytes_owned: int = sys.getsizeof(cache)


class Named(LRUCache[str, int]):
    def total(self) -> int:
        return sum(self.values())


named = Named(10)
named["x"] = 1
made = LRUCache[int, bytes](4)
made[1] = b"one"

peeked: int | None = cache.peek("a")
oldest: tuple[str, int] = cache.popitem()
cache.update({"d": 4}, e=5)
cache.update([("f", 6)])
cache.resize(50)
info = cache.cache_info()
hit_rate: float = info.hits / max(1, info.hits + info.misses) + info.maxsize + info.currsize


def log_eviction(key: str, value: int) -> None:
    print(key, value)


cache.on_evict = log_eviction
cache.on_evict = None
