# Development commands; `make test` and `make demo` do all the set-up.
#
# The interpreter is CPython PYTHON_VERSION (3.14, the default, or 3.15) with
# its headers: PYTHON=/path/to/python3.X if given, else one on PATH, else one
# bootstrapped into .toolchain/; for `make test-refs`, its debug build:
# PYTHON_DEBUG=/path/to/python3.Xd or the same search for python3.Xd. Each
# version has venvs of its own: .venv for 3.14, .venv-3.15 for 3.15, and so on.

PYTHON_VERSION ?= 3.14
VERSION_SUFFIX := $(if $(filter 3.14,$(PYTHON_VERSION)),,-$(PYTHON_VERSION))
VENV := .venv$(VERSION_SUFFIX)
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
DEBUG_VENV := .venv-debug$(VERSION_SUFFIX)
CLANG_VENV := .venv-clang$(VERSION_SUFFIX)
ASAN_VENV := .venv-asan$(VERSION_SUFFIX)
MUTANTS_VENV := .venv-mutants
BOOTSTRAP := tools/bootstrap-python --version $(PYTHON_VERSION)
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

# The modules whose stubs stubtest checks against the built package.
STUBBED := $(addprefix kelvra_runtime.core.runtime.,$(shell grep -v "^\#" src/kelvra_runtime/core/runtime/modules.txt))
# The engine's package folders and `exceptions` module, for use without the
# engine: a distribution of its own, installed after ours wherever ours is.
STANDIN := ./standin

# Development and CI builds turn compiler warnings into errors; a user's
# build of the sdist does not.
STRICT := -C cmake.define.KELVRA_WERROR=ON

.PHONY: build test demo check-stubs check-format format wheel check-wheel test-refs test-asan mutants clean

# The bootstrap prints the interpreter's path, and nothing else, on stdout;
# when it fails, so does the assignment, and make stops with its message.
$(DEPS) $(DEBUG_VENV)/.deps-installed $(ASAN_VENV)/.deps-installed $(CLANG_VENV)/.deps-installed: requirements-dev.txt constraints-dev.txt
	python="$$($(BOOTSTRAP))" && "$$python" -m venv --clear $(@D)
	$(@D)/bin/python -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt -c constraints-dev.txt
	touch $@

$(DEBUG_VENV)/.deps-installed: BOOTSTRAP := PYTHON=$(PYTHON_DEBUG) tools/bootstrap-python --version $(PYTHON_VERSION) --debug

build: $(DEPS)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STRICT) .
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STANDIN)

test: build
	$(PY) -m pytest

demo: build
	$(PY) examples/demo.py

# The stubs against the built modules (no allowlist), and strict mypy on the
# demo and the typed usage sample.
check-stubs: build
	$(PY) -m mypy.stubtest $(STUBBED)
	$(PY) -m mypy --strict examples/demo.py examples/typed_usage.py

# The C++ sources in the one style of .clang-format.
CXX_SOURCES = $(sort $(wildcard src/kelvra_runtime/core/runtime/*.cpp src/kelvra_runtime/core/runtime/common/*.[ch]pp src/kelvra_runtime/core/runtime/common/*/*.[ch]pp bench/*.cpp))
check-format: $(DEPS)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format: $(DEPS)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# The interpreters the wheels are built for and checked on, whatever
# PYTHON_VERSION is: each version's development venv, and its arm64
# interpreter, run under emulation (tools/bootstrap-python --arch arm64).
WHEEL_VERSIONS := 3.14 3.15
WHEEL_PYTHONS := set --; for v in $(WHEEL_VERSIONS); do \
		arm64=$$(tools/bootstrap-python --version $$v --arch arm64) || exit 1; \
		set -- "$$@" $(CURDIR)/.venv$$([ $$v = 3.14 ] || echo -$$v)/bin/python "$$arm64"; \
	done

.PHONY: wheel-venvs
wheel-venvs:
	for v in $(WHEEL_VERSIONS); do \
		$(MAKE) --no-print-directory PYTHON_VERSION=$$v .venv$$([ $$v = 3.14 ] || echo -$$v)/.deps-installed || exit 1; \
	done

# What a user installs, into dist/: a manylinux wheel for each interpreter
# of WHEEL_PYTHONS, the sdist, and the stand-in's wheel under dist/standin/
# (tools/build-dist).
wheel: wheel-venvs
	$(WHEEL_PYTHONS); tools/build-dist dist "$$@"

# tools/check-wheel, run by the 3.14 development venv: each x86_64 wheel in
# fresh venvs, beside a stand-in for the engine's distribution in both
# orders, then uninstalled, and type checkers against it; each arm64 wheel
# installed into a directory and run under emulation; the sdist built and
# installed; and a second build of the commit, which must give the same bytes.
# Then, for each version, tools/check-engine-modes: the x86_64 wheel beside
# stand-in engines in each editable install and checkout the README names.
check-wheel: wheel
	tools/bootstrap-python --clang >/dev/null
	$(WHEEL_PYTHONS); "$$1" tools/check-wheel dist "$$@"
	for v in $(WHEEL_VERSIONS); do .venv$$([ $$v = 3.14 ] || echo -$$v)/bin/python tools/check-engine-modes dist || exit 1; done

# The suite on arm64 under emulation, against the arm64 wheel of `make wheel`
# for PYTHON_VERSION: the wheel and the stand-in, and the suite's tools at the
# versions of constraints-dev.txt, installed by the development venv's pip
# into build/arm64-3.X/ (tools/emulated-site), which is the emulated
# interpreter's PYTHONPATH. Fresh interpreters of the tests start through
# the emulator too (tests/conftest.py). Hypothesis's plugin is named rather
# than found through its entry point, so that pytest rewrites the asserts of
# that module alone, not of all hypothesis, which takes a minute emulated.
# `make test-arm64` runs the whole suite (slow: well over an hour);
# `make test-arm64-part` the part that tests/arm64-part.txt names.
ARM64_DIR := build/arm64-$(PYTHON_VERSION)
ARM64_WHEEL = dist/kelvra_runtime-*-cp$(subst .,,$(PYTHON_VERSION))-*_aarch64.whl
# How many times slower the emulated interpreter runs (24 to 31 here); the
# tests' subprocess time limits grow by as much.
ARM64_SLOWDOWN := 30

$(ARM64_DIR)/tools/.installed: constraints-dev.txt $(DEPS)
	arm64="$$($(BOOTSTRAP) --arch arm64)" && \
		tools/emulated-site $(PY) "$$arm64" $(@D) -c constraints-dev.txt pytest hypothesis trio
	touch $@

# The emulator's root is the arm64 interpreter's prefix, in which the
# bootstrap's launcher is bin/python3.X.
define run_arm64_suite
	arm64="$$($(BOOTSTRAP) --arch arm64)" && \
	tools/emulated-site $(PY) "$$arm64" $(ARM64_DIR)/package --no-index --no-deps $(ARM64_WHEEL) dist/standin/*.whl && \
	KELVRA_TEST_EMULATOR="qemu-aarch64-static -L $$(dirname "$$(dirname "$$arm64")")" KELVRA_TEST_SLOWDOWN=$(ARM64_SLOWDOWN) \
		PYTHONPATH=$(CURDIR)/$(ARM64_DIR)/package:$(CURDIR)/$(ARM64_DIR)/tools PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
		"$$arm64" -m pytest -p _hypothesis_pytestplugin $(1)
endef

.PHONY: test-arm64 test-arm64-part
test-arm64: wheel $(ARM64_DIR)/tools/.installed
	$(call run_arm64_suite,)

test-arm64-part: wheel $(ARM64_DIR)/tools/.installed
	$(call run_arm64_suite,$$(grep -v '^#' tests/arm64-part.txt))

# The suite under the debug interpreter (its assertions on), then the
# reference-count check of tests/refs, which only that interpreter runs, in
# a process of its own.
test-refs: $(DEBUG_VENV)/.deps-installed
	$(DEBUG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STRICT) .
	$(DEBUG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STANDIN)
	$(DEBUG_VENV)/bin/python -m pytest --ignore=tests/refs
	$(DEBUG_VENV)/bin/python -m pytest tests/refs

# The suite under AddressSanitizer and UBSan: the modules built with both
# into build/asan, the ASan runtime preloaded into the interpreter, and
# PYTHONMALLOC=malloc so that every object's memory passes through ASan.
test-asan: $(ASAN_VENV)/.deps-installed
	$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STRICT) \
		-C cmake.define.KELVRA_SANITIZE=ON -C build-dir=build/asan$(VERSION_SUFFIX) .
	$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STANDIN)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
		$(ASAN_VENV)/bin/python -m pytest

# The suite against a build by clang with libc++ (the standard library of
# macOS), warnings as errors: the sdist is how platforms without a wheel
# install, and any C++20 compiler must build it. The bootstrap installs
# clang and libc++ on the host when they are missing.
CLANG_ENV := CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++
.PHONY: test-clang
$(CLANG_VENV)/.deps-installed: BOOTSTRAP := tools/bootstrap-python --version $(PYTHON_VERSION) --clang
test-clang: $(CLANG_VENV)/.deps-installed
	$(CLANG_ENV) $(CLANG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		$(STRICT) -C build-dir=build/clang-libc++$(VERSION_SUFFIX) .
	$(CLANG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps $(STANDIN)
	$(CLANG_VENV)/bin/python -m pytest

# The benchmarks: each operation against its Python rendering, that
# rendering's Cython build and a no-op C call of the same shape (bench/run.py;
# pyperf options, --instructions and --only TEXT in BENCH_ARGS).
.PHONY: bench
bench: build $(VENV)/.bench-deps-installed
	$(PY) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-deps-installed: bench/requirements.txt $(DEPS)
	$(PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	touch $@

# The mutation check (tools/mutants.py): a seeded sample of MUTANTS_PER_FILE
# mutants of each C++ source, each built into build/mutants and run against
# the suite; the report is build/mutants/report.md. Slow, so not in CI.
MUTANTS_PER_FILE ?= 8
MUTANTS_SEED ?= 1
mutants: build $(MUTANTS_VENV)/.deps-installed
	$(PY) tools/mutants.py --per-file $(MUTANTS_PER_FILE) --seed $(MUTANTS_SEED)

$(MUTANTS_VENV)/.deps-installed: tools/mutants-requirements.txt
	python="$$($(BOOTSTRAP))" && "$$python" -m venv --clear $(@D)
	$(@D)/bin/python -m pip install --quiet --disable-pip-version-check -r tools/mutants-requirements.txt
	touch $@

clean:
	rm -rf build dist .venv .venv-[0-9]* .venv-debug* .venv-asan* .venv-clang* $(MUTANTS_VENV)
