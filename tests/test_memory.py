"""Memory stays bounded however long the cache churns, and sys.getsizeof tells what it is."""
import os
import sys

import amber_moth.func
from amber_moth.lru_cache import LRUCache
from conftest import needs_plain_memory

pytestmark = needs_plain_memory


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_insert_delete_churn_keeps_memory_bounded():
    cache = LRUCache(128)
    for i in range(100):
        cache[i] = i
    before = rss_bytes()
    for i in range(3_000_000):
        cache[i + 1000] = i
        del cache[i + 1000]
    assert rss_bytes() - before < 16 * 2**20
    assert len(cache) == 100
    assert all(cache[i] == i for i in range(100))  # found through every index rebuild


def test_eviction_churn_keeps_memory_bounded():
    cache = LRUCache(1000)
    before = rss_bytes()
    for i in range(1_000_000):
        cache[i] = i
        cache.pop(i - 500)
    assert rss_bytes() - before < 16 * 2**20


def test_clear_touches_only_what_the_cache_holds():
    cache = LRUCache(10_000_000)  # an index and a pool of about 1.2 GB, never touched
    before = rss_bytes()
    for round in range(3):
        cache[round] = round
        cache[-1] = round  # overwritten, not deleted: no tombstone, so no scan of the index
        cache.clear()
    assert rss_bytes() - before < 64 * 2**20
    assert len(cache) == 0 and cache.get(2) is None
    cache[0] = 0
    assert cache.items() == [(0, 0)]


def test_sizeof_matches_the_memory_a_full_cache_takes():
    keys = list(range(2**20))  # made first: the growth measured is the cache's alone
    before = rss_bytes()
    cache = LRUCache(len(keys))
    for key in keys:
        cache[key] = None  # touches every page of the node pool and the index
    grown = rss_bytes() - before
    assert 0.9 < grown / sys.getsizeof(cache) < 1.1


def test_a_growing_memoised_cache_gives_back_each_store_it_outgrows():
    keys = list(range(300_000))
    f = amber_moth.func.cache(lambda k: None)
    before = rss_bytes()
    for key in keys:
        f(key)
    # The last store's index in full and the part of its pool in use: about 0.8 of what
    # getsizeof reports; the store outgrown last, if kept, would add about half of it.
    assert (rss_bytes() - before) < sys.getsizeof(f.cache)


def test_a_large_cache_holding_few_entries_keeps_little_resident():
    before = rss_bytes()
    cache = LRUCache(1_000_000)  # an index of 48 MB and a pool of 40 MB
    for i in range(100):
        cache[i * 7919] = i
    assert rss_bytes() - before < 8 * 2**20
