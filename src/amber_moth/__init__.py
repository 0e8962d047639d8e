"""amber_moth: a bounded LRU cache for CPython (``from amber_moth.lru_cache import LRUCache``)."""
