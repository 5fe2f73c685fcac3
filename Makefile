# make test  - install what is missing, build, run the C++ and Python tests
# make demo  - the same set-up, then run examples/quickstart.py
# make bench - the same set-up, then build and run the benchmarks (bench/README.md)
# make bench-peers - build, then jorvane against other Python JSON tools in .venv-bench
#                    (bench/README.md; BENCH_ARGS="--size 100M --quick" for a short run)
#
# A second run reuses the venv and the build tree and only rebuilds what changed.

PY_SYS    ?= python3
VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     := build/cpp
JOBS      ?= $(shell nproc)
APT_PKGS  := libzstd-dev zlib1g-dev libxxhash-dev libfast-float-dev libgtest-dev libbenchmark-dev libsimdjson-dev pkg-config
EXT_GLOB  := python/jorvane/jorvane*.so

# cmake, ctest and ninja come from the venv
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: all test demo build setup system-deps venv ctest pytest wheel bench bench-peers bench-lazy bench-tables clean check-sanitize asan tsan

all: build

system-deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  (apt-get update -qq || true) && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.stamp: requirements-dev.txt
	$(PY_SYS) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

setup: system-deps venv

$(BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

ctest: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 900

pytest: build
	PYTHONPATH=python $(PY) -m pytest -q tests

test: ctest pytest

demo: build
	PYTHONPATH=python $(PY) examples/quickstart.py

# The distributable build: one abi3 wheel for CPython 3.11 and later.
wheel: setup
	$(PY) -m pip wheel --no-build-isolation --no-deps -w dist .

# The C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# threaded engine/source tests under ThreadSanitizer.
asan: setup
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJORVANE_BUILD_PYTHON=OFF \
	  -DJORVANE_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  ctest --test-dir build/asan -j $(JOBS) --output-on-failure --timeout 1800

TSAN_FILTER ?= ScanModes.*:Conformance.*:Reuse.*:PrefetchSource.*:Channel.*:SpscRing.*:StageOneProducer.*:Pipelined.*:WorkerPool.*:ScanSource.*:PullQuery.*:SplitScan.*:MappedFile.*
tsan: setup
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJORVANE_BUILD_PYTHON=OFF \
	  -DJORVANE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	for t in build/tsan/test_*; do [ -x "$$t" ] || continue; \
	  TSAN_OPTIONS=halt_on_error=1 $$t --gtest_filter='$(TSAN_FILTER)' || exit 1; done

check-sanitize: asan tsan

# ---- clang build and sanitized Python module --------------------------------
# Second builds, each in a directory of its own; `make test` is unaffected.
#   make clang       - libraries, extension, C++ tests and benchmarks built
#                      with clang (warnings are errors), then the C++ tests
#                      and the Python tests against that build's module
#   make asan-python - the extension and test hooks under ASan + UBSan, then
#                      the whole Python suite against them
# Both point JORVANE_TEST_MODULE_DIR at their module directory, so the Python
# run stops (tests/conftest.py) if it imported any other build.
# Their Debian packages come on top of `make setup`'s, so `make test` does
# not install them. clang's sanitizer runtime is a separate package.
CLANG_RT_PKG ?= libclang-rt-14-dev
CLANG_CC     ?= clang
CLANG_CXX    ?= clang++
CLANG_WERROR ?= ON
CLANG_BUILD  := build/clang
CLANG_PYDIR  := $(abspath $(CLANG_BUILD))/python

.PHONY: clang-deps clang asan-python

clang-deps: setup
	@$(MAKE) --no-print-directory system-deps APT_PKGS="clang $(CLANG_RT_PKG)"

clang: clang-deps
	cmake -S . -B $(CLANG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_COMPILER=$(CLANG_CC) -DCMAKE_CXX_COMPILER=$(CLANG_CXX) -DCMAKE_COMPILE_WARNING_AS_ERROR=$(CLANG_WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_PYTHON_DIR=$(CLANG_PYDIR)
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	ctest --test-dir $(CLANG_BUILD) -j $(JOBS) --output-on-failure --timeout 900
	JORVANE_TEST_MODULE_DIR=$(CLANG_PYDIR) PYTHONPATH=$(CLANG_PYDIR) $(PY) -m pytest -q tests

# The interpreter is not instrumented, so the sanitizer runtime must be the
# first library loaded: it is preloaded, as the compiler that built the
# module finds it. clang by default: it builds the sanitized engine about
# three times faster than g++ (with g++, pass ASANPY_CC=gcc ASANPY_CXX=g++
# ASANPY_RUNTIME=libasan.so). Python's own allocator is bypassed so that ASan
# also sees the objects the module hands to and takes from the interpreter.
# Leak checking stays off: the interpreter leaves its own allocations behind
# at exit (the engine's leaks are checked by `make asan`). pytest captures
# Python's streams only (--capture=sys): a sanitizer report is written to
# file descriptor 2 by a process about to die, and pytest's default capture
# of that descriptor would swallow it, leaving a bare exit status.
ASANPY_CC      ?= clang
ASANPY_CXX     ?= clang++
ASANPY_RUNTIME ?= libclang_rt.asan-x86_64.so
ASANPY_BUILD   := build/asan-python
ASANPY_PYDIR   := $(abspath $(ASANPY_BUILD))/python

asan-python: clang-deps
	cmake -S . -B $(ASANPY_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=$(ASANPY_CC) -DCMAKE_CXX_COMPILER=$(ASANPY_CXX) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON \
	  -DJORVANE_SANITIZE=address,undefined -DJORVANE_PYTHON_DIR=$(ASANPY_PYDIR)
	cmake --build $(ASANPY_BUILD) -j $(JOBS) --target jorvane_ext jorvane_testhooks jorvane_python_package
	@rt="$$($(ASANPY_CXX) -print-file-name=$(ASANPY_RUNTIME))"; \
	if [ ! -f "$$rt" ]; then echo "$(ASANPY_CXX) has no $(ASANPY_RUNTIME) (for clang: apt-get install $(CLANG_RT_PKG))"; exit 1; fi; \
	echo "preloading $$rt"; \
	LD_PRELOAD="$$rt" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  JORVANE_TEST_MODULE_DIR=$(ASANPY_PYDIR) PYTHONPATH=$(ASANPY_PYDIR) $(PY) -m pytest -q --capture=sys tests
# ---- end of clang build and sanitized Python module -------------------------

# Build the benchmarks, generate their input once and run them (bench/README.md).
bench: setup
	JOBS=$(JOBS) bash bench/run.sh build/bench

# The Python peer benchmark: jorvane built in-tree as by `make build`, the
# peers in their own venv (never in requirements-dev.txt).
VENV_BENCH := .venv-bench
$(VENV_BENCH)/.stamp: bench/requirements-peers.txt
	$(PY_SYS) -m venv $(VENV_BENCH)
	$(VENV_BENCH)/bin/python -m pip install -q --upgrade pip
	$(VENV_BENCH)/bin/python -m pip install -q -r bench/requirements-peers.txt
	touch $@

bench-peers: build $(VENV_BENCH)/.stamp
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target gen_ndjson
	PYTHONPATH=python $(VENV_BENCH)/bin/python bench/bench_peers.py --gen build/bench/bench/gen_ndjson $(BENCH_ARGS)

# The lazy iterators and describe against their peers (bench/README.md).
bench-lazy: build $(VENV_BENCH)/.stamp
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target gen_ndjson
	PYTHONPATH=python $(VENV_BENCH)/bin/python bench/bench_lazy.py --gen build/bench/bench/gen_ndjson $(BENCH_ARGS)

# Typed tables against their peers (bench/README.md).
bench-tables: build $(VENV_BENCH)/.stamp
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target gen_ndjson
	PYTHONPATH=python $(VENV_BENCH)/bin/python bench/bench_tables.py --gen build/bench/bench/gen_ndjson $(BENCH_ARGS)

clean:
	rm -rf build dist $(EXT_GLOB)
