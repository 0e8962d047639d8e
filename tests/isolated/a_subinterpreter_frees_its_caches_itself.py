"""A finaliser run deep in the destruction of a chain of caches frees a chain of caches
in a legacy subinterpreter: they are all freed there, before the call returns, and the
subinterpreter can then be destroyed. DEPTH is the number of caches in the outer chain.

Arguments: DEPTH
"""
import _interpreters
import os
import sys

from amber_moth.lru_cache import LRUCache

depth = int(sys.argv[1])
read_end, write_end = os.pipe()
SUB = '''
import os
from amber_moth.lru_cache import LRUCache
freed = []
class Counted:
    def __del__(self):
        freed.append(1)
chain = None
for _ in range(30):
    c = LRUCache(2)
    c[0] = chain
    c[1] = Counted()
    chain = c
del chain, c
os.write(%d, b"%%d," %% len(freed))
'''
class CallsIntoSub:
    def __init__(self, destroy):
        self.destroy = destroy
    def __del__(self):
        interp = _interpreters.create("legacy")
        _interpreters.run_string(interp, SUB % write_end)
        if self.destroy:
            _interpreters.destroy(interp)
for destroy in (False, True):
    chain = LRUCache(2)
    chain[0] = CallsIntoSub(destroy)
    for _ in range(depth - 1):
        c = LRUCache(2)
        c[0] = chain
        chain = c
    del chain, c
os.close(write_end)
print(os.read(read_end, 100).decode())
