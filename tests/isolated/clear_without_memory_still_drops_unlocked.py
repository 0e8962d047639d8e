"""With the address space capped, clear() cannot get memory to move every entry out at
once; it removes entries one at a time instead (the first finaliser still sees the
others), never dropping under the lock. That finaliser lifts the cap to start a thread."""
import resource
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent

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
