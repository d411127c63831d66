# Development commands; `make test` and `make demo` do all the set-up.
#
# The interpreter is CPython 3.14 with its headers: PYTHON=/path/to/python3.14
# if given, else one on PATH, else one bootstrapped into .toolchain/.

VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: build test demo clean

$(DEPS): requirements-dev.txt
	python="$$(tools/bootstrap-python | tail -n 1)" && "$$python" -m venv --clear $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

build: $(DEPS)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .

test: build
	$(PY) -m pytest

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV)
