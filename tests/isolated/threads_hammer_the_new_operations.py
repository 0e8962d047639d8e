"""popitem, peek, update, setdefault, resize and cache_info from many threads: values
match their keys, resize waits for another thread's operation on a thread-safe cache and
is refused (never run) while one is under way on a cache without a lock, and the hook is called only on a thread making an operation that can evict. In a
process of its own: a resize under another thread's operation would free the store it uses.

Arguments: unlocked|thread_safe
"""
import random
import sys
import threading

from amber_moth.lru_cache import LRUCache

from support import assert_consistent, thread_safety

thread_safe = thread_safety(sys.argv[1])
sys.setswitchinterval(1e-6)

class Collide:
    def __init__(self, n):
        self.n = n
    def __hash__(self):
        return self.n % 5
    def __eq__(self, other):
        return isinstance(other, Collide) and self.n == other.n

cache = LRUCache(16, thread_safe)
evicting = threading.local()
errors = []

def check(key, value):
    n = key.n if isinstance(key, Collide) else key
    assert value == ("v", n), (key, value)

def on_evict(key, value):
    try:
        assert getattr(evicting, "now", False), "hook called on a thread that did not evict"
        check(key, value)
    except BaseException as e:
        errors.append(e)

cache.on_evict = on_evict

def worker(seed):
    rng = random.Random(seed)
    try:
        for _ in range(5_000):
            n = rng.randrange(64)
            key = Collide(n) if n % 2 else n
            r = rng.random()
            evicting.now = r < 0.55
            if r < 0.2:
                cache[key] = ("v", n)
            elif r < 0.35:
                cache.update([(key, ("v", n))])
            elif r < 0.5:
                check(key, cache.setdefault(key, ("v", n)))
            elif r < 0.55:
                try:
                    cache.resize(rng.randrange(4, 32))
                except RuntimeError as e:
                    assert "while one of its operations is running" in str(e)
            elif r < 0.7:
                value = cache.peek(key)
                assert value is None or check(key, value) is None
            elif r < 0.85:
                try:
                    check(*cache.popitem())
                except KeyError:
                    pass
            else:
                info = cache.cache_info()
                assert info.currsize <= info.maxsize, info
            evicting.now = False
    except BaseException as e:
        errors.append(e)

workers = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
for w in workers:
    w.start()
for w in workers:
    w.join()
if errors:
    raise errors[0]
assert_consistent(cache)
print("ok")
