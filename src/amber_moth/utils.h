// Reentrant per-instance lock for LRUCache.
//
// An RLock wraps one non-reentrant interpreter lock handle with an owner thread and a
// recursion count, so the thread that holds it may enter again (a key's __eq__ or a
// finaliser calling back into the same cache). The choice between locking and not locking
// is made once, in RLock_New, by storing function pointers: with thread safety off both
// slots are NOOP and callers never test a flag.
//
// `owner` and `count` are plain fields: they are read and written only while the calling
// thread holds the interpreter's global lock, and only the holder writes them.
#ifndef AMBER_MOTH_UTILS_H
#define AMBER_MOTH_UTILS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <cassert>
#include <cstdint>

using CommonCallable = void (*)(void *);

struct RLock {
    PyThread_type_lock lock;  // null when no handle is allocated
    int64_t owner;            // thread ident of the holder, -1 when free
    int32_t count;            // recursion depth of the holder, 0 when free
    CommonCallable acquire_lock;
    CommonCallable release_lock;
};

// The acquire and release of an instance without thread safety.
inline void NOOP(void *) {}

// Takes the lock for the calling thread, waiting with the interpreter released if another
// thread holds it, so that the holder can always run to its release.
inline void Acquire_RLock(void *ptr) {
    RLock *r = static_cast<RLock *>(ptr);
    const auto me = static_cast<int64_t>(PyThread_get_thread_ident());
    if (r->owner == me) {
        ++r->count;
        return;
    }
    if (!PyThread_acquire_lock(r->lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(r->lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    assert(r->count == 0 && r->owner == -1);
    r->owner = me;
    r->count = 1;
}

// Gives up one level of the calling thread's hold; the caller must hold the lock.
inline void Release_RLock(void *ptr) {
    RLock *r = static_cast<RLock *>(ptr);
    assert(r->count > 0 && r->owner == static_cast<int64_t>(PyThread_get_thread_ident()));
    if (--r->count == 0) {
        r->owner = -1;
        PyThread_release_lock(r->lock);
    }
}

// Fills the record: a new handle (allocated even when `enabled` is 0) and the function slots.
// Returns false, with the record holding no handle, when the handle cannot be allocated.
[[nodiscard]] inline bool RLock_New(RLock *r_lock, int enabled) {
    r_lock->lock = PyThread_allocate_lock();
    r_lock->owner = -1;
    r_lock->count = 0;
    r_lock->acquire_lock = enabled ? Acquire_RLock : NOOP;
    r_lock->release_lock = enabled ? Release_RLock : NOOP;
    return r_lock->lock != nullptr;
}

// Frees the handle if there is one; the record is left without a handle.
inline void RLock_Free(RLock *r_lock) {
    if (r_lock->lock != nullptr) {
        PyThread_free_lock(r_lock->lock);
        r_lock->lock = nullptr;
    }
}

#endif  // AMBER_MOTH_UTILS_H
