"""Mistakes the stub must reject; checked by mypy, never run."""
from amber_moth.lru_cache import LRUCache

cache: LRUCache[str, int] = LRUCache()
cache["a"] = "not an int"
cache.set(1, 2)
wrong: str = cache["a"]
cache.get("a", default=0)
cache.on_evict = "print"
