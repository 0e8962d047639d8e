// amber_moth.func's memoiser of coroutine functions: the C types behind alru_cache() (func.py),
// built into the lru_cache extension. Its results, statistics and key rules are those of a
// synchronous wrapper (`memo`, func.h); what it adds is the computations under way.
//
// Map
//   AsyncWrapper       the wrapper: its memo, the computations under way (`computations`, an
//                      LRUCache from a call's key to a dict from event loop to Computation),
//                      closed once cache_close ran; called through vectorcall (async_call),
//                      bound as a method.
//   Awaiting           what a call returns, a coroutine-like awaitable in one of three states:
//                      a stored result, given at once (a hit: no task, no future); a future
//                      of a computation's result, awaited through (a join or a miss); a call
//                      made outside a running loop, made at its first step with the key
//                      made at the call (start_call, keyed_call).
//   Computation        one computation under way on one loop: its task, the futures of its
//                      awaiters (join), its end, which stores and hands out the result
//                      (computation_done), and its cancellation once every awaiter has been
//                      cancelled (awaiter_done -> cancel_computation).
//
// Where Python code runs: hashing and comparing keys, the user's function (which only makes
// the coroutine), the loop's methods (create_task, create_future, a task factory), storing
// (eviction, drops, the eviction hook) and the futures' methods. Each may call the wrapper
// again, clear it or close it: no pointer into a container is kept across them, a
// computation is marked closed (`open`) before anything of its end runs, and each object
// used after such a call is held.
#include "lru_cache.h"
#include "func.h"

#include <Python.h>

#include <cstddef>

namespace {

struct AsyncWrapper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;          // the user's coroutine function; null once cleared
    PyObject *memo;          // the _lru_cache_wrapper keeping the results; null once cleared
    PyObject *computations;  // LRUCache: a call's key -> {loop: Computation}; null once cleared
    bool closed;             // cache_close ran: calls raise
};

inline AsyncWrapper *as_async(PyObject *op) {
    return reinterpret_cast<AsyncWrapper *>(op);
}

struct Awaiting {
    PyObject_HEAD
    PyObject *result;  // the result to give at once
    PyObject *waiter;  // else the future whose result it gives
    PyObject *iter;    // the waiter's iterator, once stepped
    PyObject *call;    // else (wrapper, arguments, keyword names, key object, hash): the call
                       // to make first
};

struct Computation {
    PyObject_HEAD
    PyObject *wrapper;    // the AsyncWrapper
    PyObject *loop;
    PyObject *task;       // null until made, and once ended
    PyObject *key;        // the call's key as key_object gave it
    Py_hash_t hash;
    PyObject *awaiters;   // the awaiters' futures (a list); null once ended
    PyObject *on_awaiter_done;  // awaiter_done bound to this computation
    Py_ssize_t waiting;   // awaiters not cancelled
    bool open;            // calls may join it: until it ends or is cancelled
    bool listed;          // in the wrapper's `computations`
    bool store;           // its result is stored: not once invalidated, cleared or cancelled
};

PyTypeObject *awaiting_type;
PyTypeObject *computation_type;

// The attribute `name` of `object`, or null with the error set. Names are interned: asked
// for by a C string, a name would be made anew at each call.
PyObject *attribute(PyObject *object, const char *name) {
    PyObject *interned = PyUnicode_InternFromString(name);
    PyObject *value = interned != nullptr ? PyObject_GetAttr(object, interned) : nullptr;
    Py_XDECREF(interned);
    return value;
}

// asyncio's _get_running_loop and current_task, imported on first need.
PyObject *get_running_loop;
PyObject *current_task;

[[nodiscard]] bool asyncio_loaded() {
    if (get_running_loop != nullptr) {
        return true;
    }
    PyObject *asyncio = PyImport_ImportModule("asyncio");
    if (asyncio == nullptr) {
        return false;
    }
    current_task = attribute(asyncio, "current_task");
    get_running_loop = current_task != nullptr ? attribute(asyncio, "_get_running_loop") : nullptr;
    Py_DECREF(asyncio);
    if (get_running_loop == nullptr) {
        Py_CLEAR(current_task);
        return false;
    }
    return true;
}

// The running loop (a new reference), None outside one, or null with the error set.
PyObject *running_loop() {
    return asyncio_loaded() ? PyObject_CallNoArgs(get_running_loop) : nullptr;
}

// Calls `name` of `object` with no arguments, or with `arg`: what it returned, or null.
PyObject *call_method(PyObject *object, const char *name, PyObject *arg = nullptr) {
    PyObject *interned = PyUnicode_InternFromString(name);
    if (interned == nullptr) {
        return nullptr;
    }
    PyObject *args[] = {object, arg};
    PyObject *r = PyObject_VectorcallMethod(interned, args, arg != nullptr ? 2 : 1, nullptr);
    Py_DECREF(interned);
    return r;
}

// Like call_method, for a method returning a bool: 1, 0 or -1.
[[nodiscard]] int call_predicate(PyObject *object, const char *name) {
    PyObject *r = call_method(object, name);
    const int truth = r != nullptr ? PyObject_IsTrue(r) : -1;
    Py_XDECREF(r);
    return truth;
}

// Calls `name` of `object` and drops what it returned: 0, or -1 with the error set.
[[nodiscard]] int call_for_effect(PyObject *object, const char *name, PyObject *arg = nullptr) {
    PyObject *r = call_method(object, name, arg);
    Py_XDECREF(r);
    return r != nullptr ? 0 : -1;
}

// Raises the error of a call to a wrapper that the cycle collector has cleared.
PyObject *cleared_error() {
    PyErr_SetString(PyExc_ReferenceError, "this memoised function has been cleared");
    return nullptr;
}

// Whether the wrapper refuses calls, having been closed or cleared: true with the error set.
[[nodiscard]] bool refuses_calls(const AsyncWrapper *w) {
    if (w->closed) {
        PyErr_SetString(PyExc_RuntimeError, "this memoised function is closed");
        return true;
    }
    if (w->memo == nullptr) {
        cleared_error();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Awaiting

// The StopIteration that ends the step of an await, kept for the next while no one else
// holds it (the interpreter takes its value and drops it at once): making one per hit would
// cost more than the rest of the hit. What a step left in it is dropped when the Awaiting is
// (awaiting_dealloc), so that no result outlives its await in it. One that its catcher kept,
// or gave anything stop_iteration does not reset (attributes, notes, arguments), is theirs:
// the module lets it go, and makes another (release_kept_spare_stop).
PyObject *spare_stop;

inline PyStopIterationObject *as_stop(PyObject *op) {
    return reinterpret_cast<PyStopIterationObject *>(op);
}

// Lets the spare StopIteration go unless it is the module's alone, as it made it but for what
// spare_stop_empty drops: one its catcher kept, or gave attributes, notes or arguments to.
void release_kept_spare_stop() {
    const PyStopIterationObject *stop = as_stop(spare_stop);
    if (Py_REFCNT(spare_stop) != 1 || stop->dict != nullptr || stop->notes != nullptr ||
        stop->suppress_context != 0 || stop->args == nullptr || PyTuple_GET_SIZE(stop->args) != 0) {
        Py_CLEAR(spare_stop);
    }
}

// Drops what the last step left in the spare StopIteration. The drops run code (a finaliser)
// that may free an Awaiting or step another await: a value alone, as an await leaves it, is
// taken out before it is dropped; anything more is dropped with the spare held, so that such
// code finds it held and leaves it alone.
inline void spare_stop_empty() {
    PyStopIterationObject *stop = as_stop(spare_stop);
    if (stop->traceback == nullptr && stop->context == nullptr && stop->cause == nullptr) [[likely]] {
        Py_CLEAR(stop->value);
        return;
    }
    PyObject *held = Py_NewRef(spare_stop);
    Py_CLEAR(stop->value);
    Py_CLEAR(stop->traceback);
    Py_CLEAR(stop->context);
    Py_CLEAR(stop->cause);
    Py_DECREF(held);
}

// The memory of the last Awaiting freed, untracked, kept for the next: awaits of stored results
// free one and make one in turn.
Awaiting *spare_awaiting;

// A new Awaiting taking over one of `result`, `waiter` or `call` (new references), or null
// with the error set (the reference dropped).
PyObject *awaiting_new(PyObject *result, PyObject *waiter, PyObject *call) {
    Awaiting *a = spare_awaiting;
    if (a != nullptr) {
        spare_awaiting = nullptr;
        PyObject_Init(reinterpret_cast<PyObject *>(a), awaiting_type);
    } else {
        a = PyObject_GC_New(Awaiting, awaiting_type);
    }
    if (a == nullptr) {
        Py_XDECREF(result);
        Py_XDECREF(waiter);
        Py_XDECREF(call);
        return nullptr;
    }
    a->result = result;
    a->waiter = waiter;
    a->iter = nullptr;
    a->call = call;
    // Tracked: what it holds (arguments, a result, a future) may hold it, as `x.pending = f(x)`.
    PyObject_GC_Track(a);
    return reinterpret_cast<PyObject *>(a);
}

int awaiting_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *a = reinterpret_cast<Awaiting *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(a->result);
    Py_VISIT(a->waiter);
    Py_VISIT(a->iter);
    Py_VISIT(a->call);
    return 0;
}

int awaiting_clear(PyObject *op) {
    auto *a = reinterpret_cast<Awaiting *>(op);
    Py_CLEAR(a->result);
    Py_CLEAR(a->waiter);
    Py_CLEAR(a->iter);
    Py_CLEAR(a->call);
    return 0;
}

// A chain of Awaitings, each the result of the next, is freed without a C frame per link: the
// trashcan defers what is nested too deep (on 3.14 and later the interpreter does so itself).
void awaiting_dealloc(PyObject *op) {
    auto *a = reinterpret_cast<Awaiting *>(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_TRASHCAN_BEGIN(op, awaiting_dealloc)
    awaiting_clear(op);
    if (spare_awaiting == nullptr && type == awaiting_type) {
        spare_awaiting = a;
    } else {
        PyObject_GC_Del(op);
    }
    Py_DECREF(type);
    if (spare_stop != nullptr) {
        if (Py_REFCNT(spare_stop) != 1) {
            Py_CLEAR(spare_stop);  // a step's, still raised or caught: its catcher's now
        } else {
            spare_stop_empty();
        }
    }
    Py_TRASHCAN_END
}

inline PyObject *keyed_call(AsyncWrapper *w, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                            CallKey &key);

// Makes the call a call outside a running loop left for its first step, now that a loop
// runs it, with the key made then, and takes over the state of what it returned: 0, or -1
// with the error set.
[[nodiscard]] int start_call(Awaiting *a) {
    PyObject *call = a->call;
    a->call = nullptr;
    PyObject *arguments = PyTuple_GET_ITEM(call, 1);
    PyObject *kwnames = PyTuple_GET_ITEM(call, 2);
    const Py_ssize_t nkw = kwnames != Py_None ? PyTuple_GET_SIZE(kwnames) : 0;
    CallKey key;
    key.adopt(PyTuple_GET_ITEM(call, 3), PyLong_AsSsize_t(PyTuple_GET_ITEM(call, 4)));
    PyObject *made = keyed_call(as_async(PyTuple_GET_ITEM(call, 0)), &PyTuple_GET_ITEM(arguments, 0),
                                static_cast<size_t>(PyTuple_GET_SIZE(arguments) - nkw),
                                kwnames != Py_None ? kwnames : nullptr, key);
    Py_DECREF(call);
    if (made == nullptr) {
        return -1;
    }
    auto *other = reinterpret_cast<Awaiting *>(made);
    if (other->call != nullptr) {  // stepped by hand outside a loop
        Py_DECREF(made);
        PyErr_SetString(PyExc_RuntimeError, "no running event loop");
        return -1;
    }
    Py_XSETREF(a->result, other->result);
    Py_XSETREF(a->waiter, other->waiter);
    other->result = nullptr;
    other->waiter = nullptr;
    Py_DECREF(made);
    return 0;
}

// The awaiter leaves: a future it waited for, not done, is cancelled (a computation counts
// the awaiter as cancelled), and the awaitable is finished. 0, or -1 with the error set.
[[nodiscard]] int awaiting_leave(Awaiting *a) {
    PyObject *waiter = a->waiter;
    a->waiter = nullptr;
    Py_CLEAR(a->result);
    Py_CLEAR(a->iter);
    Py_CLEAR(a->call);
    const int r = waiter != nullptr ? call_for_effect(waiter, "cancel") : 0;
    Py_XDECREF(waiter);
    return r;
}

// Makes the iterator of the waiter the Awaiting waits for, at its first step: 0, or -1 with
// the error set. Out of line: a hit never waits.
[[gnu::noinline]] int awaiting_start_waiting(Awaiting *a) {
    PyObject *waiter = Py_NewRef(a->waiter);
    PyAsyncMethods *methods = Py_TYPE(waiter)->tp_as_async;
    PyObject *iter = methods != nullptr && methods->am_await != nullptr ? methods->am_await(waiter)
                                                                        : call_method(waiter, "__await__");
    Py_DECREF(waiter);
    if (iter == nullptr) {
        return -1;
    }
    Py_XSETREF(a->iter, iter);  // a step made from __await__ may have set one
    return 0;
}

// One step, as PyIter_Send: the result at once, or the waiter's step. Inlined into
// awaiting_iternext, the step of every await.
[[gnu::always_inline]] inline PySendResult awaiting_send(PyObject *op, PyObject *arg,
                                                         PyObject **presult) {
    auto *a = reinterpret_cast<Awaiting *>(op);
    if (a->call != nullptr && start_call(a) < 0) {
        *presult = nullptr;
        return PYGEN_ERROR;
    }
    if (a->result != nullptr) {
        *presult = a->result;
        a->result = nullptr;
        return PYGEN_RETURN;
    }
    if (a->waiter == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        *presult = nullptr;
        return PYGEN_ERROR;
    }
    if (a->iter == nullptr && awaiting_start_waiting(a) < 0) {
        *presult = nullptr;
        return PYGEN_ERROR;
    }
    PyObject *iter = Py_NewRef(a->iter);
    const PySendResult r = PyIter_Send(iter, arg, presult);
    Py_DECREF(iter);
    if (r != PYGEN_NEXT) {
        Py_CLEAR(a->waiter);
        Py_CLEAR(a->iter);
    }
    return r;
}

// Raises StopIteration(value) (consuming the reference); nothing for None, as a generator's
// return does.
PyObject *stop_iteration(PyObject *value) {
    if (value == Py_None) {
        Py_DECREF(value);
        return nullptr;
    }
    if (spare_stop != nullptr) {
        release_kept_spare_stop();
    }
    if (spare_stop == nullptr) {
        spare_stop = PyObject_CallNoArgs(PyExc_StopIteration);
        PyErr_Clear();  // without a spare, one is made below
    }
    if (spare_stop != nullptr) {
        PyObject *held = Py_NewRef(spare_stop);
        spare_stop_empty();  // the module may let it go meanwhile: this step's is `held`
        as_stop(held)->value = value;
        PyErr_SetRaisedException(held);
        return nullptr;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop != nullptr) {
        PyErr_SetRaisedException(stop);
    }
    Py_DECREF(value);
    return nullptr;
}

PyObject *awaiting_iternext(PyObject *op) {
    PyObject *value;
    switch (awaiting_send(op, Py_None, &value)) {
        case PYGEN_NEXT:
            return value;
        case PYGEN_RETURN:
            return stop_iteration(value);
        case PYGEN_ERROR:
            break;
    }
    return nullptr;
}

PyObject *awaiting_await(PyObject *op) {
    return Py_NewRef(op);
}

PyObject *awaiting_send_method(PyObject *op, PyObject *arg) {
    PyObject *value;
    switch (awaiting_send(op, arg, &value)) {
        case PYGEN_NEXT:
            return value;
        case PYGEN_RETURN:
            if (value == Py_None) {
                PyErr_SetNone(PyExc_StopIteration);
            }
            return stop_iteration(value);
        case PYGEN_ERROR:
            break;
    }
    return nullptr;
}

// throw(exception): into the future awaited, once stepped; else the awaiter leaves and the
// exception is raised here.
PyObject *awaiting_throw(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    auto *a = reinterpret_cast<Awaiting *>(op);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (a->iter != nullptr) {
        PyObject *iter = Py_NewRef(a->iter);
        PyObject *method = attribute(iter, "throw");
        PyObject *r = method != nullptr ? PyObject_Vectorcall(method, args, static_cast<size_t>(nargs), nullptr)
                                        : nullptr;
        Py_XDECREF(method);
        Py_DECREF(iter);
        if (r == nullptr) {
            PyObject *raised = PyErr_GetRaisedException();
            if (awaiting_leave(a) < 0) {
                PyErr_WriteUnraisable(op);
            }
            PyErr_SetRaisedException(raised);
        }
        return r;
    }
    if (awaiting_leave(a) < 0) {
        return nullptr;
    }
    PyObject *exc = args[0];
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    } else if (PyExceptionClass_Check(exc)) {
        PyErr_SetObject(exc, nargs > 1 ? args[1] : nullptr);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    }
    return nullptr;
}

PyObject *awaiting_close(PyObject *op, PyObject *) {
    if (awaiting_leave(reinterpret_cast<Awaiting *>(op)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef awaiting_methods[] = {
    {"send", awaiting_send_method, METH_O,
     "send($self, value, /)\n--\n\nSend a value into the awaitable; StopIteration carries its result."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaiting_throw)), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nRaise an exception in the awaitable."},
    {"close", awaiting_close, METH_NOARGS,
     "close($self, /)\n--\n\nFinish the awaitable; the computation it waited for no longer counts it."},
    {nullptr, nullptr, 0, nullptr},
};

const char awaiting_doc[] =
    "What a call of a function memoised by alru_cache returns: awaited, it gives the call's result.";

PyType_Slot awaiting_slots[] = {
    {Py_tp_doc, const_cast<char *>(awaiting_doc)},
    {Py_tp_dealloc, reinterpret_cast<void *>(awaiting_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(awaiting_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(awaiting_clear)},
    {Py_tp_iternext, reinterpret_cast<void *>(awaiting_iternext)},
    {Py_am_await, reinterpret_cast<void *>(awaiting_await)},
    {Py_am_send, reinterpret_cast<void *>(awaiting_send)},
    {Py_tp_methods, awaiting_methods},
    {0, nullptr},
};

PyType_Spec awaiting_spec = {
    "amber_moth.func._Awaiting",
    sizeof(Awaiting),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    awaiting_slots,
};

// ---------------------------------------------------------------------------------------
// Computations

inline Computation *as_computation(PyObject *op) {
    return reinterpret_cast<Computation *>(op);
}

// The dict of computations under way for `key` (a new reference), null when none; -1 with
// the error set.
[[nodiscard]] int computations_of(AsyncWrapper *w, CallKey &key, PyObject **loops) {
    *loops = nullptr;
    return w->computations != nullptr ? key.lookup(w->computations, loops) : 0;
}

// Takes `c` out of its wrapper's computations, so that later calls start another. An error
// (a key's comparison raised) is reported as unraisable: `c`, closed, stays behind in the
// dict of its key until a computation on its loop replaces it.
void unlist(Computation *c) {
    if (!c->listed || c->wrapper == nullptr) {
        return;
    }
    c->listed = false;
    AsyncWrapper *w = as_async(c->wrapper);
    PyObject *computations = Py_XNewRef(w->computations);
    if (computations == nullptr) {
        return;
    }
    CallKey key;
    key.adopt(c->key, c->hash);
    PyObject *loops = nullptr;
    int r = key.lookup(computations, &loops);
    if (loops != nullptr) {
        PyObject *found;
        r = PyDict_GetItemRef(loops, c->loop, &found);
        if (found == reinterpret_cast<PyObject *>(c)) {
            r = PyDict_DelItem(loops, c->loop);
        }
        Py_XDECREF(found);
        if (r >= 0 && PyDict_GET_SIZE(loops) == 0) {
            r = lru_remove(computations, c->hash, c->key);
        }
        Py_DECREF(loops);
    }
    if (r < 0) {
        PyErr_WriteUnraisable(c->wrapper);
    }
    Py_DECREF(computations);
}

// Adds `c` to its wrapper's computations under `key`, where there is room now: 0, or -1 with
// the error set.
[[nodiscard]] int list(Computation *c, CallKey &key) {
    AsyncWrapper *w = as_async(c->wrapper);
    PyObject *loops;
    if (computations_of(w, key, &loops) < 0) {
        return -1;
    }
    if (loops == nullptr && w->computations != nullptr) {
        loops = PyDict_New();
        PyObject *computations = Py_NewRef(w->computations);
        const int stored = loops != nullptr ? unbounded_store(computations, key, loops) : -1;
        Py_DECREF(computations);
        if (stored <= 0) {
            Py_XDECREF(loops);
            return stored;
        }
    }
    if (loops == nullptr) {
        return 0;  // cleared meanwhile
    }
    const int r = PyDict_SetItem(loops, c->loop, reinterpret_cast<PyObject *>(c));
    Py_DECREF(loops);
    c->listed = r == 0;
    return r;
}

// Cancels `c` for good: no call joins it, its result is not stored, its task is cancelled
// (through its loop when another thread runs it). 0, or -1 with the error set.
[[nodiscard]] int cancel_computation(Computation *c, PyObject *running) {
    c->open = false;
    c->store = false;
    unlist(c);
    int r = 0;
    PyObject *task = Py_XNewRef(c->task);
    if (task != nullptr) {
        if (c->loop == running) {
            r = call_for_effect(task, "cancel");
        } else {
            PyObject *cancel = attribute(task, "cancel");
            r = cancel != nullptr ? call_for_effect(c->loop, "call_soon_threadsafe", cancel) : -1;
            Py_XDECREF(cancel);
            if (r < 0 && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
                PyErr_Clear();  // its loop is closed: the task will never run again
                r = 0;
            }
        }
    }
    Py_XDECREF(task);
    return r;
}

// An awaiter's future is done (given the result, or cancelled with its awaiter): when it was
// cancelled and was the last awaiter left, the computation is cancelled.
PyObject *awaiter_done(PyObject *op, PyObject *future) {
    Computation *c = as_computation(op);
    if (!c->open) {
        Py_RETURN_NONE;
    }
    const int cancelled = call_predicate(future, "cancelled");
    if (cancelled < 0) {
        return nullptr;
    }
    if (cancelled && --c->waiting == 0 && cancel_computation(c, c->loop) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Settles every awaiter's future that is not done yet with `method`(`arg`) (set_result,
// set_exception, or cancel without an argument). A future that fails is reported as
// unraisable, and the others are settled still.
void settle(PyObject *awaiters, const char *method, PyObject *arg) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(awaiters); ++i) {
        PyObject *future = PyList_GET_ITEM(awaiters, i);
        const int done = call_predicate(future, "done");
        if (done < 0 || (!done && call_for_effect(future, method, arg) < 0)) {
            PyErr_WriteUnraisable(future);
        }
    }
}

// The task ended: the computation is closed and taken out of the computations, its result
// stored (unless invalidated, cleared or cancelled since it began) and handed to every
// awaiter left; an exception, or the error that reading or storing the result raised, is
// raised to each; a cancelled task cancels them.
PyObject *computation_done(PyObject *op, PyObject *task) {
    Computation *c = as_computation(op);
    c->open = false;
    PyObject *awaiters = c->awaiters;
    c->awaiters = nullptr;
    Py_CLEAR(c->task);
    if (awaiters == nullptr) {
        Py_RETURN_NONE;
    }
    unlist(c);
    const int cancelled = call_predicate(task, "cancelled");
    PyObject *exc = cancelled == 0 ? call_method(task, "exception") : nullptr;
    PyObject *result = nullptr;
    if (exc == Py_None) {
        Py_CLEAR(exc);
        result = call_method(task, "result");
        CallKey key;
        key.adopt(c->key, c->hash);
        PyObject *memo = c->wrapper != nullptr ? Py_XNewRef(as_async(c->wrapper)->memo) : nullptr;
        if (result != nullptr && c->store && memo != nullptr && memo_store(memo, key, result) < 0) {
            Py_CLEAR(result);
        }
        Py_XDECREF(memo);
    }
    if (cancelled > 0) {
        settle(awaiters, "cancel", nullptr);
    } else if (result != nullptr) {
        settle(awaiters, "set_result", result);
    } else {
        if (exc == nullptr) {
            exc = PyErr_GetRaisedException();
        }
        settle(awaiters, "set_exception", exc);
    }
    Py_XDECREF(result);
    Py_XDECREF(exc);
    Py_DECREF(awaiters);
    Py_RETURN_NONE;
}

PyMethodDef computation_done_def = {"computation_done", computation_done, METH_O, nullptr};
PyMethodDef awaiter_done_def = {"awaiter_done", awaiter_done, METH_O, nullptr};

// A call joins computation `c` on the running loop: a new Awaiting of a future that `c`'s
// end settles, or null with the error set. A call from inside the computation's own task,
// or from its start, would wait for itself: it raises RuntimeError.
PyObject *join(Computation *c) {
    if (c->task == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "a memoised coroutine function awaited its own computation of an equal call");
        return nullptr;
    }
    PyObject *task = Py_NewRef(c->task);
    PyObject *current = PyObject_CallOneArg(current_task, c->loop);
    Py_XDECREF(current);
    const bool itself = current == task;
    Py_DECREF(task);
    if (current == nullptr || itself) {
        if (itself) {
            PyErr_SetString(PyExc_RuntimeError,
                            "a memoised coroutine function awaited its own computation of an equal call");
        }
        return nullptr;
    }
    PyObject *future = call_method(c->loop, "create_future");
    if (future == nullptr) {
        return nullptr;
    }
    if (call_for_effect(future, "add_done_callback", c->on_awaiter_done) < 0 ||
        c->awaiters == nullptr || PyList_Append(c->awaiters, future) < 0) {
        if (c->awaiters == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "the computation ended while joined");
        }
        Py_DECREF(future);
        return nullptr;
    }
    ++c->waiting;
    return awaiting_new(nullptr, future, nullptr);
}

// A new computation of the wrapper's function for a call on `loop`, listed under `key`, or
// null with the error set.
Computation *computation_new(PyObject *wrapper, PyObject *loop, CallKey &key) {
    PyObject *object = key.key_object();
    if (object == nullptr) {
        return nullptr;
    }
    Computation *c = PyObject_GC_New(Computation, computation_type);
    if (c == nullptr) {
        return nullptr;
    }
    c->wrapper = Py_NewRef(wrapper);
    c->loop = Py_NewRef(loop);
    c->task = nullptr;
    c->key = Py_NewRef(object);
    c->hash = key.hash();
    c->awaiters = PyList_New(0);
    c->waiting = 0;
    c->open = true;
    c->listed = false;
    c->store = true;
    auto *op = reinterpret_cast<PyObject *>(c);
    c->on_awaiter_done = PyCFunction_New(&awaiter_done_def, op);
    PyObject_GC_Track(op);
    if (c->awaiters == nullptr || c->on_awaiter_done == nullptr) {
        Py_DECREF(op);
        return nullptr;
    }
    return c;
}

// A miss: starts the computation as a task on `loop` and joins it. It is listed before the
// task is made, so that a call made while the task starts (an eager task) finds it.
PyObject *start(AsyncWrapper *w, PyObject *loop, PyObject *const *args, size_t nargsf,
                PyObject *kwnames, CallKey &key) {
    auto *op = reinterpret_cast<PyObject *>(w);
    Computation *c = computation_new(op, loop, key);
    if (c == nullptr || list(c, key) < 0) {
        Py_XDECREF(c);
        return nullptr;
    }
    PyObject *coroutine = nullptr;
    // The comparisons since the call's own check (keyed_call), listing's among them, may have
    // closed the wrapper; once listed, the computation is one that closing cancels.
    if (!refuses_calls(w)) {
        memo_count(w->memo, false);
        PyObject *func = Py_NewRef(w->func);
        coroutine = PyObject_Vectorcall(func, args, nargsf, kwnames);
        Py_DECREF(func);
    }
    PyObject *task = coroutine != nullptr ? call_method(loop, "create_task", coroutine) : nullptr;
    PyObject *on_done = task != nullptr ? PyCFunction_New(&computation_done_def, reinterpret_cast<PyObject *>(c)) : nullptr;
    PyObject *joined = nullptr;
    if (on_done != nullptr && call_for_effect(task, "add_done_callback", on_done) == 0) {
        c->task = Py_NewRef(task);
        joined = join(c);
    }
    if (joined == nullptr) {
        PyObject *raised = PyErr_GetRaisedException();
        if (task == nullptr && coroutine != nullptr && call_for_effect(coroutine, "close") < 0) {
            PyErr_WriteUnraisable(coroutine);
        }
        if (cancel_computation(c, loop) < 0) {
            PyErr_WriteUnraisable(op);
        }
        PyErr_SetRaisedException(raised);
    }
    Py_XDECREF(on_done);
    Py_XDECREF(task);
    Py_XDECREF(coroutine);
    Py_DECREF(c);
    return joined;
}

int computation_traverse(PyObject *op, visitproc visit, void *arg) {
    Computation *c = as_computation(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(c->wrapper);
    Py_VISIT(c->loop);
    Py_VISIT(c->task);
    Py_VISIT(c->key);
    Py_VISIT(c->awaiters);
    Py_VISIT(c->on_awaiter_done);
    return 0;
}

int computation_clear(PyObject *op) {
    Computation *c = as_computation(op);
    c->open = false;
    c->listed = false;
    Py_CLEAR(c->wrapper);
    Py_CLEAR(c->loop);
    Py_CLEAR(c->task);
    Py_CLEAR(c->key);
    Py_CLEAR(c->awaiters);
    Py_CLEAR(c->on_awaiter_done);
    return 0;
}

void computation_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    computation_clear(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyType_Slot computation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(computation_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(computation_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(computation_clear)},
    {0, nullptr},
};

PyType_Spec computation_spec = {
    "amber_moth.func._Computation",
    sizeof(Computation),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    computation_slots,
};

// ---------------------------------------------------------------------------------------
// The wrapper type

// Not a hit: joins the computation of an equal call under way on the running loop, or
// starts one; outside a running loop, leaves the call, with its key, for the awaitable's
// first step.
PyObject *call_on_loop(AsyncWrapper *w, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                       CallKey &key) {
    auto *op = reinterpret_cast<PyObject *>(w);
    PyObject *loop = running_loop();
    if (loop == nullptr) {
        return nullptr;
    }
    if (loop == Py_None) {
        Py_DECREF(loop);
        PyObject *object = key.key_object();
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf) + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        PyObject *arguments = object != nullptr ? PyTuple_New(n) : nullptr;
        if (arguments == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyTuple_SET_ITEM(arguments, i, Py_NewRef(args[i]));
        }
        PyObject *call = Py_BuildValue("(ONOOn)", op, arguments, kwnames != nullptr ? kwnames : Py_None, object,
                                       key.hash());
        return call != nullptr ? awaiting_new(nullptr, nullptr, call) : nullptr;
    }
    PyObject *loops;
    PyObject *found = nullptr;
    int r = computations_of(w, key, &loops);
    if (loops != nullptr) {
        r = PyDict_GetItemRef(loops, loop, &found);
        Py_DECREF(loops);
    }
    PyObject *result = nullptr;
    if (r >= 0 && !refuses_calls(w)) {  // this lookup's comparisons may have closed it
        if (found != nullptr && as_computation(found)->open) {
            result = join(as_computation(found));
            if (result != nullptr) {
                memo_count(w->memo, true);
            }
        } else {
            result = start(w, loop, args, nargsf, kwnames, key);
        }
    }
    Py_XDECREF(found);
    Py_DECREF(loop);
    return result;
}

// A call whose key is made: its stored result, or call_on_loop. The key's hash may have run
// Python code that closed or cleared the wrapper.
[[gnu::always_inline]] inline PyObject *keyed_call(AsyncWrapper *w, PyObject *const *args, size_t nargsf,
                                                   PyObject *kwnames, CallKey &key) {
    if (refuses_calls(w)) {
        return nullptr;
    }
    PyObject *memo = Py_NewRef(w->memo);
    PyObject *value = nullptr;
    const bool looked = memo_lookup(memo, key, &value) == 0;
    Py_DECREF(memo);
    if (!looked) {
        return nullptr;
    }
    if (value != nullptr) {
        return awaiting_new(value, nullptr, nullptr);
    }
    return call_on_loop(w, args, nargsf, kwnames, key);
}

PyObject *async_call(PyObject *op, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    AsyncWrapper *w = as_async(op);
    CallKey key;
    if (refuses_calls(w) || !memo_key(w->memo, key, args, PyVectorcall_NARGS(nargsf), kwnames)) {
        return nullptr;
    }
    return keyed_call(w, args, nargsf, kwnames, key);
}

// _alru_cache_wrapper(user_function, maxsize, typed, ttl): as _lru_cache_wrapper's; results
// expire ttl seconds after they are stored (None: never).
PyObject *async_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *const kwlist[] = {"user_function", "maxsize", "typed", "ttl", nullptr};
    PyObject *func;
    PyObject *maxsize;
    int typed;
    PyObject *ttl = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOp|O:_alru_cache_wrapper", const_cast<char **>(kwlist),
                                     &func, &maxsize, &typed, &ttl)) {
        return nullptr;
    }
    PyObject *memo = memo_new(func, maxsize, typed != 0, ttl);
    if (memo == nullptr) {
        return nullptr;
    }
    auto *w = reinterpret_cast<AsyncWrapper *>(type->tp_alloc(type, 0));
    if (w == nullptr) {
        Py_DECREF(memo);
        return nullptr;
    }
    w->vectorcall = async_call;
    w->func = Py_NewRef(func);
    w->memo = memo;
    w->computations = lru_new(16);
    w->closed = false;
    auto *op = reinterpret_cast<PyObject *>(w);
    if (w->computations == nullptr) {
        Py_DECREF(op);
        return nullptr;
    }
    return op;
}

int async_traverse(PyObject *op, visitproc visit, void *arg) {
    AsyncWrapper *w = as_async(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(w->func);
    Py_VISIT(w->memo);
    Py_VISIT(w->computations);
    if (w->computations != nullptr && Py_REFCNT(w->computations) == 1) {
        if (const int r = lru_visit_entries(w->computations, visit, arg); r != 0) {
            return r;
        }
    }
    return PyObject_VisitManagedDict(op, visit, arg);
}

int async_clear(PyObject *op) {
    AsyncWrapper *w = as_async(op);
    // The memo first: a wrapper without one refuses calls (refuses_calls), so a call made by
    // code these drops run never finds the function gone and the memo still there.
    Py_CLEAR(w->memo);
    Py_CLEAR(w->func);
    Py_CLEAR(w->computations);
    PyObject_ClearManagedDict(op);
    return 0;
}

void async_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    PyObject_ClearWeakRefs(op);
    async_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

// Bound as a method, as a function is.
PyObject *async_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// Calls the memo's method `name` (cache_info, cache_parameters, cache_clear).
PyObject *memo_method(PyObject *op, const char *name) {
    AsyncWrapper *w = as_async(op);
    if (w->memo == nullptr) {
        return cleared_error();
    }
    PyObject *memo = Py_NewRef(w->memo);
    PyObject *r = call_method(memo, name);
    Py_DECREF(memo);
    return r;
}

PyObject *async_cache_info(PyObject *op, PyObject *) {
    return memo_method(op, "cache_info");
}

// The memo's parameters, with 'ttl' None when none was given.
PyObject *async_cache_parameters(PyObject *op, PyObject *) {
    PyObject *parameters = memo_method(op, "cache_parameters");
    PyObject *name = parameters != nullptr ? PyUnicode_InternFromString("ttl") : nullptr;
    const int r = name != nullptr ? PyDict_SetDefaultRef(parameters, name, Py_None, nullptr) : -1;
    Py_XDECREF(name);
    if (r < 0) {
        Py_CLEAR(parameters);
    }
    return parameters;
}

// Every computation under way (a new list), each taken out of the computations when `take`
// (then none of them stores its result); null with the error set.
PyObject *computations_under_way(AsyncWrapper *w, bool take) {
    PyObject *all = PyList_New(0);
    PyObject *computations = Py_XNewRef(w->computations);
    if (all == nullptr || computations == nullptr) {
        Py_XDECREF(computations);
        return all;
    }
    PyObject *dicts = call_method(computations, "values");
    int r = dicts != nullptr ? 0 : -1;
    for (Py_ssize_t i = 0; r == 0 && i < PyList_GET_SIZE(dicts); ++i) {
        PyObject *values = PyDict_Values(PyList_GET_ITEM(dicts, i));
        r = values != nullptr ? 0 : -1;
        for (Py_ssize_t j = 0; r == 0 && j < PyList_GET_SIZE(values); ++j) {
            Computation *c = as_computation(PyList_GET_ITEM(values, j));
            if (take) {
                c->listed = false;
                c->store = false;
            }
            r = PyList_Append(all, reinterpret_cast<PyObject *>(c));
        }
        Py_XDECREF(values);
    }
    Py_XDECREF(dicts);
    if (r == 0 && take) {
        r = lru_clear(computations);
    }
    Py_DECREF(computations);
    if (r < 0) {
        Py_CLEAR(all);
    }
    return all;
}

// Empties the results and zeroes the statistics; computations under way go on, but no
// longer store their results, and later calls start others.
PyObject *async_cache_clear(PyObject *op, PyObject *) {
    PyObject *taken = computations_under_way(as_async(op), true);
    if (taken == nullptr) {
        return nullptr;
    }
    Py_DECREF(taken);
    return memo_method(op, "cache_clear");
}

// The key of a call given to cache_invalidate or cache_contains, through the memo.
[[nodiscard]] bool key_of(AsyncWrapper *w, CallKey &key, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    if (w->memo == nullptr) {
        cleared_error();
        return false;
    }
    PyObject *memo = Py_NewRef(w->memo);
    const bool made = memo_key(memo, key, args, nargs, kwnames);
    Py_DECREF(memo);
    return made;
}

// Forgets the result of a call (the memo's cache_invalidate) and the computations of it
// under way (which go on, but do not store): True when either was there.
PyObject *async_cache_invalidate(PyObject *op, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    AsyncWrapper *w = as_async(op);
    CallKey key;
    if (!key_of(w, key, args, PyVectorcall_NARGS(nargsf), kwnames)) {
        return nullptr;
    }
    PyObject *invalidate = attribute(w->memo, "cache_invalidate");
    PyObject *removed = invalidate != nullptr ? PyObject_Vectorcall(invalidate, args, nargsf, kwnames) : nullptr;
    Py_XDECREF(invalidate);
    PyObject *loops;
    if (removed == nullptr || computations_of(w, key, &loops) < 0) {
        Py_XDECREF(removed);
        return nullptr;
    }
    if (loops != nullptr) {
        PyObject *values = PyDict_Values(loops);
        Py_DECREF(loops);
        if (values == nullptr) {
            Py_DECREF(removed);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
            Computation *c = as_computation(PyList_GET_ITEM(values, i));
            c->store = false;
            unlist(c);
        }
        Py_DECREF(values);
        Py_SETREF(removed, Py_NewRef(Py_True));
    }
    return removed;
}

// Whether a result of the call is stored; no effect on the statistics or the recency.
PyObject *async_cache_contains(PyObject *op, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    AsyncWrapper *w = as_async(op);
    CallKey key;
    if (!key_of(w, key, args, PyVectorcall_NARGS(nargsf), kwnames)) {
        return nullptr;
    }
    PyObject *object = key.key_object();
    PyObject *cache = object != nullptr ? Py_XNewRef(memo_cache(w->memo)) : nullptr;
    if (cache == nullptr) {
        return object == nullptr ? nullptr : Py_NewRef(Py_False);
    }
    const int r = PySequence_Contains(cache, object);
    Py_DECREF(cache);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// cache_close(wait=False): refuses later calls; cancels the computations under way (unless
// wait), and returns an awaitable of those of the running loop but the calling task's own
// (a computation that closes its function would otherwise wait for itself).
PyObject *async_cache_close(PyObject *op, PyObject *args, PyObject *kwargs) {
    static const char *const kwlist[] = {"wait", nullptr};
    int wait = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:cache_close", const_cast<char **>(kwlist), &wait)) {
        return nullptr;
    }
    AsyncWrapper *w = as_async(op);
    w->closed = true;
    PyObject *running = running_loop();
    PyObject *current = running == nullptr   ? nullptr
                        : running == Py_None ? Py_NewRef(Py_None)  // no loop, so no task
                                             : PyObject_CallOneArg(current_task, running);
    PyObject *under_way = current != nullptr ? computations_under_way(w, !wait) : nullptr;
    PyObject *tasks = under_way != nullptr ? PyList_New(0) : nullptr;
    int r = tasks != nullptr ? 0 : -1;
    for (Py_ssize_t i = 0; r == 0 && i < PyList_GET_SIZE(under_way); ++i) {
        Computation *c = as_computation(PyList_GET_ITEM(under_way, i));
        PyObject *task = Py_XNewRef(c->task);
        if (task != nullptr && c->loop == running && task != current) {
            r = PyList_Append(tasks, task);
        }
        if (r == 0 && !wait) {
            r = cancel_computation(c, running);
        }
        Py_XDECREF(task);
    }
    PyObject *awaited = nullptr;
    if (r == 0 && PyList_GET_SIZE(tasks) > 0) {
        PyObject *asyncio = PyImport_ImportModule("asyncio");
        PyObject *gather = asyncio != nullptr ? attribute(asyncio, "gather") : nullptr;
        PyObject *positional = gather != nullptr ? PyList_AsTuple(tasks) : nullptr;
        PyObject *options = positional != nullptr ? Py_BuildValue("{sO}", "return_exceptions", Py_True) : nullptr;
        PyObject *gathered = options != nullptr ? PyObject_Call(gather, positional, options) : nullptr;
        awaited = gathered != nullptr ? awaiting_new(nullptr, gathered, nullptr) : nullptr;
        Py_XDECREF(options);
        Py_XDECREF(positional);
        Py_XDECREF(gather);
        Py_XDECREF(asyncio);
    } else if (r == 0) {
        awaited = awaiting_new(Py_NewRef(Py_None), nullptr, nullptr);
    }
    Py_XDECREF(tasks);
    Py_XDECREF(under_way);
    Py_XDECREF(current);
    Py_XDECREF(running);
    return awaited;
}

PyObject *async_get_cache(PyObject *op, void *) {
    AsyncWrapper *w = as_async(op);
    PyObject *cache = w->memo != nullptr ? memo_cache(w->memo) : nullptr;
    return Py_NewRef(cache != nullptr ? cache : Py_None);
}

// Pickled by qualified name, as a function is.
PyObject *async_reduce(PyObject *op, PyObject *) {
    return attribute(op, "__qualname__");
}

PyObject *async_copy(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

PyObject *async_deepcopy(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

PyMethodDef async_methods[] = {
    {"cache_info", async_cache_info, METH_NOARGS,
     "cache_info($self, /)\n--\n\nReport cache statistics: hits, misses, maxsize, currsize."},
    {"cache_clear", async_cache_clear, METH_NOARGS,
     "cache_clear($self, /)\n--\n\nClear the cache and its statistics; computations under way "
     "store nothing."},
    {"cache_parameters", async_cache_parameters, METH_NOARGS,
     "cache_parameters($self, /)\n--\n\nThe arguments given to alru_cache()."},
    {"cache_invalidate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_cache_invalidate)),
     METH_FASTCALL | METH_KEYWORDS,
     "cache_invalidate($self, /, *args, **kwargs)\n--\n\nForget the result of this call, and let a "
     "computation of it under way store nothing: True if either was there."},
    {"cache_contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_cache_contains)),
     METH_FASTCALL | METH_KEYWORDS,
     "cache_contains($self, /, *args, **kwargs)\n--\n\nWhether a result of this call is stored "
     "(statistics and recency unchanged)."},
    {"cache_close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_cache_close)),
     METH_VARARGS | METH_KEYWORDS,
     "cache_close($self, /, wait=False)\n--\n\nRefuse later calls; cancel the computations under "
     "way, or with wait let them end. Awaited, waits for those of the running loop."},
    {"__reduce__", async_reduce, METH_NOARGS, nullptr},
    {"__copy__", async_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", async_deepcopy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef async_getset[] = {
    {"cache", async_get_cache, nullptr, "The LRUCache holding the results, or None when maxsize is 0.",
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef async_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AsyncWrapper, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char async_doc[] =
    "_alru_cache_wrapper(user_function, maxsize, typed, ttl=None)\n--\n\n"
    "A coroutine function memoised in an LRUCache; made by amber_moth.func.alru_cache.";

PyType_Slot async_slots[] = {
    {Py_tp_doc, const_cast<char *>(async_doc)},
    {Py_tp_new, reinterpret_cast<void *>(async_new)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(async_descr_get)},
    {Py_tp_dealloc, reinterpret_cast<void *>(async_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(async_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(async_clear)},
    {Py_tp_methods, async_methods},
    {Py_tp_getset, async_getset},
    {Py_tp_members, async_members},
    {0, nullptr},
};

PyType_Spec async_spec = {
    "amber_moth.func._alru_cache_wrapper",
    sizeof(AsyncWrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
    async_slots,
};

}  // namespace

int afunc_add_types(PyObject *module) {
    Py_XSETREF(awaiting_type, reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&awaiting_spec)));
    Py_XSETREF(computation_type, reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&computation_spec)));
    if (awaiting_type == nullptr || computation_type == nullptr ||
        PyModule_AddObjectRef(module, "_Awaiting", reinterpret_cast<PyObject *>(awaiting_type)) < 0) {
        return -1;
    }
    return PyModule_Add(module, "_alru_cache_wrapper", PyType_FromSpec(&async_spec));
}
