"""Mistakes the stub must reject, each on a line of its own marked as such; checked by mypy,
never run."""
from amber_moth.lru_cache import LRUCache

cache: LRUCache[str, int] = LRUCache()
cache["a"] = "not an int"  # rejected
cache.set(1, 2)  # rejected
wrong: str = cache["a"]  # rejected
cache.get("a", default=0)  # rejected
cache.on_evict = "print"  # rejected
cache.update({1: 2})  # rejected
cache.update([(1, 2)])  # rejected
cache.update({"a": "b"})  # rejected
