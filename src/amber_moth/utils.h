// Reentrant per-instance lock for LRUCache.
//
// An RLock lets one thread at a time hold it, any number of times over (a key's __eq__ or
// a finaliser calling back into the same cache). The choice between locking and not locking
// is made by storing function pointers (RLock_Enable): with thread safety off both slots
// are NOOP and callers never test a flag. A thread that waited for the lock finds what it
// guards as the holder left it: callers read what it guards once they hold it. The handle
// is allocated once (RLock_New) and kept until the instance is freed, so that a thread
// blocked on it never finds it gone; re-initialising an instance only swaps the function
// pointers (a waiter that finds them swapped lets go: Acquire_RLock).
//
// Every field is read and written only by threads holding the interpreter's global lock,
// which makes the uncontended path plain loads and stores: `owner` and `count` say who
// holds the lock. The interpreter lock handle is used only under contention, as a wake-up
// signal: it is kept locked, a thread that finds the lock held counts itself in `waiters`
// and blocks on the handle with the interpreter released (so the holder can always run to
// its release), and a release that leaves the lock free with waiters present unlocks the
// handle once (`posted`) to wake one of them, which then tries again.
#ifndef AMBER_MOTH_UTILS_H
#define AMBER_MOTH_UTILS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <cassert>
#include <cstdint>

using CommonCallable = void (*)(void *);

struct RLock {
    PyThread_type_lock lock;  // wake-up handle, locked unless `posted`; null when none
    int64_t owner;            // thread ident of the holder, -1 when free
    int32_t count;            // recursion depth of the holder, 0 when free
    CommonCallable acquire_lock;
    CommonCallable release_lock;
    int32_t waiters;  // threads blocked (or about to block) on the handle
    bool posted;      // the handle is unlocked: a wake-up is pending
};

// The acquire and release of an instance without thread safety.
inline void NOOP(void *) {}

inline void Release_RLock(void *ptr);

// Takes the lock for the calling thread, waiting with the interpreter released while
// another thread holds it. A waiter that finds the record no longer locking (RLock_Enable)
// lets go at once, passing the wake-up on, so that its caller runs unlocked, as every
// operation of the record's owner now does.
inline void Acquire_RLock(void *ptr) {
    RLock *r = static_cast<RLock *>(ptr);
    const auto me = static_cast<int64_t>(PyThread_get_thread_ident());
    if (r->owner == me) {
        ++r->count;
        return;
    }
    while (r->count > 0) {
        ++r->waiters;
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(r->lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
        --r->waiters;
        r->posted = false;
    }
    assert(r->owner == -1);
    r->owner = me;
    r->count = 1;
    if (r->acquire_lock != Acquire_RLock) [[unlikely]] {
        Release_RLock(r);
    }
}

// Gives up one level of the calling thread's hold; the caller must hold the lock. The last
// level frees the lock and wakes a waiter if there is one and none is being woken already.
inline void Release_RLock(void *ptr) {
    RLock *r = static_cast<RLock *>(ptr);
    assert(r->count > 0 && r->owner == static_cast<int64_t>(PyThread_get_thread_ident()));
    if (--r->count == 0) {
        r->owner = -1;
        if (r->waiters > 0 && !r->posted) {
            r->posted = true;
            PyThread_release_lock(r->lock);
        }
    }
}

// Whether the calling thread holds the lock (not merely whether some thread does).
[[nodiscard]] inline bool RLock_HeldByCaller(const RLock *r) {
    return r->count > 0 && r->owner == static_cast<int64_t>(PyThread_get_thread_ident());
}

// Whether the record locks: its function slots are Acquire_RLock and Release_RLock.
[[nodiscard]] inline bool RLock_Enabled(const RLock *r) {
    return r->acquire_lock == Acquire_RLock;
}

// Sets the function slots: locking when `enabled`, else NOOP.
inline void RLock_Enable(RLock *r_lock, bool enabled) {
    r_lock->acquire_lock = enabled ? Acquire_RLock : NOOP;
    r_lock->release_lock = enabled ? Release_RLock : NOOP;
}

// Fills the record: a new handle (allocated even when `enabled` is 0) and the function slots.
// Returns false, with the record holding no handle, when the handle cannot be allocated.
[[nodiscard]] inline bool RLock_New(RLock *r_lock, int enabled) {
    r_lock->lock = PyThread_allocate_lock();
    if (r_lock->lock != nullptr) {
        PyThread_acquire_lock(r_lock->lock, WAIT_LOCK);  // new and unshared: never waits
    }
    r_lock->owner = -1;
    r_lock->count = 0;
    RLock_Enable(r_lock, enabled != 0);
    r_lock->waiters = 0;
    r_lock->posted = false;
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
