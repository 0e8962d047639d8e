// amber_moth.lru_cache: a bounded least-recently-used cache for CPython.
//
// Map
// ---
// Each mechanism, with the types and functions that implement it, in the order this file
// presents them. Each rule is written once, beside the code that enforces it; where a line
// says "rule:", that is where to read it.
//
// Store (CLRUCache)     The record, made with its pool and index by cache_create (capacity
//                       default: store_capacity); "Store records" holds the records and
//                       the limits (kMaxCapacity, kSlotKeys).
// Store arrays          store_array_alloc, store_array_advise, store_array_free: the
//                       record with its slot tags (store_record_bytes), the index and the
//                       pool, reported to tracemalloc, large ones (has_own_mapping) in
//                       mappings advised for huge pages (rule: there; the index's advice:
//                       hash_note_length).
// Node pool             LRUNode; node_alloc, node_release, node_pool_reset.
// Hash index            HashEntry; home_slot; slot tags (slot_tags, rule: there),
//                       slot_tag, tag_is_live; carried_address, slot_key_address, set_live,
//                       slot_stored_key, find_free_slot, find_node_slot; after the lookup:
//                       hash_set, hash_note_length, hash_delete, hash_rebuild,
//                       hash_reserve (rule: the load).
// Insertion prefetch    prefetch_victim (rule: there), from cache_set, cache_insert and
//                       lru_prepare_insert; prefetch_home_slot, from cache_set and
//                       lru_prepare_insert.
// Lookup and its        hash_get -> hash_probe (one pass; exact_equals decides exact str,
//   restart             int and tuple keys without Python code, key_equals calls __eq__
//                       through rich_equals) -> hash_restart_probes (the passes after a
//                       restart), for a key object or for KeyItems (lru_cache.h: a tuple
//                       key given as its items, exact_items_equals); Lookup,
//                       Match. RestartWatch (CLRUCache.restart_watches) with
//                       restart_watch_begin/end, marked by restart_watches_mark from
//                       hash_set, hash_rebuild and cache_reset, moved to a new store by
//                       replace_store (Match::Replaced: the lookup goes on in the new
//                       store, hash_restart_probes); RestartMemo and restart_memo_has (rule: RestartMemo).
//                       Rule for when a lookup starts again: key_equals.
// Recency list          LRUNode.prev/next, CLRUCache.head/tail; list_unlink,
//                       list_push_back, list_move_to_end.
// Store operations      cache_get, cache_peek, cache_set, cache_setdefault, cache_delete,
//                       cache_pop, cache_remove_head, cache_clear (ClearedEntry), cache_move,
//                       cache_grow;
//                       their steps cache_insert, cache_append, cache_remove, cache_reset.
// Destruction queue     Destructions (rule: there), cache_destroy, cache_free.
// Lock                  RLock, RLock_New, RLock_Enable, RLock_Free, Acquire_RLock,
//                       Release_RLock, NOOP in utils.h (rule: there); lru_lock (reads the
//                       store once it holds the lock), lru_unlock, with_lock here.
// Deferred drops and    Released and Detached (what a store call hands back); DeferredDrops
//   reservations        (LRUCacheObject.deferred); lru_lock -> reserve_deferred,
//                       lru_unreserve; drop_unlocked (rule: there), lru_unlock ->
//                       drop_deferred; clear() drops through drop_cleared, resize() its
//                       evicted entries through drop_unlocked.
// Eviction hook         LRUCacheObject.on_evict; Detached::mark_evicted in cache_insert and
//                       Released.evicted in cache_move; drop_now -> call_on_evict (rule:
//                       drop_now); LRUCache_get_on_evict, LRUCache_set_on_evict,
//                       LRUCache_traverse.
// Expiry                expiry.h (its own map): the deadlines, an array of ExpirySlot parallel
//                       to the node pool (CLRUCache.expiry, null until first needed:
//                       store_enable_expiry) and a list in deadline order; cache_count_due,
//                       cache_remove_due. In the binding: LRUCacheObject.ttl/timer/clocked;
//                       a Moment read once per operation before its store is found
//                       (timed_store -> read_clock -> builtin_clock or read_timer; for hits,
//                       at_moment -> at_clocked_moment); with_lock takes out what is due at
//                       it first (store_has_due -> purge_take, purge_drop: rule at Purged);
//                       write_deadline; set_with_ttl, expire (expire_now), the ttl and timer
//                       properties; resize_now expires before resize_store.
// Statistics            CLRUCache.hits/misses: counted by cache_get (get, [] and, through
//                       cache_setdefault, setdefault), carried over by cache_move, zeroed by
//                       LRUCache_clear, read by LRUCache_cache_info (cache_info_type).
// Binding               LRUCacheObject; its life cycle: store_of, hash_key_of, keyed_store,
//                       keyed_store_with_default, new_store, may_replace_store (rule:
//                       there), release_store, LRUCache_new, LRUCache_init,
//                       LRUCache_dealloc; then one LRUCache_* function per method or slot,
//                       as keyed operations and whole-cache operations, and the tables.
// Memoising decorator   func.cpp, with a map of its own; it reaches the store through
//                       lru_cache.h (key_hash, key_items_hash, KeyItems), whose lru_new,
//                       lru_lookup, lru_store, lru_prepare_insert, lru_remove, lru_resize
//                       (resize_store), lru_held_by_caller (RLock_HeldByCaller), lru_clear
//                       and lru_visit_entries close this file. afunc.cpp, the memoiser of
//                       coroutine functions (its own map), keeps its results in a func.cpp
//                       wrapper through func.h (CallKey, memo_*).
//
// Invariants
// ----------
// Node states. Every node of the pool is in exactly one of:
//   listed: on the doubly linked recency list (head = least recently used, tail = most),
//           indexed by exactly one live slot;
//   free:   on the singly linked free list (through `next`), `orig_key` and `value` null;
//   fresh:  at or after `pool_used` in the pool, all zero (node_alloc hands out free nodes
//           first, then fresh ones in pool order).
// `length` is the number of listed nodes; head is null exactly when length is 0.
//
// Slot states. The index is open addressing with linear probing over `num_buckets` slots,
// a power of two and at least twice the capacity, so live slots never fill more than half:
//   empty:     node null, is_tombstone false, tag kEmptyTag (ends a probe);
//   live:      node set, is_tombstone false, `key` equal to the node's hash, `key_addr` the
//              node's key address when it fits (carried_address), else 0, tag
//              slot_tag(key);
//   tombstone: node null, is_tombstone true, tag kTombstoneTag (a removed entry; probes go
//              past it).
// Empty and tombstone slots carry no key address; `tombstones` counts tombstone slots.
// Removing an entry leaves a tombstone and moves no slot; moving an entry in the recency
// list touches no slot; only hash_rebuild, and cache_reset once the store is empty, move
// slots or make tombstones empty.
// The pool and the index never change size: after cache_create the store allocates only its
// deadlines, once, the first time an entry gets one (store_enable_expiry).
//
// Deadlines. Once the store has them, a listed node with a deadline is in the deadline list
// (expiry.h) and no other node is; while an operation runs, no listed node is due at its
// moment (with_lock takes the due ones out first).
//
// References. A listed node owns one strong reference to its key (`orig_key`) and one to
// its value. References that leave the store are moved out of it, into a Detached holder,
// cache_clear's array or cache_move's evicted array, and from there handed to
// drop_unlocked, which drops them or parks them in `deferred`. An instance owns its store (`cache`, null until
// __init__ succeeds), its lock (`mutex`, whose handle lives as long as the instance) and its
// eviction hook. `running` counts operations between lru_lock and lru_unlock. The store is
// replaced (release_store, resize_store) only under the lock, and only where
// may_replace_store allows; an operation reads the store once it holds the lock (lru_lock),
// and a comparison under way on a replaced store makes its lookup start
// again in the new one, where its operation goes on (replace_store), so no operation uses
// a freed store.
// cache_destroy runs only on a store no instance points to.
//
// Where Python code runs. A key's __hash__ and __eq__, any reference drop (__del__, weakref
// callbacks, ...), the eviction hook and any allocation (the cycle collector) run arbitrary
// code that may re-enter this cache on the same thread, or let another thread in. So:
//   * Hashing happens before the lock is taken (keyed_store).
//   * Comparisons happen only in key_equals, while hash_get looks up the probe key, before
//     the operation changes anything; a comparison that raises fails the whole operation,
//     with the store unchanged.
//   * Once the lookup is done, the operation runs to the end with no Python code: removal
//     finds a slot by node identity (find_node_slot), insertion takes the first free slot
//     on the key's path (find_free_slot).
//   * Drops, and the eviction hook, run only once the store is consistent again and the
//     lock is released (drop_unlocked).
//   * An operation works on the store it reads once it holds the lock (lru_lock), and reads
//     it before only where no Python code runs between the read and the use (a prefetch, an
//     unlocked length); code that runs between locked steps of one call checks `cache` and
//     `stores` before each step (clear_head_first).

// lru_cache.h comes first: it decides whether assertions are compiled in.
#include "lru_cache.h"

#include <Python.h>

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <type_traits>

#include "expiry.h"
#include "utils.h"

// Where the system offers anonymous mappings and madvise, a store's large arrays get mappings
// of their own (store_array_alloc).
#if defined(__has_include)
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#endif
#if defined(MAP_ANONYMOUS) && defined(MADV_HUGEPAGE)
#define AMBER_MOTH_HUGE_ARRAYS 1
#else
#define AMBER_MOTH_HUGE_ARRAYS 0
#endif

namespace {

// ---------------------------------------------------------------------------------------
// Store records

struct LRUNode {
    int64_t key;         // the key's hash
    PyObject *orig_key;  // strong reference while listed, null while free
    PyObject *value;     // strong reference while listed, null while free
    LRUNode *prev;       // towards the head; null at the head
    LRUNode *next;       // towards the tail; null at the tail; next free node while free
};

// A slot of the index (slot states: the design comment). A live slot carries its node's key
// address so that a lookup checks identity, and hands the stored key to the comparison,
// from the slot alone: it reads the node only for the entry it finds, and `in` never does.
// The address never changes while the node is listed, and the node's reference keeps the
// key alive; set_live writes it whenever a slot becomes live, and it moves with the slot in
// a rebuild.
struct HashEntry {
    int64_t key;    // hash of the key whose node occupies, or last occupied, the slot
    LRUNode *node;  // null when empty or a tombstone
    bool is_tombstone;
    // In what would be padding: while live, the seven low bytes, in memory order, of the
    // address of the node's key object as carried_address gives it; zero otherwise.
    uint8_t key_addr[7];
};

// A comparison under way in a lookup (key_equals), linked into its store for the span of
// the call, so that the store can mark it when something happens that could change the
// lookup's answer: a key of its hash indexed, or slots moved. It lives on the comparing
// frame's stack; the restart watches of several threads and nested lookups may be linked at once.
// When the instance's store is replaced meanwhile (replace_store), the watch moves to the
// new store, marked `replaced`, and the lookup starts again there.
struct CLRUCache;
struct RestartWatch {
    int64_t hash_key;  // the probe's hash
    bool filled;       // a key of hash_key was indexed
    bool moved;        // slots moved, or tombstones became empty slots
    bool replaced;     // the store compared in was replaced, and freed
    CLRUCache *store;  // the store whose list links the watch
    RestartWatch *prev;  // towards the store's newest watch
    RestartWatch *next;
};

// How many stored keys found unequal to the probe a lookup remembers across its restarts.
constexpr unsigned kRestartMemoSize = 16;

struct CLRUCache {
    LRUNode *head;  // least recently used
    LRUNode *tail;  // most recently used
    HashEntry *buckets;  // the slots; their tags follow the record (slot_tags)
    uint64_t num_buckets;  // power of two, >= 16 and >= 2 * capacity; fixed
    uint64_t mask;         // num_buckets - 1
    uint64_t length;
    uint64_t capacity;
    uint64_t tombstones;
    LRUNode *node_pool;  // capacity nodes
    LRUNode *freelist;   // released nodes, most recently released first
    uint64_t pool_used;  // node_pool[pool_used..capacity) are fresh
    uint64_t dense_length;  // the length at which the index is advised (hash_note_length)
    uint64_t hits;       // lookups by get, subscription and setdefault that found the key
    uint64_t misses;     // ... and that did not
    RestartWatch *restart_watches;  // comparisons under way on this store, newest first
    CLRUCache *next_queued;  // link in its interpreter's queue of stores awaiting destruction
    unsigned shift;  // 64 - log2(num_buckets): turns a mixed hash into a first probe slot
    uint32_t expiry_first;  // the deadline list's first link (expiry.h)
    ExpirySlot *expiry;     // deadlines, one per node; null until an entry first has one
};

constexpr uint64_t kDefaultCapacity = 128;
// The capacity of a store asked for `requested` entries: 0 means the default.
[[nodiscard]] constexpr uint64_t store_capacity(uint64_t requested) {
    return requested != 0 ? requested : kDefaultCapacity;
}
constexpr uint64_t kMinBuckets = 16;
// Beyond this capacity the index size or the load arithmetic would not fit in 64 bits;
// such a store fails like any allocation that cannot be satisfied.
constexpr uint64_t kMaxCapacity = uint64_t{1} << 56;
static_assert(2 * kMaxCapacity * sizeof(HashEntry) / sizeof(HashEntry) == 2 * kMaxCapacity);
static_assert((2 * kMaxCapacity + 1) * 10 / 10 == 2 * kMaxCapacity + 1);
static_assert(std::is_trivially_copyable_v<HashEntry> && std::is_trivially_copyable_v<LRUNode>,
              "slots and nodes start as the zero bytes store_array_alloc gives");
static_assert(sizeof(int64_t) >= sizeof(Py_hash_t));
// Slots carry key addresses where pointers are 64-bit and little-endian, so that the seven
// low bytes of an address below 2^56 are key_addr in memory order. A build with
// AMBER_MOTH_NO_SLOT_KEY carries none, as if no address fitted: the tests build it to run
// the lookups that read every key from its node.
#ifdef AMBER_MOTH_NO_SLOT_KEY
constexpr bool kSlotKeys = false;
#else
constexpr bool kSlotKeys = sizeof(void *) == 8 && std::endian::native == std::endian::little;
#endif
static_assert(sizeof(void *) != 8 || sizeof(HashEntry) == 24,
              "the key address lives in what would be the slot's padding");
static_assert(offsetof(HashEntry, key_addr) == offsetof(HashEntry, is_tombstone) + 1 &&
                  offsetof(HashEntry, is_tombstone) + sizeof(uint64_t) == sizeof(HashEntry),
              "is_tombstone and key_addr are the slot's last eight bytes, read as one word");

// What one operation took out of the store: an entry's key and value, or an overwritten
// value (key null), as strong references, for drop_unlocked.
struct Released {
    PyObject *key;
    PyObject *value;
    bool evicted;  // evicted to make room: for the eviction hook (drop_now)
};

// Holds what an operation releases (at most one Released) until the caller hands it on;
// whatever it still holds when it goes out of scope is dropped then.
class Detached {
  public:
    Detached() = default;
    Detached(const Detached &) = delete;
    Detached &operator=(const Detached &) = delete;
    ~Detached() {
        Py_XDECREF(held_.key);
        Py_XDECREF(held_.value);
    }
    void take_entry(PyObject *key, PyObject *value) {
        assert(held_.value == nullptr);
        held_ = {key, value, false};
    }
    void take_value(PyObject *value) { take_entry(nullptr, value); }
    // Marks the entry held as evicted to make room.
    void mark_evicted() {
        assert(held_.key != nullptr);
        held_.evicted = true;
    }
    // The value held, borrowed; null when nothing is held.
    [[nodiscard]] PyObject *value() const { return held_.value; }
    // Hands over what is held (both null when nothing is) and empties the holder.
    [[nodiscard]] Released release() {
        const Released out = held_;
        held_ = {};
        return out;
    }

  private:
    Released held_{};
};

// ---------------------------------------------------------------------------------------
// Store arrays

// The store's record (with its slot tags), its index and its node pool are allocated,
// zeroed, by store_array_alloc and freed by store_array_free, given the same count and
// element size.
// Each is reported to tracemalloc, in the domain kTraceDomain with the Python line that made
// the store, so that it and the profilers built on it see what a cache takes. An array of kHugePage bytes or
// more gets an anonymous mapping of its own, aligned to kHugePage, which store_array_advise
// advises for huge pages (MADV_HUGEPAGE): filling it then faults once per 2 MB page rather
// than once per 4 KB page, and freeing it gives its memory straight back. Where the kernel
// offers no huge pages the advice is ignored; where the system has no anonymous mappings or
// madvise, every array comes from calloc and none is advised.
//
// Which arrays are advised. The pool at once: nodes are handed out in pool order, so a
// store holds at most one 2 MB page of pool it does not use. The index, touched at random,
// once the store holds one entry per kIndexBytesPerEntry of it (hash_note_length): from
// then on most of its 4 KB pages are touched anyway, where huge pages from the start would
// make the whole index resident after a few entries per 2 MB. The record is advised with
// the index, for its tags, which are touched at random too.
constexpr size_t kIndexBytesPerEntry = 2048;
constexpr size_t kHugePage = size_t{1} << 21;

[[nodiscard]] constexpr size_t huge_pages_bytes(size_t bytes) {
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

// Whether an array of `count` elements of `size` bytes takes kHugePage bytes or more, and
// so a mapping of its own; `count * size` itself may not fit in a size_t.
[[nodiscard]] constexpr bool has_own_mapping(size_t count, size_t size) {
    return count >= (kHugePage + size - 1) / size;
}
static_assert(has_own_mapping(1, kHugePage) && !has_own_mapping(1, kHugePage - 1));
static_assert(has_own_mapping(kHugePage / 24 + 1, 24) && !has_own_mapping(kHugePage / 24, 24));

constexpr unsigned int kTraceDomain = 0x4c525543;  // "LRUC"

// `array`, of `bytes`, traced by tracemalloc; null stays null.
[[nodiscard]] void *traced(void *array, size_t bytes) {
    if (array != nullptr) {
        // Fails only when tracemalloc is off or out of memory: the array is just not traced.
        (void)PyTraceMalloc_Track(kTraceDomain, reinterpret_cast<uintptr_t>(array), bytes);
    }
    return array;
}

// `count` zeroed elements of `size` bytes, or null when memory cannot be had.
[[nodiscard]] void *store_array_alloc(size_t count, size_t size) {
#if AMBER_MOTH_HUGE_ARRAYS
    if (has_own_mapping(count, size)) {
        if (count > (SIZE_MAX - 2 * kHugePage) / size) {
            return nullptr;
        }
        // One page more than the array needs, then what lies outside the aligned span unmapped.
        const size_t bytes = huge_pages_bytes(count * size);
        void *mapped = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return nullptr;
        }
        auto *start = static_cast<char *>(mapped);
        auto *aligned =
            reinterpret_cast<char *>(huge_pages_bytes(reinterpret_cast<uintptr_t>(start)));
        if (aligned != start) {
            munmap(start, static_cast<size_t>(aligned - start));
        }
        munmap(aligned + bytes, static_cast<size_t>(start + kHugePage - aligned));
        return traced(aligned, count * size);
    }
#endif
    return traced(calloc(count, size), count * size);
}

// Advises what store_array_alloc(count, size) returned for huge pages, when it is mapped.
void store_array_advise([[maybe_unused]] void *array, [[maybe_unused]] size_t count,
                        [[maybe_unused]] size_t size) {
#if AMBER_MOTH_HUGE_ARRAYS
    if (has_own_mapping(count, size)) {
        madvise(array, huge_pages_bytes(count * size), MADV_HUGEPAGE);  // ignored where not offered
    }
#endif
}

// Frees what store_array_alloc(count, size) returned (nothing for null).
void store_array_free(void *array, [[maybe_unused]] size_t count, [[maybe_unused]] size_t size) {
    if (array == nullptr) {
        return;
    }
    (void)PyTraceMalloc_Untrack(kTraceDomain, reinterpret_cast<uintptr_t>(array));
#if AMBER_MOTH_HUGE_ARRAYS
    if (has_own_mapping(count, size)) {
        munmap(array, huge_pages_bytes(count * size));
        return;
    }
#endif
    free(array);
}

// ---------------------------------------------------------------------------------------
// Node pool

[[nodiscard]] inline uint64_t node_index(const CLRUCache *cache, const LRUNode *node) {
    return static_cast<uint64_t>(node - cache->node_pool);
}

// The store's deadline list (expiry.h). Precondition: the store has one (cache->expiry).
[[nodiscard]] inline DeadlineList deadlines(CLRUCache *cache) {
    assert(cache->expiry != nullptr);
    return {cache->expiry, cache->expiry_first};
}

// Makes every node free again, in pool order, without touching the pool.
// Precondition: no node is listed.
void node_pool_reset(CLRUCache *cache) {
    assert(cache->length == 0 && cache->head == nullptr);
    cache->freelist = nullptr;
    cache->pool_used = 0;
}

// Takes a free node (the last released one, else the first fresh one) and fills it with the
// caller's references to key and value. Precondition: length < capacity.
[[nodiscard]] LRUNode *node_alloc(CLRUCache *cache, int64_t hash_key, PyObject *orig_key,
                                  PyObject *value) {
    assert(cache->length < cache->capacity);
    LRUNode *node = cache->freelist;
    if (node != nullptr) {
        cache->freelist = node->next;
    } else {
        assert(cache->pool_used < cache->capacity);
        node = &cache->node_pool[cache->pool_used++];
    }
    assert(node->orig_key == nullptr && node->value == nullptr);
    node->key = hash_key;
    node->orig_key = orig_key;
    node->value = value;
    node->prev = nullptr;
    node->next = nullptr;
    return node;
}

// Moves the node's key and value references into `dropped` and puts the node at the front
// of the free list. Precondition: the node is neither listed nor indexed.
void node_release(CLRUCache *cache, LRUNode *node, Detached &dropped) {
    dropped.take_entry(node->orig_key, node->value);
    node->orig_key = nullptr;
    node->value = nullptr;
    node->prev = nullptr;
    node->next = cache->freelist;
    cache->freelist = node;
}

// ---------------------------------------------------------------------------------------
// Hash index

// First probe slot of a hash: Fibonacci hashing, the top bits of hash * 2^64/phi, so that
// ints, whose hash is their value, do not cluster.
[[nodiscard]] inline uint64_t home_slot(const CLRUCache *cache, int64_t hash_key) {
    return (static_cast<uint64_t>(hash_key) * UINT64_C(0x9E3779B97F4A7C15)) >> cache->shift;
}

// Slot tags. Beside the index, the store keeps one byte per slot that mirrors the slot's
// state: kEmptyTag for an empty slot, kTombstoneTag for a tombstone, and for a live slot
// slot_tag of its hash, whose top bit is set. Probes read the tags, and a slot only where
// the tag is the probe's own: a lookup of an absent key and the search for a free slot read
// no slot. In a large store the first probe of a new key then touches a byte of an array a
// twenty-fourth the size of the index, which stays in the CPU's caches, rather than a slot
// out in memory; a lookup that finds its key reads tag and slot side by side. Rule: every
// write of a slot's state writes its tag with it (set_live, hash_delete, hash_rebuild,
// cache_reset, cache_clear, cache_grow).
//
// The tags follow the store's record in one allocation (store_record_bytes), as a dict's
// indices follow its keys object: a probe reaches them from the store's address, with no
// pointer to load and none to keep in a register across its loop.
[[nodiscard]] inline uint8_t *slot_tags(CLRUCache *cache) {
    return reinterpret_cast<uint8_t *>(cache + 1);
}

[[nodiscard]] inline const uint8_t *slot_tags(const CLRUCache *cache) {
    return reinterpret_cast<const uint8_t *>(cache + 1);
}

// The bytes of a store's record with the tags of its `num_buckets` slots.
[[nodiscard]] constexpr size_t store_record_bytes(uint64_t num_buckets) {
    return sizeof(CLRUCache) + num_buckets * sizeof(uint8_t);
}
static_assert(sizeof(CLRUCache) % alignof(CLRUCache) == 0);

constexpr uint8_t kEmptyTag = 0;
constexpr uint8_t kTombstoneTag = 1;
constexpr uint8_t kLiveTag = 0x80;  // set in every live slot's tag, and in no other

// The tag of a live slot holding `hash_key`: its seven low bits, which the home slot, taken
// from the top bits of the mixed hash, leaves free to differ between the keys of one run
// (consecutive ints differ in them). Keys whose hashes share them, such as multiples of 128,
// only cost the slot reads that tags otherwise save.
[[nodiscard]] constexpr uint8_t slot_tag(int64_t hash_key) {
    return static_cast<uint8_t>(static_cast<uint64_t>(hash_key) & 0x7F) | kLiveTag;
}

[[nodiscard]] inline bool tag_is_live(uint8_t tag) {
    return (tag & kLiveTag) != 0;
}

[[nodiscard]] inline bool slot_is_empty(const HashEntry &e) {
    return e.node == nullptr && !e.is_tombstone;
}

// The address a live slot carries for its node's key object: the address itself where slots
// carry addresses and it fits in 56 bits (user-space addresses do, tagged pointers may not),
// else 0.
[[nodiscard]] inline uint64_t carried_address(const PyObject *key) {
    const uint64_t addr = reinterpret_cast<uintptr_t>(key);
    return kSlotKeys && addr >> 56 == 0 ? addr : 0;
}

// The address the slot carries, 0 for none: its last eight bytes read as one word, less
// is_tombstone in the low byte.
[[nodiscard]] inline uint64_t slot_key_address(const HashEntry &e) {
    if constexpr (std::endian::native != std::endian::little) {
        return 0;  // such builds carry none (kSlotKeys)
    }
    uint64_t word;
    memcpy(&word, reinterpret_cast<const unsigned char *>(&e) + offsetof(HashEntry, is_tombstone),
           sizeof word);
    return word >> 8;
}

// Makes slot `i` a live slot indexing `node`, carrying its key object's address, and sets its
// tag. The slot's last eight bytes are written as the one word slot_key_address reads
// (is_tombstone, false, in its low byte; where slots carry no address the word is 0), in
// place: a slot built on the stack and copied in was read back by a load wider than the
// stores that built it, which the CPU cannot forward, and every insertion waited for the
// stores before it to reach memory. Only stores: the slot's line is not read.
inline void set_live(CLRUCache *cache, uint64_t i, LRUNode *node) {
    HashEntry &e = cache->buckets[i];
    e.key = node->key;
    e.node = node;
    const uint64_t word = carried_address(node->orig_key) << 8;
    memcpy(reinterpret_cast<unsigned char *>(&e) + offsetof(HashEntry, is_tombstone), &word,
           sizeof word);
    slot_tags(cache)[i] = slot_tag(node->key);
}

// The key object of the node that the live slot `e` indexes: from the slot when it carries
// the address, else from the node.
[[nodiscard]] inline PyObject *slot_stored_key(const HashEntry &e) {
    const uint64_t addr = slot_key_address(e);
    assert(e.node != nullptr && addr == carried_address(e.node->orig_key));
    return addr != 0 ? reinterpret_cast<PyObject *>(static_cast<uintptr_t>(addr))
                     : e.node->orig_key;
}

// Whether the live slot `e` carries the address of `orig_key`, and so holds that very key
// object. A key given as its items (KeyItems) is no stored object.
[[nodiscard]] inline bool carries(const HashEntry &e, const PyObject *orig_key) {
    return slot_key_address(e) == reinterpret_cast<uintptr_t>(orig_key);
}

[[nodiscard]] inline bool carries(const HashEntry &, KeyItems) {
    return false;
}

// Index of the first empty or tombstone slot on hash_key's path, found by the tags alone.
// One always exists, since live slots fill at most half the index.
[[nodiscard]] uint64_t find_free_slot(const CLRUCache *cache, int64_t hash_key) {
    uint64_t i = home_slot(cache, hash_key);
    while (tag_is_live(slot_tags(cache)[i])) {
        i = (i + 1) & cache->mask;
    }
    return i;
}

// Index of the live slot that indexes `node`, found by identity, with no comparisons.
// Precondition: the node is indexed.
[[nodiscard]] uint64_t find_node_slot(const CLRUCache *cache, const LRUNode *node) {
    uint64_t i = home_slot(cache, node->key);
    while (cache->buckets[i].node != node) {
        assert(!slot_is_empty(cache->buckets[i]));
        i = (i + 1) & cache->mask;
    }
    assert(slot_key_address(cache->buckets[i]) == carried_address(node->orig_key));
    return i;
}

// ---------------------------------------------------------------------------------------
// Insertion prefetch
//
// In a large store, evicting the head is a chain of cache misses: its node, then its home
// slot and the slot after (find_node_slot), its successor (whose link the unlink writes),
// then its key and value objects (their drops). And the slot a new key takes, which probes
// do not read (slot tags), is first touched by the writes that make it live.
// Nothing else waits for them, so they are requested ahead, once a new key may be coming:
// before the memoised function runs (lru_prepare_insert) and at the top of a store
// (cache_set), the victim's only when the store is full, and the next victim's right after
// an eviction (cache_insert). Lookups that find their key, and `in`, never prefetch.

// Asks the memory system for the line holding `p`, for writing; no-op where the compiler
// offers no prefetch. A prefetch never faults, whatever the address.
inline void prefetch_for_write(const void *p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
#endif
}

// Prefetches what evicting the head will touch, when the store is full.
inline void prefetch_victim(const CLRUCache *cache) {
    const LRUNode *victim = cache->head;
    if (cache->length < cache->capacity || victim == nullptr) {
        return;
    }
    const uint64_t i = home_slot(cache, victim->key);
    prefetch_for_write(&cache->buckets[i]);
    prefetch_for_write(&cache->buckets[(i + 1) & cache->mask]);
    prefetch_for_write(&slot_tags(cache)[i]);
    prefetch_for_write(victim->orig_key);
    prefetch_for_write(victim->value);
    prefetch_for_write(victim->next);
}

// Prefetches the home slot of a key that may be about to be stored. Probes read tags, not
// slots, until a tag matches, so a new key's slot is first touched by the writes that make
// it live (set_live): they find it in the cache rather than wait for memory.
inline void prefetch_home_slot(const CLRUCache *cache, int64_t hash_key) {
    prefetch_for_write(&cache->buckets[home_slot(cache, hash_key)]);
}

// ---------------------------------------------------------------------------------------
// Lookup and its restart

// Result of a lookup: the node holding an equal key and the slot indexing it, or no node.
// `store` is written only when a comparison replaced the store: the new one.
struct Lookup {
    LRUNode *node;
    uint64_t slot;
    CLRUCache *store;
};

// Outcome of comparing a probe key with a stored key (same hash, not identical). Replaced:
// the store was replaced during the comparison, and the lookup starts again on the new one
// (hash_restart_probes).
enum class Match { No, Yes, Restart, Error, Replaced };

// Marks the comparisons under way: all of them when slots moved, else those whose probe
// has `hash_key`, a key of which was just indexed.
[[gnu::noinline]] void restart_watches_mark(CLRUCache *cache, bool moved, int64_t hash_key) {
    for (RestartWatch *w = cache->restart_watches; w != nullptr; w = w->next) {
        w->moved = w->moved || moved;
        w->filled = w->filled || (!moved && w->hash_key == hash_key);
    }
}

// What a lookup keeps across its restarts: the entries (node and key object) it found
// unequal to the probe, which it need not ask again. An entry is known by its node and its
// key's address; both can be reused for another key only through a fill, and only a fill of
// the probe's hash puts a key the probe compares into a node, so such a fill empties the
// record.
struct RestartMemo {
    const LRUNode *nodes[kRestartMemoSize];
    const PyObject *keys[kRestartMemoSize];
    unsigned count;
};

[[nodiscard]] bool restart_memo_has(const RestartMemo *memo, const LRUNode *node,
                                    const PyObject *key) {
    for (unsigned n = 0; n < memo->count; ++n) {
        if (memo->nodes[n] == node && memo->keys[n] == key) {
            return true;
        }
    }
    return false;
}

// Links a comparison's watch into its store (restart_watch_end unlinks it). Out of line:
// inlined, GCC takes the link for a dangling pointer, not seeing restart_watch_end take it back.
[[gnu::noinline]] void restart_watch_begin(CLRUCache *cache, RestartWatch *watch) {
    watch->store = cache;
    watch->prev = nullptr;
    watch->next = cache->restart_watches;
    if (watch->next != nullptr) {
        watch->next->prev = watch;
    }
    cache->restart_watches = watch;
}

// Unlinks a watch from its store, wherever other threads' comparisons left it in the list.
void restart_watch_end(RestartWatch *watch) {
    (watch->prev != nullptr ? watch->prev->next : watch->store->restart_watches) = watch->next;
    if (watch->next != nullptr) {
        watch->next->prev = watch->prev;
    }
}

// Compares two objects whose equality the interpreter fixes without running Python code:
// exact str with exact str (length, kind, then code units) and exact compact int with exact
// compact int (value). Returns 1 or 0 as the general comparison would, or -1 for any other
// pair, subclasses and mixed types (1 and 1.0 or True) included. Exact ints that are not
// compact are left to the general comparison, which for them runs no Python code either.
[[nodiscard]] inline int exact_atom_equals(PyObject *stored, PyObject *orig_key) {
    PyTypeObject *type = Py_TYPE(stored);
    if (type != Py_TYPE(orig_key)) {
        return -1;
    }
    if (type == &PyUnicode_Type) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(stored);
        const int kind = PyUnicode_KIND(stored);
        return length == PyUnicode_GET_LENGTH(orig_key) && kind == PyUnicode_KIND(orig_key) &&
               memcmp(PyUnicode_DATA(stored), PyUnicode_DATA(orig_key),
                      static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
    }
    if (type == &PyLong_Type) {
        auto *a = reinterpret_cast<PyLongObject *>(stored);
        auto *b = reinterpret_cast<PyLongObject *>(orig_key);
        if (PyUnstable_Long_IsCompact(a) && PyUnstable_Long_IsCompact(b)) {
            return PyUnstable_Long_CompactValue(a) == PyUnstable_Long_CompactValue(b);
        }
    }
    return -1;
}

// Compares an exact tuple with the items of another, as the interpreter compares two tuples
// (item by item, identity first, up to the first unequal pair, then by length) as long as
// every pair it reaches is identical or decided by exact_atom_equals; -1 otherwise, and for
// a stored key that is not an exact tuple.
[[nodiscard]] inline int exact_items_equals(PyObject *stored, KeyItems key) {
    if (Py_TYPE(stored) != &PyTuple_Type) {
        return -1;
    }
    const Py_ssize_t stored_size = PyTuple_GET_SIZE(stored);
    for (Py_ssize_t k = 0; k < stored_size && k < key.size; ++k) {
        PyObject *a = PyTuple_GET_ITEM(stored, k);
        PyObject *b = key.items[k];
        if (a != b) {
            const int equal = exact_atom_equals(a, b);
            if (equal <= 0) {
                return equal;
            }
        }
    }
    return stored_size == key.size;
}

// A tuple's items, as a key.
[[nodiscard]] inline KeyItems tuple_items(PyObject *tuple) {
    return {reinterpret_cast<PyTupleObject *>(tuple)->ob_item, PyTuple_GET_SIZE(tuple)};
}

// The comparisons a lookup makes, for each form of probe key: a key object, or the items
// of the exact tuple the key stands for (KeyItems).
//   stored_is:    the stored key is the probe itself;
//   exact_equals: as exact_atom_equals, and for exact tuples as exact_items_equals;
//   rich_equals:  PyObject_RichCompareBool(stored, probe, Py_EQ), which runs Python code.
[[nodiscard]] inline bool stored_is(PyObject *stored, PyObject *orig_key) {
    return stored == orig_key;
}

[[nodiscard]] inline bool stored_is(PyObject *, KeyItems) {
    return false;
}

[[nodiscard]] inline int exact_equals(PyObject *stored, PyObject *orig_key) {
    if (Py_TYPE(orig_key) == &PyTuple_Type) {
        return exact_items_equals(stored, tuple_items(orig_key));
    }
    return exact_atom_equals(stored, orig_key);
}

[[nodiscard]] inline int exact_equals(PyObject *stored, KeyItems key) {
    return exact_items_equals(stored, key);
}

[[nodiscard]] int rich_equals(PyObject *stored, PyObject *orig_key) {
    return PyObject_RichCompareBool(stored, orig_key, Py_EQ);
}

// For a stored exact tuple, the interpreter's tuple comparison over the items; any other
// stored key is compared with the tuple, made for the purpose.
[[nodiscard]] int rich_equals(PyObject *stored, KeyItems key) {
    if (Py_TYPE(stored) != &PyTuple_Type) {
        PyObject *tuple = PyTuple_New(key.size);
        if (tuple == nullptr) {
            return -1;
        }
        for (Py_ssize_t k = 0; k < key.size; ++k) {
            PyTuple_SET_ITEM(tuple, k, Py_NewRef(key.items[k]));
        }
        const int equal = PyObject_RichCompareBool(stored, tuple, Py_EQ);
        Py_DECREF(tuple);
        return equal;
    }
    const Py_ssize_t stored_size = PyTuple_GET_SIZE(stored);
    for (Py_ssize_t k = 0; k < stored_size && k < key.size; ++k) {
        const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(stored, k), key.items[k], Py_EQ);
        if (equal <= 0) {
            return equal;
        }
    }
    return stored_size == key.size;
}

// Calls the stored key in slot `i` with the probe key (of the slot's hash), and decides
// whether the answer stands. The call, and the drop of the reference held across it, run
// Python code, which may change the index anywhere; the call's RestartWatch records what
// matters, and the reference is dropped before the watch ends so that what its drop runs is
// watched too.
//
// When a lookup starts again. The compared entry is still stored ("kept") when no key of
// the probe's hash was indexed meanwhile and its node holds the same key address under that
// hash: a node is refilled, and a freed key's address reused by a new key, only through a
// fill, and a fill of another hash leaves the node under that hash. So a fill of the
// probe's hash, the only kind that can store a key equal to the probe, always restarts the
// lookup. Otherwise an equal answer from a kept entry stands whatever else changed, `i`
// becoming the node's slot if it moved (Match::Yes), and an unequal one stands, the probe
// going on, unless slots moved or the compared slot no longer holds the compared entry
// (Match::No). Every other case starts the lookup again from its first probe slot
// (Match::Restart). Entries removed meanwhile left tombstones, which keep every path
// intact, and are simply not found. So no key is ever stored twice, a comparison that
// changes unrelated entries costs no restart, and one that makes the index rebuild costs
// one more pass: a lookup that starts again does not ask again the entries it found unequal
// (`memo`, null in a first pass: RestartMemo). Kept out of line so that lookups that never
// compare stay lean.
template <class Key>
[[gnu::noinline]] Match key_equals(CLRUCache *cache, uint64_t &i, Key orig_key,
                                   RestartMemo *memo, Lookup *out) {
    // The index is never reallocated during an operation: the slot stays where it is.
    const HashEntry *slot = &cache->buckets[i];
    const int64_t hash_key = slot->key;
    const LRUNode *node = slot->node;
    PyObject *stored = node->orig_key;
    RestartWatch watch{hash_key, false, false, false, nullptr, nullptr, nullptr};
    restart_watch_begin(cache, &watch);
    Py_INCREF(stored);
    const int equal = rich_equals(stored, orig_key);
    Py_DECREF(stored);
    restart_watch_end(&watch);
    if (equal < 0) {
        return Match::Error;
    }
    if (watch.replaced) {
        out->store = watch.store;
        return Match::Replaced;  // `cache`, `slot` and `node` are freed
    }
    const bool kept = !watch.filled && node->orig_key == stored && node->key == hash_key;
    if (equal != 0 && kept) {
        if (slot->node != node) {
            i = find_node_slot(cache, node);
        }
        return Match::Yes;
    }
    if (kept && !watch.moved && slot->node == node) {
        return Match::No;
    }
    if (memo != nullptr) {
        if (watch.filled) {
            memo->count = 0;
        }
        if (equal == 0 && kept && memo->count < kRestartMemoSize) {
            memo->nodes[memo->count] = node;
            memo->keys[memo->count++] = stored;
        }
    }
    return Match::Restart;
}

// One pass of a lookup (hash_get): 0 with `out` filled, -1 with the error a comparison
// raised, kRestart when a comparison ran code that may change the answer, or kReplaced
// when the store was replaced (Match::Replaced: `out->store` is the new one, and the caller
// touches the old one no more).
constexpr int kRestart = 1;
constexpr int kReplaced = 2;
template <class Key>
[[nodiscard]] inline int hash_probe(CLRUCache *cache, int64_t hash_key, Key orig_key,
                                    Lookup *out, RestartMemo *memo) {
    // The load rule (hash_reserve) always leaves empty slots, so an empty slot ends the probe.
    const uint8_t tag = slot_tag(hash_key);
    for (uint64_t i = home_slot(cache, hash_key);; i = (i + 1) & cache->mask) {
        const uint8_t t = slot_tags(cache)[i];
        if (t != tag) {
            if (t == kEmptyTag) {
                break;
            }
            continue;  // a tombstone, or a live slot of another hash
        }
        const HashEntry &e = cache->buckets[i];
        LRUNode *node = e.node;
        assert(node != nullptr);
        uint64_t found = i;
        // A slot that carries the probe key's own address holds it: found with no hash to
        // compare, as a dict finds a key identical to its probe before comparing hashes.
        if (!carries(e, orig_key)) {
            if (e.key != hash_key) {
                continue;
            }
            // An address the slot carries is not the probe's: only a key read from the node
            // may still be the probe itself.
            PyObject *stored = slot_stored_key(e);
            if (slot_key_address(e) != 0 || !stored_is(stored, orig_key)) {
                if (memo != nullptr && restart_memo_has(memo, node, stored)) {
                    continue;
                }
                const int exact = exact_equals(stored, orig_key);
                const Match match = exact >= 0 ? (exact != 0 ? Match::Yes : Match::No)
                                               : key_equals(cache, found, orig_key, memo, out);
                switch (match) {
                    case Match::Error:
                        return -1;
                    case Match::Restart:
                        return kRestart;
                    case Match::Replaced:
                        return kReplaced;
                    case Match::No:
                        continue;
                    case Match::Yes:
                        break;
                }
            }
        }
        out->node = node;
        out->slot = found;
        return 0;
    }
    out->node = nullptr;
    out->slot = 0;
    return 0;
}

// The restarts of a lookup: passes after the first (whose outcome `first` is kRestart or
// kReplaced), until one ends, each skipping the entries found unequal before; a pass that
// finds the store replaced goes on in the new one, from its first probe slot, and forgets
// those entries. `out->store` is left the store the lookup ended in. Kept out of line so
// that the first pass, which nearly always ends the lookup, keeps nothing for another.
template <class Key>
[[gnu::noinline]] int hash_restart_probes(CLRUCache *cache, int64_t hash_key, Key orig_key,
                                         Lookup *out, int first) {
    RestartMemo memo;
    memo.count = 0;
    int r = first;
    for (; r > 0; r = hash_probe(cache, hash_key, orig_key, out, &memo)) {
        if (r == kReplaced) {
            cache = out->store;
            memo.count = 0;
        }
    }
    out->store = cache;
    return r;
}

// Looks up the node whose key equals `orig_key` (identity, else the same hash and __eq__),
// a key object or the items of the tuple it stands for, in `cache`. Returns 0 with `out`
// filled, or -1 with the error a comparison raised. A comparison may have replaced the
// store (replace_store): then `cache` becomes the new store, which the lookup ended in, and
// the operation goes on there.
template <class Key>
[[nodiscard]] inline int hash_get(CLRUCache *&cache, int64_t hash_key, Key orig_key,
                                  Lookup *out) {
    const int r = hash_probe(cache, hash_key, orig_key, out, nullptr);
    if (r <= 0) [[likely]] {
        return r;
    }
    const int end = hash_restart_probes(cache, hash_key, orig_key, out, r);
    cache = out->store;
    return end;
}

// ---------------------------------------------------------------------------------------
// Hash index updates

// Indexes `node` under its hash in the first free slot of its path.
// Precondition: no live slot holds an equal key; the index has room (hash_reserve).
void hash_set(CLRUCache *cache, LRUNode *node) {
    const uint64_t i = find_free_slot(cache, node->key);
    assert(slot_key_address(cache->buckets[i]) == 0);
    if (slot_tags(cache)[i] == kTombstoneTag) {
        --cache->tombstones;
    }
    set_live(cache, i, node);
    if (cache->restart_watches != nullptr) [[unlikely]] {
        restart_watches_mark(cache, false, node->key);
    }
}

// Advises the index, and the record with its tags, for huge pages the first time the store
// holds one entry per kIndexBytesPerEntry of index (the rule: store arrays).
inline void hash_note_length(CLRUCache *cache) {
    if (cache->length >= cache->dense_length) [[unlikely]] {
        store_array_advise(cache->buckets, cache->num_buckets, sizeof(HashEntry));
        store_array_advise(cache, 1, store_record_bytes(cache->num_buckets));
        cache->dense_length = UINT64_MAX;
    }
}

// Turns the live slot `slot` into a tombstone; the slot keeps its hash.
void hash_delete(CLRUCache *cache, uint64_t slot) {
    HashEntry &e = cache->buckets[slot];
    assert(e.node != nullptr && !e.is_tombstone);
    e = HashEntry{e.key, nullptr, true, {}};
    slot_tags(cache)[slot] = kTombstoneTag;
    ++cache->tombstones;
}

// Rebuilds the index in place, dropping every tombstone, in one walk: a tombstone becomes
// an empty slot, and each entry moves back to the first empty slot of its probe path, if
// one comes before its own. The walk starts just after a slot that was empty before the
// rebuild; no probe path crosses such a slot, so the path of each entry, up to its slot,
// lies in slots the walk has already passed, where no tombstone is left. Allocates nothing
// and cannot fail.
void hash_rebuild(CLRUCache *cache) {
    HashEntry *buckets = cache->buckets;
    uint8_t *tags = slot_tags(cache);
    uint64_t start = 0;
    while (tags[start] != kEmptyTag) {
        ++start;  // the load rule always leaves empty slots
    }
    for (uint64_t n = 1; n < cache->num_buckets; ++n) {
        const uint64_t i = (start + n) & cache->mask;
        if (!tag_is_live(tags[i])) {
            if (tags[i] == kTombstoneTag) {
                buckets[i] = HashEntry{};
                tags[i] = kEmptyTag;
            }
            continue;
        }
        assert(slot_key_address(buckets[i]) == carried_address(buckets[i].node->orig_key));
        uint64_t to = home_slot(cache, buckets[i].key);
        while (to != i && tag_is_live(tags[to])) {
            to = (to + 1) & cache->mask;
        }
        if (to != i) {
            buckets[to] = buckets[i];  // the key address and the tag move with the slot
            tags[to] = tags[i];
            buckets[i] = HashEntry{};
            tags[i] = kEmptyTag;
        }
    }
    cache->tombstones = 0;
    restart_watches_mark(cache, true, 0);
}

// Makes room for a new key, `extra` being the tombstones about to appear before it is
// indexed: rebuilds when live slots and tombstones would fill more than 70% of the index.
void hash_reserve(CLRUCache *cache, uint64_t extra) {
    if ((cache->length + cache->tombstones + extra) * 10 > cache->num_buckets * 7) {
        hash_rebuild(cache);
    }
}

// ---------------------------------------------------------------------------------------
// Recency list

// Takes a listed node out of the list.
void list_unlink(LRUNode *node, CLRUCache *cache) {
    (node->prev != nullptr ? node->prev->next : cache->head) = node->next;
    (node->next != nullptr ? node->next->prev : cache->tail) = node->prev;
    node->prev = nullptr;
    node->next = nullptr;
}

// Appends a detached node at the tail.
void list_push_back(LRUNode *node, CLRUCache *cache) {
    node->prev = cache->tail;
    node->next = nullptr;
    (cache->tail != nullptr ? cache->tail->next : cache->head) = node;
    cache->tail = node;
}

// Makes a listed node the most recently used.
inline void list_move_to_end(LRUNode *node, CLRUCache *cache) {
    if (node != cache->tail) {
        list_unlink(node, cache);
        list_push_back(node, cache);
    }
}

// ---------------------------------------------------------------------------------------
// Store operations

// A new empty store of store_capacity(capacity) entries, or null when memory cannot be had
// (nothing is leaked).
[[nodiscard]] CLRUCache *cache_create(uint64_t capacity) {
    capacity = store_capacity(capacity);
    if (capacity > kMaxCapacity) {
        return nullptr;
    }
    uint64_t num_buckets = kMinBuckets;
    unsigned bits = 4;
    while (num_buckets < 2 * capacity) {
        num_buckets <<= 1;
        ++bits;
    }
    auto *cache =
        static_cast<CLRUCache *>(store_array_alloc(1, store_record_bytes(num_buckets)));
    if (cache == nullptr) {
        return nullptr;
    }
    // Zeroed memory leaves every slot empty (hash 0, no node, not a tombstone, kEmptyTag) and
    // every node fresh; neither array is touched until entries arrive.
    cache->buckets = static_cast<HashEntry *>(store_array_alloc(num_buckets, sizeof(HashEntry)));
    cache->node_pool = static_cast<LRUNode *>(store_array_alloc(capacity, sizeof(LRUNode)));
    if (cache->buckets == nullptr || cache->node_pool == nullptr) {
        store_array_free(cache->node_pool, capacity, sizeof(LRUNode));
        store_array_free(cache->buckets, num_buckets, sizeof(HashEntry));
        store_array_free(cache, 1, store_record_bytes(num_buckets));
        return nullptr;
    }
    store_array_advise(cache->node_pool, capacity, sizeof(LRUNode));
    cache->head = nullptr;
    cache->tail = nullptr;
    cache->num_buckets = num_buckets;
    cache->mask = num_buckets - 1;
    cache->shift = 64 - bits;
    cache->length = 0;
    cache->capacity = capacity;
    cache->tombstones = 0;
    cache->freelist = nullptr;
    cache->pool_used = 0;
    cache->dense_length = num_buckets * sizeof(HashEntry) / kIndexBytesPerEntry;
    cache->hits = 0;
    cache->misses = 0;
    cache->restart_watches = nullptr;
    cache->next_queued = nullptr;
    cache->expiry_first = 0;
    cache->expiry = nullptr;
    return cache;
}

// Gives the store its deadlines (expiry.h) if it has none yet: false when they cannot be had.
[[nodiscard]] bool store_enable_expiry(CLRUCache *cache) {
    if (cache->expiry == nullptr) {
        cache->expiry = expiry_new(cache->capacity);
    }
    return cache->expiry != nullptr;
}

// Takes a listed node out of the store: list, index (its slot given), free list; its
// references go to `dropped`.
void cache_remove(CLRUCache *cache, LRUNode *node, uint64_t slot, Detached &dropped) {
    assert(cache->buckets[slot].node == node);
    if (cache->expiry != nullptr) [[unlikely]] {
        expiry_forget(deadlines(cache), node_index(cache, node));
    }
    list_unlink(node, cache);
    hash_delete(cache, slot);
    node_release(cache, node, dropped);
    --cache->length;
}

// Makes an empty store as new: no tombstones, every node fresh. Precondition: the store
// holds no entries and no slot is live. Tombstones cannot be found but by a scan of the
// index, which stops at the last of them.
void cache_reset(CLRUCache *cache) {
    assert(cache->length == 0);
    for (uint64_t i = 0; cache->tombstones > 0; ++i) {
        assert(i < cache->num_buckets);
        if (slot_tags(cache)[i] == kTombstoneTag) {
            cache->buckets[i] = HashEntry{};
            slot_tags(cache)[i] = kEmptyTag;
            --cache->tombstones;
        }
    }
    node_pool_reset(cache);
    restart_watches_mark(cache, true, 0);
}

// Removes the head (least recently used) entry, its references going to `dropped`, and
// resets the store once it is empty. Returns false when the store was already empty.
bool cache_remove_head(CLRUCache *cache, Detached &dropped) {
    if (cache->head == nullptr) {
        return false;
    }
    cache_remove(cache, cache->head, find_node_slot(cache, cache->head), dropped);
    if (cache->length == 0) {
        cache_reset(cache);
    }
    return true;
}

// An entry taken out of the store by cache_clear: its references, and meanwhile its slot.
struct ClearedEntry {
    PyObject *key;
    PyObject *value;
    uint64_t slot;
};
// Room for `length` of them is never more than the node pool takes: no size overflows.
static_assert(sizeof(ClearedEntry) <= sizeof(LRUNode));

// Empties the store in one step, keeping its capacity and index size: moves each entry's
// references into `out` (room for `length` entries), head first, and returns their number.
// Touches only the entries' nodes and slots, and the whole index only when it holds
// tombstones. Runs no Python code: the caller drops the references afterwards.
uint64_t cache_clear(CLRUCache *cache, ClearedEntry *out) {
    uint64_t n = 0;
    // Every slot is found while all probe paths are still intact, then emptied.
    for (LRUNode *node = cache->head; node != nullptr;) {
        LRUNode *next = node->next;
        out[n++] = {node->orig_key, node->value, find_node_slot(cache, node)};
        if (cache->expiry != nullptr) {
            cache->expiry[node_index(cache, node)] = ExpirySlot{};
        }
        *node = LRUNode{};
        node = next;
    }
    assert(n == cache->length);
    for (uint64_t i = 0; i < n; ++i) {
        cache->buckets[out[i].slot] = HashEntry{};
        slot_tags(cache)[out[i].slot] = kEmptyTag;
    }
    cache->head = nullptr;
    cache->tail = nullptr;
    cache->length = 0;
    cache->expiry_first = 0;
    cache_reset(cache);
    return n;
}

// Looks up a key and makes its entry the most recently used. Returns 0 with `*value` the
// stored value (borrowed) or null when absent, or -1 (`*value` null) when a comparison raised.
// Always inlined, as find_value is: called out of line, a hit spends some thirty
// instructions more on the call and the registers it saves.
template <class Key>
[[gnu::always_inline, nodiscard]] inline int cache_get(CLRUCache *&cache, int64_t hash_key,
                                                       Key orig_key, PyObject **value) {
    Lookup found;
    *value = nullptr;
    if (hash_get(cache, hash_key, orig_key, &found) < 0) {
        return -1;
    }
    if (found.node == nullptr) {
        ++cache->misses;
        return 0;
    }
    ++cache->hits;
    list_move_to_end(found.node, cache);
    *value = found.node->value;
    return 0;
}

// As cache_get, but leaves the order and the hit and miss counts as they are.
[[nodiscard]] inline int cache_peek(CLRUCache *&cache, int64_t hash_key, PyObject *orig_key,
                                    PyObject **value) {
    Lookup found;
    *value = nullptr;
    if (hash_get(cache, hash_key, orig_key, &found) < 0) {
        return -1;
    }
    if (found.node != nullptr) {
        *value = found.node->value;
    }
    return 0;
}

// Adds an entry as the most recently used, taking over the caller's references, due at
// `deadline` (kNever: never). Preconditions: no stored key equals orig_key; length <
// capacity; the index has room; the store has deadlines if `deadline` is not kNever.
void cache_append(CLRUCache *cache, int64_t hash_key, PyObject *orig_key, PyObject *value,
                  double deadline) {
    LRUNode *node = node_alloc(cache, hash_key, orig_key, value);
    if (cache->expiry != nullptr) [[unlikely]] {
        expiry_set(deadlines(cache), node_index(cache, node), deadline);
    }
    assert(cache->expiry != nullptr || deadline == kNever);
    hash_set(cache, node);
    list_push_back(node, cache);
    ++cache->length;
    hash_note_length(cache);
}

// Adds a new entry as the most recently used, due at `deadline`; in a full store the head is
// evicted first, its references going to `dropped`. Precondition: no stored key equals
// orig_key. (Entries due are taken out before any operation runs (purge_due), so a full
// store holds none.)
inline void cache_insert(CLRUCache *cache, int64_t hash_key, PyObject *orig_key, PyObject *value,
                  double deadline, Detached &dropped) {
    const bool full = cache->length >= cache->capacity;
    hash_reserve(cache, full ? 1 : 0);
    if (full) {
        // The victim's node is the one node_alloc hands out next.
        cache_remove(cache, cache->head, find_node_slot(cache, cache->head), dropped);
        dropped.mark_evicted();
    }
    cache_append(cache, hash_key, Py_NewRef(orig_key), Py_NewRef(value), deadline);
    prefetch_victim(cache);  // for the next new key
}

// Moves every entry of `from` into the empty store `to`, in order, as far as `to` has room:
// the least recently used entries that do not fit go to `evicted` (room for the excess), in
// order, as evicted. Entries keep their deadlines (`to` has deadlines if `from` has). `from`
// is left empty but for its tombstones, ready to be freed; its hit and miss counts go with
// the entries. Runs no Python code.
void cache_move(CLRUCache *from, CLRUCache *to, Released *evicted) {
    assert(to->length == 0);
    assert(from->expiry == nullptr || to->expiry != nullptr);
    uint64_t excess = from->length > to->capacity ? from->length - to->capacity : 0;
    for (LRUNode *node = from->head; node != nullptr; node = node->next) {
        if (excess > 0) {
            *evicted++ = {node->orig_key, node->value, true};
            --excess;
            node->prev = nullptr;
        } else {
            cache_append(to, node->key, node->orig_key, node->value, kNever);
            node->prev = to->tail;  // where it went, for the deadlines below
        }
    }
    if (from->expiry != nullptr) {
        // In deadline order, each deadline is the latest so far: each is set in one step.
        expiry_walk(deadlines(from), [&](uint64_t i) {
            if (const LRUNode *moved = from->node_pool[i].prev; moved != nullptr) {
                expiry_set(deadlines(to), node_index(to, moved), from->expiry[i].deadline);
            }
            return true;
        });
        from->expiry_first = 0;
    }
    to->hits = from->hits;
    to->misses = from->misses;
    from->head = nullptr;
    from->tail = nullptr;
    from->length = 0;
}

// As cache_move, for a store `to` of at least the capacity of `from` (nothing is evicted), in
// passes that read and write memory in order: the pool is copied node for node, its links
// rebased, then the index is rebuilt in slot order, which home_slot keeps in a larger index
// (it takes the top bits of one product), so the new slots are written in order too. The
// entries, their order, their deadlines and their key addresses are those of `from`.
void cache_grow(CLRUCache *from, CLRUCache *to) {
    assert(to->length == 0 && to->pool_used == 0 && to->capacity >= from->capacity &&
           from->restart_watches == nullptr);
    assert(from->expiry == nullptr || to->expiry != nullptr);
    auto moved = [from, to](const LRUNode *node) {
        return node != nullptr ? to->node_pool + (node - from->node_pool) : nullptr;
    };
    for (uint64_t i = 0; i < from->pool_used; ++i) {
        LRUNode node = from->node_pool[i];
        node.prev = moved(node.prev);
        node.next = moved(node.next);
        to->node_pool[i] = node;
    }
    to->pool_used = from->pool_used;
    to->freelist = moved(from->freelist);
    to->head = moved(from->head);
    to->tail = moved(from->tail);
    to->length = from->length;
    if (from->expiry != nullptr) {  // positions, and so deadline links, are kept
        memcpy(to->expiry, from->expiry, from->pool_used * sizeof(ExpirySlot));
        to->expiry_first = from->expiry_first;
        from->expiry_first = 0;
    }
    hash_note_length(to);  // before the index is written
    for (uint64_t i = 0; i < from->num_buckets; ++i) {
        if (tag_is_live(slot_tags(from)[i])) {
            // Copied in place, then rebased: a slot built on the stack is read back wider
            // than it was written, which the CPU cannot forward (set_live).
            const HashEntry &entry = from->buckets[i];
            const uint64_t j = find_free_slot(to, entry.key);
            to->buckets[j] = entry;  // with its key address
            to->buckets[j].node = moved(entry.node);
            slot_tags(to)[j] = slot_tags(from)[i];
        }
    }
    to->hits = from->hits;
    to->misses = from->misses;
    from->head = nullptr;
    from->tail = nullptr;
    from->length = 0;
}

// Stores value under key as the most recently used entry, due at `deadline`. An existing
// entry keeps its key object and hands its old value to `dropped`; a new key may evict
// (cache_insert), unless `evict` is false: a new key that finds the store full is then not
// stored. Returns 0, 1 when a new key was not stored for want of room, or -1 with the error
// a comparison raised; nothing has changed unless it returns 0.
[[nodiscard]] inline int cache_set(CLRUCache *&cache, int64_t hash_key, PyObject *orig_key,
                                   PyObject *value, double deadline, Detached &dropped,
                                   bool evict = true) {
    // Overlaps the eviction and the slot writes a new key would make with the lookup.
    prefetch_victim(cache);
    prefetch_home_slot(cache, hash_key);
    Lookup found;
    if (hash_get(cache, hash_key, orig_key, &found) < 0) {
        return -1;
    }
    if (found.node != nullptr) {
        dropped.take_value(found.node->value);
        found.node->value = Py_NewRef(value);
        list_move_to_end(found.node, cache);
        if (cache->expiry != nullptr) {
            expiry_set(deadlines(cache), node_index(cache, found.node), deadline);
        }
    } else if (!evict && cache->length >= cache->capacity) {
        return 1;
    } else {
        cache_insert(cache, hash_key, orig_key, value, deadline, dropped);
    }
    return 0;
}

// Makes the key's entry the most recently used and sets `*value` to its value (borrowed);
// when absent, first stores `dflt` under the key (cache_insert), due at `deadline`, and sets
// `*value` to it. Returns 0, or -1 with the error a comparison raised, in which case nothing
// has changed.
[[nodiscard]] inline int cache_setdefault(CLRUCache *&cache, int64_t hash_key, PyObject *orig_key,
                                          PyObject *dflt, double deadline, Detached &dropped,
                                          PyObject **value) {
    if (cache_get(cache, hash_key, orig_key, value) < 0) {
        return -1;
    }
    if (*value == nullptr) {
        cache_insert(cache, hash_key, orig_key, dflt, deadline, dropped);
        *value = dflt;
    }
    return 0;
}

// Removes the key's entry, its references going to `dropped`. Returns 1 when removed,
// 0 when absent, -1 when a comparison raised.
[[nodiscard]] inline int cache_delete(CLRUCache *&cache, int64_t hash_key, PyObject *orig_key,
                               Detached &dropped) {
    Lookup found;
    if (hash_get(cache, hash_key, orig_key, &found) < 0) {
        return -1;
    }
    if (found.node == nullptr) {
        return 0;
    }
    cache_remove(cache, found.node, found.slot, dropped);
    return 1;
}

// As cache_delete, and on removal `*value` is a new reference to the removed value.
[[nodiscard]] inline int cache_pop(CLRUCache *&cache, int64_t hash_key, PyObject *orig_key,
                            Detached &dropped, PyObject **value) {
    const int removed = cache_delete(cache, hash_key, orig_key, dropped);
    if (removed > 0) {
        *value = Py_NewRef(dropped.value());
    }
    return removed;
}

// How many entries are due at `now` (deadline not after it): a walk over them alone.
[[nodiscard]] uint64_t cache_count_due(CLRUCache *cache, double now) {
    uint64_t n = 0;
    if (cache->expiry != nullptr) {
        expiry_walk(deadlines(cache), [&](uint64_t i) {
            const bool due = cache->expiry[i].deadline <= now;
            n += due;
            return due;
        });
    }
    return n;
}

// Takes the entry with the earliest deadline out of the store, as evicted, if it is due at
// `now`: its references go to `dropped`. Returns false when none is due.
bool cache_remove_due(CLRUCache *cache, double now, Detached &dropped) {
    const int64_t i = cache->expiry != nullptr ? expiry_first_due(deadlines(cache), now) : -1;
    if (i < 0) {
        return false;
    }
    LRUNode *node = &cache->node_pool[i];
    cache_remove(cache, node, find_node_slot(cache, node), dropped);
    dropped.mark_evicted();
    if (cache->length == 0) {
        cache_reset(cache);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Destruction queue

// Destroying a store drops its references, which can free a cache that holds the last
// reference to another, and so on: a chain of any length. Destructions nested deeper than
// this on one thread are queued instead, and the outermost destruction performs them in a
// loop, so the C stack stays bounded. The queue is empty whenever no destruction is under
// way on the thread. A destruction in another interpreter than the one whose destruction
// is under way on the thread (a finaliser running code in a subinterpreter) gets a queue of
// its own for its span, so that every store is freed in the interpreter that destroyed it.
constexpr unsigned kMaxNestedDestroys = 16;
struct Destructions {
    unsigned depth;
    CLRUCache *queued;  // linked through next_queued
    PyInterpreterState *interp;  // whose destructions these are, while depth > 0
};
thread_local Destructions destructions;

// Drops every reference the store holds, head first, and frees it.
void cache_free(CLRUCache *cache) {
    assert(cache->restart_watches == nullptr);
    LRUNode *node = cache->head;
    while (node != nullptr) {
        LRUNode *next = node->next;
        Py_DECREF(node->orig_key);
        Py_DECREF(node->value);
        node = next;
    }
    expiry_free(cache->expiry);
    store_array_free(cache->node_pool, cache->capacity, sizeof(LRUNode));
    store_array_free(cache->buckets, cache->num_buckets, sizeof(HashEntry));
    store_array_free(cache, 1, store_record_bytes(cache->num_buckets));
}

// Drops every reference the store holds and frees it, now or, when nested too deep, before
// the outermost destruction on this thread returns. Precondition: no instance points to the
// store any more, so code run by the drops cannot reach it.
void cache_destroy(CLRUCache *cache) {
    Destructions &d = destructions;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (d.depth > 0 && d.interp != interp) {
        const Destructions outer = d;
        d = {0, nullptr, interp};
        cache_destroy(cache);
        d = outer;
        return;
    }
    d.interp = interp;
    if (d.depth >= kMaxNestedDestroys) {
        cache->next_queued = d.queued;
        d.queued = cache;
        return;
    }
    ++d.depth;
    cache_free(cache);
    if (d.depth == 1) {
        while (CLRUCache *next = d.queued) {
            d.queued = next->next_queued;
            cache_free(next);
        }
    }
    --d.depth;
}

// ---------------------------------------------------------------------------------------
// The LRUCache type

// What operations made from inside __eq__ released while their thread held the lock,
// in the order released: an array of `length` records with room for `room`, of which
// `promised` more are reserved for the nested operations under way (room >= length +
// promised).
struct DeferredDrops {
    Released *items;
    size_t length;
    size_t room;
    size_t promised;
};

struct LRUCacheObject {
    PyObject_HEAD
    CLRUCache *cache;  // null until __init__ succeeds
    RLock mutex;
    bool thread_safe;
    Py_ssize_t running;  // operations between lru_lock and lru_unlock
    uint64_t stores;     // stores installed so far: tells a store from a later one at its address
    DeferredDrops deferred;  // no records whenever no thread holds the lock
    PyObject *on_evict;  // called with each evicted entry's key and value, or null
    PyObject *timer;     // called for the time, or null for the built-in clock (read_clock)
    double ttl;          // seconds an entry written lives; kNoTtl for ever
    bool clocked;        // expiry was used: each operation reads the time (Moment)
};

inline LRUCacheObject *as_cache(PyObject *op) {
    return reinterpret_cast<LRUCacheObject *>(op);
}

// ---------------------------------------------------------------------------------------
// Lock, deferred drops and the eviction hook

// Calls the eviction hook with an evicted entry. The operation that evicted it has
// completed, so an error the hook raises is reported as unraisable (sys.unraisablehook),
// and an error already set is kept.
[[gnu::noinline]] void call_on_evict(LRUCacheObject *self, Released r) {
    PyObject *raised = PyErr_GetRaisedException();
    PyObject *hook = Py_NewRef(self->on_evict);  // the hook may replace itself
    PyObject *result = PyObject_CallFunctionObjArgs(hook, r.key, r.value, nullptr);
    if (result == nullptr) {
        PyErr_FormatUnraisable("Exception ignored in LRUCache eviction hook %R", hook);
    }
    Py_XDECREF(result);
    Py_DECREF(hook);
    PyErr_SetRaisedException(raised);
}

// Drops a released record's references, key first; an evicted entry is first handed to the
// eviction hook, if there is one. So the hook runs where and when drops run
// (drop_unlocked): after the lock is released, on the evicting thread, in eviction order,
// deferred when nested.
void drop_now(LRUCacheObject *self, Released r) {
    if (r.evicted && self->on_evict != nullptr) [[unlikely]] {
        call_on_evict(self, r);
    }
    Py_XDECREF(r.key);
    Py_XDECREF(r.value);
}

// Reserves room in `deferred` for `more` records. False, with MemoryError set, if it cannot.
[[gnu::noinline, nodiscard]] bool reserve_deferred(LRUCacheObject *self, size_t more) {
    DeferredDrops &d = self->deferred;
    const size_t needed = d.length + d.promised;
    if (d.room - needed < more) {
        const size_t room = needed + (more > needed ? more : needed);
        auto *items = static_cast<Released *>(
            room <= PY_SSIZE_T_MAX / sizeof(Released) ? PyMem_Realloc(d.items, room * sizeof(Released))
                                                      : nullptr);
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        d.items = items;
        d.room = room;
    }
    d.promised += more;
    return true;
}

[[nodiscard]] inline CLRUCache *store_of(LRUCacheObject *self);

// Takes the instance's lock for an operation and sets `cache` to the instance's store, read
// once the lock is had: while this thread waited for it, other threads may have resized the
// cache or re-initialised it (resize_store, release_store). When the calling thread held it
// already (an operation made from inside a key's __eq__), first reserves room to defer
// `drops` released records, so that none of them is ever dropped under the lock, and sets
// `reserved` to their number (0 otherwise), for lru_unreserve once they are deferred.
// Returns false, with the error set (RuntimeError for an instance without a store,
// MemoryError for want of that room), the lock not held and nothing changed, when it fails.
[[gnu::always_inline, nodiscard]] inline bool lru_lock(LRUCacheObject *self, CLRUCache *&cache,
                                                      size_t drops, size_t &reserved) {
    ++self->running;
    self->mutex.acquire_lock(&self->mutex);
    cache = store_of(self);
    reserved = 0;
    if (cache == nullptr || (drops > 0 && self->mutex.count > 1)) [[unlikely]] {
        if (cache == nullptr || !reserve_deferred(self, drops)) {
            self->mutex.release_lock(&self->mutex);
            --self->running;
            return false;
        }
        reserved = drops;
    }
    return true;
}

// Gives back room that lru_lock reserved, once the records it was for are deferred.
inline void lru_unreserve(LRUCacheObject *self, size_t reserved) {
    self->deferred.promised -= reserved;
}

// Drops what was deferred, in the order it was released, on the calling thread. Called
// only right after its release freed the lock, with no Python code run since: every
// deferred record is then this thread's own, released by operations nested in its own.
[[gnu::noinline]] void drop_deferred(LRUCacheObject *self) {
    const DeferredDrops taken = self->deferred;
    assert(taken.promised == 0);
    self->deferred = {};
    for (size_t i = 0; i < taken.length; ++i) {
        drop_now(self, taken.items[i]);
    }
    PyMem_Free(taken.items);
}

// Gives up the calling thread's hold of the lock; when that frees it, drops what operations
// nested in this one deferred.
inline void lru_unlock(LRUCacheObject *self) {
    self->mutex.release_lock(&self->mutex);
    --self->running;
    if (self->deferred.length > 0 && self->mutex.count == 0) [[unlikely]] {
        drop_deferred(self);
    }
}

// Drops a released record once the operation that released it has released the lock: now,
// unless the calling thread still holds the lock (the operation was made from inside __eq__
// of an outer one), in which case it waits in `deferred`, in room lru_lock reserved, for the
// outer operation to end. Drops made while another thread holds the lock run now, here.
inline void drop_unlocked(LRUCacheObject *self, Released r) {
    if (r.value == nullptr) {
        return;
    }
    if (self->mutex.count > 0 && RLock_HeldByCaller(&self->mutex)) [[unlikely]] {
        DeferredDrops &d = self->deferred;
        assert(d.promised > 0 && d.length < d.room);
        d.items[d.length++] = r;
    } else {
        drop_now(self, r);
    }
}

// The failure result of an operation returning R: null, false, or -1.
template <class R>
constexpr R failed() {
    if constexpr (std::is_pointer_v<R> || std::is_same_v<R, bool>) {
        return R{};
    } else {
        return R{-1};
    }
}

// ---------------------------------------------------------------------------------------
// Expiry: the time an operation runs at, and the entries due then

// The time an operation runs at. An instance that has used expiry (`clocked`) reads it once
// per operation, before the operation finds its store (timed_store): the timer is Python
// code, which may re-initialise the instance. Others never read it.
struct Moment {
    bool clocked = false;  // `now` was read: the operation first takes out the entries due
    double now = 0;
};

// The built-in clock: the kernel's coarse monotonic clock (its resolution is the scheduler
// tick, at most 10 ms), else the interpreter's monotonic clock, in seconds.
[[nodiscard]] inline double builtin_clock() {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0) {
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
#endif
    PyTime_t t;
    (void)PyTime_MonotonicRaw(&t);
    return PyTime_AsSecondsDouble(t);
}

// Reads the instance's timer: its result, or NaN with the error set when the timer raises or
// gives no finite real number.
[[gnu::noinline, nodiscard]] double read_timer(LRUCacheObject *self) {
    constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();
    PyObject *timer = Py_NewRef(self->timer);  // the timer may replace itself
    PyObject *reading = PyObject_CallNoArgs(timer);
    Py_DECREF(timer);
    if (reading == nullptr) {
        return kFailed;
    }
    const double now = PyFloat_AsDouble(reading);
    Py_DECREF(reading);
    if (now == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return kFailed;
        }
    } else if (std::isfinite(now)) {
        return now;
    }
    // A reading beyond every float is no finite time either: ValueError, caused by the
    // OverflowError that said so.
    PyObject *overflow = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ValueError, "LRUCache timer must return a finite number");
    if (overflow != nullptr) {
        PyObject *error = PyErr_GetRaisedException();
        PyException_SetCause(error, overflow);
        PyErr_SetRaisedException(error);
    }
    return kFailed;
}

// Reads the time for an operation: the timer's result (read_timer), or the built-in clock.
// NaN, with the error set, when the timer fails. (Returned, not written through a pointer,
// so that callers keep their Moment in registers.)
[[nodiscard]] inline double read_clock(LRUCacheObject *self) {
    return self->timer == nullptr ? builtin_clock() : read_timer(self);
}

// The ttl of an entry that never expires (a ttl is greater than 0).
constexpr double kNoTtl = 0;

// The deadline of an entry written at `m` to live `ttl` seconds (kNoTtl: for ever).
[[nodiscard]] inline double deadline_at(const Moment &m, double ttl) {
    return m.clocked && ttl != kNoTtl ? m.now + ttl : kNever;
}

// The entries due at an operation's moment, taken out of the store before the operation
// runs (purge_take), in deadline order, each as evicted; dropped after the lock is released,
// before what the operation itself released (purge_drop). So an operation never sees an
// entry due at its moment, and a full store never holds one. Both steps are out of line,
// made only when an entry is due.
struct Purged {
    static constexpr uint64_t kInline = 8;
    Released *items;  // inline_, or an array of `count`
    uint64_t count;
    size_t reserved;  // room reserved in `deferred` for them (nested operations)
    Released inline_[kInline];
};

// Whether an entry of the store is due at `now`.
[[nodiscard]] inline bool store_has_due(CLRUCache *cache, double now) {
    return cache->expiry != nullptr && expiry_first_due(deadlines(cache), now) >= 0;
}

// Takes out every entry of the instance's store due at `now` (one at least) into `purged`,
// empty before. Called with the lock held. False, with MemoryError set and nothing changed
// (nothing to drop), when room to hold them (or, nested in an operation of this thread, to
// defer their drops) cannot be had.
[[gnu::noinline, nodiscard]] bool purge_take(LRUCacheObject *self, double now, Purged &purged) {
    CLRUCache *cache = self->cache;
    purged.items = purged.inline_;
    purged.reserved = 0;
    const uint64_t due = cache_count_due(cache, now);
    if (due > Purged::kInline) {
        purged.items = static_cast<Released *>(
            due <= PY_SSIZE_T_MAX / sizeof(Released) ? PyMem_Malloc(due * sizeof(Released))
                                                     : nullptr);
        if (purged.items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
    }
    if (self->mutex.count > 1) {
        if (!reserve_deferred(self, due)) {
            if (purged.items != purged.inline_) {
                PyMem_Free(purged.items);
            }
            return false;
        }
        purged.reserved = due;
    }
    for (Detached dropped; purged.count < due; ++purged.count) {
        [[maybe_unused]] const bool removed = cache_remove_due(cache, now, dropped);
        assert(removed);
        purged.items[purged.count] = dropped.release();
    }
    return true;
}

// Drops what purge_take took out, in deadline order, once the lock is released.
[[gnu::noinline]] void purge_drop(LRUCacheObject *self, Purged &purged) {
    for (uint64_t i = 0; i < purged.count; ++i) {
        drop_unlocked(self, purged.items[i]);
    }
    if (purged.items != purged.inline_) {
        PyMem_Free(purged.items);
    }
    lru_unreserve(self, purged.reserved);
}

// Runs op(dropped) on `cache`, the instance's store, under the instance's lock, `Drops`
// being the most records it can release (lru_lock), once the entries due at `m` are taken
// out (Purged; for a clocked moment only, their number going to `*taken` if given); after
// the lock is released, drops what was taken out and what the op released (drop_unlocked),
// and returns the op's result, or the failure result with the error lru_lock set or
// MemoryError when room to hold or defer the drops could not be had. `cache` is the variable
// the op reads the store from: lru_lock sets it once the lock is had, and the op's lookup
// when a comparison replaced the store (hash_get). The op is inlined at one place only, and
// the moment's steps are tests and calls, so that an unclocked operation compiles without
// them (at_moment).
template <size_t Drops = 0, class Op>
[[gnu::always_inline]] inline auto with_lock(LRUCacheObject *self, CLRUCache *&cache,
                                             const Moment &m, Op &&op, uint64_t *taken = nullptr) {
    Detached dropped;
    using Result = decltype(op(dropped));
    size_t reserved;
    if (!lru_lock(self, cache, Drops, reserved)) [[unlikely]] {
        return failed<Result>();
    }
    Purged purged;
    if (m.clocked) [[unlikely]] {
        purged.count = 0;
        if (store_has_due(cache, m.now) && !purge_take(self, m.now, purged)) {
            lru_unlock(self);
            lru_unreserve(self, reserved);
            return failed<Result>();
        }
    }
    const Result result = op(dropped);
    lru_unlock(self);
    if (m.clocked) [[unlikely]] {
        if (taken != nullptr) {
            *taken = purged.count;
        }
        if (purged.count > 0) {
            purge_drop(self, purged);
        }
    }
    drop_unlocked(self, dropped.release());
    lru_unreserve(self, reserved);
    return result;
}

// with_lock for an operation that does not depend on the time.
template <size_t Drops = 0, class Op>
inline auto with_lock(LRUCacheObject *self, CLRUCache *&cache, Op &&op) {
    return with_lock<Drops>(self, cache, Moment{}, op);
}

// ---------------------------------------------------------------------------------------
// Instance life cycle: its store, __init__, the collector, deallocation

// The instance's store, or null with RuntimeError set when it has none.
[[nodiscard]] inline CLRUCache *store_of(LRUCacheObject *self) {
    if (self->cache == nullptr) [[unlikely]] {
        PyErr_SetString(PyExc_RuntimeError,
                        "LRUCache is not initialized: LRUCache.__init__ has not completed");
    }
    return self->cache;
}

// Reads the operation's time into `m` (read_clock): false, with the error set, when that fails.
[[nodiscard]] inline bool read_moment(LRUCacheObject *self, Moment &m) {
    const double now = read_clock(self);
    if (std::isnan(now)) {
        return false;
    }
    m = {true, now};
    return true;
}

// Reads the operation's time into `m` if the instance has used expiry and `m` has none yet
// (read_moment), then finds the store: the store, or null with the error set.
[[nodiscard]] inline CLRUCache *timed_store(LRUCacheObject *self, Moment &m) {
    if (self->clocked && !m.clocked && !read_moment(self, m)) [[unlikely]] {
        return nullptr;
    }
    return store_of(self);
}

// Hashes the key (unlocked): false, with the error set, when its hash fails.
[[nodiscard]] inline bool hash_key_of(PyObject *key, int64_t *hash_key) {
    const Py_hash_t h = key_hash(key);
    if (h == -1 && PyErr_Occurred()) {
        return false;
    }
    *hash_key = h;
    return true;
}

// The first half of every keyed operation: hash the key (hash_key_of), then read the time
// and find the store (timed_store). Returns the store, or null with the error set.
[[nodiscard]] inline CLRUCache *keyed_store(LRUCacheObject *self, PyObject *key,
                                            int64_t *hash_key, Moment &m) {
    return hash_key_of(key, hash_key) ? timed_store(self, m) : nullptr;
}

// Inlines a lambda wherever it is called: at_moment's bodies, whose unclocked copies are hits.
#define AMBER_MOTH_INLINE __attribute__((always_inline))

// at_moment for an instance that has used expiry: the body runs at the time read now. The
// body comes by reference: passed by value, its captures crossed the stack as two 8-byte
// stores read back by one 16-byte load, which the CPU cannot forward from its store buffer,
// so every clocked hit waited for all earlier stores, the previous operation's cache misses
// among them, to reach memory.
template <class Body>
[[gnu::noinline]] auto at_clocked_moment(LRUCacheObject *self, const Body &body) {
    Moment m;
    return read_moment(self, m) ? body(m) : failed<decltype(body(m))>();
}

// For the lookups that hits take, which find their store under the lock (with_lock): runs
// body(m) at the operation's moment, or returns the failure result with the error set when
// the time cannot be read. An instance that never used expiry runs the body at a moment
// known to be unclocked when it is compiled, and the body (it captures by value) is compiled
// again into the out-of-line clocked case, so that hits compile without expiry's steps.
template <class Body>
[[gnu::always_inline]] inline auto at_moment(LRUCacheObject *self, Body body) {
    if (self->clocked) [[unlikely]] {
        const Body clocked_body = body;  // in memory on this path only
        return at_clocked_moment(self, clocked_body);
    }
    return body(Moment{});
}

// The first half of get(), pop() and setdefault(): unpacks (key[, default]) for the method
// `name`, `*dflt` being None when no default is given, then hashes the key and finds the
// store (keyed_store). Returns the store, or null with the error set.
[[nodiscard]] inline CLRUCache *keyed_store_with_default(LRUCacheObject *self, PyObject *args,
                                                         const char *name, PyObject **key,
                                                         PyObject **dflt, int64_t *hash_key,
                                                         Moment &m) {
    *dflt = Py_None;
    if (!PyArg_UnpackTuple(args, name, 1, 2, key, dflt)) {
        return nullptr;
    }
    return keyed_store(self, *key, hash_key, m);
}

// Raises MemoryError for a cache of `capacity` entries that cannot be had.
void no_memory_for(uint64_t capacity) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate an LRUCache of capacity %llu",
                 static_cast<unsigned long long>(capacity));
}

// A new empty store of `capacity` entries (the default when capacity <= 0), or null with
// MemoryError set when it cannot be had.
[[nodiscard]] CLRUCache *new_store(Py_ssize_t capacity) {
    const uint64_t requested = capacity > 0 ? static_cast<uint64_t>(capacity) : 0;
    CLRUCache *cache = cache_create(requested);
    if (cache == nullptr) {
        no_memory_for(store_capacity(requested));
    }
    return cache;
}

// Whether resize() or __init__ may replace the store now, once it has the lock: when no
// operation is under way, or on a thread-safe cache whose lock the calling thread does not
// hold (it waits for the other threads' operations, as any operation does). Not from inside
// an operation of the calling thread's own (re-entry from __eq__, or a finaliser or hook
// run there), whose lookup would find its store gone; not on a cache without a lock while
// another thread is inside an operation, as nothing tells when it ends; and not at
// interpreter shutdown while another thread holds the lock, as it never runs again.
[[nodiscard]] bool may_replace_store(const LRUCacheObject *self) {
    const RLock &m = self->mutex;
    return self->running == 0 ||
           (RLock_Enabled(&m) && !RLock_HeldByCaller(&m) && !(m.count > 0 && Py_IsFinalizing()));
}

// Detaches and destroys the instance's store, first waiting for other threads' operations
// on a thread-safe cache (may_replace_store). Code run by the drops may initialise the
// instance again; what it installs is released too. Returns -1 with RuntimeError when the
// store cannot be replaced now, leaving it as it is. The lock's handle stays (RLock_Free).
[[nodiscard]] int release_store(LRUCacheObject *self) {
    while (CLRUCache *cache = self->cache) {
        if (may_replace_store(self)) {
            size_t reserved;
            if (!lru_lock(self, cache, 0, reserved)) {
                PyErr_Clear();  // another thread's __init__ took the store away meanwhile
                continue;
            }
            // Re-initialised without thread safety while this thread waited, the store may
            // have other threads' comparisons under way again.
            if (cache->restart_watches == nullptr) {
                self->cache = nullptr;
                lru_unlock(self);
                cache_destroy(cache);
                continue;
            }
            lru_unlock(self);
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "LRUCache cannot be re-initialized while one of its operations "
                        "is running");
        return -1;
    }
    return 0;
}

// A new instance, without a store until __init__ succeeds; its lock's slots are set (not
// locking), so that an operation reaches lru_lock, which finds no store.
PyObject *LRUCache_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *op = PyType_GenericNew(type, args, kwargs);
    if (op != nullptr) {
        RLock_Enable(&as_cache(op)->mutex, false);
    }
    return op;
}

int LRUCache_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    LRUCacheObject *self = as_cache(op);
    static const char *const kwlist[] = {"capacity", "thread_safe", nullptr};
    Py_ssize_t capacity = static_cast<Py_ssize_t>(kDefaultCapacity);
    int thread_safe = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|np:LRUCache", kwlist, &capacity,
                                     &thread_safe)) {
        return -1;
    }
    // The lock's handle (made by the first __init__, kept by later ones) and the new store
    // are made before the old store goes, so that an __init__ that fails for want of memory
    // leaves the instance as it was.
    if (self->mutex.lock == nullptr && !RLock_New(&self->mutex, 0)) {
        PyErr_NoMemory();
        return -1;
    }
    CLRUCache *cache = new_store(capacity);
    if (cache == nullptr) {
        return -1;
    }
    if (release_store(self) < 0) {
        cache_destroy(cache);
        return -1;
    }
    RLock_Enable(&self->mutex, thread_safe != 0);
    self->cache = cache;
    ++self->stores;
    self->thread_safe = thread_safe != 0;
    return 0;
}

// The cycle collector sees the eviction hook (a bound method of the cache's owner, or a
// closure using the cache, makes a cycle) and the type; keys and values are not visited, so
// cycles through them stay uncollected, and collection never touches the store.
int LRUCache_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(as_cache(op)->on_evict);
    Py_VISIT(as_cache(op)->timer);
    return 0;
}

int LRUCache_clear_references(PyObject *op) {
    Py_CLEAR(as_cache(op)->on_evict);
    Py_CLEAR(as_cache(op)->timer);
    return 0;
}

void LRUCache_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    [[maybe_unused]] const int released = release_store(as_cache(op));
    assert(released == 0);  // no operation can be running on an object being freed
    RLock_Free(&as_cache(op)->mutex);
    // Records are dropped when the outermost operation ends; room may remain.
    assert(as_cache(op)->deferred.length == 0 && as_cache(op)->deferred.promised == 0);
    PyMem_Free(as_cache(op)->deferred.items);
    Py_CLEAR(as_cache(op)->on_evict);
    Py_CLEAR(as_cache(op)->timer);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject *LRUCache_reduce(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "LRUCache cannot be pickled");
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Keyed operations: keyed_store hashes the key (unlocked), reads the time and finds the
// store, with_lock takes out what is due and makes one store call and takes new references to what it returns, and only then is
// KeyError raised where absence is an error.

// Raises KeyError for a missing key, as dict does: the key is the error's argument, except
// that a tuple key gives its items and None gives none. A key that is itself an exception
// instance is wrapped, so that a new KeyError is raised rather than the key.
void set_key_error(PyObject *key) {
    if (!PyExceptionInstance_Check(key)) {
        PyErr_SetObject(PyExc_KeyError, key);
        return;
    }
    PyObject *args = PyTuple_Pack(1, key);
    if (args != nullptr) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
}

// Sets `*value` to a new reference to the value that Find (cache_get or cache_peek) finds
// under `key`, or null when absent, and returns Find's result.
template <auto Find, class Key>
[[gnu::always_inline, nodiscard]] inline int find_value(CLRUCache *&cache, int64_t h, Key key,
                                                        PyObject **value) {
    const int found = Find(cache, h, key, value);
    Py_XINCREF(*value);
    return found;
}

// Looks up the key hashed `h`, making its entry the most recently used: 0 with `*value` a
// new reference to its value or null when absent, or -1 with the error set.
template <class Key>
[[gnu::always_inline, nodiscard]] inline int get_hashed(LRUCacheObject *self, const Moment &m,
                                                       int64_t h, Key key, PyObject **value) {
    CLRUCache *cache = nullptr;  // with_lock reads it
    return with_lock(self, cache, m, [&](Detached &) {
        return find_value<cache_get<Key>>(cache, h, key, value);
    });
}

// The value is the op's result rather than written through a pointer: so its address
// never leaves the op, and hits keep it in a register.
PyObject *LRUCache_getitem(PyObject *op, PyObject *key) {
    LRUCacheObject *self = as_cache(op);
    int64_t h;
    if (!hash_key_of(key, &h)) {
        return nullptr;
    }
    PyObject *value = at_moment(self, [=](const Moment &m) AMBER_MOTH_INLINE {
        CLRUCache *cache = nullptr;  // with_lock reads it
        return with_lock(self, cache, m, [&](Detached &) AMBER_MOTH_INLINE -> PyObject * {
            PyObject *found;
            return find_value<cache_get<PyObject *>>(cache, h, key, &found) < 0 ? nullptr : found;
        });
    });
    if (value == nullptr && !PyErr_Occurred()) {
        set_key_error(key);
    }
    return value;
}

// A call of get(), peek(), pop() or setdefault(), once its key is hashed and its store found.
struct KeyedCall {
    CLRUCache *cache;
    Moment moment;
    int64_t hash;
    PyObject *key;
    PyObject *dflt;  // None when not given
};

// get(), peek(), pop() and setdefault(): unpacks (key[, default]) for the method `name`,
// finds the store (keyed_store_with_default), then runs step(call, dropped, &value) under
// the lock (with_lock, `Drops` as there), which returns < 0 with the error set, or leaves
// `value` a new reference, or null for the default.
template <size_t Drops = 0, class Step>
PyObject *value_or_default(PyObject *op, PyObject *args, const char *name, Step &&step) {
    LRUCacheObject *self = as_cache(op);
    KeyedCall call;
    call.cache = keyed_store_with_default(self, args, name, &call.key, &call.dflt, &call.hash,
                                          call.moment);
    PyObject *value = nullptr;
    if (call.cache == nullptr || with_lock<Drops>(self, call.cache, call.moment, [&](Detached &dropped) {
            return step(call, dropped, &value);
        }) < 0) {
        return nullptr;
    }
    return value != nullptr ? value : Py_NewRef(call.dflt);
}

PyObject *LRUCache_get(PyObject *op, PyObject *args) {
    return value_or_default(op, args, "get", [](KeyedCall &c, Detached &, PyObject **value) {
        return find_value<cache_get<PyObject *>>(c.cache, c.hash, c.key, value);
    });
}

// A write's ttl that stands for the instance's ttl, read under the lock when the entry is
// written.
constexpr double kUseTtl = -1;

// Sets `*deadline` for an entry written at `m` to live `ttl` seconds (kNoTtl: for ever;
// kUseTtl: the instance's ttl), first giving the store deadlines if the entry has one and
// the store none. Called with the lock held; false, with MemoryError set and nothing
// changed, when they cannot be had.
[[nodiscard]] inline bool write_deadline(LRUCacheObject *self, CLRUCache *cache, const Moment &m,
                                         double ttl, double *deadline) {
    *deadline = deadline_at(m, ttl == kUseTtl ? self->ttl : ttl);
    if (*deadline != kNever && !store_enable_expiry(cache)) [[unlikely]] {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Stores value under the key hashed `h`, to live `ttl` seconds (write_deadline): 0, 1 when
// a new key is not stored for want of room without `evict` (cache_set), or -1 with the
// error set.
int set_hashed(LRUCacheObject *self, CLRUCache *cache, const Moment &m, int64_t h, PyObject *key,
               PyObject *value, double ttl = kUseTtl, bool evict = true) {
    return with_lock<1>(self, cache, m, [&](Detached &dropped) {
        double deadline;
        return write_deadline(self, cache, m, ttl, &deadline)
                   ? cache_set(cache, h, key, value, deadline, dropped, evict)
                   : -1;
    });
}

// Removes the key hashed `h`: 1 removed, 0 absent, -1 with the error set.
int delete_hashed(LRUCacheObject *self, CLRUCache *cache, const Moment &m, int64_t h,
                  PyObject *key) {
    return with_lock<1>(self, cache, m, [&](Detached &dropped) {
        return cache_delete(cache, h, key, dropped);
    });
}

// Shared by set(), set_with_ttl(), subscript assignment and update(): 0, or -1 with the
// error set. `m` is the operation's moment (update() reads it once for all its pairs).
int lru_set(LRUCacheObject *self, PyObject *key, PyObject *value, Moment &m,
            double ttl = kUseTtl) {
    int64_t h;
    CLRUCache *cache = keyed_store(self, key, &h, m);
    return cache != nullptr ? set_hashed(self, cache, m, h, key, value, ttl) : -1;
}

// Shared by delete() and del: 1 removed, 0 absent, -1 with the error set.
int lru_delete(LRUCacheObject *self, PyObject *key) {
    int64_t h;
    Moment m;
    CLRUCache *cache = keyed_store(self, key, &h, m);
    return cache != nullptr ? delete_hashed(self, cache, m, h, key) : -1;
}

PyObject *LRUCache_set(PyObject *op, PyObject *args) {
    PyObject *key;
    PyObject *value;
    if (!PyArg_UnpackTuple(args, "set", 2, 2, &key, &value)) {
        return nullptr;
    }
    Moment m;
    if (lru_set(as_cache(op), key, value, m) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// A ttl given as None (kNoTtl) or a real number of seconds, greater than 0 and finite:
// TypeError for anything else that is not a real number (bool included), ValueError for
// other numbers. Returns false with the error set.
[[nodiscard]] bool parse_ttl(PyObject *value, double *ttl) {
    if (value == nullptr || value == Py_None) {
        *ttl = kNoTtl;
        return true;
    }
    if (PyBool_Check(value) || PyComplex_Check(value) || PyUnicode_Check(value) ||
        PyBytes_Check(value) || Py_TYPE(value)->tp_as_number == nullptr) {
        PyErr_Format(PyExc_TypeError, "ttl must be a real number or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    *ttl = PyFloat_AsDouble(value);
    if (*ttl == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
        *ttl = kNever;  // an int beyond any double: not finite
    }
    if (!(*ttl > 0) || *ttl == kNever) {
        PyErr_Format(PyExc_ValueError, "ttl must be greater than 0 and finite, not %R", value);
        return false;
    }
    return true;
}

PyObject *LRUCache_set_with_ttl(PyObject *op, PyObject *args) {
    LRUCacheObject *self = as_cache(op);
    PyObject *key;
    PyObject *value;
    PyObject *given;
    double ttl;
    if (!PyArg_UnpackTuple(args, "set_with_ttl", 3, 3, &key, &value, &given) ||
        !parse_ttl(given, &ttl)) {
        return nullptr;
    }
    const bool was_clocked = self->clocked;
    if (ttl != kNoTtl) {
        self->clocked = true;
    }
    Moment m;
    if (lru_set(self, key, value, m, ttl) < 0) {
        // A write that failed gave no entry a deadline: unless code it ran gave the store
        // deadlines meanwhile, the instance has still not used expiry.
        if (!was_clocked && (self->cache == nullptr || self->cache->expiry == nullptr)) {
            self->clocked = false;
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

int LRUCache_setitem(PyObject *op, PyObject *key, PyObject *value) {
    if (value != nullptr) {
        Moment m;
        return lru_set(as_cache(op), key, value, m);
    }
    const int removed = lru_delete(as_cache(op), key);
    if (removed == 0) {
        set_key_error(key);
    }
    return removed > 0 ? 0 : -1;
}

PyObject *LRUCache_delete(PyObject *op, PyObject *key) {
    if (lru_delete(as_cache(op), key) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *LRUCache_pop(PyObject *op, PyObject *args) {
    return value_or_default<1>(op, args, "pop",
                               [](KeyedCall &c, Detached &dropped, PyObject **value) {
                                   return cache_pop(c.cache, c.hash, c.key, dropped, value);
                               });
}

PyObject *LRUCache_setdefault(PyObject *op, PyObject *args) {
    return value_or_default<1>(
        op, args, "setdefault", [op](KeyedCall &c, Detached &dropped, PyObject **value) {
            double deadline;
            if (!write_deadline(as_cache(op), c.cache, c.moment, kUseTtl, &deadline)) {
                return -1;
            }
            const int found =
                cache_setdefault(c.cache, c.hash, c.key, c.dflt, deadline, dropped, value);
            Py_XINCREF(*value);
            return found;
        });
}

// Shared by has() and `in`: 1 present, 0 absent, -1 with the error set. No reordering.
int LRUCache_contains(PyObject *op, PyObject *key) {
    LRUCacheObject *self = as_cache(op);
    int64_t h;
    if (!hash_key_of(key, &h)) {
        return -1;
    }
    return at_moment(self, [=](const Moment &m) AMBER_MOTH_INLINE {
        CLRUCache *cache = nullptr;  // with_lock reads it
        return with_lock(self, cache, m, [&](Detached &) {
            Lookup found;
            return hash_get(cache, h, key, &found) < 0 ? -1 : found.node != nullptr;
        });
    });
}

PyObject *LRUCache_has(PyObject *op, PyObject *key) {
    const int r = LRUCache_contains(op, key);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// The value, or the default (None when not given); no reordering, no counting.
PyObject *LRUCache_peek(PyObject *op, PyObject *args) {
    return value_or_default(op, args, "peek", [](KeyedCall &c, Detached &, PyObject **value) {
        return find_value<cache_peek>(c.cache, c.hash, c.key, value);
    });
}

// Removes the least recently used entry and returns (key, value); KeyError when empty. The
// pair is made before the lock is taken, so that no entry leaves for want of memory.
// The allocation comes before the store is read: it can run the cycle collector, and so
// any finaliser, which may replace the store. The pair holds references of its own, and
// the store's are dropped as pop() drops them: when made from inside __eq__ on a
// thread-safe cache, only after the outer operation has released the lock, so a caller
// that drops the pair there runs no finaliser under the lock.
PyObject *LRUCache_popitem(PyObject *op, PyObject *) {
    LRUCacheObject *self = as_cache(op);
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) {
        return nullptr;
    }
    Moment m;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr) {
        Py_DECREF(pair);
        return nullptr;
    }
    const int removed = with_lock<1>(self, cache, m, [&](Detached &dropped) {
        const LRUNode *head = cache->head;
        if (head == nullptr) {
            return 0;
        }
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(head->orig_key));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(head->value));
        return static_cast<int>(cache_remove_head(cache, dropped));
    });
    if (removed <= 0) {
        Py_DECREF(pair);
        if (removed == 0) {
            PyErr_SetString(PyExc_KeyError, "popitem(): LRUCache is empty");
        }
        return nullptr;
    }
    return pair;
}

// Calls step(item, n) for each item of `iterable`, n counting from 0, until a step fails.
// 0, or -1 with the error set (by the iteration or by the failing step, which returns -1).
template <class Step>
[[nodiscard]] int for_each_item(PyObject *iterable, Step &&step) {
    PyObject *it = PyObject_GetIter(iterable);
    if (it == nullptr) {
        return -1;
    }
    int r = 0;
    for (Py_ssize_t n = 0; r == 0; ++n) {
        PyObject *item = PyIter_Next(it);
        if (item == nullptr) {
            r = PyErr_Occurred() ? -1 : 1;
            break;
        }
        r = step(item, n);
        Py_DECREF(item);
    }
    Py_DECREF(it);
    return r < 0 ? -1 : 0;
}

// Stores item #n of an update sequence, which must be a pair, as set() stores it at `m`.
// 0, or -1 with the error set.
[[nodiscard]] int store_pair(LRUCacheObject *self, PyObject *item, Py_ssize_t n, Moment &m) {
    PyObject *pair = PySequence_Fast(item, "");
    if (pair == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError,
                         "cannot convert LRUCache update sequence element #%zd to a sequence",
                         n);
        }
        return -1;
    }
    if (PySequence_Fast_GET_SIZE(pair) != 2) {
        PyErr_Format(PyExc_ValueError,
                     "LRUCache update sequence element #%zd has length %zd; 2 is required", n,
                     PySequence_Fast_GET_SIZE(pair));
        Py_DECREF(pair);
        return -1;
    }
    PyObject *key = Py_NewRef(PySequence_Fast_GET_ITEM(pair, 0));
    PyObject *value = Py_NewRef(PySequence_Fast_GET_ITEM(pair, 1));
    Py_DECREF(pair);  // the pair may be a list that set() lets Python code change
    const int r = lru_set(self, key, value, m);
    Py_DECREF(key);
    Py_DECREF(value);
    return r;
}

// Stores each pair of an iterable of pairs, in order, at `m`. 0, or -1 with the error set.
[[nodiscard]] int update_from_pairs(LRUCacheObject *self, PyObject *pairs, Moment &m) {
    return for_each_item(pairs, [&](PyObject *item, Py_ssize_t n) {
        return store_pair(self, item, n, m);
    });
}

// Stores mapping[key] under each key that keys_method() gives, in order, at `m`. 0, or -1
// with the error set.
[[nodiscard]] int update_from_keys(LRUCacheObject *self, PyObject *mapping,
                                   PyObject *keys_method, Moment &m) {
    PyObject *keys = PyObject_CallNoArgs(keys_method);
    if (keys == nullptr) {
        return -1;
    }
    const int r = for_each_item(keys, [&](PyObject *key, Py_ssize_t) {
        PyObject *value = PyObject_GetItem(mapping, key);
        const int stored = value != nullptr ? lru_set(self, key, value, m) : -1;
        Py_XDECREF(value);
        return stored;
    });
    Py_DECREF(keys);
    return r;
}

// Stores each pair of a mapping (through its keys(); a dict that iterates as dict does,
// through a snapshot of its pairs, as dict.update reads it) or of an iterable of pairs, in
// order, as set() stores it at `m`. 0, or -1 with the error set; pairs stored before an error
// stay.
[[nodiscard]] int update_from(LRUCacheObject *self, PyObject *other, Moment &m) {
    if (PyDict_Check(other) && Py_TYPE(other)->tp_iter == PyDict_Type.tp_iter) {
        // A snapshot of its pairs: no key is hashed but by set(), and code that set() runs
        // cannot change what is stored.
        PyObject *items = PyDict_Items(other);
        if (items == nullptr) {
            return -1;
        }
        const int r = update_from_pairs(self, items, m);
        Py_DECREF(items);
        return r;
    }
    PyObject *keys_method;
    const int is_mapping = PyObject_GetOptionalAttrString(other, "keys", &keys_method);
    if (is_mapping <= 0) {
        return is_mapping < 0 ? -1 : update_from_pairs(self, other, m);
    }
    const int r = update_from_keys(self, other, keys_method, m);
    Py_DECREF(keys_method);
    return r;
}

// update(other=(), /, **kwargs), as dict.update: other's pairs, then the keyword arguments,
// all written at the moment the first pair reads.
PyObject *LRUCache_update(PyObject *op, PyObject *args, PyObject *kwargs) {
    LRUCacheObject *self = as_cache(op);
    PyObject *other = nullptr;
    if (!PyArg_UnpackTuple(args, "update", 0, 1, &other) || store_of(self) == nullptr) {
        return nullptr;
    }
    Moment m;
    if ((other != nullptr && update_from(self, other, m) < 0) ||
        (kwargs != nullptr && update_from(self, kwargs, m) < 0)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Installs `resized` in place of the instance's store `cache`, moving the entries into it
// (cache_move, the excess to `evicted`), and frees `cache`. The comparisons under way on
// `cache`, of this thread's outer operations or of other threads', move to `resized`
// marked replaced: when each returns, its lookup starts again in `resized`, where its
// operation goes on (key_equals, hash_get), and touches `cache` no more. Runs no Python
// code.
void replace_store(LRUCacheObject *self, CLRUCache *cache, CLRUCache *resized, Released *evicted) {
    for (RestartWatch *w = cache->restart_watches; w != nullptr;) {
        RestartWatch *next = w->next;
        w->replaced = true;
        restart_watch_begin(resized, w);
        w = next;
    }
    cache->restart_watches = nullptr;
    if (resized->capacity >= cache->capacity) {
        cache_grow(cache, resized);
    } else {
        cache_move(cache, resized, evicted);
    }
    self->cache = resized;
    ++self->stores;
    cache_free(cache);
}

// Whether a resize must refuse now. Unless `amid_operations`, when it may not replace the
// store (may_replace_store); with it, it replaces the store under operations under way
// (replace_store), and refuses only at interpreter shutdown while another thread holds the
// lock, as it would wait for that thread for ever.
[[nodiscard]] bool resize_refused(const LRUCacheObject *self, bool amid_operations) {
    const RLock &m = self->mutex;
    return amid_operations ? m.count > 0 && !RLock_HeldByCaller(&m) && Py_IsFinalizing()
                           : !may_replace_store(self);
}

// Gives the cache a new capacity, keeping the most recently used entries that fit, in
// order, and evicting the rest. It first takes the lock, waiting for other threads'
// operations on a thread-safe cache; then the new store, and room for the evicted entries,
// are had before anything changes: MemoryError (Failed) leaves the cache as it was. When
// resize_refused, it refuses (Busy, no error set, nothing changed).
[[nodiscard]] Resized resize_store(LRUCacheObject *self, CLRUCache *cache, Py_ssize_t capacity,
                                   bool amid_operations) {
    const RLock &m = self->mutex;
    if (resize_refused(self, amid_operations)) {
        return Resized::Busy;
    }
    size_t reserved;
    if (!lru_lock(self, cache, 0, reserved)) {
        return Resized::Failed;
    }
    // Allocating runs no Python code, so nothing changes the store meanwhile.
    CLRUCache *resized = new_store(capacity);
    const uint64_t excess =
        resized != nullptr && cache->length > resized->capacity ? cache->length - resized->capacity : 0;
    auto *evicted = static_cast<Released *>(excess > 0 ? PyMem_Malloc(excess * sizeof(Released)) : nullptr);
    // Made from inside an operation on a thread-safe cache, the evictions wait in `deferred`.
    const size_t deferring = excess > 0 && m.count > 1 ? excess : 0;
    if (resized == nullptr || (excess > 0 && evicted == nullptr) ||
        (cache->expiry != nullptr && !store_enable_expiry(resized)) ||
        (deferring > 0 && !reserve_deferred(self, deferring))) {
        if (resized != nullptr) {
            if (!PyErr_Occurred()) {
                no_memory_for(resized->capacity);
            }
            cache_free(resized);
        }
        PyMem_Free(evicted);
        lru_unlock(self);
        return Resized::Failed;
    }
    replace_store(self, cache, resized, evicted);
    lru_unlock(self);
    for (uint64_t i = 0; i < excess; ++i) {
        drop_unlocked(self, evicted[i]);
    }
    lru_unreserve(self, deferring);
    PyMem_Free(evicted);
    return Resized::Done;
}

// expire(): takes out every entry due now, and returns their number (-1 with the error set).
[[nodiscard]] Py_ssize_t expire_now(LRUCacheObject *self) {
    Moment m;
    uint64_t taken = 0;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr || with_lock(self, cache, m, [](Detached &) { return 0; }, &taken) < 0) {
        return -1;
    }
    return static_cast<Py_ssize_t>(taken);
}

// resize(): resize_store once the entries due now are out, so that the entries kept are the
// most recently used of the live ones.
[[nodiscard]] Resized resize_now(LRUCacheObject *self, Py_ssize_t capacity, bool amid_operations) {
    if (resize_refused(self, amid_operations)) {  // before expire_now waits for the lock
        return Resized::Busy;
    }
    if (self->clocked && expire_now(self) < 0) {
        return Resized::Failed;
    }
    CLRUCache *cache = store_of(self);  // what the drops ran may have replaced it
    return cache != nullptr ? resize_store(self, cache, capacity, amid_operations) : Resized::Failed;
}

PyObject *LRUCache_resize(PyObject *op, PyObject *arg) {
    LRUCacheObject *self = as_cache(op);
    Py_ssize_t capacity = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (capacity == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    switch (resize_now(self, capacity, false)) {
        case Resized::Done:
            Py_RETURN_NONE;
        case Resized::Busy:
            PyErr_SetString(PyExc_RuntimeError,
                            "LRUCache cannot be resized while one of its operations is running");
            return nullptr;
        case Resized::Failed:
            break;
    }
    return nullptr;
}

// The CacheInfo named tuple type, made when the module is initialised.
PyObject *cache_info_type;

PyObject *LRUCache_cache_info(PyObject *op, PyObject *) {
    LRUCacheObject *self = as_cache(op);
    Moment m;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr) {
        return nullptr;
    }
    uint64_t counts[4];
    if (with_lock(self, cache, m, [&](Detached &) {
            counts[0] = cache->hits;
            counts[1] = cache->misses;
            counts[2] = cache->capacity;
            counts[3] = cache->length;
            return 0;
        }) < 0) {
        return nullptr;
    }
    PyObject *maxsize = PyLong_FromUnsignedLongLong(counts[2]);
    if (maxsize == nullptr) {
        return nullptr;
    }
    PyObject *info = cache_info_new(counts[0], counts[1], maxsize, counts[3]);
    Py_DECREF(maxsize);
    return info;
}

// ---------------------------------------------------------------------------------------
// Whole-cache operations

// clear() without memory to hold the entries: they leave from the head one at a time, each
// dropped after the lock is released, until `length` have left or the instance's store is
// no longer `cache`, installed as the `store`th: being re-initialised (none), re-initialised
// or resized (a later one), by a finaliser or another thread. Made from inside __eq__, each
// step defers its drops in the room clear() reserved.
void clear_head_first(LRUCacheObject *self, CLRUCache *cache, uint64_t length, uint64_t store) {
    for (uint64_t left = length; left > 0 && self->cache == cache && self->stores == store;
         --left) {
        CLRUCache *locked = cache;  // the store once the lock is had (with_lock)
        if (!with_lock(self, locked, [&](Detached &dropped) {
                return locked == cache && self->stores == store && cache_remove_head(cache, dropped);
            })) {
            break;
        }
    }
}

// Drops the `n` entries cache_clear took out, head first, once the lock is released.
void drop_cleared(LRUCacheObject *self, const ClearedEntry *entries, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        drop_unlocked(self, {entries[i].key, entries[i].value, false});
    }
}

// Empties the cache in one step under the lock (cache_clear); the references are dropped
// after it is released. Without memory to hold them meanwhile, entries leave one at a time
// instead (clear_head_first); then entries that finalisers add meanwhile may stay. Fails
// only when, made from inside __eq__, it cannot reserve room to defer its drops
// (MemoryError, nothing changed).
PyObject *LRUCache_clear(PyObject *op, PyObject *) {
    LRUCacheObject *self = as_cache(op);
    CLRUCache *cache = store_of(self);
    size_t reserved;
    if (cache == nullptr || !lru_lock(self, cache, cache->length, reserved)) {
        return nullptr;
    }
    const uint64_t length = cache->length;
    cache->hits = 0;
    cache->misses = 0;
    auto *entries = static_cast<ClearedEntry *>(
        length > 0 ? PyMem_Malloc(length * sizeof(ClearedEntry)) : nullptr);
    if (length == 0 || entries != nullptr) {
        const uint64_t cleared = cache_clear(cache, entries);
        lru_unlock(self);
        drop_cleared(self, entries, cleared);
        PyMem_Free(entries);
    } else {
        const uint64_t store = self->stores;
        lru_unlock(self);
        clear_head_first(self, cache, length, store);
    }
    lru_unreserve(self, reserved);
    Py_RETURN_NONE;
}

// A new list with one item per entry, from head to tail, each made by item(node) as a new
// reference or null. Null with MemoryError set when the list or an item cannot be made.
template <class Item>
PyObject *entry_list(PyObject *op, Item &&item) {
    LRUCacheObject *self = as_cache(op);
    Moment m;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr) {
        return nullptr;
    }
    return with_lock(self, cache, m, [&](Detached &) -> PyObject * {
        PyObject *list = PyList_New(static_cast<Py_ssize_t>(cache->length));
        if (list == nullptr) {
            return nullptr;
        }
        const Py_ssize_t size = PyList_GET_SIZE(list);
        Py_ssize_t i = 0;
        for (const LRUNode *node = cache->head; node != nullptr && i < size; node = node->next) {
            PyObject *entry = item(node);
            if (entry == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, i++, entry);
        }
        assert(i == size);
        return list;
    });
}

PyObject *LRUCache_keys(PyObject *op, PyObject *) {
    return entry_list(op, [](const LRUNode *node) { return Py_NewRef(node->orig_key); });
}

PyObject *LRUCache_values(PyObject *op, PyObject *) {
    return entry_list(op, [](const LRUNode *node) { return Py_NewRef(node->value); });
}

PyObject *LRUCache_items(PyObject *op, PyObject *) {
    return entry_list(op, [](const LRUNode *node) {
        PyObject *pair = PyTuple_New(2);
        if (pair != nullptr) {
            PyTuple_SET_ITEM(pair, 0, Py_NewRef(node->orig_key));
            PyTuple_SET_ITEM(pair, 1, Py_NewRef(node->value));
        }
        return pair;
    });
}

PyObject *LRUCache_iter(PyObject *op) {
    PyObject *keys = LRUCache_keys(op, nullptr);
    if (keys == nullptr) {
        return nullptr;
    }
    PyObject *it = PyObject_GetIter(keys);
    Py_DECREF(keys);
    return it;
}

// The key of the head (least recently used) or tail entry, or None when empty.
PyObject *end_key(PyObject *op, LRUNode *CLRUCache::*end) {
    LRUCacheObject *self = as_cache(op);
    Moment m;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr) {
        return nullptr;
    }
    return with_lock(self, cache, m, [&](Detached &) {
        const LRUNode *node = cache->*end;
        return Py_NewRef(node != nullptr ? node->orig_key : Py_None);
    });
}

PyObject *LRUCache_get_head(PyObject *op, void *) {
    return end_key(op, &CLRUCache::head);
}

PyObject *LRUCache_get_tail(PyObject *op, void *) {
    return end_key(op, &CLRUCache::tail);
}

// The instance's callable `slot` (on_evict, timer), or None.
template <PyObject *LRUCacheObject::*Slot>
PyObject *get_callable(PyObject *op, void *) {
    LRUCacheObject *self = as_cache(op);
    if (store_of(self) == nullptr) {
        return nullptr;
    }
    return Py_NewRef(self->*Slot != nullptr ? self->*Slot : Py_None);
}

// Sets the instance's callable `Slot`, named `name` in errors: a callable, or None (or
// deletion) for none. The callable replaced is dropped as an operation's released references
// are (drop_unlocked): set from inside __eq__ on a thread-safe cache, only once the outer
// operation has released the lock.
template <PyObject *LRUCacheObject::*Slot>
int set_callable(PyObject *op, PyObject *value, const char *name) {
    LRUCacheObject *self = as_cache(op);
    CLRUCache *cache = store_of(self);
    if (cache == nullptr) {
        return -1;
    }
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.200s", name,
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    return with_lock<1>(self, cache, [&](Detached &dropped) {
        dropped.take_value(self->*Slot);
        self->*Slot = Py_XNewRef(value);
        return 0;
    });
}

PyObject *LRUCache_get_on_evict(PyObject *op, void *closure) {
    return get_callable<&LRUCacheObject::on_evict>(op, closure);
}

// Sets the eviction hook (set_callable).
int LRUCache_set_on_evict(PyObject *op, PyObject *value, void *) {
    return set_callable<&LRUCacheObject::on_evict>(op, value, "on_evict");
}

PyObject *LRUCache_get_capacity(PyObject *op, void *) {
    CLRUCache *cache = store_of(as_cache(op));
    return cache != nullptr ? PyLong_FromSize_t(cache->capacity) : nullptr;
}

PyObject *LRUCache_get_thread_safe(PyObject *op, void *) {
    LRUCacheObject *self = as_cache(op);
    return store_of(self) != nullptr ? PyBool_FromLong(self->thread_safe) : nullptr;
}

// The number of live entries, or -1 with the error set. Read without the lock, unless the
// instance has used expiry: then the entries due are first taken out, under the lock.
Py_ssize_t LRUCache_length_slot(PyObject *op) {
    LRUCacheObject *self = as_cache(op);
    Moment m;
    CLRUCache *cache = timed_store(self, m);
    if (cache == nullptr) {
        return -1;
    }
    if (m.clocked) [[unlikely]] {
        // Read under the lock: the drops that follow may replace the store.
        return with_lock(self, cache, m, [&](Detached &) { return static_cast<Py_ssize_t>(cache->length); });
    }
    return static_cast<Py_ssize_t>(cache->length);
}

PyObject *LRUCache_length(PyObject *op, PyObject *) {
    const Py_ssize_t length = LRUCache_length_slot(op);
    return length >= 0 ? PyLong_FromSsize_t(length) : nullptr;
}

PyObject *LRUCache_expire(PyObject *op, PyObject *) {
    const Py_ssize_t expired = expire_now(as_cache(op));
    return expired >= 0 ? PyLong_FromSsize_t(expired) : nullptr;
}

PyObject *LRUCache_get_ttl(PyObject *op, void *) {
    LRUCacheObject *self = as_cache(op);
    if (store_of(self) == nullptr) {
        return nullptr;
    }
    return self->ttl != kNoTtl ? PyFloat_FromDouble(self->ttl) : Py_NewRef(Py_None);
}

// Sets the ttl of later writes: None (or deletion) for none, else a real number of seconds
// (parse_ttl). A ttl gives the store its deadlines now, so that a write never lacks them:
// MemoryError, nothing changed, when they cannot be had.
int LRUCache_set_ttl(PyObject *op, PyObject *value, void *) {
    LRUCacheObject *self = as_cache(op);
    double ttl;
    CLRUCache *cache = store_of(self);
    if (cache == nullptr || !parse_ttl(value, &ttl)) {
        return -1;
    }
    return with_lock(self, cache, [&](Detached &) {
        if (ttl != kNoTtl && !store_enable_expiry(cache)) {
            PyErr_NoMemory();
            return -1;
        }
        self->ttl = ttl;
        self->clocked = self->clocked || ttl != kNoTtl;
        return 0;
    });
}

PyObject *LRUCache_get_timer(PyObject *op, void *closure) {
    return get_callable<&LRUCacheObject::timer>(op, closure);
}

// Sets the timer (set_callable): None for the built-in clock.
int LRUCache_set_timer(PyObject *op, PyObject *value, void *) {
    return set_callable<&LRUCacheObject::timer>(op, value, "timer");
}

// The instance plus, once initialised, the store record, the node pool and the index: all
// the memory the cache owns apart from its lock handle and the keys and values it refers to.
PyObject *LRUCache_sizeof(PyObject *op, PyObject *) {
    size_t size = static_cast<size_t>(Py_TYPE(op)->tp_basicsize);
    if (const CLRUCache *cache = as_cache(op)->cache; cache != nullptr) {
        size += store_record_bytes(cache->num_buckets) + cache->capacity * sizeof(LRUNode) +
                cache->num_buckets * sizeof(HashEntry) +
                (cache->expiry != nullptr ? cache->capacity * sizeof(ExpirySlot) : 0);
    }
    return PyLong_FromSize_t(size);
}

// ---------------------------------------------------------------------------------------
// Type and module tables

// Every method carries a text signature, which inspect.signature and help() read; the
// methods and properties the original store defined (clear to items, __reduce__, capacity,
// head, tail) carry nothing after it, so their __doc__ is None. The others say what they do
// (the stub, lru_cache.pyi, says it at length).
PyMethodDef LRUCache_methods[] = {
    {"clear", LRUCache_clear, METH_NOARGS, "clear($self, /)\n--\n\n"},
    {"length", LRUCache_length, METH_NOARGS, "length($self, /)\n--\n\n"},
    {"has", LRUCache_has, METH_O, "has($self, key, /)\n--\n\n"},
    {"get", LRUCache_get, METH_VARARGS, "get($self, key, default=None, /)\n--\n\n"},
    {"set", LRUCache_set, METH_VARARGS, "set($self, key, value, /)\n--\n\n"},
    {"delete", LRUCache_delete, METH_O, "delete($self, key, /)\n--\n\n"},
    {"pop", LRUCache_pop, METH_VARARGS, "pop($self, key, default=None, /)\n--\n\n"},
    {"setdefault", LRUCache_setdefault, METH_VARARGS,
     "setdefault($self, key, default=None, /)\n--\n\n"
     "The value stored under key; when absent, stores default under key and returns it.\n"
     "Either way the entry becomes the most recently used. Atomic on a thread-safe cache."},
    {"peek", LRUCache_peek, METH_VARARGS,
     "peek($self, key, default=None, /)\n--\n\n"
     "The value stored under key, or default when absent. Does not change recency and\n"
     "is not counted by cache_info()."},
    {"popitem", LRUCache_popitem, METH_NOARGS,
     "popitem($self, /)\n--\n\n"
     "Removes the least recently used entry and returns it as (key, value).\n"
     "Raises KeyError when the cache is empty."},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(LRUCache_update)),
     METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\n"
     "Stores the pairs of other (a mapping, or an iterable of pairs), then the keyword\n"
     "arguments, in order, as set() does: each becomes the most recently used."},
    {"resize", LRUCache_resize, METH_O,
     "resize($self, capacity, /)\n--\n\n"
     "Gives the cache a new capacity (128 when capacity <= 0), keeping the most recently\n"
     "used entries that fit and evicting the rest."},
    {"cache_info", LRUCache_cache_info, METH_NOARGS,
     "cache_info($self, /)\n--\n\n"
     "CacheInfo(hits, misses, maxsize, currsize): lookups by get, cache[key] and\n"
     "setdefault that found their key and that did not, the capacity, the size."},
    {"keys", LRUCache_keys, METH_NOARGS, "keys($self, /)\n--\n\n"},
    {"values", LRUCache_values, METH_NOARGS, "values($self, /)\n--\n\n"},
    {"items", LRUCache_items, METH_NOARGS, "items($self, /)\n--\n\n"},
    {"set_with_ttl", LRUCache_set_with_ttl, METH_VARARGS,
     "set_with_ttl($self, key, value, ttl, /)\n--\n\n"
     "Store value under key, as set() does, to expire ttl seconds from now (None: never)."},
    {"expire", LRUCache_expire, METH_NOARGS,
     "expire($self, /)\n--\n\nRemove every expired entry now; return how many were removed."},
    {"__reduce__", LRUCache_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__sizeof__", LRUCache_sizeof, METH_NOARGS,
     "__sizeof__($self, /)\n--\n\n"
     "Bytes the cache owns: the instance, its store record, node pool and index."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\n"
     "LRUCache[K, V]: a types.GenericAlias, for annotations and subclassing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef LRUCache_getset[] = {
    {"capacity", LRUCache_get_capacity, nullptr, nullptr, nullptr},
    {"head", LRUCache_get_head, nullptr, nullptr, nullptr},
    {"tail", LRUCache_get_tail, nullptr, nullptr, nullptr},
    {"thread_safe", LRUCache_get_thread_safe, nullptr,
     "Whether each operation holds the instance's reentrant lock. Read-only.", nullptr},
    {"on_evict", LRUCache_get_on_evict, LRUCache_set_on_evict,
     "The eviction hook, or None: called as on_evict(key, value) for every entry the cache\n"
     "drops on its own (evicted to make room, or expired), once the operation has completed\n"
     "and the lock is released.",
     nullptr},
    {"ttl", LRUCache_get_ttl, LRUCache_set_ttl,
     "Seconds an entry written from now on lives, or None (the default) for ever.", nullptr},
    {"timer", LRUCache_get_timer, LRUCache_set_timer,
     "The callable giving the time in seconds, or None (the default) for the built-in "
     "monotonic clock.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char lru_doc[] =
    "LRUCache(capacity=128, thread_safe=False)\n--\n\nAn LRU cache with optional thread safety.";

PyType_Slot LRUCache_slots[] = {
    {Py_tp_doc, const_cast<char *>(lru_doc)},
    {Py_tp_new, reinterpret_cast<void *>(LRUCache_new)},
    {Py_tp_init, reinterpret_cast<void *>(LRUCache_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(LRUCache_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(LRUCache_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(LRUCache_clear_references)},
    {Py_tp_methods, LRUCache_methods},
    {Py_tp_getset, LRUCache_getset},
    {Py_tp_iter, reinterpret_cast<void *>(LRUCache_iter)},
    {Py_sq_contains, reinterpret_cast<void *>(LRUCache_contains)},
    {Py_sq_length, reinterpret_cast<void *>(LRUCache_length_slot)},
    {Py_mp_length, reinterpret_cast<void *>(LRUCache_length_slot)},
    {Py_mp_subscript, reinterpret_cast<void *>(LRUCache_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void *>(LRUCache_setitem)},
    {0, nullptr},
};

PyType_Spec LRUCache_spec = {
    "amber_moth.lru_cache.LRUCache",
    sizeof(LRUCacheObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    LRUCache_slots,
};

PyModuleDef lru_cache_module = {
    PyModuleDef_HEAD_INIT,
    "lru_cache",
    "Bounded LRU cache with optional thread safety. Raw C.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// collections.namedtuple("CacheInfo", "hits misses maxsize currsize"), as functools has it.
PyObject *make_cache_info_type() {
    PyObject *collections = PyImport_ImportModule("collections");
    PyObject *namedtuple =
        collections != nullptr ? PyObject_GetAttrString(collections, "namedtuple") : nullptr;
    Py_XDECREF(collections);
    PyObject *args = Py_BuildValue("(ss)", "CacheInfo", "hits misses maxsize currsize");
    PyObject *kwargs = Py_BuildValue("{ss}", "module", "amber_moth.lru_cache");
    PyObject *type = namedtuple != nullptr && args != nullptr && kwargs != nullptr
                         ? PyObject_Call(namedtuple, args, kwargs)
                         : nullptr;
    Py_XDECREF(namedtuple);
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    return type;
}

// The LRUCache type, made when the module is initialised.
PyObject *lru_type;

}  // namespace

// ---------------------------------------------------------------------------------------
// The keyed road and whole-cache operations for the memoising wrapper (lru_cache.h)

PyObject *lru_new(Py_ssize_t capacity) {
    return PyObject_CallFunction(lru_type, "n", capacity);
}

int lru_lookup(PyObject *op, Py_hash_t hash, PyObject *key, PyObject **value) {
    return at_moment(as_cache(op), [=](const Moment &m) AMBER_MOTH_INLINE {
        return get_hashed(as_cache(op), m, hash, key, value);
    });
}

int lru_lookup(PyObject *op, Py_hash_t hash, KeyItems key, PyObject **value) {
    return at_moment(as_cache(op), [=](const Moment &m) AMBER_MOTH_INLINE {
        return get_hashed(as_cache(op), m, hash, key, value);
    });
}

int lru_store(PyObject *op, Py_hash_t hash, PyObject *key, PyObject *value, bool evict) {
    Moment m;
    CLRUCache *cache = timed_store(as_cache(op), m);
    return cache != nullptr ? set_hashed(as_cache(op), cache, m, hash, key, value, kUseTtl, evict) : -1;
}

void lru_prepare_insert(PyObject *op, Py_hash_t hash) {
    if (const CLRUCache *cache = as_cache(op)->cache; cache != nullptr) {
        prefetch_victim(cache);
        prefetch_home_slot(cache, hash);
    }
}

int lru_remove(PyObject *op, Py_hash_t hash, PyObject *key) {
    Moment m;
    CLRUCache *cache = timed_store(as_cache(op), m);
    return cache != nullptr ? delete_hashed(as_cache(op), cache, m, hash, key) : -1;
}

Py_ssize_t lru_expire(PyObject *op) {
    return expire_now(as_cache(op));
}

int lru_set_ttl(PyObject *op, PyObject *ttl) {
    return LRUCache_set_ttl(op, ttl, nullptr);
}

bool lru_check_ttl(PyObject *ttl) {
    double seconds;
    return parse_ttl(ttl, &seconds);
}

LRUSize lru_size(PyObject *op) {
    const LRUCacheObject *self = as_cache(op);
    const CLRUCache *cache = self->cache;
    return cache != nullptr ? LRUSize{cache->length, cache->capacity, self->stores}
                            : LRUSize{0, 0, self->stores};
}

bool lru_held_by_caller(PyObject *op) {
    return RLock_HeldByCaller(&as_cache(op)->mutex);
}

Resized lru_resize(PyObject *op, Py_ssize_t capacity) {
    return resize_now(as_cache(op), capacity, true);
}

int lru_clear(PyObject *op) {
    PyObject *none = LRUCache_clear(op, nullptr);
    Py_XDECREF(none);
    return none != nullptr ? 0 : -1;
}

// Walks the list as it stands: Python code runs only where the store is consistent, and
// the collector runs no Python code while it visits.
int lru_visit_entries(PyObject *op, visitproc visit, void *arg) {
    const CLRUCache *cache = as_cache(op)->cache;
    for (const LRUNode *node = cache != nullptr ? cache->head : nullptr; node != nullptr;
         node = node->next) {
        Py_VISIT(node->orig_key);
        Py_VISIT(node->value);
    }
    return 0;
}

PyObject *cache_info_new(uint64_t hits, uint64_t misses, PyObject *maxsize, uint64_t currsize) {
    return PyObject_CallFunction(cache_info_type, "KKOK", static_cast<unsigned long long>(hits),
                                 static_cast<unsigned long long>(misses), maxsize,
                                 static_cast<unsigned long long>(currsize));
}

PyMODINIT_FUNC PyInit_lru_cache() {
    PyObject *module = PyModule_Create2(&lru_cache_module, PYTHON_API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    Py_XSETREF(cache_info_type, make_cache_info_type());
    if (cache_info_type == nullptr ||
        PyModule_AddObjectRef(module, "CacheInfo", cache_info_type) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    PyObject *type = PyType_FromSpec(&LRUCache_spec);
    if (type == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_XSETREF(lru_type, type);
    if (PyModule_AddObjectRef(module, "LRUCache", type) < 0 || func_add_types(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
