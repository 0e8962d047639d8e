"""A memoised function called, asked for its statistics or cleared from the finaliser of a
result that its cache's re-initialisation drops, while the cache has no store: each call
raises RuntimeError (the cache is not initialised) and nothing crashes; afterwards the
function memoises as before.

Run: python func_reinit_from_finaliser.py (prints "ok")."""
from amber_moth.func import lru_cache

outcomes = []


class Result:
    def __del__(self):
        for attempt in (lambda: f(5), f.cache_info, f.cache_clear):
            try:
                attempt()
                outcomes.append("done")
            except RuntimeError as e:
                assert "not initialized" in str(e), e
                outcomes.append("refused")


@lru_cache(maxsize=10)
def f(x):
    return Result() if x == 0 else x


f(0)
f.cache.__init__(10)
assert outcomes == ["refused", "done", "refused"], outcomes
assert f(5) == 5 and f(5) == 5 and f.cache_info().hits == 1
print("ok")
