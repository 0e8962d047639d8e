"""amber_moth: a bounded LRU cache for CPython (``from amber_moth.lru_cache import LRUCache``)."""

# The one place the version is written: the package metadata reads it from here.
__version__ = "0.1.0"
