"""With typed=True, a call's key holds the types of its arguments for as long as it uses them,
as the tuple functools builds does: a type the call's own code frees meanwhile (an argument's
__class__ reassigned, its old class collected, a new class made where it was) is still the
one in the key stored.

Run: python func_typed_key_keeps_its_types.py CASE, CASE being
  positional  the function reassigns its positional argument's class;
  keyword     the same, for a keyword argument;
  comparison  a stored key's __eq__, comparing the call's first argument, reassigns the
              second's class and stores a key of the call's hash, so that the lookup starts
              again and reads the key's items after that code ran.
Prints the name of the type the stored key ends with ("Doomed")."""
import gc
import sys

from amber_moth.func import lru_cache

case = sys.argv[1]


class Plain:
    pass


reborn = []  # classes made after the old one was collected, likely at its address


def swap_class(obj):
    """Gives obj the class Plain and collects its old class, which nothing else holds."""
    obj.__class__ = Plain
    gc.collect()
    reborn.extend(type(f"Reborn{i}", (), {}) for i in range(20))


def doomed():
    """An instance of a class made at run time, held by nothing but the instance."""
    return type("Doomed", (), {})()


@lru_cache(typed=True)
def f(*args, **kwargs):
    if case != "comparison":
        swap_class(args[0] if args else kwargs["x"])
    return "result"


class HashAs:
    """Equal to nothing else, hashed as a given object."""

    def __init__(self, obj):
        self.hash = hash(obj)

    def __hash__(self):
        return self.hash


if case == "positional":
    f(doomed())
elif case == "keyword":
    f(x=doomed())
else:
    arg = doomed()

    class First(HashAs):
        """Stands for the call's first argument; its first comparison acts."""

        acted = False
        __hash__ = HashAs.__hash__

        def __eq__(self, other):
            if not First.acted:
                First.acted = True
                swap_class(arg)
                f.cache[(1, arg, int, tail)] = "filler"  # the call's hash: a restart
            return False

    tail = HashAs(type(arg))
    f.cache[(First(1), HashAs(arg), HashAs(int), tail)] = "decoy"
    f(1, arg)
    assert First.acted
(key,) = [k for k in f.cache.keys() if f.cache.peek(k) == "result"]
print(key[-1].__name__)
