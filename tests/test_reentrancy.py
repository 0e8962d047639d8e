"""Hostile keys and finalisers: Python code that re-enters the cache in the middle of an
operation. Each scenario runs in a fresh interpreter so that a crash fails the test."""
import pytest

from conftest import needs_plain_memory, run_isolated, run_program

# Shared by the child scripts: keys with one hash, one of them hostile, and every operation.
SCAFFOLD = """
import random, sys

class Plain:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return 7
    def __eq__(self, other):
        if not isinstance(other, Plain):
            return NotImplemented
        return self.n == other.n
    def __repr__(self):
        return f"P{self.n}"

class Hostile:
    # Once armed, runs `action(cache, self)` from __eq__ (at most `times` times) and answers
    # `answer`; unarmed (while it is being stored) it is equal to nothing else.
    def __init__(self, n, cache, action, answer=False, times=1):
        self.n, self.cache, self.action, self.answer, self.times = n, cache, action, answer, times
        self.armed = False
    def __hash__(self):
        return 7
    def __eq__(self, other):
        if not self.armed:
            return False
        if self.times > 0:
            self.times -= 1
            self.action(self.cache, self)
        return self.answer
    def __repr__(self):
        return f"H{self.n}"

def operations(probe):
    return {
        "get": lambda c: c.get(probe), "getitem": lambda c: c[probe],
        "set": lambda c: c.set(probe, "new"), "setitem": lambda c: c.__setitem__(probe, "new"),
        "has": lambda c: c.has(probe), "in": lambda c: probe in c,
        "delete": lambda c: c.delete(probe), "del": lambda c: c.__delitem__(probe),
        "pop": lambda c: c.pop(probe), "peek": lambda c: c.peek(probe),
        "update": lambda c: c.update([(probe, "new")], other="kw"),
        # Compares nothing itself; the eviction hook set by scenario() does.
        "resize": lambda c: c.resize(2 if c.capacity > 2 else 16),
    }

def refused_resize(c, me):
    try:
        c.resize(1)
    except RuntimeError as e:
        assert "while one of its operations is running" in str(e)
        return
    raise AssertionError("resized under a running operation")

ACTIONS = {
    "read": lambda c, me: (c.get(Plain(1)), c.peek(Plain(2)), c.head, c.tail, c.keys(),
                           c.items(), len(c), c.cache_info()),
    "clear": lambda c, me: c.clear(),
    "delete_self": lambda c, me: c.delete(me),
    "pop_self": lambda c, me: c.pop(me),
    "delete_other": lambda c, me: c.delete(Plain(0)),
    "insert_many": lambda c, me: [c.__setitem__(Plain(100 + i), i) for i in range(20)],
    "insert_self": lambda c, me: c.__setitem__(me, "from eq"),
    "reinit": lambda c, me: c.__init__(3),
    "raise": lambda c, me: 1 / 0,
    "popitem": lambda c, me: c.popitem(),
    "popitem_all": lambda c, me: [c.popitem() for _ in range(len(c))],
    "update": lambda c, me: c.update([(Plain(100 + i), i) for i in range(10)], kw=me),
    "resize": refused_resize,
}

def arm(c, h, hostile_stored):
    # Stores h (probing with an equal-hash plain key) or a plain key (probing with h);
    # arms h and returns the probe.
    if hostile_stored:
        c[h] = "hostile"
        probe = Plain(h.n)
    else:
        c[Plain(h.n)] = "plain"
        probe = h
    h.armed = True
    return probe

def scenario(action, answer, hostile_stored, thread_safe, op):
    c = LRUCache(6, thread_safe)
    for i in range(3):
        c[Plain(i)] = i
    refused = []
    def on_evict(key, value):
        # Called once the evicting operation has ended: on a thread-safe cache, whose nested
        # operations defer their evictions, no operation is running then. The lookup compares
        # with the hostile key, whose action then runs from the hook.
        try:
            c.resize(c.capacity)
        except RuntimeError:
            refused.append(thread_safe)
        try:
            c.get(Plain(1))
        except (ZeroDivisionError, RuntimeError):
            pass
    c.on_evict = on_evict
    probe = arm(c, Hostile(9, c, ACTIONS[action], answer), hostile_stored)
    try:
        operations(probe)[op](c)
    except (KeyError, ZeroDivisionError, RuntimeError):
        pass
    assert True not in refused, (action, op)
    assert_consistent(c)
"""


@pytest.mark.parametrize(
    "action",
    ["read", "clear", "delete_self", "pop_self", "delete_other", "insert_many", "insert_self",
     "reinit", "raise", "popitem", "popitem_all", "update", "resize"],
)
def test_eq_that_re_enters(action):
    out = run_isolated(
        SCAFFOLD
        + f"""
count = 0
for answer in (False, True):
    for hostile_stored in (False, True):
        for thread_safe in (False, True):
            for op in operations(None):
                scenario({action!r}, answer, hostile_stored, thread_safe, op)
                count += 1
print(count)
"""
    )
    assert out == "96\n"


def test_raising_comparisons_propagate_and_change_nothing():
    run_isolated(
        SCAFFOLD
        + """
class BadBool:
    def __bool__(self):
        raise ZeroDivisionError

for answer_kind in ("raise", "badbool"):
    for op in operations(None):
        if op == "resize":
            continue  # compares no key
        for hostile_stored in (False, True):
            c = LRUCache(3)
            c[Plain(0)] = 0
            action = ACTIONS["raise"] if answer_kind == "raise" else (lambda c, me: None)
            probe = arm(c, Hostile(1, c, action, answer=BadBool(), times=10**9), hostile_stored)
            before = c.items()
            try:
                operations(probe)[op](c)
            except ZeroDivisionError:
                pass
            else:
                raise AssertionError(f"{op} swallowed the comparison error")
            assert c.items() == before, (op, c.items(), before)
            assert sys.exc_info() == (None, None, None)
"""
    )


def test_init_from_eq_is_refused():
    run_isolated(
        SCAFFOLD
        + """
for thread_safe in (False, True):
    c = LRUCache(4, thread_safe)
    c[Plain(1)] = 1
    errors = []
    def reinit(cache, me):
        try:
            cache.__init__(10)
        except RuntimeError as e:
            errors.append(str(e))
    h = Hostile(2, c, reinit)
    c[h] = 2
    h.armed = True
    assert c.get(Plain(2)) is None
    assert errors and "operations is running" in errors[0]
    assert c.capacity == 4 and len(c) == 2
"""
    )


def test_eq_re_enters_thread_safe_cache_on_same_thread():
    run_isolated(
        SCAFFOLD
        + """
c = LRUCache(8, thread_safe=True)
c[Plain(1)] = 1
seen = []
h = Hostile(2, c, lambda cache, me: seen.append((cache.has(Plain(1)), cache[Plain(1)])), True)
c[h] = 2
h.armed = True
assert c[Plain(2)] == 2
assert seen == [(True, 1)]
c[Plain(3)] = 3  # the lock was fully released: this would deadlock otherwise
assert_consistent(c)
"""
    )


def test_changed_hash_misses_but_eviction_still_removes():
    run_isolated(
        """
import weakref
class Mutable:
    def __init__(self, h):
        self.h = h
    def __hash__(self):
        return self.h
class V:
    pass
c = LRUCache(2)
k = Mutable(1)
v = V()
ref = weakref.ref(v)
c[k] = v
del v
k.h = 2
assert k not in c and c.get(k) is None
assert c.keys() == [k]
c["a"] = 1
c["b"] = 2
assert ref() is None and c.keys() == ["a", "b"]
assert_consistent(c)
"""
    )


def test_flipping_eq():
    run_isolated(
        """
class Flip:
    flips = 0
    def __hash__(self):
        return 3
    def __eq__(self, other):
        Flip.flips += 1
        return Flip.flips % 2 == 0
for thread_safe in (False, True):
    c = LRUCache(4, thread_safe)
    keys = [Flip() for _ in range(6)]
    for k in keys * 3:
        c[k] = 1
        c.get(Flip()); Flip() in c; c.pop(Flip()); c.delete(Flip())
        assert_consistent(c)
"""
    )


# Finalisers: values and keys whose __del__ re-enters the cache while they are dropped.
FINALIZERS = """
class Dropper:
    # Runs `action(cache)` when it is freed.
    def __init__(self, cache, action):
        self.cache, self.action = cache, action
    def __del__(self):
        try:
            self.action(self.cache)
        except RuntimeError:
            pass  # a cache being re-initialized or freed has no store meanwhile

DEL_ACTIONS = {
    "insert": lambda c: c.__setitem__("from del", 1),
    "insert_many": lambda c: [c.__setitem__(("del", i), i) for i in range(10)],
    "clear": lambda c: c.clear(),
    "pop": lambda c: c.pop("a"),
    "read": lambda c: (c.head, c.tail, c.items(), c.get("b"), c.peek("a"), c.cache_info()),
    "reinit": lambda c: c.__init__(5),
    "resize": lambda c: c.resize(2),
    "popitem": lambda c: c.popitem() if len(c) else None,
}
TRIGGERS = {
    "overwrite": lambda c: c.__setitem__("victim", "replaced"),
    "evict": lambda c: [c.__setitem__(("new", i), i) for i in range(4)],
    "delete": lambda c: c.delete("victim"),
    "del": lambda c: c.__delitem__("victim"),
    "pop": lambda c: c.pop("victim"),
    "clear": lambda c: c.clear(),
    "reinit": lambda c: c.__init__(4),
    "update": lambda c: c.update([("victim", "replaced")]),
    "popitem": lambda c: (c.get("a"), c.get("b"), c.popitem()),
    "resize": lambda c: (c.get("a"), c.get("b"), c.resize(2)),
}
"""


@pytest.mark.parametrize("where", ["value", "key"])
def test_finalizers_that_re_enter(where):
    out = run_isolated(
        FINALIZERS
        + f"""
class KeyDropper(Dropper):
    def __hash__(self):
        return hash("victim")
    def __eq__(self, other):
        return other == "victim"

count = 0
for name, action in DEL_ACTIONS.items():
    for trigger_name, trigger in TRIGGERS.items():
        for thread_safe in (False, True):
            c = LRUCache(4, thread_safe)
            c["a"], c["b"] = 1, 2
            if {where!r} == "value":
                c["victim"] = Dropper(c, action)
            else:
                c[KeyDropper(c, action)] = "victim value"
            trigger(c)
            assert_consistent(c)
            count += 1
# Deallocation: nothing can reach a cache being freed, but its values' finalisers may use
# other caches, including making and freeing new ones.
other = LRUCache(4)
def use_other(_):
    other["from dealloc"] = LRUCache(2)
    LRUCache(3)["x"] = 1
c = LRUCache(3)
c["x"] = Dropper(None, use_other)
del c
assert other.keys() == ["from dealloc"]
print(count)
"""
    )
    assert out == f"{8 * 10 * 2}\n"


def test_random_mutating_eq_sweep():
    out = run_isolated(
        SCAFFOLD
        + """
rng = random.Random(1234)
MUTATIONS = [ACTIONS[a] for a in ("clear", "delete_self", "pop_self", "delete_other", "insert_many", "read",
                                  "popitem", "update", "resize")]

class Sometimes(Plain):
    cache = None
    armed = True
    mutations = 0
    __hash__ = Plain.__hash__
    def __eq__(self, other):
        if Sometimes.armed and rng.random() < 0.05:
            Sometimes.mutations += 1
            rng.choice(MUTATIONS)(Sometimes.cache, self)
        return super().__eq__(other) if isinstance(other, Plain) else NotImplemented

def check(c):
    Sometimes.armed = False
    assert_consistent(c)
    Sometimes.armed = True

for thread_safe in (False, True):
    c = LRUCache(16, thread_safe)
    Sometimes.cache = c
    for step in range(20000):
        k = Sometimes(rng.randrange(40))
        try:
            rng.choice(list(operations(k).values()))(c) if rng.random() < 0.9 else c.clear()
        except KeyError:
            pass
        if step % 500 == 0:
            check(c)
    check(c)
print(Sometimes.mutations > 1000)
""",
        timeout=300,
    )
    assert out == "True\n"


def test_hash_and_eq_call_counts():
    run_isolated(
        """
class Counted:
    hashes = 0
    eqs = 0
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        Counted.hashes += 1
        return self.n % 4  # plenty of collisions
    def __eq__(self, other):
        Counted.eqs += 1
        return isinstance(other, Counted) and self.n == other.n

c = LRUCache(8)
keys = [Counted(i) for i in range(200)]
ops = [lambda k: c.__setitem__(k, 1), lambda k: c.get(k), lambda k: k in c, lambda k: c.has(k),
       lambda k: c.pop(k), lambda k: c.delete(k), lambda k: c.set(k, 2), lambda k: c.get(k, 0)]
for i, k in enumerate(keys):
    for op in ops:
        before = Counted.hashes
        op(k)
        assert Counted.hashes == before + 1
# Same objects as probes: identity, never __eq__, even through evictions and rebuilds.
c.clear()
Counted.eqs = 0
class Own(Counted):  # distinct hashes: a key's only equal-hash slot is its own
    def __hash__(self):
        Counted.hashes += 1
        return self.n
few = [Own(i) for i in range(8)]
for round in range(200):
    for k in few:
        c[k] = round
        assert c[k] == round and k in c
    for k in few[:4]:
        del c[k]
assert Counted.eqs == 0
# Evictions compare nothing, even when the victim's slot comes after an equal-hash key in
# its probe run: b is evicted while c (same hash) sits before it.
c = LRUCache(2)
a, b, cc = Counted(5), Counted(9), Counted(13)  # all hash to 1
c[a] = c[b] = 0
del c[a]
c[cc] = 0  # takes a's slot, ahead of b's
Counted.eqs = 0
new = Own(100)
c[new] = 1  # evicts b
assert Counted.eqs == 0
kept = c.keys()
assert len(kept) == 2 and kept[0] is cc and kept[1] is new
"""
    )


# Freeing: a cache holding the last reference to another cache, and so on. Every road that
# drops a reference frees the whole chain, whose depth must not be limited by the C stack.
CHAIN_ROADS = {
    "del": "del head",
    "clear": "head.clear()",
    "pop": "head.pop('link')",
    "delete": "head.delete('link')",
    "delitem": "del head['link']",
    "overwrite": "head['link'] = None",
    "evict": "head['other'] = 1",
    "reinit": "head.__init__(1)",
}


@pytest.mark.parametrize("road", CHAIN_ROADS)
def test_freeing_a_deep_chain_of_caches(road):
    out = run_isolated(
        f"""
import threading

class Counted:
    freed = 0
    def __del__(self):
        Counted.freed += 1

def free_chain(depth, in_key):
    tail = None
    for _ in range(depth):
        node = LRUCache(2)
        node["counted"] = Counted()
        if in_key:
            node[tail] = "link"
        else:
            node["link"] = tail
        tail = node
    head = LRUCache(1)
    head["link"] = tail
    del tail, node
    Counted.freed = 0
    {CHAIN_ROADS[road]}
    assert Counted.freed == depth, Counted.freed

for in_key in (False, True):
    free_chain(200_000, in_key)
# A thread's stack is much smaller than the main thread's.
threading.stack_size(512 * 1024)
errors = []
def run():
    try:
        free_chain(50_000, False)
    except BaseException as e:
        errors.append(e)
t = threading.Thread(target=run)
t.start()
t.join()
assert not errors, errors
print("ok")
""",
        timeout=240,
    )
    assert out == "ok\n"


def test_finalisers_run_by_clear_do_not_hold_the_lock():
    # A value's finaliser waits for another thread that uses the cache, and sees it empty.
    out = run_isolated(
        """
import threading
cache = LRUCache(4, thread_safe=True)
seen = []
class Flushes:
    def __del__(self):
        t = threading.Thread(target=lambda: seen.append((cache.get("other"), len(cache))))
        t.start()
        t.join()
cache["v"] = Flushes()
cache["other"] = 1
cache["w"] = Flushes()
cache.clear()
assert seen == [(None, 0), (None, 0)], seen
cache["again"] = 2
assert_consistent(cache)
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


@needs_plain_memory
def test_clear_without_memory_still_drops_unlocked():
    # With the address space capped, clear() cannot get memory to move every entry out at
    # once; it removes entries one at a time instead (the first finaliser still sees the
    # others), never dropping under the lock. That finaliser lifts the cap to start a thread.
    out = run_isolated(
        """
import resource, threading
cache = LRUCache(300_000, thread_safe=True)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
seen = []
class Flushes:
    def __del__(self):
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        t = threading.Thread(target=lambda: seen.append((len(cache), cache.get("v"))))
        t.start()
        t.join()
cache["v"] = Flushes()
for i in range(200_000):
    cache[i] = i
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + 2**20, hard))  # no room for 200,001 entries
try:
    cache.clear()
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert seen == [(200_000, None)] and len(cache) == 0, seen
cache[1] = 1
assert_consistent(cache)
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


def test_eq_that_changes_the_probe_path_never_duplicates_a_key():
    out = run_isolated(
        SCAFFOLD
        + """
def no_duplicates(c):
    keys = c.keys()
    assert len({k.n for k in keys}) == len(keys), keys

for thread_safe in (False, True):
    # An earlier slot of the path is freed and the probed key added again into it.
    c = LRUCache(8, thread_safe)
    x, k0 = Plain(0), Plain(1)
    c[x] = 0
    c[Hostile(2, c, lambda c, me: (c.pop(k0), c.__setitem__(k0, "reinserted")))] = 1
    c[k0] = 2
    del c[x]
    c.keys()[0].armed = True
    c[k0] = "outer"
    no_duplicates(c)
    assert c[k0] == "outer"
    # An equal key is only added, into an earlier tombstone.
    c = LRUCache(8, thread_safe)
    x, probe = Plain(0), Plain(1)
    c[x] = 0
    c[Hostile(2, c, lambda c, me: c.__setitem__(Plain(1), "from eq"))] = 1
    del c[x]
    c.keys()[0].armed = True
    c[probe] = "outer"
    no_duplicates(c)
    assert c[Plain(1)] == "outer"

# A long run in which comparisons pop, delete and re-insert keys on the one probe path.
rng = random.Random(99)
class Meddler(Plain):
    __hash__ = Plain.__hash__
    armed = True
    def __eq__(self, other):
        if Meddler.armed and rng.random() < 0.2:
            k = Plain(rng.randrange(12))
            rng.choice([lambda: CACHE.pop(k), lambda: CACHE.delete(k),
                        lambda: CACHE.__setitem__(k, "eq"),
                        lambda: (CACHE.pop(k), CACHE.__setitem__(k, "again"))])()
        return Plain.__eq__(self, other)
for thread_safe in (False, True):
    CACHE = LRUCache(10, thread_safe)
    for step in range(20_000):
        k = (Meddler if rng.random() < 0.5 else Plain)(rng.randrange(12))
        rng.choice([lambda: CACHE.__setitem__(k, step), lambda: CACHE.get(k),
                    lambda: CACHE.pop(k), lambda: CACHE.setdefault(k, step), lambda: k in CACHE])()
        if step % 100 == 0:
            Meddler.armed = False
            no_duplicates(CACHE)
            assert_consistent(CACHE)
            Meddler.armed = True
print("ok")
""",
        timeout=240,
    )
    assert out == "ok\n"


def test_finalisers_of_operations_made_from_eq_run_after_the_lock_is_free():
    # An __eq__ pops an entry (or its own key) from a thread-safe cache: the popped
    # references are dropped only once the outer lookup has released the lock, so their
    # finalisers may wait for another thread that uses the cache.
    out = run_isolated(
        """
import threading
for pops_itself in (False, True):
    cache = LRUCache(8, thread_safe=True)
    blocked = []
    class Waits:
        def __del__(self):
            t = threading.Thread(target=lambda: cache.get("other"))
            t.start()
            t.join(10)
            blocked.append(t.is_alive())
    class Popper:
        def __init__(self, victim):
            self.victim, self.armed = victim, False
        def __hash__(self):
            return 1
        def __eq__(self, other):
            if self.armed:
                self.armed = False
                cache.pop(self.victim if self.victim is not None else self)
            return False
    class Probe:
        def __hash__(self):
            return 1
    cache["other"] = 1
    if pops_itself:
        stored = Popper(None)
        stored.guard = Waits()  # freed with the key the comparison pops
    else:
        cache["victim"] = Waits()
        stored = Popper("victim")
    cache[stored] = 0
    stored.armed = True
    del stored
    probe = Probe()
    cache.get(probe)
    assert blocked == [False], blocked
    assert_consistent(cache)
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


@pytest.mark.parametrize("mode", ["unlocked", "thread_safe"])
def test_popitem_from_eq_hands_the_caller_references_of_its_own(mode):
    # The caller drops the popped pair inside __eq__: on a thread-safe cache the value's
    # finaliser, which waits for a thread reading the cache, must wait for the outer lookup
    # to release the lock (it deadlocks otherwise, and the child times out).
    after_pair_dropped = ["finaliser", "read 1", "pair dropped"]
    if mode == "thread_safe":
        after_pair_dropped = ["pair dropped", "finaliser", "read 1"]
    out = run_program("popitem_finaliser.py", mode, timeout=30)
    assert out.splitlines() == ["popped victim", *after_pair_dropped, "lookup returned"]


def test_drops_deferred_from_eq_run_in_the_order_they_were_made():
    out = run_isolated(
        """
order = []
class Noted:
    def __init__(self, name):
        self.name = name
    def __del__(self):
        order.append(self.name)
class Acts:
    def __init__(self, action):
        self.action, self.armed = action, False
    def __hash__(self):
        return 1
    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.action()
        return False
class Probe:
    def __hash__(self):
        return 1
for thread_safe in (False, True):
    for clears in (False, True):
        cache = LRUCache(8, thread_safe)
        for name in "abcd":
            cache[name] = Noted(name)
        action = cache.clear if clears else (lambda: (cache.delete("a"), cache.delete("b")))
        stored = Acts(action)
        cache[stored] = 0
        stored.armed = True
        order.clear()
        cache.get(Probe())
        assert order == (list("abcd") if clears else ["a", "b"]), (thread_safe, clears, order)
print("ok")
"""
    )
    assert out == "ok\n"


def test_nested_operation_without_memory_to_defer_fails_before_changing_anything():
    # Memory fails from every point in turn inside an operation made from __eq__ on a
    # thread-safe cache: it either completes, its finalisers waiting for the outer lookup to
    # end, or raises MemoryError with the cache unchanged. No finaliser runs under the lock.
    out = run_isolated(
        """
import _testcapi
in_eq = False
ran_in_eq = []
class Noted:
    def __del__(self):
        ran_in_eq.append(in_eq)
class Acts:
    def __init__(self, action):
        self.action, self.armed, self.start = action, False, 0
    def __hash__(self):
        return 1
    def __eq__(self, other):
        global in_eq
        if self.armed:
            self.armed = False
            in_eq = True
            _testcapi.set_nomemory(self.start, self.start + 1)  # one allocation fails
            try:
                self.action()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
                in_eq = False
        return False
class Probe:
    def __hash__(self):
        return 1
def snapshot():  # holds no reference to a value
    return [(key, type(value).__name__) for key, value in cache.items()]
outcomes = set()
for how in ("pop", "popitem", "set", "clear"):
    for start in range(40):
        cache = LRUCache(8, thread_safe=True)
        cache["a"] = Noted()
        cache["b"] = Noted()
        actions = {"pop": lambda: cache.pop("a"), "popitem": cache.popitem,
                   "set": lambda: cache.set("a", 1), "clear": cache.clear}
        stored = Acts(actions[how])
        stored.start = start
        cache[stored] = 0
        stored.armed = True
        before = snapshot()
        ran_in_eq.clear()
        cache.get(Probe())
        assert True not in ran_in_eq, (how, start, ran_in_eq)
        changed = snapshot() != before
        outcomes.add((how, changed))
        assert len(ran_in_eq) == {"clear": 2}.get(how, 1) * changed, (how, start)
        assert_consistent(cache)
print(sorted(outcomes))
""",
        timeout=120,
    )
    # The sweep reaches both the failure and the success of each operation.
    assert out == (
        "[('clear', False), ('clear', True), ('pop', False), ('pop', True),"
        " ('popitem', False), ('popitem', True), ('set', False), ('set', True)]\n"
    )


@pytest.mark.parametrize(
    "busy",
    [
        'self.cache["book"] = self.cache.pop("book", 0) + 1',
        "for _ in range(20): self.cache[next(fresh)] = 0",
    ],
    ids=["re_stores_one_entry", "stores_twenty_new_keys"],
)
def test_lookups_end_where_dict_lookups_end(busy):
    # A comparison that changes unrelated entries (pops and re-stores a bookkeeping entry, or
    # stores many new keys) does not make the lookup start again: it ends, and N equal-hash
    # keys doing so cost N comparisons, not N*N/2 or an endless loop.
    out = run_isolated(
        f"""
import itertools
calls = 0
fresh = itertools.count(10**6)
class Busy:
    def __init__(self, n, cache):
        self.n, self.cache, self.armed = n, cache, False
    def __hash__(self):
        return 5
    def __eq__(self, other):
        global calls
        calls += 1
        if self.armed:
            {busy}
        return isinstance(other, Busy) and other.n == self.n
for thread_safe in (False, True):
    cache = LRUCache(20000, thread_safe)
    cache["book"] = 0
    keys = [Busy(i, cache) for i in range(400)]
    for k in keys:
        cache[k] = k.n
    for k in keys:
        k.armed = True
    calls = 0
    assert cache.get(Busy(-1, cache)) is None
    assert calls == 400, calls
    calls = 0
    assert cache[Busy(399, cache)] == 399
    assert calls == 400, calls
    for k in keys:
        k.armed = False
    assert [cache.peek(k) for k in keys] == list(range(400))
    assert_consistent(cache)
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


@pytest.mark.parametrize("thread_safe", [False, True], ids=["unlocked", "thread_safe"])
@pytest.mark.parametrize("by", ["the_comparison", "another_thread"])
def test_lookups_end_while_a_full_cache_churns(by, thread_safe):
    # Each comparison sees 30 new keys stored into a full cache of 16 (memoised results, or
    # another thread's traffic): every store evicts, and the tombstones make the index
    # rebuild during every comparison. A lookup still ends after a comparison or two, as a
    # dict's does, whether the probe is equal to the stored key or not.
    if by == "another_thread" and thread_safe:
        pytest.skip("the other thread would wait for the lock the comparison holds")
    out = run_isolated(
        f"""
import itertools, threading
fresh = itertools.count(10**6)
calls = 0
armed = False
def churn():
    for _ in range(30):
        cache.get(stored)  # an identity hit keeps the compared entry recent
        cache[next(fresh)] = 0
class Memo:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return 10**9  # shared by no int key here
    def __eq__(self, other):
        global calls
        if armed:
            calls += 1
            if calls > 50:
                raise RuntimeError("the lookup does not end")
            if "{by}" == "another_thread":
                worker = threading.Thread(target=churn)
                worker.start()
                worker.join()
            else:
                churn()
        return isinstance(other, Memo) and other.n == self.n
stored = Memo("k")
def armed_call(name, key):
    # A full cache whose path for `stored` starts with a tombstone, so that a rebuild moves
    # `stored` back a slot, and the result and comparison count of one armed operation.
    global armed, calls, cache
    cache = LRUCache(16, {thread_safe})
    first = Memo("first")
    cache[first] = 0
    cache[stored] = "v"
    for i in range(14):
        cache[i] = i
    del cache[first]
    armed, calls = True, 0
    try:
        return getattr(cache, name)(key), calls
    finally:
        armed = False
        assert_consistent(cache)
assert armed_call("get", Memo("k")) == ("v", 1)
assert armed_call("pop", Memo("k")) == ("v", 1)  # removed from the slot it moved to
assert stored not in cache
value, calls = armed_call("get", Memo("other"))
assert value is None and calls <= 3, calls
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


@pytest.mark.parametrize("thread_safe", [False, True], ids=["unlocked", "thread_safe"])
def test_a_key_stored_again_by_its_own_comparison_is_removed_from_its_new_slot(thread_safe):
    # The compared key deletes itself and is stored again, into the tombstone ahead of its
    # old slot (same node, no rebuild), then answers equal: the entry found is removed from
    # the slot it is in now.
    out = run_isolated(
        f"""
class K:
    def __init__(self, n, hostile=False):
        self.n, self.hostile = n, hostile
    def __hash__(self):
        return 12345
    def __eq__(self, other):
        if self.hostile:
            self.hostile = False
            del cache[self]
            cache[self] = "v"
        return isinstance(other, K) and other.n == self.n
for op in ("pop", "del", "delete"):
    cache = LRUCache(8, {thread_safe})
    b = K("b", hostile=True)
    cache[K("x")] = 1
    cache[b] = 2
    del cache[K("x")]
    if op == "pop":
        assert cache.pop(K("b")) == "v"
    elif op == "del":
        del cache[K("b")]
    else:
        cache.delete(K("b"))
    assert len(cache) == 0 and b not in cache, (op, cache.items())
    cache[K("y")] = 3
    assert_consistent(cache)
print("ok")
"""
    )
    assert out == "ok\n"


def test_a_key_freed_by_its_comparison_and_replaced_at_its_address_is_not_the_answer():
    # The compared key removes itself and is freed by the lookup's last reference to it; a
    # finaliser that the interpreter runs only after freeing it (deferred from deep
    # recursion) stores an unequal key of the same hash, which gets the freed key's memory
    # and node. The lookup must not take that key's entry for the one it compared, as a dict
    # would not.
    out = run_isolated(
        """
import sys
sys.setrecursionlimit(10**6)
state = {}
class K:
    __slots__ = ("n", "hostile", "__weakref__")
    def __init__(self, n, hostile=False):
        self.n, self.hostile = n, hostile
    def __hash__(self):
        return 4242
    def __eq__(self, other):
        if self.hostile:
            self.hostile = False
            state["b"] = id(self)
            del cache[self]
        return isinstance(other, K) and other.n == self.n
    def __del__(self):
        if state.get("b") == id(self) and "armed" not in state:
            state["armed"] = True
            deep_drop()
class D:
    def __del__(self):
        pool = [K("c") for _ in range(64)]  # one of them takes the freed key's memory
        c = next((k for k in pool if id(k) == state["b"]), pool[0])
        state["reused"] = id(c) == state["b"]
        cache[c] = "c"
class Rec:  # one long-lived object, so that nothing is collected while recursing
    def __str__(self):
        global left
        left -= 1
        if left == 0:
            if dropping:
                d = D()
                del d  # deep enough to be deferred until the frame's object is freed
            return ""
        return str(self)
REC = Rec()
left, dropping = 0, False
def max_depth():
    global left
    lo, hi = 1, 1 << 16
    while lo < hi:
        mid = (lo + hi + 1) // 2
        left = mid
        try:
            str(REC)
            lo = mid
        except RecursionError:
            hi = mid - 1
    return lo
def deep_drop():
    # Drops D as deep as the recursion limit allows, from one frame above where that was
    # measured.
    global left, dropping
    left, dropping = max_depth() - 2, True
    str(REC)
cache = LRUCache(8)
b = K("b", hostile=True)
cache[b] = "b"
del b
print(cache.get(K("b")), state.get("reused", False))
assert_consistent(cache)
"""
    )
    if out.split()[1] != "True":
        pytest.skip("this build did not give the freed key's memory to the new key")
    assert out.split()[0] == "None"


def test_clear_without_memory_stops_at_a_store_a_finaliser_installed():
    out = run_isolated(
        """
import _testcapi
for thread_safe in (False, True):
    cache = LRUCache(100, thread_safe)
    seen = []
    class Reinit:
        def __del__(self):
            _testcapi.remove_mem_hooks()
            seen.append(len(cache))  # 2: entries still leave one at a time
            cache.__init__(100, thread_safe)
            for i in range(50):
                cache[i] = i
    cache["a"] = Reinit()
    cache["b"] = 1
    cache["c"] = 2
    _testcapi.set_nomemory(0, 0)
    try:
        cache.clear()
    finally:
        _testcapi.remove_mem_hooks()
    assert seen == [2] and cache.keys() == list(range(50)), (seen, cache.keys())
    assert_consistent(cache)
print("ok")
"""
    )
    assert out == "ok\n"


@pytest.mark.parametrize("depth", [10, 20], ids=["under_the_nesting_limit", "over_it"])
def test_a_subinterpreter_frees_its_caches_itself(depth):
    # A finaliser run deep in the destruction of a chain of caches frees a chain of caches
    # in a legacy subinterpreter: they are all freed there, before the call returns, and the
    # subinterpreter can then be destroyed.
    out = run_isolated(
        f"""
import _interpreters, os
read_end, write_end = os.pipe()
SUB = '''
import os
from amber_moth.lru_cache import LRUCache
freed = []
class Counted:
    def __del__(self):
        freed.append(1)
chain = None
for _ in range(30):
    c = LRUCache(2)
    c[0] = chain
    c[1] = Counted()
    chain = c
del chain, c
os.write(%d, b"%%d," %% len(freed))
'''
class CallsIntoSub:
    def __init__(self, destroy):
        self.destroy = destroy
    def __del__(self):
        interp = _interpreters.create("legacy")
        _interpreters.run_string(interp, SUB % write_end)
        if self.destroy:
            _interpreters.destroy(interp)
for destroy in (False, True):
    chain = LRUCache(2)
    chain[0] = CallsIntoSub(destroy)
    for _ in range({depth} - 1):
        c = LRUCache(2)
        c[0] = chain
        chain = c
    del chain, c
os.close(write_end)
print(os.read(read_end, 100).decode())
""",
        timeout=60,
    )
    assert out == "30,30,\n"


def test_on_evict_from_operations_made_in_eq():
    # __eq__ of a stored key pops "a" and stores two keys, the second evicting "b". On a thread-safe cache
    # the pop's drop, the hook's call for "b" and b's drop wait, in that order, until the
    # outer lookup has ended (and no operation is running: a finaliser may resize); the
    # error the comparison then raises survives the hook, even one that raises too. On an
    # unlocked cache they run at once, inside __eq__, where resizing is refused.
    out = run_isolated(
        """
import sys
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value))  # keeps no frame alive
for thread_safe in (False, True):
    for raises in (False, True):
        cache = LRUCache(4, thread_safe)
        in_eq = False
        log = []
        class Noted:
            def __init__(self, name):
                self.name = name
            def __del__(self):
                try:
                    cache.resize(cache.capacity)
                    resized = True
                except RuntimeError:
                    resized = False
                log.append(("del", self.name, in_eq, resized))
        class Acts:
            armed = False
            def __hash__(self):
                return 1
            def __eq__(self, other):
                global in_eq
                if self.armed:
                    self.armed = False
                    in_eq = True
                    cache.pop("a")
                    cache["new"] = cache["new2"] = 0
                    in_eq = False
                    if raises:
                        raise ZeroDivisionError
                return False
        class Probe:
            def __hash__(self):
                return 1
        def hook(key, value):
            log.append(("hook", key, in_eq, value.name))
            if raises:
                raise KeyError(key)
        cache["a"], cache["b"], cache["c"] = Noted("a"), Noted("b"), 0
        stored = Acts()
        cache[stored] = 0
        cache.on_evict = hook
        stored.armed = True
        try:
            cache.get(Probe())
        except ZeroDivisionError:
            assert raises
        else:
            assert not raises
        deferred = thread_safe
        assert log == [("del", "a", not deferred, deferred), ("hook", "b", not deferred, "b"),
                       ("del", "b", not deferred, deferred)], (thread_safe, raises, log)
        assert cache.keys() == ["c", stored, "new", "new2"]
        assert_consistent(cache)
assert unraisable == [KeyError, KeyError], unraisable
print("ok")
"""
    )
    assert out == "ok\n"


def test_on_evict_that_re_enters():
    # A hook that evicts in turn is called again, nested, for those entries. Without end,
    # the recursion is the hook's: RecursionError is reported as unraisable, and the
    # operation that evicted first returns normally.
    out = run_isolated(
        """
import sys
unraisable = []
sys.unraisablehook = unraisable.append  # a builtin: still callable at the recursion limit
for thread_safe in (False, True):
    c = LRUCache(2, thread_safe)
    c["a"], c["b"] = 1, 2
    log = []
    def hook(k, v):
        log.append(("in", k, c.peek(k), len(c)))
        if k == "a":
            c[("again", k)] = v  # full: evicts b, and the hook is called for it from here
        log.append(("out", k))
    c.on_evict = hook
    c["x"] = 3
    assert log == [("in", "a", None, 2), ("in", "b", None, 2), ("out", "b"), ("out", "a")], log
    assert c.items() == [("x", 3), (("again", "a"), 1)]

    calls = 0
    def endless(k, v):
        global calls
        calls += 1
        c[("endless", calls)] = v
    c.on_evict = endless
    assert c.set("y", 4) is None
    assert calls > 100 and len(c) == 2
    [report] = unraisable
    assert type(report.exc_value) is RecursionError
    unraisable.clear()
    c.on_evict = None
    c["z"] = 5
    assert_consistent(c)
print("ok")
""",
        timeout=60,
    )
    assert out == "ok\n"


def test_resize_without_memory_fails_before_changing_anything():
    # One allocation fails, at every point in turn: resize either completes (the hook sees
    # every eviction) or raises MemoryError with the cache, its counts and its hook's calls
    # unchanged. The hook lifts the failure, so that only the resize itself is swept.
    out = run_isolated(
        """
import _testcapi
outcomes = set()
for thread_safe in (False, True):
    for new in (2, 3, 8):
        for start in range(12):
            c = LRUCache(6, thread_safe)
            for i in range(6):
                c[i] = str(i)
            c.get(0), c.get("absent")
            evicted = []
            def hook(k, v):
                _testcapi.remove_mem_hooks()
                evicted.append((k, v))
            c.on_evict = hook
            before = (c.items(), c.cache_info())
            _testcapi.set_nomemory(start, start + 1)
            try:
                c.resize(new)
                done = True
            except MemoryError as e:
                done = False
                assert str(e) == f"cannot allocate an LRUCache of capacity {new}", (new, start, e)
            finally:
                _testcapi.remove_mem_hooks()
            if done:
                order = [1, 2, 3, 4, 5, 0]
                assert c.keys() == order[-new:] and c.capacity == new, (new, start)
                assert evicted == [(k, str(k)) for k in order[:-new]], (new, start, evicted)
                assert c.cache_info() == (1, 1, new, min(6, new))
            else:
                assert (c.items(), c.cache_info()) == before and evicted == [], (new, start)
            outcomes.add((new, done))
            assert_consistent(c)
print(sorted(outcomes))
""",
        timeout=120,
    )
    # Shrinking needs memory for the records of what it evicts; growing needs none from the
    # interpreter's allocators.
    assert out == "[(2, False), (2, True), (3, False), (3, True), (8, True)]\n"


def test_nested_clear_without_memory_for_its_array_still_empties_the_cache():
    # From __eq__ on a thread-safe cache, with drops already deferred, clear() reserves room
    # for its drops, then fails to get its one-step array: it removes the entries one at a
    # time within that room, and completes.
    out = run_isolated(
        """
import _testcapi
log = []
for failing_from in range(6):
    c = LRUCache(64, thread_safe=True)
    others = [("o", i) for i in range(5)]
    class K:
        def __hash__(self):
            return 7
        def __eq__(self, other):
            for i in range(11):  # 11 overwritten values wait for the outer get
                c[others[i % 5]] = i
            _testcapi.set_nomemory(failing_from, 0)
            try:
                c.clear()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            _testcapi.remove_mem_hooks()
            log.append((outcome, len(c)))
            return False
    c[K()] = 0
    for o in others:
        c[o] = 0
    c.get(K())
    assert_consistent(c)
assert all(entry in (("ok", 0), ("MemoryError", 6)) for entry in log), log
print("ok")
"""
    )
    assert out == "ok\n"
