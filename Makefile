# Every target runs through scripts/env, which provides CPython 3.14 and the test tools.
ENV := scripts/env
SANITIZE := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
CHECKED := -Werror -DAMBER_MOTH_CHECKED -g
# The focused part of the suite for the slow memory checkers.
FOCUSED := tests/test_reentrancy.py tests/test_model.py

.PHONY: build test unit asan refleak valgrind fuzz bench

build:
	$(ENV) env CFLAGS=-Werror CXXFLAGS=-Werror scripts/build release

# The ordinary suite on the release build, then the sanitizer and reference-leak stages.
test: unit asan refleak

unit: build
	$(ENV) python3.14 -m pytest -q

asan:
	$(ENV) env CXXFLAGS="$(CHECKED) $(SANITIZE)" LDFLAGS="$(SANITIZE)" scripts/build asan
	AMBER_MOTH_VARIANT=asan $(ENV) scripts/with-sanitizers python3.14 -m pytest -q -p no:cacheprovider

refleak:
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build debug python3.14-dbg
	AMBER_MOTH_VARIANT=debug $(ENV) python3.14-dbg -m pytest -q -p no:cacheprovider tests/test_refleak.py

valgrind:
	$(ENV) env CXXFLAGS="$(CHECKED)" scripts/build checked
	AMBER_MOTH_VARIANT=checked HYPOTHESIS_PROFILE=small $(ENV) env PYTHONMALLOC=malloc \
	  valgrind --quiet --error-exitcode=99 --trace-children=yes --leak-check=no \
	  --track-origins=yes python3.14 -m pytest -q -p no:cacheprovider $(FOCUSED)

fuzz: build
	HYPOTHESIS_PROFILE=fuzz $(ENV) python3.14 -m pytest -q --hypothesis-show-statistics tests/test_model.py

# The side-by-side benchmark (minutes); BENCH_ARGS=--quick for a short run.
bench: build
	$(ENV) python3.14 bench/bench.py $(BENCH_ARGS)
