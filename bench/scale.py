"""The scale rows of the benchmark: caches of 100,000 and 1,000,000 entries, where memory,
not instructions, decides.

Three workloads, each with four kinds of keys: sequential ints (10**9 + 7*i, which a dict
places in order), random-valued ints (distinct, below 2**30), strs and 2-tuples.
  evict:  new keys stored in a full cache (LRUCache against lru-dict), and memoised calls
          that miss and evict (amber_moth.func.lru_cache against functools.lru_cache);
  hit:    stored keys read in random order (LRUCache, lru-dict, dict), and memoised hits;
  growth: filling from empty to the size: LRUCache(size), lru-dict and dict, and the
          unbounded decorators (amber_moth.func.cache, functools.cache). Each contender fills
          in a fresh process of its own, one after the other in every round: in one process,
          one contender's freed memory would pre-fault the next one's arrays.
Timings are nanoseconds per operation, the median of interleaved rounds, with the range of
the rounds' ratios to the baseline (lru-dict for mappings, functools for decorators).

    python3.14 bench/scale.py [--sizes N ...] [--rounds R] [--kinds int random str tuple]
        [--parts in-process growth] [--ops N]
"""
import argparse
import functools
import random
import statistics
import subprocess
import sys
import time

SIZES = (100_000, 1_000_000)
ROUNDS = 7
OPS = 100_000  # per round, in the evict and hit rows
KINDS = ("int", "random", "str", "tuple")
PARTS = ("in-process", "growth")
MAPPINGS = ("amber_moth", "lru-dict", "dict")
DECORATORS = ("amber_moth.func", "functools")
BASELINE = {"mapping": "lru-dict", "decorator": "functools"}


def keys_of(kind, n, seed=1):
    """n distinct keys of a kind; a later call with a larger n starts with the same keys."""
    if kind == "int":
        return [10**9 + 7 * i for i in range(n)]
    if kind == "random":
        return random.Random(seed).sample(range(1 << 30), n)
    if kind == "str":
        return [f"key:{i}" for i in range(n)]
    if kind == "tuple":
        return [("user", i) for i in range(n)]
    raise ValueError(kind)


def mapping(who, n):
    if who == "amber_moth":
        from amber_moth.lru_cache import LRUCache
        return LRUCache(n)
    if who == "lru-dict":
        import lru
        return lru.LRU(n)
    return {}


def decorator(who, maxsize):
    if who == "functools":
        return functools.lru_cache(maxsize=maxsize)(lambda k: k)
    import amber_moth.func
    return amber_moth.func.lru_cache(maxsize=maxsize)(lambda k: k)


def timed(run, ops):
    t0 = time.perf_counter_ns()
    run()
    return (time.perf_counter_ns() - t0) / ops


def store_loop(c, keys):
    def run():
        for k in keys:
            c[k] = k
    return run


def read_loop(c, keys):
    def run():
        for k in keys:
            c[k]
    return run


def call_loop(f, keys):
    def run():
        for k in keys:
            f(k)
    return run


def in_process_rows(kind, n, ops, rounds):
    """The evict and hit rows of one kind and size, every contender in this process, taking
    turns in each round; the evicting rounds each use new keys. Each contender has key
    objects of its own (equal values, in the same order), so that none finds in the CPU's
    caches the keys the one before it has just hashed."""
    total = n + ops * (rounds + 1)
    order = list(range(n))
    random.Random(n).shuffle(order)
    keys = {w: keys_of(kind, total) for w in (*MAPPINGS, *DECORATORS)}
    probes = {w: [k[i] for i in order[:ops]] for w, k in keys.items()}
    caches = {w: mapping(w, n) for w in MAPPINGS}
    funcs = {w: decorator(w, n) for w in DECORATORS}
    for w, c in caches.items():
        store_loop(c, keys[w][:n])()
    for w, f in funcs.items():
        call_loop(f, keys[w][:n])()
    rows = {}

    def measure(name, group, runs):
        per_round = {w: [] for w in runs}
        for r in range(rounds + 1):  # the first round warms up, and is not counted
            for w, make in runs.items():
                t = timed(make(r), ops)
                if r > 0:
                    per_round[w].append(t)
        rows[f"{name} {kind}"] = (group, per_round)

    def chunk(w, r):
        return keys[w][n + r * ops:n + (r + 1) * ops]
    # Hits first, while every stored key is still there.
    measure("hit", "mapping", {w: (lambda r, c=c, w=w: read_loop(c, probes[w])) for w, c in caches.items()})
    measure("memoised hit", "decorator",
            {w: (lambda r, f=f, w=w: call_loop(f, probes[w])) for w, f in funcs.items()})
    evicting = {w: caches[w] for w in MAPPINGS if w != "dict"}
    measure("store that evicts", "mapping",
            {w: (lambda r, c=c, w=w: store_loop(c, chunk(w, r))) for w, c in evicting.items()})
    measure("memoised miss that evicts", "decorator",
            {w: (lambda r, f=f, w=w: call_loop(f, chunk(w, r))) for w, f in funcs.items()})
    return rows


GROWTH_CHILD = r"""
import sys, time
sys.path[:0] = {path!r}
import scale
keys = scale.keys_of({kind!r}, {n})
if {who!r} in scale.DECORATORS:
    run = scale.call_loop(scale.decorator({who!r}, None), keys)
else:
    run = scale.store_loop(scale.mapping({who!r}, {n}), keys)
print(scale.timed(run, {n}))
"""


def growth_rows(kind, n, rounds):
    """Filling from empty: each contender in a fresh process of its own, taking turns."""
    rows = {}
    path = [str(__import__("pathlib").Path(__file__).resolve().parent), *sys.path]
    for group, who in (("mapping", MAPPINGS), ("decorator", DECORATORS)):
        per_round = {w: [] for w in who}
        for _ in range(rounds):
            for w in who:
                code = GROWTH_CHILD.format(path=path, kind=kind, n=n, who=w)
                out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
                per_round[w].append(float(out.stdout))
        name = "growth from empty" if group == "mapping" else "memoised growth (maxsize=None)"
        rows[f"{name} {kind}"] = (group, per_round)
    return rows


def report(n, rows):
    print(f"\n## scale: {n:,} entries: ns/op, median of rounds "
          "(ratio of medians to lru-dict or functools; range of the rounds' ratios)")
    print("| workload | contender | ns/op | ratio | range |")
    print("|---|---|---|---|---|")
    for name, (group, per_round) in rows.items():
        base = per_round[BASELINE[group]]
        for w, times in per_round.items():
            cell = ""
            if w != BASELINE[group]:
                ratios = [t / b for t, b in zip(times, base)]
                cell = (f"| {statistics.median(times) / statistics.median(base):.2f} | "
                        f"{min(ratios):.2f}-{max(ratios):.2f}")
            print(f"| {name} | {w} | {statistics.median(times):.1f} {cell or '| |'} |", flush=True)


def run(sizes=SIZES, rounds=ROUNDS, kinds=KINDS, ops=OPS, parts=PARTS):
    results = {}
    for n in sizes:
        rows = {}
        for kind in kinds:
            print(f"scale {n}: {kind}", file=sys.stderr, flush=True)
            if "in-process" in parts:
                rows.update(in_process_rows(kind, n, ops, rounds))
            if "growth" in parts:
                rows.update(growth_rows(kind, n, rounds))
        report(n, rows)
        results[n] = {name: {"group": g, "ns_per_op_rounds": r} for name, (g, r) in rows.items()}
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", nargs="*", type=int, default=SIZES)
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--kinds", nargs="*", default=KINDS, choices=KINDS)
    ap.add_argument("--ops", type=int, default=OPS, help="operations per round (evict and hit)")
    ap.add_argument("--parts", nargs="*", default=PARTS, choices=PARTS,
                    help="in-process: the evict and hit rows; growth: the fills in processes of their own")
    a = ap.parse_args()
    run(a.sizes, a.rounds, a.kinds, a.ops, a.parts)


if __name__ == "__main__":
    main()
