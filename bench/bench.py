"""Side-by-side benchmark of amber_moth's LRUCache against the other LRU caches for Python.

Every figure comes from one process and one run: per-operation nanoseconds, best of several
repeats, with the cost of the bare Python loop subtracted. Progress goes to stderr, the table
to stdout, and JSON plus a PNG chart to bench/results/.

    python3.14 bench/bench.py [--quick] [--no-scale] [--workloads SUBSTRING ...] [--sizes N ...]

A full run (not --quick, no --workloads) ends with the scale rows of bench/scale.py: caches
of 100,000 and 1,000,000 entries, medians of interleaved rounds (tens of minutes).
"""
import argparse
import asyncio
import collections
import datetime
import functools
import importlib.metadata
import itertools
import json
import os
import pathlib
import platform
import random
import re
import subprocess
import sys
import time

import cachetools
import cachetools.func
import lru

import amber_moth.func
import amber_moth.lru_cache
import scale
from amber_moth.lru_cache import LRUCache

RESULTS = pathlib.Path(__file__).resolve().parent / "results"


class OrderedDictLRU:
    """The usual recipe: an OrderedDict with move_to_end and popitem(last=False)."""

    def __init__(self, capacity):
        self.capacity = capacity
        self.data = collections.OrderedDict()

    def __getitem__(self, key):
        value = self.data[key]
        self.data.move_to_end(key)
        return value

    def get(self, key, default=None):
        data = self.data
        if key in data:
            data.move_to_end(key)
            return data[key]
        return default

    def __contains__(self, key):
        return key in self.data

    def __setitem__(self, key, value):
        data = self.data
        if key in data:
            data.move_to_end(key)
        elif len(data) >= self.capacity:
            data.popitem(last=False)
        data[key] = value

    def pop(self, key, default=None):
        return self.data.pop(key, default)

    def popitem(self):
        return self.data.popitem(last=False)

    def peek(self, key, default=None):
        return self.data.get(key, default)


# name -> factory(capacity); "dict" is the floor for hits (it never evicts).
PEERS = {
    "amber_moth": lambda n: LRUCache(n),
    "amber_moth (thread_safe)": lambda n: LRUCache(n, thread_safe=True),
    "lru-dict": lambda n: lru.LRU(n),
    "cachetools": lambda n: cachetools.LRUCache(n),
    "OrderedDict": OrderedDictLRU,
    "dict": lambda n: {},
}
BASELINE = "lru-dict"
HIT_ONLY = {"dict"}
# A memoising decorator rather than a mapping: it joins only the cache-aside workloads.
MEMO = "functools.lru_cache"


# The decorators that take maxsize=None, whose memory is measured unbounded too.
UNBOUNDED = (MEMO, "amber_moth.func")


def decorator_over_lrucache(maxsize):
    """What a user writes to memoise a function in an LRUCache, keyed as functools keys."""
    def decorating(fn):
        store, miss, mark = LRUCache(maxsize), object(), (object(),)

        def wrapper(*args, **kwargs):
            key = args
            if kwargs:
                key += mark
                for item in kwargs.items():
                    key += item
            elif len(key) == 1 and type(key[0]) in (int, str):
                key = key[0]
            value = store.get(key, miss)
            if value is miss:
                value = store[key] = fn(*args, **kwargs)
            return value
        return wrapper
    return decorating


# Memoising decorators: name -> decorator factory(maxsize), compared on memoised calls with
# functools' as the baseline.
MEMO_PEERS = {
    MEMO: lambda n: functools.lru_cache(maxsize=n),
    "amber_moth.func": lambda n: amber_moth.func.lru_cache(maxsize=n),
    "cachetools.cached": lambda n: cachetools.cached(cachetools.LRUCache(n)),
    "decorator over LRUCache": decorator_over_lrucache,
}


AFLOOR = "await async def"


async def trivial(k):
    """The floor of an awaited call: a coroutine function that returns its argument."""
    return k


def ordered_dict_of_tasks(maxsize):
    """The asyncio memoiser users write in Python: an OrderedDict of tasks, evicting the
    least recently used; a failed task is dropped so that the next call computes again."""
    def decorating(fn):
        tasks = collections.OrderedDict()

        async def wrapper(*args):
            key = args[0] if len(args) == 1 else args
            task = tasks.get(key)
            if task is None:
                task = tasks[key] = asyncio.ensure_future(fn(*args))
                task.add_done_callback(lambda t: t.cancelled() or t.exception() and tasks.pop(key, None))
                if len(tasks) > maxsize:
                    tasks.popitem(last=False)
            else:
                tasks.move_to_end(key)
            return await task
        return wrapper
    return decorating


# Awaited calls: name -> decorator factory(maxsize) of a coroutine function, compared with
# awaiting the undecorated coroutine function (AFLOOR) and with the synchronous decorator.
AWAIT_PEERS = {
    AFLOOR: lambda n: lambda fn: fn,
    "amber_moth.func.alru_cache": lambda n: amber_moth.func.alru_cache(maxsize=n),
    "OrderedDict of tasks": ordered_dict_of_tasks,
}
SYNC_CALL = "amber_moth.func.lru_cache, not awaited"


def await_workloads(size, ops, repeats, access):
    """Awaited calls on one event loop, each decorator around `trivial`: hits, misses that
    evict (new arguments for every repeat), and gathers of 1,000 concurrent calls of one new
    key; beside them the synchronous decorator's calls, not awaited."""
    loop = asyncio.new_event_loop()
    keys = make_keys("int", size)
    seq = access(keys)
    fresh = make_keys("int", ops * repeats, start=size)

    def decorated(p, calls=()):
        if p == SYNC_CALL:
            f = amber_moth.func.lru_cache(maxsize=size)(lambda k: k)
            for k in calls:
                f(k)
            return f
        f = AWAIT_PEERS[p](size)(trivial)

        async def fill():
            for k in calls:
                await f(k)
        loop.run_until_complete(fill())
        return f

    def timed(p, f, run_async):
        if p == SYNC_CALL:
            return lambda ks: loop.run_until_complete(run_sync(f, ks))
        return lambda ks: loop.run_until_complete(run_async(f, ks))

    async def run_sync(f, ks):
        for k in ks:
            f(k)

    async def awaits(f, ks):
        for k in ks:
            await f(k)

    async def gathers(f, ks):
        for k in ks:
            await asyncio.gather(*[f(k) for _ in range(1000)])

    def hits(p):
        run = timed(p, decorated(p, keys), awaits)
        return lambda: run(seq), len(seq)

    def misses(p):
        run = timed(p, decorated(p, keys), awaits)
        chunks = iter([fresh[i * ops:(i + 1) * ops] for i in range(repeats)])
        return lambda: run(next(chunks)), ops

    def concurrent(p):
        run = timed(p, decorated(p, keys), gathers)
        rounds = max(ops // 1000, 1)
        chunks = iter([fresh[i * rounds:(i + 1) * rounds] for i in range(repeats)])
        return lambda: run(next(chunks)), rounds * 1000

    every = [*AWAIT_PEERS, SYNC_CALL]
    return [("await: hit int", every, hits), ("await: miss with eviction", every, misses),
            ("await: 1,000 concurrent calls of one key", list(AWAIT_PEERS), concurrent)]


def make_keys(kind, n, start=0):
    if kind == "int":
        return list(range(start * 7 + 1_000_003, (start + n) * 7 + 1_000_003, 7))
    if kind == "str":
        return [f"key:{i}" for i in range(start, start + n)]
    if kind == "tuple":
        return [("t", i, i % 7) for i in range(start, start + n)]
    if kind == "seq":
        return list(range(start, start + n))
    if kind == "strided":
        return list(range(start * 4096, (start + n) * 4096, 4096))
    raise ValueError(kind)


def equal_copy(key):
    """A new object equal to `key`, made the way a program makes its keys: ints by parsing
    text, strs by joining pieces, tuples anew from copies of their items. Items that CPython
    keeps as singletons (small ints, one-character strs) come back as themselves."""
    if type(key) is int:
        return int(str(key))
    if type(key) is str:
        return "".join(list(key))
    if type(key) is tuple:
        return tuple(equal_copy(item) for item in key)
    raise TypeError(type(key))


def zipf_stream(n_keys, length, seed=7, s=1.1):
    rng = random.Random(seed)
    weights = [1 / (i + 1) ** s for i in range(n_keys)]
    ranks = rng.choices(range(n_keys), weights=weights, k=length)
    return [r * 7 + 1_000_003 for r in ranks]


def filled(peer, n, keys):
    c = PEERS[peer](n)
    for k in keys:
        c[k] = k
    return c


# Loop bodies. Each returns a function that runs its operation once per item of `seq`.
def loop_getitem(c, seq):
    def run():
        for k in seq:
            c[k]
    return run


def loop_get(c, seq):
    get = c.get

    def run():
        for k in seq:
            get(k)
    return run


def loop_contains(c, seq):
    def run():
        for k in seq:
            k in c
    return run


def loop_setitem(c, seq):
    def run():
        for k in seq:
            c[k] = k
    return run


def loop_cache_aside(c, seq):
    get = c.get

    def run():
        for k in seq:
            v = get(k)
            if v is None:
                c[k] = k
    return run


def loop_cache_aside_built(c, seq):
    get = c.get

    def run():
        for n in seq:
            k = f"user:{n}"
            v = get(k)
            if v is None:
                c[k] = k
    return run


def loop_memo(f, seq):
    def run():
        for k in seq:
            f(k)
    return run


def loop_memo_built(f, seq):
    def run():
        for n in seq:
            f(f"user:{n}")
    return run


def loop_churn(c, seq):
    pop = c.pop

    def run():
        for k in seq:
            pop(k)
            c[k] = k
    return run


def loop_popitem(c, seq):
    popitem = c.popitem

    def run():
        for _ in seq:
            k, v = popitem()
            c[k] = v
    return run


def loop_call(f, seq):
    def run():
        for _ in seq:
            f()
    return run


def loop_call_with(f, arg, seq):
    def run():
        for _ in seq:
            f(arg)
    return run


def loop_call_pair(f, seq):
    # f(a, b) as written, not f(*pair): a call through a tuple hands functools the very
    # tuple it stored as the key.
    def run():
        for a, b in seq:
            f(a, b)
    return run


def loop_call_keyword(f, seq):
    def run():
        for k in seq:
            f(k, scale=2)
    return run


def loop_empty(seq):
    def run():
        for k in seq:
            pass
    return run


def loop_empty_call(seq):
    def f(k):
        return k

    def run():
        for k in seq:
            f(k)
    return run


def best_ns(run, ops, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        run()
        best = min(best, time.perf_counter_ns() - t0)
    return best / ops


def best_ns_interleaved(runs, repeats):
    """Best ns/op of each (run, ops), the runs taking turns so that a noisy spell on this
    shared machine hits every contender alike."""
    best = {name: float("inf") for name in runs}
    for _ in range(repeats):
        for name, (run, ops) in runs.items():
            t0 = time.perf_counter_ns()
            run()
            best[name] = min(best[name], (time.perf_counter_ns() - t0) / ops)
    return best


def workloads(size, ops, repeats):
    """(name, peers, setup) where setup(peer) -> (run, ops): the timed loop and its length;
    run may be called `repeats` times."""
    rng = random.Random(size)
    out = []

    def access(keys):
        order = keys[:]
        rng.shuffle(order)
        return (order * (ops // len(order) + 1))[:ops]

    for kind in ("int", "str", "tuple"):
        keys = make_keys(kind, size)
        seq = access(keys)
        # Keys as a caller builds them: equal to the stored keys, never the same objects, so
        # every hit has to compare the two. Built here, outside the timed loop.
        probes = [equal_copy(k) for k in seq]
        assert all(q == k and q is not k for q, k in zip(probes, seq)), f"{kind} probes must be equal copies"
        for name, loop, probe in ((f"hit cache[k] {kind}", loop_getitem, seq),
                                  (f"hit cache[k] {kind}, equal key", loop_getitem, probes),
                                  (f"hit get(k) {kind}", loop_get, seq),
                                  (f"hit k in cache {kind}", loop_contains, seq)):
            out.append((name, list(PEERS), lambda p, keys=keys, probe=probe, loop=loop: (
                loop(filled(p, size, keys), probe), len(probe))))
    for kind in ("seq", "strided"):
        keys = make_keys(kind, size)
        seq = access(keys)
        out.append((f"hit cache[k] {kind}", list(PEERS), lambda p, keys=keys, seq=seq: (
            loop_getitem(filled(p, size, keys), seq), len(seq))))
    keys = make_keys("int", size)
    misses = access(make_keys("int", size, start=size))
    lru_peers = [p for p in PEERS if p not in HIT_ONLY]
    out.append(("miss get(k) int", lru_peers, lambda p: (
        loop_get(filled(p, size, keys), misses), len(misses))))
    fresh = make_keys("int", ops * repeats, start=size)  # new keys for every repeat
    def insert_evict(p):
        c = filled(p, size, keys)
        chunks = iter([fresh[i * ops:(i + 1) * ops] for i in range(repeats)])
        def run():
            for k in next(chunks):
                c[k] = k
        return run, ops
    out.append(("insert with eviction", lru_peers, insert_evict))
    overwrite = access(keys)
    out.append(("overwrite", lru_peers, lambda p: (
        loop_setitem(filled(p, size, keys), overwrite), len(overwrite))))
    churn = access(keys)
    out.append(("pop + re-insert", lru_peers, lambda p: (
        loop_churn(filled(p, size, keys), churn), len(churn))))
    # Loops that take no key count through the same list as the loop whose overhead is
    # subtracted (iterating a shuffled list of keys would add its cache misses).
    ticks = list(range(ops))
    # The least recently used entry taken out and stored again as the most recent: lru-dict's
    # and cachetools' popitem(), and OrderedDict's popitem(last=False).
    out.append(("popitem + re-insert", lru_peers, lambda p: (
        loop_popitem(filled(p, size, keys), ticks), ops)))

    # The oldest entry's value, its recency unchanged. Ours and OrderedDict's look its key up
    # (peek(k); a plain read of the OrderedDict); lru-dict has no keyed peek: its
    # peek_last_item() reads its oldest entry without a key (peek_first_item() is the newest,
    # at the same cost) and returns (key, value). dict.get of the same key is the floor.
    # cachetools has no peek.
    def peek_oldest(p):
        c = filled(p, size, keys)
        if p == "lru-dict":
            assert c.peek_last_item()[0] == keys[0]
            return loop_call(c.peek_last_item, ticks), ops
        peek = c.get if p == "dict" else c.peek
        assert peek(keys[0]) == keys[0]
        return loop_call_with(peek, keys[0], ticks), ops
    out.append(("peek", [p for p in PEERS if p != "cachetools"], peek_oldest))
    stream = zipf_stream(size * 10, ops)

    def cache_aside(loop, memo_loop):
        def setup(p):
            if p == MEMO:
                run = memo_loop(functools.lru_cache(maxsize=size)(lambda k: k), stream)
            else:
                run = loop(PEERS[p](size), stream)
            run()  # the measured repeats start from a warm cache
            return run, len(stream)
        return setup
    out.append(("cache-aside zipf", lru_peers + [MEMO], cache_aside(loop_cache_aside, loop_memo)))
    # Each request formats its key anew (f"user:{n}"), as a web handler would; the formatting
    # is timed, the same for every contender.
    out.append(("cache-aside zipf, str key per request", lru_peers + [MEMO],
                cache_aside(loop_cache_aside_built, loop_memo_built)))
    return out + memo_workloads(size, ops, repeats, access) + await_workloads(size, ops, repeats, access)


def memo_workloads(size, ops, repeats, access):
    """Memoised calls of each decorator: hits with one int, one str, two arguments and a
    keyword argument, and misses that evict (new arguments for every repeat)."""
    def memoised(p, fn, calls):
        f = MEMO_PEERS[p](size)(fn)
        for args in calls:
            f(*args)
        return f

    out = []
    for kind in ("int", "str"):
        keys = make_keys(kind, size)
        seq = access(keys)
        out.append((f"call: hit {kind}", list(MEMO_PEERS), lambda p, keys=keys, seq=seq: (
            loop_memo(memoised(p, lambda k: k, [(k,) for k in keys]), seq), len(seq))))
    pairs = [(k, k % 7) for k in make_keys("int", size)]
    pair_seq = access(pairs)
    out.append(("call: hit two arguments", list(MEMO_PEERS), lambda p: (
        loop_call_pair(memoised(p, lambda a, b: a, pairs), pair_seq), len(pair_seq))))
    keys = make_keys("int", size)
    seq = access(keys)

    def keyword(p):
        f = MEMO_PEERS[p](size)(lambda k, scale=1: k * scale)
        for k in keys:
            f(k, scale=2)
        return loop_call_keyword(f, seq), len(seq)
    out.append(("call: hit keyword argument", list(MEMO_PEERS), keyword))
    fresh = make_keys("int", ops * repeats, start=size)

    def miss_evict(p):
        f = memoised(p, lambda k: k, [(k,) for k in keys])
        chunks = iter([fresh[i * ops:(i + 1) * ops] for i in range(repeats)])
        def run():
            for k in next(chunks):
                f(k)
        return run, ops
    out.append(("call: miss with eviction", list(MEMO_PEERS), miss_evict))
    return out + ttl_workloads(size, ops, repeats, access)


# Time-to-live expiry: LRUCache without and with a ttl against cachetools' TTLCache, and
# memoised calls with a ttl against cachetools.func.ttl_cache, cachetools' TTLCache being
# the baseline. The ttl (an hour) never passes during a run but in the "oldest expired" row,
# where a timer counts ticks (one per read of the time: a Python call, alike for both) and
# entries live `size` ticks, so that each store finds the oldest entry due.
TTL_BASE = "cachetools TTLCache"
HOUR = 3600.0


def ttl_peers(timer=None, ttl=HOUR):
    def with_ttl(n):
        c = LRUCache(n)
        if timer is not None:
            c.timer = timer
        c.ttl = ttl
        return c
    return {
        "amber_moth": lambda n: LRUCache(n),
        "amber_moth ttl": with_ttl,
        TTL_BASE: lambda n: cachetools.TTLCache(n, ttl, **({"timer": timer} if timer else {})),
    }


TTL_MEMO_BASE = "cachetools.func.ttl_cache"
TTL_MEMO_PEERS = {
    "amber_moth.func": lambda n: amber_moth.func.lru_cache(maxsize=n),
    "amber_moth.func ttl": lambda n: amber_moth.func.lru_cache(maxsize=n, ttl=HOUR),
    TTL_MEMO_BASE: lambda n: cachetools.func.ttl_cache(maxsize=n, ttl=HOUR),
}


def ttl_workloads(size, ops, repeats, access):
    keys = make_keys("int", size)
    seq = access(keys)
    misses = access(make_keys("int", size, start=size))
    fresh = make_keys("int", ops * repeats, start=size)
    peers = ttl_peers()

    def full(p, factory=None):
        c = (factory or peers[p])(size)
        for k in keys:
            c[k] = k
        return c

    def stream(p, factory=None):
        c = full(p, factory)
        chunks = iter([fresh[i * ops:(i + 1) * ops] for i in range(repeats)])
        def run():
            for k in next(chunks):
                c[k] = k
        return run, ops

    def oldest_expired(p):
        ticking = ttl_peers(itertools.count().__next__, ttl=size)
        return stream(p, ticking[p])

    def memoised(p):
        f = TTL_MEMO_PEERS[p](size)(lambda k: k)
        for k in keys:
            f(k)
        return f

    def memo_miss(p):
        f = memoised(p)
        chunks = iter([fresh[i * ops:(i + 1) * ops] for i in range(repeats)])
        def run():
            for k in next(chunks):
                f(k)
        return run, ops

    return [
        ("ttl: hit cache[k] int", list(peers), lambda p: (loop_getitem(full(p), seq), len(seq))),
        ("ttl: miss get(k) int", list(peers), lambda p: (loop_get(full(p), misses), len(misses))),
        ("ttl: insert with eviction", list(peers), stream),
        ("ttl: insert, oldest expired", [p for p in peers if p != "amber_moth"], oldest_expired),
        ("ttl call: hit int", list(TTL_MEMO_PEERS), lambda p: (loop_memo(memoised(p), seq), len(seq))),
        ("ttl call: miss with eviction", list(TTL_MEMO_PEERS), memo_miss),
    ]


def zipf_hit_rates(size, ops):
    """Hit rate of the cache-aside stream from cold for each exact LRU, and functools."""
    stream = zipf_stream(size * 10, ops)
    rates = {}
    for p in PEERS:
        if p in HIT_ONLY:
            continue
        c = PEERS[p](size)
        hits = 0
        for k in stream:
            v = c.get(k)
            if v is None:
                c[k] = k
            else:
                hits += 1
        rates[p] = hits / len(stream)
    f = functools.lru_cache(maxsize=size)(lambda k: k)
    loop_memo(f, stream)()
    info = f.cache_info()
    rates[MEMO] = info.hits / (info.hits + info.misses)
    return rates


def memory_per_entry(peer, n, bounded=True):
    """Bytes of process memory per entry of a full cache, measured in a fresh process: a
    mapping's entries stored, or a memoising decorator's results of one-argument calls (with
    maxsize=None unless `bounded`)."""
    fill = ("f = bench.MEMO_PEERS[{peer!r}]({maxsize})(lambda k: value)\nfor k in keys:\n    f(k)"
            if peer in MEMO_PEERS else
            "c = bench.PEERS[{peer!r}]({n})\nfor k in keys:\n    c[k] = value").format(
                peer=peer, n=n, maxsize=n if bounded else None)
    code = f"""
import sys
sys.path[:0] = {sys.path!r}
import bench
keys = [("k", i) for i in range({n})]
value = object()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
{fill}
print((rss() - before) / {n})
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(__file__).parent)] + sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    return float(out.stdout)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def compiler_of(module_file):
    """The GCC that built an extension module, from the note it leaves in the binary."""
    found = re.search(rb"GCC: \([^)]*\) ([0-9][0-9.]*)", pathlib.Path(module_file).read_bytes())
    return f"GCC {found[1].decode()}" if found else None


def machine():
    return {"cpu": cpu_model(), "cpus": os.cpu_count(), "python": sys.version.split()[0],
            "amber_moth_compiler": compiler_of(amber_moth.lru_cache.__file__),
            "lru-dict": importlib.metadata.version("lru-dict"), "cachetools": cachetools.__version__,
            "platform": platform.platform(), "date": datetime.date.today().isoformat()}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer operations and repeats")
    ap.add_argument("--workloads", nargs="*", default=[], help="run only workloads containing one of these")
    ap.add_argument("--sizes", nargs="*", type=int, default=[1_000, 100_000])
    ap.add_argument("--repeats", type=int, default=None)
    ap.add_argument("--no-scale", action="store_true", help="leave out the scale rows (bench/scale.py)")
    args = ap.parse_args()
    ops = 50_000 if args.quick else 200_000
    repeats = args.repeats or (3 if args.quick else 7)

    results = {"machine": machine(), "ops_per_repeat": ops, "repeats": repeats, "sizes": {}}
    for size in args.sizes:
        print(f"size {size}: loop overhead", file=sys.stderr)
        seq = list(range(ops))
        overhead = best_ns(loop_empty(seq), ops, repeats)
        call_overhead = best_ns(loop_empty_call(seq), ops, repeats)
        table = {}
        for name, peers, setup in workloads(size, ops, repeats):
            if args.workloads and not any(w in name for w in args.workloads):
                continue
            print(f"size {size}: {name}", file=sys.stderr)
            runs = {p: setup(p) for p in peers}
            best = best_ns_interleaved(runs, repeats)
            table[name] = {p: ns - overhead for p, ns in best.items()}
            del runs
        rates = zipf_hit_rates(size, ops)
        assert len(set(rates.values())) == 1, f"exact LRU caches disagree on hit rate: {rates}"
        memory = {}
        if not args.workloads or any("memory" in w for w in args.workloads):
            for p in [*PEERS, *MEMO_PEERS]:
                if p in HIT_ONLY:
                    continue
                print(f"size {size}: memory: {p}", file=sys.stderr)
                memory[p] = memory_per_entry(p, max(size, 100_000))
            for p in UNBOUNDED:
                print(f"size {size}: memory: {p}, maxsize=None", file=sys.stderr)
                memory[f"{p} (maxsize=None)"] = memory_per_entry(p, max(size, 100_000), bounded=False)
        results["sizes"][size] = {"ns_per_op": table, "loop_overhead_ns": overhead,
                                  "call_overhead_ns": call_overhead, "zipf_hit_rates": rates,
                                  "memory_bytes_per_entry": memory}
    report(results)
    if not (args.quick or args.workloads or args.no_scale):
        results["scale"] = scale.run()
    RESULTS.mkdir(exist_ok=True)
    results["sizes"] = {str(k): v for k, v in results["sizes"].items()}
    (RESULTS / "results.json").write_text(json.dumps(results, indent=2))
    charted = chart(results, RESULTS / "results.png")
    print(f"\nwrote {RESULTS / 'results.json'}" + (f" and {RESULTS / 'results.png'}" if charted else ""),
          file=sys.stderr)


def report(results):
    for size, data in results["sizes"].items():
        table = data["ns_per_op"]
        peers = list(dict.fromkeys(p for row in table.values() for p in row))
        print(f"\n## {size:,} entries: ns/op (ratio to {BASELINE}, for calls to {MEMO}, for ttl rows "
              f"to {TTL_BASE} or {TTL_MEMO_BASE}, for awaits to {AFLOOR}; ratio to dict)")
        print(f"loop overhead subtracted: {data['loop_overhead_ns']:.1f} ns; "
              f"a Python function call costs {data['call_overhead_ns'] - data['loop_overhead_ns']:.1f} ns")
        print("| workload | " + " | ".join(peers) + " |")
        print("|---|" + "---|" * len(peers))
        for name, row in table.items():
            cells = []
            baseline = next((b for b in (BASELINE, MEMO, TTL_BASE, TTL_MEMO_BASE, AFLOOR) if b in row), None)
            for p in peers:
                if p not in row:
                    cells.append("")
                    continue
                cell = f"{row[p]:.1f}"
                if baseline in row and p != baseline:
                    cell += f" ({row[p] / row[baseline]:.2f}"
                    cell += f"; {row[p] / row['dict']:.2f})" if "dict" in row and p != "dict" else ")"
                cells.append(cell)
            print(f"| {name} | " + " | ".join(cells) + " |")
        rates = data["zipf_hit_rates"]
        print("zipf hit rate: " + ", ".join(f"{p} {r:.4f}" for p, r in rates.items()))
        if data["memory_bytes_per_entry"]:
            mem = data["memory_bytes_per_entry"]
            print("memory per entry (bytes, full cache of "
                  f"{max(int(size), 100_000):,}; ratio to {BASELINE}, for decorators to {MEMO}): " + ", ".join(
                      f"{p} {b:.0f} ({b / mem[baseline_of_memory(p)]:.2f})"
                      for p, b in mem.items()))


def baseline_of_memory(row):
    """The memory row a row of memory per entry is compared with."""
    if row.endswith("(maxsize=None)"):
        return f"{MEMO} (maxsize=None)"
    return MEMO if row in MEMO_PEERS else BASELINE


# Colour per contender (colour-blind-safe palette); amber_moth's own two stand out in orange.
COLOURS = {
    "amber_moth": "#D55E00",
    "amber_moth (thread_safe)": "#E69F00",
    "cachetools": "#56B4E9",
    "OrderedDict": "#009E73",
    "dict": "#999999",
    MEMO: "#CC79A7",
}
TICKS = [0.1, 0.25, 0.5, 0.75, 1, 1.5, 2, 5, 10, 20, 50]


def caption(results):
    m = results["machine"]
    built = f", built with {m['amber_moth_compiler']}" if m.get("amber_moth_compiler") else ""
    return (f"{m['cpu']}, {m['cpus']} cores  ·  CPython {m['python']}  ·  amber_moth{built}  ·  "
            f"lru-dict {m['lru-dict']}, cachetools {m['cachetools']}  ·  best of {results['repeats']} "
            f"repeats of {results['ops_per_repeat']:,} operations, contenders taking turns  ·  {m['date']}")


def chart(results, path):
    """One panel per size, workloads down the side: each contender's time per operation as a
    ratio to the baseline's, a bar from 1 (the baseline) to the ratio on a log axis, so a bar
    to the left is that many times faster and one to the right that many times slower. Only
    the workloads that lru-dict runs are charted; returns whether there was any."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FixedLocator, NullLocator

    sizes = list(results["sizes"])
    tables = [results["sizes"][size]["ns_per_op"] for size in sizes]
    names = list(dict.fromkeys(n for t in tables for n in t if BASELINE in t[n]))
    if not names:
        return False
    peers = [p for p in dict.fromkeys(p for t in tables for n in names if n in t for p in t[n]) if p != BASELINE]
    ratios = [t[n][p] / t[n][BASELINE] for t in tables for n in names if n in t for p in t[n]]
    lo, hi = min(ratios) * 0.7, max(ratios) * 1.15  # room for the figures printed at the bars' ends

    plt.rcParams.update({"font.size": 12})
    group = 0.8  # the height of one workload's bars, rows being 1 apart
    bar = group / len(peers)
    # Margins in inches: title and legend above, the caption below, workload names at the left.
    top, bottom, left, right, panel_w = 1.75, 1.2, 3.4, 0.4, 8.0
    width = left + right + panel_w * len(sizes) + 0.3 * (len(sizes) - 1)
    height = top + bottom + 0.1 * len(names) * len(peers)
    fig, axes = plt.subplots(1, len(sizes), sharey=True, squeeze=False, figsize=(width, height))
    fig.subplots_adjust(left=left / width, right=1 - right / width, top=1 - top / height,
                        bottom=bottom / height, wspace=0.3 * len(sizes) / panel_w)
    for ax, size, table in zip(axes[0], sizes, tables):
        for j, n in enumerate(names):
            if j % 2:
                ax.axhspan(j - 0.5, j + 0.5, color="#f2f2f2", zorder=0)
            present = [p for p in peers if p in table.get(n, {})]
            for i, p in enumerate(present):
                r = table[n][p] / table[n][BASELINE]
                y = j - group / 2 + (i + 0.5) * bar
                ax.barh(y, r - 1, bar, left=1, color=COLOURS[p], zorder=2)
                if p == "amber_moth":
                    ax.text(r * (0.97 if r < 1 else 1.03), y, f"{r:.2f}", va="center",
                            ha="right" if r < 1 else "left", fontsize=9.5, fontweight="bold",
                            color=COLOURS[p], zorder=3)
        ax.axvline(1, color="black", linewidth=1.6, zorder=3)
        ax.set_xscale("log")
        ax.set_xlim(lo, hi)
        ax.xaxis.set_major_locator(FixedLocator([t for t in TICKS if lo <= t <= hi]))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.xaxis.set_major_formatter(lambda t, _: f"{t:g}×")
        ax.tick_params(axis="x", labeltop=True, top=True, labelsize=11)
        ax.grid(axis="x", color="#bbbbbb", linewidth=0.7, zorder=1)
        ax.set_ylim(len(names) - 0.5, -0.5)
        ax.tick_params(axis="y", length=0)
        ax.set_title(f"cache of {int(size):,} entries", fontsize=14, fontweight="bold")
        ax.set_xlabel(f"← faster     time per operation ÷ {BASELINE}'s, log scale     slower →")
    axes[0][0].set_yticks(range(len(names)), names)
    handles = [Line2D([], [], color="black", linewidth=1.6, label=f"{BASELINE} = 1× (baseline)")]
    handles += [Patch(color=COLOURS[p], label=p) for p in peers]
    fig.suptitle(f"amber_moth LRUCache against other Python LRU caches: time relative to {BASELINE}",
                 fontsize=16, fontweight="bold", y=1 - 0.15 / height, va="top")
    fig.legend(handles=handles, loc="upper center", ncol=len(handles), frameon=False,
               bbox_to_anchor=(0.5, 1 - 0.55 / height))
    fig.text(0.5, 0.15 / height, caption(results), ha="center", va="bottom", fontsize=10.5, color="#333333")
    fig.savefig(path, dpi=100)
    return True


if __name__ == "__main__":
    main()
