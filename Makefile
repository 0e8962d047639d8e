# Every target runs through scripts/env, which provides CPython 3.14 and the test tools.
ENV := scripts/env
WERROR := CFLAGS=-Werror CXXFLAGS=-Werror

.PHONY: build test

build:
	$(ENV) env $(WERROR) scripts/build release

test: build
	$(ENV) python3.14 -m pytest -q
