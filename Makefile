# Every target runs through scripts/env, which provides CPython 3.13 to 3.15 and the test tools.
ENV := scripts/env
# Release builds leave debug information out (setup.py adds -g0); checked builds keep it.
RELEASE := -Werror
SANITIZE := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
CHECKED := -Werror -DAMBER_MOTH_CHECKED -g
# Beside 3.14, the versions whose release build runs the whole suite in make test.
OTHER_VERSIONS := 3.13 3.15
# The focused part of the suite for the slow memory checkers.
FOCUSED := tests/test_reentrancy.py tests/test_model.py
# The tests whose lookups the build without key addresses in its index slots must pass.
LOOKUPS := $(FOCUSED) tests/test_api.py
# A per-test limit that fits the long runs (pyproject.toml's is 300 s).
LONG_RUN := --timeout=3600
stage = @echo "=== $(1)"

.PHONY: build test unit $(OTHER_VERSIONS:%=unit-%) asan refleak slotless sdist wheels valgrind fuzz bench

build:
	$(call stage,release build for CPython 3.14)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/build release

# The suite on the release build of each version, the sanitizer, reference-leak and slotless
# stages, then the sdist and the wheels tried as a user would.
test: unit $(OTHER_VERSIONS:%=unit-%) asan refleak slotless sdist wheels

unit: build
	$(call stage,the suite on CPython 3.14)
	$(ENV) python3.14 -m pytest -q

$(OTHER_VERSIONS:%=unit-%): unit-%:
	$(call stage,release build and the suite on CPython $*)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/build release-$* python$*
	AMBER_MOTH_VARIANT=release-$* $(ENV) python$* -m pytest -q -p no:cacheprovider

asan:
	$(call stage,sanitizer build and the suite under ASan and UBSan)
	$(ENV) env CXXFLAGS="$(CHECKED) $(SANITIZE)" LDFLAGS="$(SANITIZE)" scripts/build asan
	AMBER_MOTH_VARIANT=asan $(ENV) scripts/with-sanitizers python3.14 -m pytest -q -p no:cacheprovider

refleak:
	$(call stage,debug-interpreter build and reference-leak rounds)
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build debug python3.14-dbg
	AMBER_MOTH_VARIANT=debug $(ENV) python3.14-dbg -m pytest -q -p no:cacheprovider tests/test_refleak.py

# A checked build whose index slots carry no key address, as where addresses do not fit:
# every lookup reads the stored key from its node.
slotless:
	$(call stage,checked build whose index carries no key addresses and the lookup tests on it)
	$(ENV) env CXXFLAGS="$(CHECKED) -DAMBER_MOTH_NO_SLOT_KEY" scripts/build slotless
	AMBER_MOTH_VARIANT=slotless $(ENV) python3.14 -m pytest -q -p no:cacheprovider $(LOOKUPS)

sdist:
	$(call stage,the sdist installed in a fresh venv runs its own tests)
	$(ENV) scripts/check-sdist

# Writes the sdist and a repaired manylinux wheel per CPython to dist/, once each wheel has
# passed the tests installed in a fresh venv.
wheels:
	$(call stage,manylinux wheels for CPython 3.13 to 3.15 installed in fresh venvs run the tests)
	$(ENV) env CFLAGS="$(RELEASE)" CXXFLAGS="$(RELEASE)" scripts/wheels

valgrind:
	$(call stage,checked build and the focused tests under memcheck (about ten minutes))
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build checked
	AMBER_MOTH_VARIANT=checked HYPOTHESIS_PROFILE=small $(ENV) env PYTHONMALLOC=malloc \
	  valgrind --quiet --error-exitcode=99 --trace-children=yes --leak-check=no \
	  --track-origins=yes python3.14 -m pytest -v -p no:cacheprovider $(LONG_RUN) $(FOCUSED)

fuzz: build
	$(call stage,the model test with 10000 examples (seven to eleven minutes))
	HYPOTHESIS_PROFILE=fuzz $(ENV) python3.14 -m pytest -v $(LONG_RUN) --hypothesis-show-statistics tests/test_model.py

# The side-by-side benchmark (minutes); BENCH_ARGS=--quick for a short run.
bench: build
	$(ENV) python3.14 bench/bench.py $(BENCH_ARGS)
