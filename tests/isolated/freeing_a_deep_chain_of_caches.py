"""Freeing a cache that holds the last reference to another cache, and so on: every ROAD
that drops a reference ("del", or a name in ROADS) frees the whole chain, whose depth must not be
limited by the C stack.

Arguments: ROAD
"""
import sys
import threading

from amber_moth.lru_cache import LRUCache

# How the head of the chain lets go of it ("del" drops the head itself).
ROADS = {
    "clear": lambda head: head.clear(),
    "pop": lambda head: head.pop("link"),
    "delete": lambda head: head.delete("link"),
    "delitem": lambda head: head.__delitem__("link"),
    "overwrite": lambda head: head.__setitem__("link", None),
    "evict": lambda head: head.__setitem__("other", 1),
    "reinit": lambda head: head.__init__(1),
}
road = sys.argv[1]

class Counted:
    freed = 0
    def __del__(self):
        Counted.freed += 1

def free_chain(depth, in_key):
    tail = None
    for _ in range(depth):
        node = LRUCache(2)
        node["counted"] = Counted()
        if in_key:
            node[tail] = "link"
        else:
            node["link"] = tail
        tail = node
    head = LRUCache(1)
    head["link"] = tail
    del tail, node
    Counted.freed = 0
    if road == "del":
        del head
    else:
        ROADS[road](head)
    assert Counted.freed == depth, Counted.freed

for in_key in (False, True):
    free_chain(200_000, in_key)
# A thread's stack is much smaller than the main thread's.
threading.stack_size(512 * 1024)
errors = []
def run():
    try:
        free_chain(50_000, False)
    except BaseException as e:
        errors.append(e)
t = threading.Thread(target=run)
t.start()
t.join()
assert not errors, errors
print("ok")
