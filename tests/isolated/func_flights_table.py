"""The table of a single-flight wrapper's computations under way, reached as the collector
reaches it (gc.get_referents of the wrapper).

Run: python func_flights_table.py CASE (prints "ok"), CASE being
  shrinks  after 600 flights at once (nested calls of one thread), the table is back to its
           first capacity once they have landed;
  foreign  an object that is not a flight, stored in the table under a call's key, is passed
           over: the call computes, and the object is replaced."""
import gc
import sys

from amber_moth.func import lru_cache
from amber_moth.lru_cache import LRUCache

case = sys.argv[1]
sys.setrecursionlimit(10_000)
peak = []


@lru_cache(maxsize=None, single_flight=True)
def f(n):
    if n == 0:
        peak.append(flights.capacity)
        return 0
    return f(n - 1) + 1


(flights,) = [o for o in gc.get_referents(f) if isinstance(o, LRUCache) and o is not f.cache]
first = flights.capacity
if case == "shrinks":
    assert f(600) == 600 and peak[0] >= 600, peak
    assert len(flights) == 0 and flights.capacity == first, flights.capacity
else:
    flights[5] = b"\0" * 64  # its bytes, read as a flight's fields, would point nowhere
    assert f(5) == 5
    assert len(flights) == 0 and f.cache_info().misses == 6
print("ok")
