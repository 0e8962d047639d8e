"""Instructions per operation, counted by callgrind: amber_moth beside its peers, free of noise.

Each (contender, workload, size) runs twice under callgrind, with P1 and then P2 operations
after an identical setup; the difference of the two runs' totals divided by P2 - P1 is the
cost of one operation, the interpreter's loop included: instructions (Ir), and with --misses
first-level and last-level data read misses (D1mr, DLmr) in a simulated cache with a 512 KB
last level (which makes the run half as long again). The hash seed (PYTHONHASHSEED=0) and
the address layout (setarch -R) are fixed, so a run repeats to the instruction. Hits of
every workload, and stores that evict; the table goes to stdout and JSON to
bench/results/callgrind.json.

    python3.14 bench/callgrind.py [--quick] [--misses] [--sizes N ...]
        [--workloads SUBSTRING ...] [--who CONTENDER ...] [--jobs N]

--quick counts at 1,000 entries only.
"""
import argparse
import concurrent.futures
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

RESULTS = pathlib.Path(__file__).resolve().parent / "results"

# The operation, run by a child under callgrind:
#   argv: size, key kind, contender, operations to make, workload, operations prepared.
# Every child prepares the same keys and probes whatever it is asked to make, so the setup
# cancels out of the difference between two runs.
CHILD = r'''
import random, sys
from itertools import islice
n, kind, who, count, op, prepared = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], int(sys.argv[6])
rng = random.Random(1)
chosen = [rng.randrange(n) for _ in range(prepared)]
if kind == "int":
    stored = list(range(10**6, 10**6 + n))
elif kind == "str":
    stored = ["key:%d" % i for i in range(n)]
else:
    stored = [("user", i) for i in range(n)]
if who == "amber_moth":
    from amber_moth.lru_cache import LRUCache
    c = LRUCache(n)
elif who == "amber_moth (thread_safe)":
    from amber_moth.lru_cache import LRUCache
    c = LRUCache(n, True)
elif who == "lru-dict":
    import lru
    c = lru.LRU(n)
elif who == "cachetools":
    import cachetools
    c = cachetools.LRUCache(n)
elif who == "dict":
    c = {}
elif who == "amber_moth.func":
    from amber_moth.func import lru_cache
    c = lru_cache(n)(lambda k: 1)
elif who == "functools":
    import functools
    c = functools.lru_cache(n)(lambda k: 1)
elif who == "cachetools.cached":
    import cachetools
    c = cachetools.cached(cachetools.LRUCache(n))(lambda k: 1)
if op.startswith("call"):
    for k in stored:
        c(k)
else:
    for k in stored:
        c[k] = 1
if op == "set-evict":
    probes = [10**7 + i for i in range(prepared)]  # new keys: each evicts the oldest
elif op.endswith("eq"):  # equal to a stored key, not the stored object
    if kind == "int":
        probes = [int(str(10**6 + i)) for i in chosen]
    elif kind == "str":
        probes = ["key:%d" % i for i in chosen]
        for s in probes:
            hash(s)
    else:
        probes = [("user", int(str(i))) for i in chosen]
else:
    probes = [stored[i] for i in chosen]
def getitem(c, probes):
    for k in probes:
        c[k]
def contains(c, probes):
    for k in probes:
        k in c
def setitem(c, probes):
    for k in probes:
        c[k] = 1
def call(c, probes):
    for k in probes:
        c(k)
run = {"getitem": getitem, "getitem-eq": getitem, "contains": contains, "set-evict": setitem}.get(op, call)
run(c, islice(probes, count))
'''

MAPPINGS = ["amber_moth", "amber_moth (thread_safe)", "lru-dict", "cachetools", "dict"]
CALLS = ["amber_moth.func", "functools", "cachetools.cached"]
# (operation, key kind, contenders): "-eq" probes with an equal key, not the stored object.
WORKLOADS = [
    ("getitem", "int", MAPPINGS),
    ("getitem-eq", "str", MAPPINGS),
    ("getitem-eq", "tuple", MAPPINGS),
    ("contains", "int", MAPPINGS),
    ("set-evict", "int", MAPPINGS[:-1]),  # a dict never evicts
    ("call", "int", CALLS),
    ("call", "str", CALLS),
    ("call", "tuple", CALLS),
]


def totals(size, kind, who, count, op, prepared, misses):
    """The event totals of one child run under callgrind."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "callgrind.out")
        cache = ["--cache-sim=yes", "--LL=524288,8,64"] if misses else []
        cmd = ["setarch", "-R", "valgrind", "--tool=callgrind", *cache,
               f"--callgrind-out-file={out}", sys.executable, "-c", CHILD,
               str(size), kind, who, str(count), op, str(prepared)]
        subprocess.run(cmd, check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        text = pathlib.Path(out).read_text()
    events = re.search(r"^events: (.*)$", text, re.M)[1].split()
    summary = re.search(r"^(?:summary|totals): (.*)$", text, re.M)[1].split()
    return dict(zip(events, map(int, summary)))


def per_operation(first, second, p1, p2):
    return {e: (second[e] - first[e]) / (p2 - p1) for e in second}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="1,000 entries only")
    ap.add_argument("--misses", action="store_true", help="count data read misses too")
    ap.add_argument("--sizes", nargs="*", type=int, default=None)
    ap.add_argument("--workloads", nargs="*", default=[], help="run only workloads containing one of these")
    ap.add_argument("--who", nargs="*", default=[], choices=MAPPINGS + CALLS, metavar="CONTENDER",
                    help="run only these contenders: " + ", ".join(MAPPINGS + CALLS))
    ap.add_argument("--jobs", type=int, default=os.cpu_count(),
                    help="callgrind runs at once (the counts do not depend on it)")
    args = ap.parse_args()
    sizes = args.sizes or ([1_000] if args.quick else [1_000, 100_000])
    # Counts repeat to the instruction: more operations would change no figure but the misses' last digits.
    p1, p2 = 10_000, 30_000
    plan = [(size, op, kind, chosen) for size in sizes for op, kind, who in WORKLOADS
            if (chosen := [w for w in who if not args.who or w in args.who])
            and (not args.workloads or any(w in f"{op} {kind}" for w in args.workloads))]
    pool = concurrent.futures.ThreadPoolExecutor(args.jobs)
    runs = {(size, op, kind, w, p): pool.submit(totals, size, kind, w, p, op, p2, args.misses)
            for size, op, kind, who in plan for w in who for p in (p1, p2)}
    rows = []
    for size, op, kind, who in plan:
        if not rows or rows[-1]["size"] != size:
            print(f"\n## {size:,} entries: instructions per operation (ratio to the first"
                  + ("; D1 and LL data read misses)" if args.misses else ")"))
        name = f"{op} {kind}"
        row = {"size": size, "workload": name, "counts": {
            w: per_operation(runs[size, op, kind, w, p1].result(), runs[size, op, kind, w, p2].result(), p1, p2)
            for w in who}}
        rows.append(row)
        base = row["counts"][who[0]]["Ir"]
        print(f"{name:<17} " + "  ".join(
            f"{w} {c['Ir']:.0f} ({c['Ir'] / base:.2f}"
            + (f"; {c['D1mr']:.2f}, {c['DLmr']:.2f})" if args.misses else ")")
            for w, c in row["counts"].items()), flush=True)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "callgrind.json").write_text(json.dumps(
        {"python": sys.version.split()[0], "operations": [p1, p2], "rows": rows}, indent=1))
    print(f"\nwrote {RESULTS / 'callgrind.json'}", file=sys.stderr)


if __name__ == "__main__":
    main()
