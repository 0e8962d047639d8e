# Every target runs through scripts/env, which provides CPython 3.13 to 3.15 and the test tools.
ENV := scripts/env
# Release builds leave debug information out (setup.py adds -g0); checked builds keep it.
RELEASE := -Werror
SANITIZE := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
CHECKED := -Werror -DAMBER_MOTH_CHECKED -g
# Beside 3.14, the versions whose release build runs the whole suite in make test.
OTHER_VERSIONS := 3.13 3.15
# The focused part of the suite for the slow memory checkers.
FOCUSED := tests/test_reentrancy.py tests/test_model.py tests/test_func.py tests/test_afunc.py
# The tests whose lookups the build without key addresses in its index slots must pass.
LOOKUPS := $(FOCUSED) tests/test_api.py
# A per-test limit that fits the long runs (pyproject.toml's is 300 s).
LONG_RUN := --timeout=3600
stage = @echo "=== $(1)"

# TESTS picks the tests a stage runs (files, or pytest node ids such as
# tests/test_api.py::test_get); by default each stage runs its own selection below.
TESTS :=
tests_or = $(if $(TESTS),$(TESTS),$(1))
VARIANT_BUILDS := $(OTHER_VERSIONS:%=build-%) build-asan build-debug build-slotless build-checked

.PHONY: build $(VARIANT_BUILDS) test unit $(OTHER_VERSIONS:%=unit-%) cpython-tests asan refleak slotless \
  sdist wheels \
  valgrind fuzz bench bench-callgrind

# Each build replaces its folder under build/, which AMBER_MOTH_VARIANT names to scripts/env.
build:
	$(call stage,release build for CPython 3.14)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/build release

$(OTHER_VERSIONS:%=build-%): build-%:
	$(call stage,release build for CPython $*)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/build release-$* python$*

build-asan:
	$(call stage,sanitizer build)
	$(ENV) env CXXFLAGS="$(CHECKED) $(SANITIZE)" LDFLAGS="$(SANITIZE)" scripts/build asan

build-debug:
	$(call stage,checked build for the debug interpreter)
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build debug python3.14-dbg

# A checked build whose index slots carry no key address, as where addresses do not fit:
# every lookup reads the stored key from its node.
build-slotless:
	$(call stage,checked build whose index carries no key addresses)
	$(ENV) env CXXFLAGS="$(CHECKED) -DAMBER_MOTH_NO_SLOT_KEY" scripts/build slotless

build-checked:
	$(call stage,checked build)
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build checked

# The suite on the release build of each version, CPython's own lru_cache tests, the
# sanitizer, reference-leak and slotless stages, then the sdist and the wheels tried as a
# user would.
test: unit $(OTHER_VERSIONS:%=unit-%) cpython-tests asan refleak slotless sdist wheels

unit: build
	$(call stage,the suite on CPython 3.14)
	$(ENV) python3.14 -m pytest -q $(TESTS)

$(OTHER_VERSIONS:%=unit-%): unit-%: build-%
	$(call stage,the suite on CPython $*)
	AMBER_MOTH_VARIANT=release-$* $(ENV) python$* -m pytest -q -p no:cacheprovider $(TESTS)

# CPython's own lru_cache tests (test_functools, from libpython3.14-testsuite) against
# amber_moth.func; here a missing test suite fails the stage instead of skipping them.
cpython-tests: build
	$(call stage,CPython's own lru_cache tests against amber_moth.func)
	AMBER_MOTH_NEED_CPYTHON_TESTS=1 $(ENV) python3.14 -m pytest -q $(call tests_or,tests/test_func_cpython.py)

asan: build-asan
	$(call stage,the suite under ASan and UBSan)
	AMBER_MOTH_VARIANT=asan $(ENV) scripts/with-sanitizers python3.14 -m pytest -q -p no:cacheprovider $(TESTS)

refleak: build-debug
	$(call stage,reference-leak rounds on the debug interpreter)
	AMBER_MOTH_VARIANT=debug $(ENV) python3.14-dbg -m pytest -q -p no:cacheprovider \
	  $(call tests_or,tests/test_refleak.py)

slotless: build-slotless
	$(call stage,the lookup tests on the build whose index carries no key addresses)
	AMBER_MOTH_VARIANT=slotless $(ENV) python3.14 -m pytest -q -p no:cacheprovider $(call tests_or,$(LOOKUPS))

sdist:
	$(call stage,the sdist installed in a fresh venv runs its own tests)
	$(ENV) scripts/check-sdist

# Writes the sdist and a repaired manylinux wheel per CPython to dist/, once each wheel has
# passed the tests installed in a fresh venv.
wheels:
	$(call stage,manylinux wheels for CPython 3.13 to 3.15 installed in fresh venvs run the tests)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/wheels

valgrind: build-checked
	$(call stage,the focused tests under memcheck (20 to 30 minutes))
	AMBER_MOTH_VARIANT=checked HYPOTHESIS_PROFILE=small $(ENV) env PYTHONMALLOC=malloc \
	  valgrind --quiet --error-exitcode=99 --trace-children=yes --leak-check=no \
	  --track-origins=yes python3.14 -m pytest -v -p no:cacheprovider $(LONG_RUN) $(call tests_or,$(FOCUSED))

fuzz: build
	$(call stage,the model test with 10000 examples (seven to eleven minutes))
	HYPOTHESIS_PROFILE=fuzz $(ENV) python3.14 -m pytest -v $(LONG_RUN) --hypothesis-show-statistics \
	  $(call tests_or,tests/test_model.py)

# The side-by-side benchmark (minutes); BENCH_ARGS=--quick for a short run.
bench: build
	$(ENV) python3.14 bench/bench.py $(BENCH_ARGS)

# Instructions per operation under callgrind, beside the peers: counts that repeat from run
# to run (tens of minutes on a loaded machine; BENCH_ARGS=--quick for 1,000 entries only).
bench-callgrind: build
	$(ENV) python3.14 bench/callgrind.py $(BENCH_ARGS)
