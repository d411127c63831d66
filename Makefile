# Development commands; `make test` and `make demo` do all the set-up.
#
# The interpreter is CPython 3.14 with its headers: PYTHON=/path/to/python3.14
# if given, else one on PATH, else one bootstrapped into .toolchain/.

VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

# The modules whose stubs stubtest checks against the built package.
STUBBED := $(addprefix kelvra_runtime.core.runtime.,waiters tallybook spawn policy faultsort exceptions)

.PHONY: build test demo check-stubs check-wheel clean

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

# The stubs against the built modules (no allowlist), and strict mypy on the
# demo and the typed usage sample.
check-stubs: build
	$(PY) -m mypy.stubtest $(STUBBED)
	$(PY) -m mypy --strict examples/demo.py examples/typed_usage.py

# `pip wheel .`, then a fresh venv that installs the wheel and imports the modules.
check-wheel: $(DEPS)
	tools/check-wheel $(PY)

# The benchmarks: each operation against its Python rendering and a no-op C
# call of the same shape (bench/run.py; pyperf options in BENCH_ARGS).
.PHONY: bench
bench: build $(VENV)/.bench-deps-installed
	$(PY) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-deps-installed: bench/requirements.txt $(DEPS)
	$(PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	touch $@

clean:
	rm -rf build $(VENV)
