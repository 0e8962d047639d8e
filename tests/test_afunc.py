"""amber_moth.func.alru_cache: one computation per key and loop, cancellation, the surface."""
import asyncio
import functools
import gc
import inspect
import threading
import weakref

import pytest

from amber_moth.func import alru_cache
from amber_moth.lru_cache import LRUCache
from conftest import memory_is_instrumented, run_isolated


def run(coroutine_function, *args):
    """Runs coroutine_function(*args) on a new loop, failing instead of hanging."""
    async def bounded():
        async with asyncio.timeout(30):
            return await coroutine_function(*args)
    return asyncio.run(bounded())


def counted(gate=None):
    """A coroutine function returning its argument, counting its calls in .calls; when gate
    (an asyncio.Event made on the loop) is given, each call waits for it."""
    async def fn(x):
        fn.calls += 1
        if gate is not None:
            await gate.wait()
        await asyncio.sleep(0)
        return x
    fn.calls = 0
    return fn


class Hashes:
    """A key counting its hashes."""
    hashes = 0

    def __hash__(self):
        self.hashes += 1
        return 1


class TestSurface:
    def test_call_forms_arguments_and_attributes(self):
        async def fn(x):
            return x

        for made, parameters in [(alru_cache(fn), {"maxsize": 128, "typed": False}),
                                 (alru_cache()(fn), {"maxsize": 128, "typed": False}),
                                 (alru_cache(256)(fn), {"maxsize": 256, "typed": False}),
                                 (alru_cache(maxsize=None)(fn), {"maxsize": None, "typed": False}),
                                 (alru_cache(-3, typed=True)(fn), {"maxsize": 0, "typed": True})]:
            parameters["ttl"] = None
            assert made.cache_parameters() == parameters
            assert inspect.iscoroutinefunction(made) and made.__wrapped__ is fn
            assert made.__name__ == "fn" and made.__doc__ is None
        assert isinstance(alru_cache(fn).cache, LRUCache) and alru_cache(0)(fn).cache is None
        with pytest.raises(TypeError, match="Expected first argument to be an integer"):
            alru_cache("128")
        for bad in (lambda x: x, len, 42, functools.partial(lambda x: x, 1)):
            with pytest.raises(TypeError, match="needs a coroutine function, got"):
                alru_cache()(bad)
        assert inspect.iscoroutinefunction(alru_cache(functools.partial(fn, 1)))

    def test_keys_methods_and_statistics(self):
        class Service:
            def __init__(self, n):
                self.n = n

            @alru_cache
            async def get(self, x):
                return (self.n, x)

            def __hash__(self):
                return self.n

            def __eq__(self, other):
                return self.n == other.n

        typed = alru_cache(typed=True)(counted())

        async def main():
            a, b = Service(1), Service(2)
            assert [await a.get(5), await b.get(5), await a.get(5)] == [(1, 5), (2, 5), (1, 5)]
            assert Service.get.cache_info() == (1, 2, 128, 2)
            assert Service.get.cache_contains(a, 5) and not Service.get.cache_contains(a, 6)
            assert [await typed(1), await typed(1.0), await typed(x=1)] == [1, 1.0, 1]
            assert typed.__wrapped__.calls == 3
            assert typed.cache_contains(1) and not typed.cache_contains(2.0)
            aw = typed(1)
            assert await aw == 1
            with pytest.raises(RuntimeError, match="cannot reuse already awaited"):
                await aw
            assert typed.cache_info() == (1, 3, 128, 3)
            typed.cache_clear()
            assert typed.cache_info() == (0, 0, 128, 0)

        run(main)

    def test_contains_leaves_counts_and_recency(self):
        f = alru_cache(2)(counted())

        async def main():
            await f(1), await f(2)
            info = f.cache_info()
            assert f.cache_contains(1) and f.cache_info() == info
            await f(3)  # evicts 1, the least recently used: contains did not refresh it
            assert not f.cache_contains(1) and f.cache_contains(2)

        run(main)

    def test_asyncio_takes_calls_as_coroutines(self):
        f = alru_cache(counted())
        assert asyncio.run(f(1)) == 1  # a miss outside a loop runs on the loop that awaits it
        assert asyncio.run(f(1)) == 1  # a hit
        assert f.__wrapped__.calls == 1
        with pytest.raises(RuntimeError, match="no running event loop"):
            f(5).send(None)

        async def main():
            tasks = [asyncio.create_task(f(2)), asyncio.ensure_future(f(1))]
            return await asyncio.gather(*tasks, f(2))

        assert run(main) == [2, 1, 2] and f.__wrapped__.calls == 2
        key = Hashes()
        assert asyncio.run(f(key)) is key and key.hashes == 1  # the key is made at the call


def test_ttl_counts_from_when_the_computation_returned():
    now = [0.0]

    @alru_cache(ttl=10)
    async def f(x):
        f.calls += 1
        now[0] += 5  # the computation takes 5 s
        return x
    f.calls = 0
    f.cache.timer = lambda: now[0]

    async def main():
        assert await f(1) == 1 and f.calls == 1
        now[0] += 9  # 14 s after the call, 9 s after the computation returned
        assert f.cache_contains(1) and await f(1) == 1 and f.calls == 1
        now[0] += 2
        assert not f.cache_contains(1) and await f(1) == 1 and f.calls == 2

    run(main)
    assert f.cache_parameters() == {"maxsize": 128, "typed": False, "ttl": 10}
    assert alru_cache(0, ttl=1)(f.__wrapped__).cache_parameters()["ttl"] == 1
    with pytest.raises(ValueError):
        alru_cache(ttl=-1)(f.__wrapped__)


class TestOneLoop:
    def test_one_computation_for_concurrent_awaits_of_a_key(self):
        async def main():
            gate = asyncio.Event()
            f = alru_cache(counted(gate))
            same = [asyncio.create_task(f(7)) for _ in range(1000)]
            others = [asyncio.create_task(f(k)) for k in range(5)]
            await asyncio.sleep(0.01)
            assert f.__wrapped__.calls == 6  # one per key, all started before any ended
            gate.set()
            assert await asyncio.gather(*same) == [7] * 1000
            assert await asyncio.gather(*others) == list(range(5))
            assert f.cache_info() == (999, 6, 128, 6)

        run(main)

    def test_an_exception_reaches_every_awaiter_and_is_not_stored(self):
        async def main():
            gate = asyncio.Event()
            calls = []

            @alru_cache
            async def f(x):
                calls.append(x)
                await gate.wait()
                if len(calls) == 1:
                    raise ValueError(x)
                return x

            tasks = [asyncio.create_task(f(1)) for _ in range(10)]
            await asyncio.sleep(0)
            gate.set()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(isinstance(r, ValueError) for r in results) and calls == [1]
            assert not f.cache_contains(1) and await f(1) == 1 and calls == [1, 1]

        run(main)

    def test_cancelling_some_awaiters_then_all(self):
        async def main():
            gate = asyncio.Event()
            started, ended = [], []

            @alru_cache
            async def f(x):
                started.append(x)
                try:
                    await gate.wait()
                except asyncio.CancelledError:
                    ended.append("cancelled")
                    raise
                return x

            tasks = [asyncio.create_task(f(1)) for _ in range(4)]
            await asyncio.sleep(0)
            for t in tasks[:3]:  # the first, which started the computation, among them
                t.cancel()
            await asyncio.sleep(0.01)
            assert ended == [] and not tasks[3].done()
            gate.set()
            assert await tasks[3] == 1 and f.cache_contains(1)

            gate.clear()
            tasks = [asyncio.create_task(f(2)) for _ in range(3)]
            await asyncio.sleep(0)
            for t in tasks:
                t.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(isinstance(r, asyncio.CancelledError) for r in results)
            await asyncio.sleep(0.01)
            assert ended == ["cancelled"] and not f.cache_contains(2)
            late = asyncio.create_task(f(2))  # starts again rather than join the cancelled one
            await asyncio.sleep(0)
            gate.set()
            assert await late == 2 and started == [1, 2, 2]

        run(main)

    def test_a_computation_cancelling_itself_stores_nothing(self):
        @alru_cache
        async def f(x):
            raise asyncio.CancelledError

        async def main():
            results = await asyncio.gather(f(1), f(1), return_exceptions=True)
            assert all(isinstance(r, asyncio.CancelledError) for r in results)
            assert not f.cache_contains(1) and f.cache_info().currsize == 0

        run(main)

    def test_invalidate_during_a_computation(self):
        async def main():
            gate = asyncio.Event()
            f = alru_cache(counted(gate))
            first = asyncio.create_task(f(1))
            await asyncio.sleep(0)
            assert f.cache_invalidate(1) and not f.cache_invalidate(1)
            second = asyncio.create_task(f(1))  # a computation of its own
            await asyncio.sleep(0)
            gate.set()
            assert await first == 1 and await second == 1 and f.__wrapped__.calls == 2
            assert f.cache_contains(1)  # the second's result: the first stored nothing
            assert f.cache_invalidate(1) and not f.cache_contains(1)

        run(main)

    @pytest.mark.parametrize("wait", [False, True])
    def test_close(self, wait):
        async def main():
            gate = asyncio.Event()
            f = alru_cache(counted(gate))
            awaiters = [asyncio.create_task(f(k % 2)) for k in range(1000)]
            await asyncio.sleep(0)
            if wait:
                asyncio.get_running_loop().call_later(0.01, gate.set)
            await f.cache_close(wait=wait)
            with pytest.raises(RuntimeError, match="closed"):
                f(1)
            results = await asyncio.gather(*awaiters, return_exceptions=True)
            if wait:
                assert results == [k % 2 for k in range(1000)] and f.cache_info().currsize == 2
            else:
                assert all(isinstance(r, asyncio.CancelledError) for r in results)
                assert f.cache_info().currsize == 0
            assert all(t.done() for t in awaiters) and f.__wrapped__.calls == 2

        run(main)

    def test_a_comparison_that_closes_the_function_refuses_its_call(self):
        closing = []

        class Key:
            def __init__(self, n):
                self.n = n

            def __hash__(self):
                return 0

            def __eq__(self, other):
                if closing:
                    closing.pop().cache_close(wait=True)
                return self.n == other.n

        f = alru_cache(counted())
        asyncio.run(f(Key(0)))  # stored: the next lookup compares
        pending = f(Key(1))  # outside a loop: looked up again at its first step
        closing.append(f)
        with pytest.raises(RuntimeError, match="closed"):
            asyncio.run(pending)  # would start a computation
        assert f.__wrapped__.calls == 1 and f.cache_info().currsize == 1

        async def main():
            g = alru_cache(counted())
            first = asyncio.ensure_future(g(Key(2)))
            await asyncio.sleep(0)  # its computation is under way
            closing.append(g)
            with pytest.raises(RuntimeError, match="closed"):
                g(Key(2))  # would join it
            return (await first).n

        assert run(main) == 2

    def test_a_computation_that_closes_its_function_does_not_wait_for_itself(self):
        out = run_isolated("afunc_close_from_its_own_computation.py", timeout=60)
        assert out == "False cancelled cancelled\nTrue closed 1\n"


class TestLoopsAndThreads:
    def test_two_runs_in_turn(self):
        gates = []

        async def fn(x):
            gates.append(asyncio.get_running_loop())
            await asyncio.sleep(60 if len(gates) == 1 else 0)
            return [x]

        f = alru_cache(fn)

        async def abandon():
            asyncio.create_task(f(1))  # left under way when its loop ends
            await asyncio.sleep(0)

        asyncio.run(abandon())
        assert run(f, 1) == [1] and len(gates) == 2  # computed again on the new loop
        assert run(f, 1) is run(f, 1)  # stored results serve every loop

    def test_threads_each_with_a_loop(self):
        calls = []
        barrier = threading.Barrier(4)

        @alru_cache(maxsize=None)
        async def f(x):
            calls.append((threading.get_ident(), x))
            await asyncio.sleep(0.001)
            return x

        errors = []

        def worker():
            async def main():
                barrier.wait()
                for r in range(20):
                    assert await asyncio.gather(*[f(k % 7 + r) for k in range(30)]) == [
                        k % 7 + r for k in range(30)]
            try:
                run(main)
            except BaseException as e:  # noqa: BLE001: reported below
                errors.append(e)

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        # Each loop computes a key at most once; loops never await one another's tasks.
        assert len(calls) == len(set(calls)) and {x for _, x in calls} == set(range(26))


class TestReentry:
    def test_awaiting_its_own_computation_raises(self):
        @alru_cache
        async def f(x):
            if x > 0:
                return await f(x)
            return x

        with pytest.raises(RuntimeError, match="awaited its own computation"):
            run(f, 1)
        assert run(f, 0) == 0 and not f.cache_contains(1)

    def test_results_whose_finalisers_call_the_function(self):
        @alru_cache(2)
        async def f(x):
            return Result() if isinstance(x, int) else x

        class Result:
            def __del__(self):
                f(("from del", id(self))).close()
                f.cache_clear()

        async def main():
            for i in range(30):
                await f(i)
                if i % 7 == 0:
                    f.cache_invalidate(i)
            f.cache_clear()

        run(main)
        gc.collect()

    def test_awaitables_in_cycles_are_collected(self):
        @alru_cache
        async def f(x):
            return x

        class Box:
            pass

        stored, argument = Box(), Box()
        asyncio.run(f(stored))
        stored.pending = f(stored)  # a hit's awaitable, held by its result
        argument.pending = f(argument)  # a call outside a loop, held by its argument
        boxes = [weakref.ref(stored), weakref.ref(argument)]
        del stored, argument
        f.cache_clear()
        gc.collect()
        assert [box() for box in boxes] == [None, None]

    def test_a_finaliser_run_as_a_hit_ends_makes_and_steps_other_awaits(self):
        @alru_cache
        async def f(x):
            return x

        @alru_cache
        async def g(x):
            return x

        class Old:
            def __del__(self):
                g(1).close()  # an awaitable made and freed
                with pytest.raises(StopIteration):
                    g(2).send(None)  # another hit stepped

        asyncio.run(g(1)), asyncio.run(g(2)), asyncio.run(f(old := Old()))
        with pytest.raises(StopIteration):
            f(old).send(None)  # its end now holds the Old
        gc.collect()  # asyncio.run leaves cycles holding it
        del old
        f.cache_clear()
        with pytest.raises(StopIteration) as ended:
            g(1).send(None)  # the Old goes as this hit ends
        assert ended.value.value == 1

    def test_what_a_catcher_does_with_the_end_of_a_step_stays_its_own(self):
        @alru_cache
        async def f(x):
            return x

        class Big:
            pass

        def kept_in_a_cycle(big):
            try:
                f(1).send(None)
            except StopIteration as ended:
                kept = ended  # kept -> its traceback -> this frame -> kept
            return kept.value

        asyncio.run(f(1))
        big = Big()
        assert kept_in_a_cycle(big) == 1
        big = weakref.ref(big)
        try:
            f(1).send(None)
        except StopIteration as ended:
            ended.add_note("noted")
        with pytest.raises(StopIteration) as ended:
            f(1).send(None)
        assert ended.value.value == 1 and not hasattr(ended.value, "__notes__")
        gc.collect()
        assert big() is None

    def test_freeing_a_deep_chain_of_awaitables(self):
        assert run_isolated("afunc_freeing_a_deep_chain_of_awaitables.py", timeout=240) == "ok\n"

    @pytest.mark.parametrize("maxsize", ["2", "none"])
    def test_hostile_keys_and_results_in_a_child(self, maxsize):
        rounds = 100 if memory_is_instrumented else 1000
        assert run_isolated("afunc_hostile.py", 3, maxsize, rounds, timeout=600).strip() == "ok"
