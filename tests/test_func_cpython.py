"""CPython's own lru_cache tests (test.test_functools.TestLRU and TestCache), unchanged, run
against amber_moth.func, as they run against the C functools. Skipped where the interpreter
ships without its test suite (the Debian package libpython3.X-testsuite provides it), unless
AMBER_MOTH_NEED_CPYTHON_TESTS is set (make cpython-tests)."""
import os

import pytest

import amber_moth.func

if os.environ.get("AMBER_MOTH_NEED_CPYTHON_TESTS"):
    import test.test_functools as test_functools
else:
    test_functools = pytest.importorskip("test.test_functools", reason="CPython's test suite is not installed")

module = amber_moth.func


def reads_functools(test):
    """Marks a test that reads a functools attribute this module does not have (partial,
    WRAPPER_ASSIGNMENTS): the test's body is unchanged, and must fail for that reason alone."""
    return test_functools.unittest.expectedFailure(test)


@module.lru_cache()
def cached_func(x, y):
    return 3 * x + y


class TestLRUAmberMoth(test_functools.TestLRU, test_functools.unittest.TestCase):
    module = module
    cached_func = (cached_func,)

    test_copy = reads_functools(test_functools.TestLRU.test_copy)  # functools.partial
    test_deepcopy = reads_functools(test_functools.TestLRU.test_deepcopy)  # functools.partial
    test_lru_cache_decoration = reads_functools(
        test_functools.TestLRU.test_lru_cache_decoration
    )  # functools.WRAPPER_ASSIGNMENTS

    @module.lru_cache()
    def cached_meth(self, x, y):
        return 3 * x + y

    @staticmethod
    @module.lru_cache()
    def cached_staticmeth(x, y):
        return 3 * x + y


class TestCacheAmberMoth(test_functools.TestCache, test_functools.unittest.TestCase):
    module = module
