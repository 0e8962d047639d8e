"""Memoised functions under threads: single flight (one computation per key at a time, the
others waiting for its result) and, without it, functools' behaviour."""
import threading
import time

import pytest

from amber_moth.func import lru_cache
from conftest import run_isolated


def burst(fn, args_list):
    """Calls fn(*args) on one thread per args, all released at once; returns the results
    (or the exceptions) in order."""
    results = [None] * len(args_list)
    start = threading.Barrier(len(args_list))

    def run(i, args):
        start.wait()
        try:
            results[i] = fn(*args)
        except BaseException as e:  # noqa: BLE001 - reported to the test
            results[i] = e

    threads = [threading.Thread(target=run, args=(i, a), daemon=True)
               for i, a in enumerate(args_list)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "a call never returned"
    return results


@pytest.mark.parametrize("threads", [16, 64])
@pytest.mark.parametrize("maxsize", [1, 128, None])
def test_a_burst_on_one_key_computes_once(threads, maxsize):
    calls = []

    @lru_cache(maxsize, single_flight=True)
    def slow(x):
        calls.append(x)
        time.sleep(0.05)
        return [x]

    results = burst(slow, [(7,)] * threads)
    assert calls == [7]
    assert all(r is results[0] for r in results) and results[0] == [7]
    assert slow.cache_info()[:2] == (threads - 1, 1)


def test_without_single_flight_each_thread_computes():
    calls = []

    @lru_cache(128)
    def slow(x):
        calls.append(x)
        time.sleep(0.05)
        return x

    burst(slow, [(1,)] * 8)
    assert len(calls) == 8


def test_other_keys_never_wait():
    entered = threading.Event()
    release = threading.Event()

    @lru_cache(None, single_flight=True)
    def f(x):
        if x == "slow":
            entered.set()
            release.wait(30)
        return x

    t = threading.Thread(target=f, args=("slow",))
    t.start()
    assert entered.wait(10)
    started = time.monotonic()
    assert [f(i) for i in range(50)] == list(range(50))
    elapsed = time.monotonic() - started
    release.set()
    t.join(10)
    assert elapsed < 5  # gross bound: nothing waited for the slow call


def test_a_raising_computation_hands_over_to_one_waiter():
    calls = []

    @lru_cache(None, single_flight=True)
    def f(x):
        calls.append(threading.get_ident())
        time.sleep(0.1)
        if len(calls) == 1:
            raise ValueError("first")
        return "second"

    results = burst(f, [(1,)] * 16)
    errors = [r for r in results if isinstance(r, BaseException)]
    assert len(errors) == 1 and isinstance(errors[0], ValueError)
    assert results.count("second") == 15 and len(calls) == 2


def test_recursion_on_the_key_being_computed_computes():
    depth = []

    @lru_cache(None, single_flight=True)
    def g(n):
        depth.append(n)
        return g(n) if len(depth) < 3 else n  # the same key, on the same thread

    assert g(5) == 5 and depth == [5, 5, 5]
    assert g.cache_info() == (0, 3, None, 1)


def test_a_wait_that_would_close_a_cycle_computes():
    """Thread A computes a, which calls f(b); thread B computes b, which calls f(a): the
    second of them to look finds the other waiting for it, and computes instead of waiting,
    so neither waits for ever (each call goes three deep)."""
    both = threading.Barrier(2)
    local = threading.local()

    @lru_cache(None, single_flight=True)
    def f(key):
        depth = getattr(local, "depth", 0)
        if depth == 3:
            return key
        if depth == 0:
            both.wait(10)
            time.sleep(0.05)
        local.depth = depth + 1
        try:
            return key + f("b" if key == "a" else "a")
        finally:
            local.depth = depth

    results = burst(f, [("a",), ("b",)])
    assert results[0].startswith("ab") and results[1].startswith("ba"), results


def test_keyboard_interrupt_ends_a_wait():
    assert run_isolated("func_interrupted_wait.py").strip() == "interrupted, then computed once"


@pytest.mark.parametrize("outcome", ["raised", "returned"])
def test_a_flight_left_behind_is_passed_over(outcome):
    assert run_isolated("func_stale_flight.py", outcome, timeout=60).strip() == "ok"


def test_a_signal_handler_during_a_wait_computes_instead_of_waiting_again():
    assert run_isolated("func_wait_in_signal_handler.py", timeout=60).strip() == "ok"


def test_a_child_after_fork_computes_what_its_parents_threads_had_under_way():
    assert run_isolated("func_fork_with_a_flight.py", timeout=60).strip() == "ok"


def test_a_fork_in_a_signal_handler_during_a_wait_ends_the_childs_wait():
    assert run_isolated("func_fork_in_a_signal_handler_during_a_wait.py", timeout=60).strip() == "ok"


def test_a_finaliser_at_exit_computes_a_daemon_threads_key():
    out = run_isolated("func_finaliser_at_exit_calls_a_daemons_key.py", timeout=60)
    assert out.strip() == "computed at exit"


def test_no_wait_inside_an_operation_of_the_cache():
    assert run_isolated("func_no_wait_inside_an_operation_of_the_cache.py", timeout=60).strip() == "ok"


@pytest.mark.parametrize("case", ["shrinks", "foreign"])
def test_the_flights_table(case):
    assert run_isolated("func_flights_table.py", case, timeout=60).strip() == "ok"


def test_threads_whose_lookups_compare_in_python_store_every_result():
    """Without single flight, as functools: the cache grows under other threads' lookups
    instead of leaving results unstored, so none is computed again for want of room."""
    calls, reference, size = map(int, run_isolated("func_threads_store_every_result.py", 3000,
                                                   timeout=600).split())
    assert size == 3000 and calls <= 1.05 * reference, (calls, reference)
