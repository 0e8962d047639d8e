// amber_moth.func's memoising wrapper: the C type behind lru_cache() and cache() (func.py),
// built into the lru_cache extension and calling LRUCache's store through lru_cache.h.
//
// Map
//   LRUWrapper       the wrapper: the user's function, its LRUCache (`cache`, none when
//                    maxsize is 0), its statistics; called through vectorcall
//                    (wrapper_call), bound as a method (wrapper_descr_get).
//   CallKey          (func.h) a call's key as functools builds it (CallKey::make): the one
//                    argument itself, or the items of the tuple it stands for, hashed as that
//                    tuple (key_items_hash) and looked up without it (lru_lookup with
//                    KeyItems); the tuple is made only to store a result (key_object).
//   call_and_store   a miss: calls the function, stores its result (store_result); a cache
//                    starts small and doubles when full (grow_if_full) up to its bound
//                    (cache_bound: maxsize, none when unbounded), so memory follows the
//                    results, and evicts only at its bound. It grows even while lookups
//                    of its own or other threads are under way (they start again on the
//                    new store), and a store that finds the cache filled by its lookup's
//                    comparisons grows it and stores again.
//   Flight           single-flight: one computation under way for a key (fly), in the
//                    wrapper's `flights` LRUCache under the call's key (read back by
//                    open_flight; shrink_flights gives back room as flights land); callers
//                    with an equal key wait for it (await_flight, flight_wait) instead of
//                    computing (call_single_flight), unless the wait could not end
//                    (must_compute).
//   Waiter           the threads waiting for flights, so that a wait that would close a
//                    cycle (waits_on_caller) computes instead.
//   wrapper_traverse the cycle collector sees the cache's entries when the wrapper owns the
//                    cache outright.
//   memo_*           the hooks through which afunc.cpp keeps its results in a wrapper (func.h).
//
// Where Python code runs: hashing the arguments, the lookups (keys' __eq__, drops), the
// user's function, storing (eviction, drops, the eviction hook). Each may call the wrapper
// again, on this thread or another, clear its cache or resize it: the wrapper keeps no
// pointer into the store across them, and holds its own references to what it uses after.
#include "lru_cache.h"
#include "func.h"

#include <Python.h>
#include <pythread.h>

#include <cstddef>
#include <cstdint>

namespace {

// The capacity a cache starts with, at most its bound; it doubles whenever a result finds it
// full below its bound.
constexpr uint64_t kFirstCapacity = 128;
// The bound of an unbounded cache (above any capacity an int maxsize can give).
constexpr uint64_t kNoBound = UINT64_MAX;
// How long a waiting thread sleeps between looks at its signals (KeyboardInterrupt).
constexpr long long kWaitSliceMicroseconds = 50'000;

struct LRUWrapper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;     // the user's function; null once the collector cleared the wrapper
    PyObject *cache;    // the LRUCache of results; null when maxsize is 0 (or cleared)
    PyObject *flights;  // the LRUCache of computations under way, when single-flight
    PyObject *maxsize_given;  // maxsize and typed as given, for cache_parameters(); null
    PyObject *typed_given;    // once the collector cleared the wrapper
    PyObject *ttl;  // the ttl given to lru_cache(): None, or the cache's ttl
    uint64_t bound;      // the capacity `cache` may grow to; kNoBound for unbounded
    uint64_t sized;      // lru_size(cache).stores when the wrapper last sized `cache`
    bool typed;
    bool single_flight;  // as given (no flights are kept when maxsize is 0)
    uint64_t hits;
    uint64_t misses;
};

inline LRUWrapper *as_wrapper(PyObject *op) {
    return reinterpret_cast<LRUWrapper *>(op);
}

// ---------------------------------------------------------------------------------------
// Storing results

// The capacity a cache of results starts with, and goes back to when cleared.
[[nodiscard]] constexpr uint64_t first_capacity(uint64_t bound) {
    return bound < kFirstCapacity ? bound : kFirstCapacity;
}

// The capacity the wrapper's cache may grow to: its bound, unless something else resized
// the cache (cache.resize(), or __init__ again) since the wrapper last did, in which case
// the capacity it was given becomes the bound. `size` is the cache's (lru_size).
[[nodiscard]] uint64_t cache_bound(LRUWrapper *w, const LRUSize &size) {
    if (size.capacity != 0 && size.stores != w->sized) {  // capacity 0: no store
        w->bound = size.capacity;
        w->sized = size.stores;
    }
    return w->bound;
}

// What grow_if_full found or made.
constexpr int kRoom = 1;     // room below the bound: a new entry is stored without evicting
constexpr int kAtBound = 2;  // the cache is at its bound: a new entry evicts

// Makes room for one more entry in a full cache below `bound`: by taking out its expired
// results, else by doubling its capacity (up to the bound), even while operations of the
// cache are under way (lru_resize). Returns kRoom or kAtBound, 0 when it cannot grow (only
// at interpreter shutdown, another thread holding a thread-safe cache's lock), -1 with the
// error set. `size`, the cache's (lru_size), is read again after each step that runs
// Python code or sizes the cache.
[[nodiscard]] int grow_if_full(PyObject *cache, uint64_t bound, LRUSize &size) {
    const uint64_t limit = bound < PY_SSIZE_T_MAX ? bound : PY_SSIZE_T_MAX;
    // Expired results make room first, so that memory follows the live results.
    if (size.length >= size.capacity && size.capacity < limit) {
        if (lru_expire(cache) < 0) {
            return -1;
        }
        size = lru_size(cache);
    }
    const uint64_t capacity = size.capacity;
    if (capacity >= limit) {
        return kAtBound;
    }
    if (size.length < capacity) {
        return kRoom;
    }
    const uint64_t doubled = capacity < limit / 2 ? 2 * capacity : limit;
    const Resized resized = lru_resize(cache, static_cast<Py_ssize_t>(doubled));
    size = lru_size(cache);
    switch (resized) {
        case Resized::Done:
            return doubled >= limit ? kAtBound : kRoom;
        case Resized::Busy:
            return 0;
        case Resized::Failed:
            break;
    }
    return -1;
}

// Stores `result` under the key in the wrapper's cache (`cache`, a reference the caller
// holds): 0, or -1 with the error set. Below its bound the cache grows rather than evict:
// the store's own lookup runs comparisons, which may fill the cache (calling the function
// with new keys), so a store that then finds no room stores nothing, and the cache grows
// and the store is made again; each round grows the cache, up to its bound. Only a cache
// that cannot grow (grow_if_full) stores nothing.
[[nodiscard]] int store_result(LRUWrapper *w, PyObject *cache, CallKey &key, PyObject *result) {
    for (;;) {
        LRUSize size = lru_size(cache);
        const int room = grow_if_full(cache, cache_bound(w, size), size);
        if (room <= 0) {
            return room;
        }
        w->sized = size.stores;
        PyObject *object = key.key_object();
        const int stored =
            object != nullptr ? lru_store(cache, key.hash(), object, result, room == kAtBound) : -1;
        if (stored <= 0) {
            return stored;
        }
    }
}

// Raises the error of a call to a wrapper that the cycle collector has cleared (from a
// finaliser of the garbage it was part of).
PyObject *cleared_error() {
    PyErr_SetString(PyExc_ReferenceError, "this memoised function has been cleared");
    return nullptr;
}

// A miss: calls the function and stores its result. Exceptions are never stored. Python
// code run before may have cleared the wrapper; what is used is held for the span.
PyObject *call_and_store(LRUWrapper *w, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                         CallKey &key) {
    if (w->func == nullptr || w->cache == nullptr) {
        return cleared_error();
    }
    ++w->misses;
    PyObject *func = Py_NewRef(w->func);
    PyObject *cache = Py_NewRef(w->cache);
    lru_prepare_insert(cache, key.hash());  // the insertion's memory accesses overlap the call
    PyObject *result = PyObject_Vectorcall(func, args, nargsf, kwnames);
    if (result != nullptr && store_result(w, cache, key, result) < 0) {
        Py_CLEAR(result);
    }
    Py_DECREF(cache);
    Py_DECREF(func);
    return result;
}

// ---------------------------------------------------------------------------------------
// Single flight

// One computation under way: its thread, and once it ends, its result (none when it
// raised). `landed` is locked until the computation ends; waiters acquire it and release it
// at once, so every one of them passes. A flight is open (flight_is_open) until its
// computation ends, and only while it is open does anyone wait for it: one left in
// `flights` after that (taking it out raised) or made before a fork in the parent (whose
// thread the child does not have) is passed over, and replaced by the next computation.
struct Flight {
    PyObject_HEAD
    PyThread_type_lock landed;
    unsigned long owner;
    uint64_t generation;  // flight_generation when it took off
    bool done;            // the computation has ended
    PyObject *result;
};

PyTypeObject *flight_type;

// The wrapper's type (func_add_types), which the coroutine memoiser makes its memos of.
PyObject *wrapper_type;

// Counts forks: a child begins a new generation of flights (forget_flights).
uint64_t flight_generation;

[[nodiscard]] bool flight_is_open(const Flight *f) {
    return !f->done && f->generation == flight_generation;
}

// What the flights table holds under a key, if it is an open flight; else null. Anything
// else there (a flight that ended, or the parent's, or an object stored from outside: the
// table is reachable through the collector) is passed over.
[[nodiscard]] Flight *open_flight(PyObject *found) {
    if (found == nullptr || !Py_IS_TYPE(found, flight_type)) {
        return nullptr;
    }
    auto *f = reinterpret_cast<Flight *>(found);
    return flight_is_open(f) ? f : nullptr;
}

// A thread waiting for a flight; linked, on the waiter's stack, for the span of the wait.
// Only threads holding the GIL read or change the list.
struct Waiter {
    unsigned long thread;
    Flight *flight;
    Waiter *next;
};
Waiter *waiters;

// The wait the thread has open, or null.
[[nodiscard]] const Waiter *wait_of(unsigned long thread) {
    const Waiter *w = waiters;
    while (w != nullptr && w->thread != thread) {
        w = w->next;
    }
    return w;
}

// Whether waiting for `f` would wait for the calling thread: it has a wait open already (a
// signal handler run during that wait made this call), or it computes `f`, or computes a
// flight whose thread waits, directly or through other waiting threads, for a flight it
// computes. So each thread waits for one flight at a time and no wait closes a cycle, and
// the walk ends.
[[nodiscard]] bool waits_on_caller(const Flight *f, unsigned long me) {
    if (wait_of(me) != nullptr) {
        return true;
    }
    while (f->owner != me) {
        const Waiter *w = wait_of(f->owner);
        if (w == nullptr) {
            return false;
        }
        f = w->flight;
    }
    return true;
}

// Whether the calling thread must compute rather than wait for `f` (of the wrapper's
// `cache` and `flights`), since the wait could never end:
//   * the interpreter is finalising: the flight's thread may never run again (a daemon);
//   * the thread is inside an operation of one of the wrapper's caches (a key's __eq__ run
//     under a thread-safe cache's lock): the flight's thread would wait for that lock to
//     store its result or take its flight out;
//   * the wait would wait for the calling thread (waits_on_caller).
// Waits through anything else the thread holds are the computation's own: one that waits for
// another thread which calls the function with the same key (a Future of a worker) deadlocks.
[[nodiscard]] bool must_compute(PyObject *cache, PyObject *flights, const Flight *f) {
    return Py_IsFinalizing() || lru_held_by_caller(cache) || lru_held_by_caller(flights) ||
           waits_on_caller(f, PyThread_get_thread_ident());
}

// Waits, with the GIL released, while the flight is open (flight_is_open; it is on entry):
// until it lands, or ends for this process (a fork made by a signal handler during the wait
// leaves it to the parent's thread). Looks again after each slice, as Python code may have
// run. 0, or -1 with the error a signal handler raised (KeyboardInterrupt), which ends the
// wait.
[[nodiscard]] int flight_wait(Flight *f) {
    Waiter self{PyThread_get_thread_ident(), f, waiters};
    waiters = &self;
    int r = 0;
    do {
        PyLockStatus status;
        Py_BEGIN_ALLOW_THREADS
        status = PyThread_acquire_lock_timed(f->landed, kWaitSliceMicroseconds, 1);
        Py_END_ALLOW_THREADS
        if (status == PY_LOCK_ACQUIRED) {
            PyThread_release_lock(f->landed);
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            r = -1;
            break;
        }
    } while (flight_is_open(f));
    // The wait is in the list, unless a fork made by a signal handler during it emptied it.
    Waiter **link = &waiters;
    while (*link != nullptr && *link != &self) {
        link = &(*link)->next;
    }
    if (*link != nullptr) {
        *link = self.next;
    }
    return r;
}

// A new flight of the calling thread, or null with the error set.
Flight *flight_new() {
    Flight *f = PyObject_New(Flight, flight_type);
    if (f == nullptr) {
        return nullptr;
    }
    f->owner = PyThread_get_thread_ident();
    f->generation = flight_generation;
    f->done = false;
    f->result = nullptr;
    f->landed = PyThread_allocate_lock();
    if (f->landed == nullptr) {
        Py_DECREF(f);
        PyErr_NoMemory();
        return nullptr;
    }
    PyThread_acquire_lock(f->landed, WAIT_LOCK);  // new and unshared: never waits
    return f;
}

void flight_dealloc(PyObject *op) {
    auto *f = reinterpret_cast<Flight *>(op);
    PyTypeObject *type = Py_TYPE(op);
    if (f->landed != nullptr) {
        PyThread_free_lock(f->landed);
    }
    Py_XDECREF(f->result);
    PyObject_Free(op);
    Py_DECREF(type);
}

// Gives back the room of flights that ended: a table at most a quarter full halves, as
// often as that holds, down to the first capacity, so that a table that many flights at
// once made grow shrinks back as they land, and one whose number of flights stays about the
// same is not resized at each. Not while one of its operations is under way (a later
// landing, or cache_clear(), shrinks it then). Runs no Python code; a shrink that fails for
// want of memory changes nothing, and its error is dropped.
void shrink_flights(PyObject *flights) {
    const LRUSize size = lru_size(flights);
    const uint64_t capacity = size.capacity;
    uint64_t target = capacity;
    while (target > kFirstCapacity && size.length <= target / 4) {
        target = target / 2 > kFirstCapacity ? target / 2 : kFirstCapacity;
    }
    if (target < capacity && lru_resize(flights, static_cast<Py_ssize_t>(target)) == Resized::Failed) {
        PyErr_Clear();
    }
}

// Computes the result of a call as a flight, which calls of other threads with an equal key
// wait for (the flight is stored in `flights` under the key while it is under way, when
// `flights` has room for it now), and lands it: its result, or none when it raised, goes to
// the waiters.
PyObject *fly(LRUWrapper *w, PyObject *flights, PyObject *const *args, size_t nargsf,
              PyObject *kwnames, CallKey &key) {
    Flight *f = flight_new();
    PyObject *object = f != nullptr ? key.key_object() : nullptr;
    const int room = object != nullptr ? unbounded_store(flights, key, reinterpret_cast<PyObject *>(f)) : -1;
    if (room < 0) {
        Py_XDECREF(f);
        return nullptr;
    }
    PyObject *result = call_and_store(w, args, nargsf, kwnames, key);
    f->result = Py_XNewRef(result);
    f->done = true;
    // Taking the flight out can raise (a key's __eq__); the call's outcome stands.
    PyObject *raised = PyErr_GetRaisedException();
    if (room > 0 && lru_remove(flights, key.hash(), object) < 0) {
        PyErr_WriteUnraisable(reinterpret_cast<PyObject *>(w));
    }
    shrink_flights(flights);
    PyErr_SetRaisedException(raised);
    PyThread_release_lock(f->landed);
    Py_DECREF(f);
    return result;
}

// What waiting for another thread's flight gave.
enum class Waited { Result, NoResult, Interrupted };

// Waits for `f` to end: Result with `*result` a new reference, NoResult when its
// computation raised or will not land in this process (a fork), Interrupted with the error a
// signal handler raised.
[[nodiscard]] Waited await_flight(Flight *f, PyObject **result) {
    if (flight_wait(f) < 0) {
        return Waited::Interrupted;
    }
    *result = Py_XNewRef(f->result);
    return *result != nullptr ? Waited::Result : Waited::NoResult;
}

// A miss with single flight: takes the result of a computation of an equal key under way on
// another thread, as a hit, once it lands; else computes, as a flight (fly), or without one
// when it must not wait (must_compute). When the flight waited for gives no result, the
// waiters look again (the cache, then the flights), and the first to do so computes.
PyObject *call_single_flight(LRUWrapper *w, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames, CallKey &key) {
    if (w->flights == nullptr) {
        return cleared_error();
    }
    PyObject *flights = Py_NewRef(w->flights);
    PyObject *cache = Py_NewRef(w->cache);
    PyObject *result = nullptr;
    for (;;) {
        PyObject *found;
        if (key.lookup(flights, &found) < 0) {
            break;
        }
        Flight *f = open_flight(found);
        if (f == nullptr) {
            Py_XDECREF(found);
            result = fly(w, flights, args, nargsf, kwnames, key);
            break;
        }
        if (must_compute(cache, flights, f)) {
            Py_DECREF(found);
            result = call_and_store(w, args, nargsf, kwnames, key);
            break;
        }
        const Waited waited = await_flight(f, &result);
        Py_DECREF(found);
        if (waited == Waited::NoResult && key.lookup(cache, &result) == 0 && result == nullptr) {
            continue;
        }
        if (result != nullptr) {
            ++w->hits;
        }
        break;
    }
    Py_DECREF(cache);
    Py_DECREF(flights);
    return result;
}

// ---------------------------------------------------------------------------------------
// The wrapper type

PyObject *wrapper_call(PyObject *op, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    LRUWrapper *w = as_wrapper(op);
    if (w->cache == nullptr) {
        if (w->func == nullptr) {
            return cleared_error();
        }
        ++w->misses;
        return PyObject_Vectorcall(w->func, args, nargsf, kwnames);
    }
    CallKey key;
    if (!key.make(w->typed, args, PyVectorcall_NARGS(nargsf), kwnames)) {
        return nullptr;
    }
    PyObject *value;
    if (key.lookup(w->cache, &value) < 0) {
        return nullptr;
    }
    if (value != nullptr) {
        ++w->hits;
        return value;
    }
    if (w->flights != nullptr) {
        return call_single_flight(w, args, nargsf, kwnames, key);
    }
    return call_and_store(w, args, nargsf, kwnames, key);
}

// _lru_cache_wrapper(user_function, maxsize, typed, single_flight, ttl=None): maxsize None
// (unbounded) or an int, 0 or more (func.py turns a negative one into 0); ttl as
// LRUCache.ttl takes it.
PyObject *wrapper_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *const kwlist[] = {"user_function", "maxsize", "typed", "single_flight",
                                         "ttl", nullptr};
    PyObject *func;
    PyObject *maxsize;
    PyObject *typed_given;
    int single_flight;
    PyObject *ttl = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOp|O:_lru_cache_wrapper",
                                     const_cast<char **>(kwlist), &func, &maxsize, &typed_given,
                                     &single_flight, &ttl)) {
        return nullptr;
    }
    if (!lru_check_ttl(ttl)) {
        return nullptr;
    }
    const int typed = PyObject_IsTrue(typed_given);
    if (typed < 0) {
        return nullptr;
    }
    if (!PyCallable_Check(func)) {
        PyErr_SetString(PyExc_TypeError, "the first argument must be callable");
        return nullptr;
    }
    Py_ssize_t capacity = -1;
    if (maxsize != Py_None) {
        capacity = PyNumber_AsSsize_t(maxsize, PyExc_OverflowError);
        if (capacity == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        if (capacity < 0) {
            PyErr_SetString(PyExc_ValueError, "maxsize must be None or at least 0");
            return nullptr;
        }
    }
    auto *w = reinterpret_cast<LRUWrapper *>(type->tp_alloc(type, 0));
    if (w == nullptr) {
        return nullptr;
    }
    w->vectorcall = wrapper_call;
    w->func = Py_NewRef(func);
    w->maxsize_given = Py_NewRef(maxsize);
    w->typed_given = Py_NewRef(typed_given);
    w->bound = capacity >= 0 ? static_cast<uint64_t>(capacity) : kNoBound;
    w->cache = w->bound > 0 ? lru_new(static_cast<Py_ssize_t>(first_capacity(w->bound))) : nullptr;
    w->sized = w->cache != nullptr ? lru_size(w->cache).stores : 0;
    w->flights = single_flight && w->cache != nullptr ? lru_new(kFirstCapacity) : nullptr;
    w->typed = typed != 0;
    w->single_flight = single_flight != 0;
    w->ttl = Py_NewRef(ttl);
    auto *op = reinterpret_cast<PyObject *>(w);
    if (w->bound > 0 && (w->cache == nullptr || (single_flight && w->flights == nullptr) ||
                         (ttl != Py_None && lru_set_ttl(w->cache, ttl) < 0))) {
        Py_DECREF(op);
        return nullptr;
    }
    return op;
}

// The collector sees the function, the caches and the attribute dictionary, and the cached
// keys and results too while the wrapper owns its cache outright: then the wrapper's
// reference to the cache stands for the cache's references to its entries, and cycles
// through them (a result referring to the function, an instance in a method's keys) are
// collected. While anything else refers to the cache, its entries are live through it and
// are not visited.
int wrapper_traverse(PyObject *op, visitproc visit, void *arg) {
    LRUWrapper *w = as_wrapper(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(w->func);
    Py_VISIT(w->cache);
    Py_VISIT(w->flights);
    Py_VISIT(w->maxsize_given);
    Py_VISIT(w->typed_given);
    Py_VISIT(w->ttl);
    if (w->cache != nullptr && Py_REFCNT(w->cache) == 1) {
        if (const int r = lru_visit_entries(w->cache, visit, arg); r != 0) {
            return r;
        }
    }
    return PyObject_VisitManagedDict(op, visit, arg);
}

int wrapper_clear(PyObject *op) {
    LRUWrapper *w = as_wrapper(op);
    Py_CLEAR(w->func);
    Py_CLEAR(w->cache);
    Py_CLEAR(w->flights);
    Py_CLEAR(w->maxsize_given);
    Py_CLEAR(w->typed_given);
    Py_CLEAR(w->ttl);
    PyObject_ClearManagedDict(op);
    return 0;
}

void wrapper_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    PyObject_ClearWeakRefs(op);
    wrapper_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

// Bound as a method, as a function is.
PyObject *wrapper_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// currsize counts the live results: expired ones are taken out first (while the cache has
// a store).
PyObject *wrapper_cache_info(PyObject *op, PyObject *) {
    LRUWrapper *w = as_wrapper(op);
    if (w->cache != nullptr && lru_size(w->cache).capacity != 0 && lru_expire(w->cache) < 0) {
        return nullptr;
    }
    const uint64_t bound = w->cache != nullptr ? cache_bound(w, lru_size(w->cache)) : 0;
    PyObject *maxsize = bound == kNoBound ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(bound);
    if (maxsize == nullptr) {
        return nullptr;
    }
    PyObject *info =
        cache_info_new(w->hits, w->misses, maxsize, w->cache != nullptr ? lru_size(w->cache).length : 0);
    Py_DECREF(maxsize);
    return info;
}

// Empties the cache and zeroes the statistics; the cache goes back to its first capacity
// (lru_resize: lookups under way go on in the new store), and the flights table shrinks
// (shrink_flights), unless one of its operations is under way.
PyObject *wrapper_cache_clear(PyObject *op, PyObject *) {
    LRUWrapper *w = as_wrapper(op);
    w->hits = 0;
    w->misses = 0;
    if (w->flights != nullptr) {
        shrink_flights(w->flights);
    }
    if (w->cache == nullptr) {
        Py_RETURN_NONE;
    }
    PyObject *cache = Py_NewRef(w->cache);
    int r = lru_clear(cache);
    const LRUSize size = lru_size(cache);
    const uint64_t first = first_capacity(cache_bound(w, size));
    if (r == 0 && size.capacity > first) {
        switch (lru_resize(cache, static_cast<Py_ssize_t>(first))) {
            case Resized::Done:
                w->sized = lru_size(cache).stores;
                break;
            case Resized::Busy:
                break;
            case Resized::Failed:
                r = -1;
                break;
        }
    }
    Py_DECREF(cache);
    if (r < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The arguments of lru_cache(), the objects given, as functools reports them; ttl and
// single_flight only when set.
PyObject *wrapper_cache_parameters(PyObject *op, PyObject *) {
    LRUWrapper *w = as_wrapper(op);
    if (w->maxsize_given == nullptr) {
        return cleared_error();
    }
    PyObject *parameters = Py_BuildValue("{sOsO}", "maxsize", w->maxsize_given, "typed", w->typed_given);
    if (parameters != nullptr &&
        ((w->ttl != nullptr && w->ttl != Py_None &&
          PyDict_SetItemString(parameters, "ttl", w->ttl) < 0) ||
         (w->single_flight && PyDict_SetItemString(parameters, "single_flight", Py_True) < 0))) {
        Py_CLEAR(parameters);
    }
    return parameters;
}

// cache_invalidate(*args, **kwargs): removes the result a call with these arguments would
// use; True when there was one.
PyObject *wrapper_cache_invalidate(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    LRUWrapper *w = as_wrapper(op);
    CallKey key;
    if (!key.make(w->typed, args, nargs, kwnames)) {
        return nullptr;
    }
    if (w->cache == nullptr) {
        Py_RETURN_FALSE;
    }
    PyObject *cache = Py_NewRef(w->cache);  // the key's comparisons may clear the wrapper
    PyObject *object = key.key_object();
    const int removed = object != nullptr ? lru_remove(cache, key.hash(), object) : -1;
    Py_DECREF(cache);
    return removed >= 0 ? PyBool_FromLong(removed) : nullptr;
}

// Pickled by qualified name, as a function is.
PyObject *wrapper_reduce(PyObject *op, PyObject *) {
    return PyObject_GetAttrString(op, "__qualname__");
}

PyObject *wrapper_copy(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

PyObject *wrapper_deepcopy(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

PyObject *wrapper_get_cache(PyObject *op, void *) {
    LRUWrapper *w = as_wrapper(op);
    return Py_NewRef(w->cache != nullptr ? w->cache : Py_None);
}

PyMethodDef wrapper_methods[] = {
    {"cache_info", wrapper_cache_info, METH_NOARGS,
     "cache_info($self, /)\n--\n\nReport cache statistics: hits, misses, maxsize, currsize."},
    {"cache_clear", wrapper_cache_clear, METH_NOARGS,
     "cache_clear($self, /)\n--\n\nClear the cache and its statistics."},
    {"cache_parameters", wrapper_cache_parameters, METH_NOARGS,
     "cache_parameters($self, /)\n--\n\nThe arguments given to lru_cache()."},
    {"cache_invalidate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_cache_invalidate)),
     METH_FASTCALL | METH_KEYWORDS,
     "cache_invalidate($self, /, *args, **kwargs)\n--\n\nRemove the result a call with these "
     "arguments would use; return whether there was one."},
    {"__reduce__", wrapper_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickled by qualified name, as a function is."},
    {"__copy__", wrapper_copy, METH_NOARGS, "__copy__($self, /)\n--\n\nThe wrapper itself."},
    {"__deepcopy__", wrapper_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe wrapper itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef wrapper_getset[] = {
    {"cache", wrapper_get_cache, nullptr,
     "The LRUCache holding the results, or None when maxsize is 0.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(LRUWrapper, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char wrapper_doc[] =
    "_lru_cache_wrapper(user_function, maxsize, typed, single_flight, ttl=None)\n--\n\n"
    "A function memoised in an LRUCache; made by amber_moth.func.lru_cache and cache.";

PyType_Slot wrapper_slots[] = {
    {Py_tp_doc, const_cast<char *>(wrapper_doc)},
    {Py_tp_new, reinterpret_cast<void *>(wrapper_new)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(wrapper_descr_get)},
    {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(wrapper_clear)},
    {Py_tp_methods, wrapper_methods},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_members, wrapper_members},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "amber_moth.func._lru_cache_wrapper",
    sizeof(LRUWrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
    wrapper_slots,
};

PyType_Slot flight_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(flight_dealloc)},
    {0, nullptr},
};

PyType_Spec flight_spec = {
    "amber_moth.func._Flight",
    sizeof(Flight),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    flight_slots,
};

// In a child after fork(): the flights of the parent's threads will never land here, and
// their waits are gone with them (the calling thread, which forked, waits for none).
PyObject *forget_flights(PyObject *, PyObject *) {
    ++flight_generation;
    waiters = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef func_functions[] = {
    {"_forget_flights", forget_flights, METH_NOARGS,
     "_forget_flights($module, /)\n--\n\nRun in a child after fork(): flights of the parent's "
     "threads are passed over."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int func_add_types(PyObject *module) {
    Py_XSETREF(kwd_mark, PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    Py_XSETREF(flight_type, reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&flight_spec)));
    if (kwd_mark == nullptr || flight_type == nullptr) {
        return -1;
    }
    Py_XSETREF(wrapper_type, PyType_FromSpec(&wrapper_spec));
    if (wrapper_type == nullptr || PyModule_AddObjectRef(module, "_lru_cache_wrapper", wrapper_type) < 0) {
        return -1;
    }
    if (PyModule_AddFunctions(module, func_functions) < 0) {
        return -1;
    }
    return afunc_add_types(module);
}

// The coroutine memoiser's hooks (func.h).

PyObject *memo_new(PyObject *func, PyObject *maxsize, bool typed, PyObject *ttl) {
    return PyObject_CallFunction(wrapper_type, "OOOOO", func, maxsize, typed ? Py_True : Py_False, Py_False, ttl);
}

bool memo_key(PyObject *memo, CallKey &key, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return key.make(as_wrapper(memo)->typed, args, nargs, kwnames);
}

int memo_lookup(PyObject *memo, CallKey &key, PyObject **value) {
    LRUWrapper *w = as_wrapper(memo);
    *value = nullptr;
    if (w->cache == nullptr) {
        return 0;
    }
    if (key.lookup(w->cache, value) < 0) {
        return -1;
    }
    if (*value != nullptr) {
        ++w->hits;
    }
    return 0;
}

void memo_count(PyObject *memo, bool hit) {
    ++(hit ? as_wrapper(memo)->hits : as_wrapper(memo)->misses);
}

int memo_store(PyObject *memo, CallKey &key, PyObject *result) {
    LRUWrapper *w = as_wrapper(memo);
    if (w->cache == nullptr) {
        return 0;
    }
    PyObject *cache = Py_NewRef(w->cache);
    const int r = store_result(w, cache, key, result);
    Py_DECREF(cache);
    return r;
}

PyObject *memo_cache(PyObject *memo) {
    return as_wrapper(memo)->cache;
}

// As store_result with no bound: a store whose lookup's comparisons filled the cache grows
// it and is made again, so nothing stored is ever evicted.
int unbounded_store(PyObject *cache, CallKey &key, PyObject *value) {
    for (;;) {
        LRUSize size = lru_size(cache);
        const int room = grow_if_full(cache, kNoBound, size);
        PyObject *object = room > 0 ? key.key_object() : nullptr;
        if (object == nullptr) {
            return room == 0 ? 0 : -1;
        }
        const int stored = lru_store(cache, key.hash(), object, value, false);
        if (stored <= 0) {
            return stored < 0 ? -1 : 1;
        }
    }
}
