"""A stored or probing key whose __eq__ runs ACTION (a name in hostile.ACTIONS) on the cache,
for every operation, answer, locking and side: prints the number of scenarios run.

Arguments: ACTION
"""
import sys

from hostile import operations, scenario

action = sys.argv[1]

count = 0
for answer in (False, True):
    for hostile_stored in (False, True):
        for thread_safe in (False, True):
            for op in operations(None):
                scenario(action, answer, hostile_stored, thread_safe, op)
                count += 1
print(count)
