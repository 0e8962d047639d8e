// What the memoising wrapper (func.cpp) uses of LRUCache (lru_cache.cpp): the keyed road
// with the key already hashed, so that a call hashes its key once and makes one locked store
// call per lookup, and the few whole-cache operations the wrapper needs. Every function
// takes an LRUCache instance made by lru_new; each behaves as the Python method it names,
// and runs Python code where that method does (__eq__, drops, the eviction hook) under the
// same rules. While the instance has no store (its __init__ is dropping the old entries, and
// their finalisers run), the keyed calls, lru_resize and lru_clear fail with RuntimeError as
// the methods do, and lru_size gives a length and capacity of 0.
#ifndef AMBER_MOTH_LRU_CACHE_H
#define AMBER_MOTH_LRU_CACHE_H

// Assertions (ours and those of CPython's inline functions) are compiled only into checked
// builds (-DAMBER_MOTH_CHECKED, used by the sanitizer and debug-interpreter builds). Every
// source includes this header before anything else.
#if !defined(AMBER_MOTH_CHECKED) && !defined(NDEBUG)
#define NDEBUG
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// A key given as the items of the exact tuple it stands for, without the tuple: it hashes
// as that tuple does (key_items_hash) and equals what that tuple equals.
struct KeyItems {
    PyObject *const *items;  // borrowed, alive for the whole lookup
    Py_ssize_t size;
};

// A key's hash as PyObject_Hash gives it: -1 with the error set when it has none.
[[nodiscard]] inline Py_hash_t key_hash(PyObject *key) {
    // An exact compact int hashes to its value (below the hash modulus), -1 becoming -2.
    if (PyLong_CheckExact(key) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(key))) {
        const Py_hash_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(key));
        return value != -1 ? value : -2;
    }
    // An exact str caches its hash; reading it saves a call (-1 means not computed yet).
#if PY_VERSION_HEX >= 0x030F0000
    Py_hash_t h = PyUnicode_CheckExact(key) ? PyUnstable_Unicode_GET_CACHED_HASH(key) : -1;
#else
    Py_hash_t h = PyUnicode_CheckExact(key) ? reinterpret_cast<PyASCIIObject *>(key)->hash : -1;
#endif
    if (h == -1) {
        h = PyObject_Hash(key);
    }
    return h;
}

// The hash that PyObject_Hash gives the tuple of `key`'s items, each item hashed once:
// CPython's tuple hash (xxHash's round over the items' hashes, then the length). -1 with the
// error set when an item has none.
[[nodiscard]] inline Py_hash_t key_items_hash(KeyItems key) {
    static_assert(sizeof(Py_uhash_t) == 8, "the 64-bit constants of the tuple hash");
    constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
    constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
    constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
    Py_uhash_t acc = kPrime5;
    for (Py_ssize_t i = 0; i < key.size; ++i) {
        const Py_hash_t h = key_hash(key.items[i]);
        if (h == -1) {
            return -1;
        }
        acc += static_cast<Py_uhash_t>(h) * kPrime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= kPrime1;
    }
    acc += static_cast<Py_uhash_t>(key.size) ^ (kPrime5 ^ 3527539UL);
    return acc == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(acc);
}

// A new LRUCache(capacity), or null with the error set.
[[nodiscard]] PyObject *lru_new(Py_ssize_t capacity);

// cache.get(key) with the key's hash given: 0 with `*value` a new reference to the value
// (the entry made the most recently used) or null when absent, or -1 with the error set.
[[nodiscard]] int lru_lookup(PyObject *cache, Py_hash_t hash, PyObject *key, PyObject **value);
[[nodiscard]] int lru_lookup(PyObject *cache, Py_hash_t hash, KeyItems key, PyObject **value);

// cache[key] = value with the key's hash given: 0, or -1 with the error set. Without
// `evict`, a new key that finds the cache full (once the lookup's comparisons have run) is
// not stored: 1, nothing changed.
[[nodiscard]] int lru_store(PyObject *cache, Py_hash_t hash, PyObject *key, PyObject *value,
                            bool evict = true);

// Readies the cache for a new key of hash `hash` about to be stored: prefetches the slot it
// will take and, when the cache is full, what evicting its least recently used entry will
// touch. Takes no lock and changes nothing.
void lru_prepare_insert(PyObject *cache, Py_hash_t hash);

// cache.delete(key) with the key's hash given: 1 removed, 0 absent, -1 with the error set.
[[nodiscard]] int lru_remove(PyObject *cache, Py_hash_t hash, PyObject *key);

// What sizes the cache, read in one call: len(cache), cache.capacity, and how many stores
// the instance has had (__init__ and resize() each install one, so a change of the count
// tells that something sized the cache).
struct LRUSize {
    uint64_t length;
    uint64_t capacity;
    uint64_t stores;
};
[[nodiscard]] LRUSize lru_size(PyObject *cache);

// Whether the calling thread holds the instance's lock: it is inside an operation of a
// thread-safe cache (a key's __eq__ run by it). Always false without thread safety.
[[nodiscard]] bool lru_held_by_caller(PyObject *cache);

// What lru_resize did.
enum class Resized { Done, Busy, Failed };

// cache.resize(capacity), made even while operations of the cache are under way, on this
// thread or others: their lookups start again on the new store (a thread-safe cache's
// lock is waited for first, as by any operation). Done; Busy, with no error set and nothing
// changed, only at interpreter shutdown while another thread holds the lock; Failed with
// the error set.
[[nodiscard]] Resized lru_resize(PyObject *cache, Py_ssize_t capacity);

// cache.clear(): 0, or -1 with the error set.
[[nodiscard]] int lru_clear(PyObject *cache);

// cache.expire(): the number of expired entries removed, or -1 with the error set.
[[nodiscard]] Py_ssize_t lru_expire(PyObject *cache);

// cache.ttl = ttl (None, or a real number of seconds): 0, or -1 with the error set.
[[nodiscard]] int lru_set_ttl(PyObject *cache, PyObject *ttl);

// Whether `ttl` is one that LRUCache.ttl takes; false with its error set if not.
[[nodiscard]] bool lru_check_ttl(PyObject *ttl);

// Visits every key and value the cache holds, for the cycle collector of an object that
// owns the cache outright (the cache itself visits neither).
int lru_visit_entries(PyObject *cache, visitproc visit, void *arg);

// A CacheInfo(hits, misses, maxsize, currsize); `maxsize` is borrowed (an int or None).
[[nodiscard]] PyObject *cache_info_new(uint64_t hits, uint64_t misses, PyObject *maxsize,
                                       uint64_t currsize);

// Adds the memoising wrapper's type to the module (func.cpp): 0, or -1 with the error set.
[[nodiscard]] int func_add_types(PyObject *module);

#endif  // AMBER_MOTH_LRU_CACHE_H
