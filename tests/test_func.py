"""amber_moth.func: memoising functions as functools.lru_cache does, in an LRUCache."""
import copy
import functools
import gc
import pickle
import sys
import weakref

import pytest

from amber_moth.func import CacheInfo, cache, lru_cache
from amber_moth.lru_cache import LRUCache
from conftest import Collide, memory_is_instrumented, run_isolated


def counted(fn):
    """fn, counting its calls in .calls."""
    def wrapper(*args, **kwargs):
        wrapper.calls += 1
        return fn(*args, **kwargs)
    wrapper.calls = 0
    return wrapper


@lru_cache(maxsize=4)
def module_level(x):
    return x


class TestCallForms:
    def test_forms_and_parameters(self):
        def f(x):
            return x

        assert lru_cache(f).cache_parameters() == {"maxsize": 128, "typed": False}
        assert lru_cache()(f).cache_parameters() == {"maxsize": 128, "typed": False}
        assert lru_cache(256)(f).cache_info().maxsize == 256
        assert lru_cache(maxsize=None)(f).cache_info().maxsize is None
        assert lru_cache(typed=True)(f).cache_parameters() == {"maxsize": 128, "typed": True}
        assert lru_cache(single_flight=True)(f).cache_parameters() == {
            "maxsize": 128, "typed": False, "single_flight": True}
        assert cache(f).cache_parameters() == {"maxsize": None, "typed": False}
        assert lru_cache(f).__wrapped__ is f and lru_cache(f).__name__ == "f"

    def test_parameters_are_the_objects_given(self):
        def f(x):
            return x

        for maxsize, typed in ((True, 1), (False, "yes"), (-5, 0.0)):
            ours = lru_cache(maxsize, typed)(f).cache_parameters()
            theirs = functools.lru_cache(maxsize, typed)(f).cache_parameters()
            assert list(map(type, ours.values())) == list(map(type, theirs.values()))
            assert ours == theirs

    def test_bad_arguments_as_functools(self):
        for bad in ("128", 1.5, object()):
            with pytest.raises(TypeError, match="Expected first argument to be an integer"):
                lru_cache(bad)
            with pytest.raises(TypeError, match="Expected first argument to be an integer"):
                functools.lru_cache(bad)
        with pytest.raises(TypeError):
            lru_cache()(42)  # not callable
        with pytest.raises(TypeError):
            cache()

    @pytest.mark.parametrize("maxsize", [0, -1, -(2**70)])
    def test_zero_or_negative_stores_nothing(self, maxsize):
        f = counted(lambda x: x)
        g = lru_cache(maxsize)(f)
        assert [g(1), g(1), g(2)] == [1, 1, 2] and f.calls == 3
        assert g.cache is None
        theirs = functools.lru_cache(maxsize)(f)
        theirs(1), theirs(1), theirs(2)
        assert g.cache_info() == theirs.cache_info() == (0, 3, 0, 0)

    def test_cache_info_matches_functools(self):
        def calls(g):
            for x in [1, 2, 1, 3, 4, 5, 1, 2, "a", (1,), "a", None, None]:
                g(x)
            g(1, 2), g(1, y=2), g(y=2, x=1), g(x=1, y=2), g(1, y=2)
            return g.cache_info()

        def f(*args, **kwargs):
            return args

        for maxsize in (2, 3, 128, None):
            for typed in (False, True):
                ours = calls(lru_cache(maxsize, typed)(f))
                theirs = calls(functools.lru_cache(maxsize, typed)(f))
                assert ours == theirs and type(ours) is CacheInfo


class TestKeys:
    def test_as_functools_builds_them(self):
        @lru_cache
        def f(*args, **kwargs):
            return args, kwargs

        mark = None
        for args, kwargs, key in [
            ((), {}, ()),
            ((1,), {}, 1),
            (("s",), {}, "s"),
            ((1.5,), {}, (1.5,)),
            (((1, 2),), {}, ((1, 2),)),
            ((True,), {}, (True,)),
            ((1, 2), {}, (1, 2)),
        ]:
            f(*args, **kwargs)
            assert f.cache.peek(key) == (args, kwargs)
        f(1, b=2, a=3)
        stored = f.cache.tail
        mark = stored[1]
        assert stored == (1, mark, "b", 2, "a", 3) and type(mark) is object
        f(1, a=3, b=2)  # keyword order is part of the key
        assert f.cache.tail == (1, mark, "a", 3, "b", 2)

    def test_typed(self):
        @lru_cache(typed=True)
        def f(*args, **kwargs):
            return [type(a) for a in args]

        assert f(1) == [int] and f(1.0) == [float] and f(True) == [bool]
        assert f.cache_info().currsize == 3
        assert f.cache.tail == (True, bool)
        f(1, k=2.0)
        assert f.cache.tail[-2:] == (int, float)

    def test_hash_as_the_tuple_would(self):
        """Keys hashed from their items find, and are found by, the tuples they stand for."""
        @lru_cache(None)
        def f(*args):
            return args

        big = [0, -1, -2, 2**30, -(2**30), 2**62, -(2**63), 10**40, 1.5, "", "x" * 99,
               (1, (2,)), None, frozenset({1})]
        for a in big:
            f(a, a)
            f(a)
            assert f.cache.peek((a, a)) == (a, a)
            assert f.cache.peek(a if type(a) in (int, str) else (a,)) == (a,)
        f.cache[("stored", 1)] = "by hand"
        assert f("stored", 1) == "by hand"

    def test_each_argument_hashed_once(self):
        class Counted:
            hashes = 0

            def __hash__(self):
                Counted.hashes += 1
                return 1

        f = lru_cache(1)(lambda a, b=None: 0)
        k = Counted()
        f(k), f(k), f(k, b=k), f(k, b=k)
        assert Counted.hashes == 6

    def test_equal_not_identical_items(self):
        f = counted(lambda *a: a)
        g = lru_cache(None)(f)
        g(10**20, "a" * 30, (1, 2))
        assert g(int(str(10**20)), "".join(["a"] * 30), (1, int("2"))) == (10**20, "a" * 30, (1, 2))
        assert f.calls == 1

    def test_unhashable_and_raising_keys(self):
        f = counted(lambda *a, **k: 0)
        for g in (lru_cache(None)(f), lru_cache(2)(f)):
            with pytest.raises(TypeError):
                g([])
            with pytest.raises(TypeError):
                g(1, k={})
        assert f.calls == 0

    def test_a_stored_key_that_is_not_a_tuple(self):
        """A key put in the cache by hand under a tuple's hash is compared as itself."""
        class TupleLike:
            def __hash__(self):
                return hash((1, 2))

            def __eq__(self, other):
                return other == (1, 2)

        f = lru_cache(None)(lambda *a: "computed")
        f.cache[TupleLike()] = "by hand"
        assert f(1, 2) == "by hand"


class TestResults:
    def test_exceptions_are_not_cached(self):
        calls = []

        @lru_cache(None)
        def f(x):
            calls.append(x)
            if len(calls) == 1:
                raise ValueError(x)
            return x

        with pytest.raises(ValueError):
            f(1)
        assert f(1) == 1 and f(1) == 1 and calls == [1, 1]
        assert f.cache_info() == (1, 2, None, 1)

    def test_eviction_and_the_cache_in_reach(self):
        f = lru_cache(2)(lambda x: [x])
        evicted = []
        f.cache.on_evict = lambda k, v: evicted.append(k)
        f(1), f(2), f(1), f(3)
        assert f.cache.keys() == [1, 3] and evicted == [2]
        assert f.cache.popitem() == (1, [1])
        f.cache.resize(1)
        assert f.cache_info() == (1, 3, 1, 1)
        f.cache_clear()
        assert f.cache_info() == (0, 0, 1, 0) and len(f.cache) == 0

    def test_capacity_follows_the_results_up_to_maxsize(self):
        unbounded, bounded, huge = (lru_cache(n)(lambda x: x) for n in (None, 300, 2**60))
        for g in (unbounded, bounded, huge):
            assert g.cache.capacity == 128
            for i in range(1000):
                g(i)
        assert unbounded.cache.capacity == huge.cache.capacity == 1024
        assert len(unbounded.cache) == len(huge.cache) == 1000 and huge.cache_info().maxsize == 2**60
        assert bounded.cache.capacity == len(bounded.cache) == 300
        assert all(unbounded(i) == i for i in range(1000)) and unbounded.cache_info().misses == 1000
        unbounded.cache_clear()
        assert unbounded.cache.capacity == 128 and unbounded.cache_info() == (0, 0, None, 0)
        assert lru_cache(5)(lambda x: x).cache.capacity == 5

    def test_the_largest_maxsize_is_a_bound(self):
        g = lru_cache(sys.maxsize)(lambda x: x)
        assert g.cache_info().maxsize == sys.maxsize == g.cache_parameters()["maxsize"]

    def test_a_resized_cache_keeps_its_new_capacity(self):
        for maxsize in (None, 64):
            g = lru_cache(maxsize)(lambda x: x)
            g.cache.resize(10)
            for i in range(100):
                g(i)
            assert g.cache.capacity == len(g.cache) == 10
            assert g.cache_info().maxsize == 10
            assert g.cache_parameters()["maxsize"] == maxsize

    def test_the_function_counts_its_calls_and_the_cache_its_lookups(self):
        g = lru_cache(1000)(lambda x: x)
        for i in (1, 1, 2):
            g(i)
        g.cache.get(1), g.cache.get(3)  # direct reads: the cache's counts alone
        assert g.cache_info() == (1, 2, 1000, 2)
        assert g.cache.cache_info() == (2, 3, 128, 2)
        g.cache.clear()
        assert g.cache_info() == (1, 2, 1000, 0) and g.cache.cache_info() == (0, 0, 128, 0)
        g(1)
        g.cache_clear()
        assert g.cache_info() == (0, 0, 1000, 0) and g.cache.cache_info() == (0, 0, 128, 0)

    def test_a_cache_sized_from_outside_to_its_own_capacity_keeps_it(self):
        for size in (lambda c: c.resize(128), lambda c: c.__init__(128)):
            g = cache(lambda x: x)
            size(g.cache)
            for i in range(200):
                g(i)
            assert g.cache.capacity == len(g.cache) == g.cache_info().maxsize == 128

    def test_unbounded_memory_within_twice_a_bounded_cache(self):
        n = 100_000
        unbounded, bounded = lru_cache(None)(lambda x: x), lru_cache(n)(lambda x: x)
        for i in range(n):
            unbounded(i), bounded(i)
        assert len(unbounded.cache) == len(bounded.cache) == n
        assert sys.getsizeof(unbounded.cache) <= 2 * sys.getsizeof(bounded.cache)


class TestFunctionSurface:
    def test_method_binding_and_weak_references(self):
        class A:
            @lru_cache
            def m(self, x):
                return self, x

        a = A()
        assert a.m(1) == (a, 1) and A.m(a, 1) == (a, 1)
        assert A.m.cache_info() == (1, 1, 128, 1)
        ref = weakref.ref(A.m)
        assert ref() is A.m

    def test_pickle_and_copy_return_the_wrapper(self):
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(module_level, proto)) is module_level
        assert copy.copy(module_level) is module_level
        assert copy.deepcopy(module_level) is module_level

    def test_signature(self):
        import inspect

        def orig(a, /, b, c=True):
            pass

        assert str(inspect.signature(lru_cache(orig))) == "(a, /, b, c=True)"
        assert str(inspect.signature(module_level.cache_info)) == "()"
        assert str(inspect.signature(lru_cache)) == "(maxsize=128, typed=False, *, ttl=None, single_flight=False)"
        assert str(inspect.signature(cache)) == "(user_function, /)"

        class A:
            @lru_cache
            def m(self, x):
                pass

        assert str(inspect.signature(A().m)) == "(x)"
        wrapper_type = type(module_level)
        assert str(inspect.signature(wrapper_type)) == "(user_function, maxsize, typed, single_flight, ttl=None)"
        for name, attr in vars(wrapper_type).items():
            if callable(attr) and not name.startswith("__init"):
                inspect.signature(attr)  # raises ValueError for a method without one
            if callable(attr) or name == "cache":
                assert attr.__doc__, name


class TestCycles:
    """Entries are shown to the cycle collector while the wrapper alone owns its cache."""

    def test_result_referring_to_the_function_is_collected(self):
        def make():
            @lru_cache(None)
            def f(x):
                return [f]
            f(1)
            return weakref.ref(f)

        ref = make()
        gc.collect()
        assert ref() is None

    def test_instance_in_a_methods_keys_is_collected(self):
        class Owner:
            def __init__(self):
                self.total = lru_cache(None)(self._total)

            def _total(self, x):
                return (self, x)

        o = Owner()
        o.total(1)
        ref = weakref.ref(o)
        del o
        gc.collect()
        assert ref() is None

    def test_tuple_keys_are_tracked_only_where_a_cycle_can_pass(self):
        class Holder:
            pass

        def make():
            @lru_cache(None)
            def f(a, b):
                return 0

            holder = Holder()
            holder.f = f
            f(1, "a")
            f(holder, (1, 2))  # holder -> f -> its cache -> the key -> holder
            return f, weakref.ref(f)

        f, ref = make()
        tracked = {isinstance(key[0], Holder): gc.is_tracked(key) for key in f.cache.keys()}
        assert tracked == {False: False, True: True}
        del f
        gc.collect()
        assert ref() is None

    def test_entries_of_a_cache_held_elsewhere_stay(self):
        @lru_cache(None)
        def f(x):
            return [f, x]

        f(1)
        held = f.cache
        ref = weakref.ref(f)
        del f
        gc.collect()
        assert ref() is not None and held.peek(1)[1] == 1
        del held
        gc.collect()
        assert ref() is None


class TestReentry:
    def test_recursion(self):
        @lru_cache(None)
        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)

        assert fib(300) == 222232244629420445529739893461909967206666939096499764990979600
        assert fib.cache_info() == (298, 301, None, 301)

    def test_clear_and_resize_during_a_call(self):
        @lru_cache(4)
        def f(x):
            if x == 0:
                f.cache_clear()
            if x == 1:
                f.cache.resize(2)
            return x

        for x in [5, 6, 7, 0, 8, 9, 1, 10]:
            assert f(x) == x
        assert f.cache.capacity == 2 and f.cache.keys() == [1, 10]

    def test_called_from_a_keys_comparison(self):
        class Key(Collide):
            __hash__ = Collide.__hash__

            def __eq__(self, other):
                g(("inner", self.n))
                g.cache_clear()
                return super().__eq__(other)

        for g in (lru_cache(8)(lambda k: k), lru_cache(None)(lambda k: k),
                  lru_cache(8, single_flight=True)(lambda k: k)):
            for i in range(6):
                g(Key(i % 3))
            assert len(g.cache) <= 8

    def test_results_stored_from_comparisons_never_evict_below_the_bound(self):
        out = run_isolated("func_results_stored_from_comparisons_never_evict_below_the_bound.py")
        assert out.strip() == "ok"

    def test_called_while_its_cache_is_re_initialised(self):
        assert run_isolated("func_reinit_from_finaliser.py").strip() == "ok"

    def test_called_from_a_results_finaliser(self):
        class Result:
            def __del__(self):
                f(("from del", id(self)))
                f.cache_clear()

        @lru_cache(2)
        def f(x):
            return Result() if isinstance(x, int) else x

        for i in range(20):
            f(i)
        f.cache_clear()

    @pytest.mark.parametrize("case", ["positional", "keyword", "comparison"])
    def test_typed_key_keeps_the_types_its_call_frees(self, case):
        assert run_isolated("func_typed_key_keeps_its_types.py", case).strip() == "Doomed"

    def test_raising_comparison(self):
        class Raises(Collide):
            __hash__ = Collide.__hash__

            def __eq__(self, other):
                raise ZeroDivisionError

        f = lru_cache(None)(lambda *k: 1)
        f(Raises(1))
        with pytest.raises(ZeroDivisionError):
            f(Raises(2))
        f(Raises(1), "tuple key")
        with pytest.raises(ZeroDivisionError):
            f(Raises(2), "tuple key")  # compared item by item


@pytest.mark.parametrize("maxsize", ["4", "none", "0"])
@pytest.mark.parametrize("single_flight", ["0", "1"])
@pytest.mark.parametrize("threads", ["1", "4"])
def test_hostile_keys_and_results_in_a_child(maxsize, single_flight, threads):
    rounds = 300 if memory_is_instrumented else 3000  # memcheck runs the child 50 times slower
    out = run_isolated("func_hostile.py", 7, maxsize, single_flight, threads, rounds, timeout=600)
    assert out.strip() == "ok"


class TestExpiry:
    """lru_cache(ttl=...) and cache_invalidate(), driven by the cache's timer."""

    @staticmethod
    def timed(fn, now, **kwargs):
        wrapper = lru_cache(**kwargs)(counted(fn))
        wrapper.cache.timer = lambda: now[0]
        return wrapper

    @pytest.mark.parametrize("maxsize", [2, None])
    def test_a_result_expires_ttl_seconds_after_its_call_returned(self, maxsize):
        now = [0.0]
        f = self.timed(lambda x, y=0: (x, y, now[0]), now, maxsize=maxsize, ttl=5)
        assert f.cache_parameters() == {"maxsize": maxsize, "typed": False, "ttl": 5}
        assert f(1) == f(1) == (1, 0, 0.0)
        now[0] = 4.5
        assert f(2, y=1) == (2, 1, 4.5)
        now[0] = 5
        assert f.cache_info() == CacheInfo(1, 2, maxsize, 1)  # currsize counts live results
        assert f(1) == (1, 0, 5) and f(2, y=1) == (2, 1, 4.5)
        assert f.__wrapped__.calls == 3 and f.cache_info() == CacheInfo(2, 3, maxsize, 2)

    def test_an_unbounded_cache_with_a_ttl_does_not_grow_past_its_live_results(self):
        now = [0.0]
        f = self.timed(lambda x: x, now, maxsize=None, ttl=10)
        for i in range(10_000):
            now[0] = i / 10  # 100 results live at a time
            f(i)
        assert f.cache.capacity == 128 and f.cache_info().currsize == 100

    def test_ttl_errors_are_those_of_the_cache(self):
        for ttl, error in [(0, ValueError), (-1.5, ValueError), (float("inf"), ValueError),
                           (True, TypeError), ("5", TypeError)]:
            for maxsize in (0, 10, None):
                with pytest.raises(error):
                    lru_cache(maxsize, ttl=ttl)(len)
        assert "ttl" not in lru_cache(ttl=None)(len).cache_parameters()

    @pytest.mark.parametrize("typed", [False, True])
    def test_cache_invalidate_removes_the_one_result_a_call_would_use(self, typed):
        f = lru_cache(typed=typed)(counted(lambda *a, **k: (a, k)))
        f(1), f("a"), f(1, 2), f(1, b=2), f(2.0, 3)
        assert f.cache_invalidate(1, 2) is True and f.cache_invalidate(1, 2) is False
        assert f.cache_invalidate(1, c=2) is False and f.cache_invalidate(1, b=2) is True
        assert f.cache_invalidate(2, 3) is (not typed)  # 2 == 2.0: the same call untyped
        kept = [(1, int), ("a", str), (2.0, 3, float, int)] if typed else [1, "a"]
        assert f.cache.keys() == kept
        f(1, 2), f(1), f("a")
        assert f.__wrapped__.calls == 6
        with pytest.raises(TypeError):
            f.cache_invalidate([])
        assert lru_cache(0)(len).cache_invalidate("x") is False

    def test_single_flight_with_a_ttl(self):
        now = [0.0]
        f = self.timed(lambda x: now[0], now, ttl=1, single_flight=True)
        assert f(1) == 0
        now[0] = 1
        assert f(1) == 1 and f(1) == 1 and f.__wrapped__.calls == 2
        assert f.cache_parameters()["single_flight"] is True and f.cache_parameters()["ttl"] == 1
