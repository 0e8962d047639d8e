// What the memoising decorators share: the synchronous wrapper (func.cpp) and the one for
// coroutine functions (afunc.cpp). A call's key is built once (CallKey) and reaches the
// store through the results of a synchronous wrapper (`memo`, an _lru_cache_wrapper), which
// keeps the key rules, the statistics and the growth of its cache in one place.
#ifndef AMBER_MOTH_FUNC_H
#define AMBER_MOTH_FUNC_H

#include "lru_cache.h"

// The marker between positional and keyword arguments in a key, as functools' kwd_mark
// (made by func_add_types).
inline PyObject *kwd_mark;

// Keys of up to this many items are looked up from the stack; longer ones from the heap.
constexpr Py_ssize_t kInlineItems = 16;

// Whether the cycle collector may need to see `item` through a tuple holding it, by the
// interpreter's own rule for untracking tuples: not for an object whose type the collector
// does not handle, nor for an exact tuple it no longer tracks (whose items are all such).
[[nodiscard]] inline bool may_be_tracked(PyObject *item) {
    if (!PyType_IS_GC(Py_TYPE(item))) {
        return false;
    }
    return PyTuple_CheckExact(item) ? PyObject_GC_IsTracked(item) != 0 : PyObject_IS_GC(item) != 0;
}

// A call's key. `single` is the key object when the call has one positional argument of
// exact int or str (no keywords, not typed); otherwise the key is the tuple of `items`
// (arguments, then the marker and the keyword pairs in call order, then the types when
// typed), which is made only when needed (key_object). The arguments are the caller's for
// the span of the call; the types are the key's own, as in functools' tuple, since Python
// code the call runs (a hash, a comparison, the function) may give an argument another
// class and free its old one.
class CallKey {
  public:
    CallKey() = default;
    CallKey(const CallKey &) = delete;
    CallKey &operator=(const CallKey &) = delete;
    ~CallKey() {
        if (single_ == nullptr) {  // a single key holds nothing of its own
            Py_XDECREF(tuple_);
            if (types_ != size_) [[unlikely]] {
                release_types();
            }
            if (items_ != inline_) {
                PyMem_Free(items_);
            }
        }
    }

    // Fills the key for a call: true, or false with the error set (an unhashable argument,
    // or no memory for a long key).
    [[nodiscard]] bool make(bool typed, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
        const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nkw == 0 && !typed && nargs == 1 &&
            (PyLong_CheckExact(args[0]) || PyUnicode_CheckExact(args[0]))) {
            single_ = args[0];
            hash_ = key_hash(single_);
            return hash_ != -1 || !PyErr_Occurred();
        }
        const Py_ssize_t size =
            nargs + (nkw > 0 ? 2 * nkw + 1 : 0) + (typed ? nargs + nkw : 0);
        if (size > kInlineItems) {
            items_ = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(size) * sizeof(PyObject *)));
            if (items_ == nullptr) {
                PyErr_NoMemory();
                return false;
            }
        }
        Py_ssize_t n = 0;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            items_[n++] = args[i];
        }
        if (nkw > 0) {
            items_[n++] = kwd_mark;
            for (Py_ssize_t i = 0; i < nkw; ++i) {
                items_[n++] = PyTuple_GET_ITEM(kwnames, i);
                items_[n++] = args[nargs + i];
            }
        }
        types_ = n;
        if (typed) {
            for (Py_ssize_t i = 0; i < nargs + nkw; ++i) {
                items_[n++] = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(args[i])));
            }
        }
        size_ = n;
        hash_ = key_items_hash({items_, size_});
        return hash_ != -1 || !PyErr_Occurred();
    }

    // The key of a call made earlier: `object` (borrowed, alive while the key is used), as
    // key_object gave it, and its hash.
    void adopt(PyObject *object, Py_hash_t hash) {
        single_ = object;
        hash_ = hash;
    }

    [[nodiscard]] Py_hash_t hash() const { return hash_; }

    // Looks the key up in `cache`, as lru_lookup does.
    [[nodiscard]] int lookup(PyObject *cache, PyObject **value) const {
        return single_ != nullptr ? lru_lookup(cache, hash_, single_, value)
                                  : lru_lookup(cache, hash_, KeyItems{items_, size_}, value);
    }

    // The key as an object (borrowed), the tuple made on first use; null with the error set.
    // A tuple none of whose items the collector may need is untracked at once, as the
    // collector itself would untrack it on its next pass; until then each stored key is work
    // for every pass (an unbounded cache filling with tuple keys spent a twelfth of its time
    // in the collector).
    [[nodiscard]] PyObject *key_object() {
        if (single_ != nullptr || tuple_ != nullptr) {
            return single_ != nullptr ? single_ : tuple_;
        }
        tuple_ = PyTuple_New(size_);
        if (tuple_ != nullptr) {
            bool tracked = false;
            for (Py_ssize_t i = 0; i < size_; ++i) {
                tracked = tracked || may_be_tracked(items_[i]);
                PyTuple_SET_ITEM(tuple_, i, Py_NewRef(items_[i]));
            }
            if (!tracked) {
                PyObject_GC_UnTrack(tuple_);
            }
        }
        return tuple_;
    }

  private:
    [[gnu::noinline]] void release_types() {
        for (Py_ssize_t i = types_; i < size_; ++i) {
            Py_DECREF(items_[i]);
        }
    }

    PyObject *single_ = nullptr;  // borrowed from the call
    PyObject *tuple_ = nullptr;   // owned, once made
    PyObject *inline_[kInlineItems];
    PyObject **items_ = inline_;  // borrowed from the call (and kwd_mark), but the types
    Py_ssize_t size_ = 0;
    Py_ssize_t types_ = 0;  // items_[types_..size_) are the types, owned
    Py_hash_t hash_ = 0;
};

// Hooks on a synchronous wrapper `memo` for the coroutine memoiser. Each runs Python code
// where the wrapper's own call does (hashing, comparisons, drops, the eviction hook).

// A new _lru_cache_wrapper(func, maxsize, typed, False, ttl), or null with the error set.
[[nodiscard]] PyObject *memo_new(PyObject *func, PyObject *maxsize, bool typed, PyObject *ttl);

// Fills `key` for a call by the memo's rules: true, or false with the error set.
[[nodiscard]] bool memo_key(PyObject *memo, CallKey &key, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames);

// The result stored for `key`, counted as a hit: 0 with `*value` a new reference or null
// (none stored, or maxsize 0), or -1 with the error set.
[[nodiscard]] int memo_lookup(PyObject *memo, CallKey &key, PyObject **value);

// Counts a hit or a miss.
void memo_count(PyObject *memo, bool hit);

// Stores `result` under `key` as a miss of the memo does: 0, or -1 with the error set.
[[nodiscard]] int memo_store(PyObject *memo, CallKey &key, PyObject *result);

// The memo's cache of results (borrowed), or null when maxsize is 0.
[[nodiscard]] PyObject *memo_cache(PyObject *memo);

// Stores `value` under `key` in `cache`, an unbounded LRUCache (doubled when full, never
// evicting): 1, 0 when it cannot grow now (grow_if_full), or -1 with the error set.
[[nodiscard]] int unbounded_store(PyObject *cache, CallKey &key, PyObject *value);

// Adds the coroutine memoiser's types to the module (afunc.cpp): 0, or -1 with the error set.
[[nodiscard]] int afunc_add_types(PyObject *module);

#endif  // AMBER_MOTH_FUNC_H
