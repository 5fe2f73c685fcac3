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

.PHONY: all test demo build setup system-deps venv ctest pytest wheel bench bench-peers clean check-sanitize asan tsan

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

TSAN_FILTER ?= ScanModes.*:Conformance.*:Reuse.*:PrefetchSource.*:Channel.*:SpscRing.*
tsan: setup
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJORVANE_BUILD_PYTHON=OFF \
	  -DJORVANE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	for t in build/tsan/test_*; do [ -x "$$t" ] || continue; \
	  TSAN_OPTIONS=halt_on_error=1 $$t --gtest_filter='$(TSAN_FILTER)' || exit 1; done

check-sanitize: asan tsan

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

# ---- fuzzing (fuzz/README.md) -----------------------------------------------
# make fuzz       - build the libFuzzer targets (clang, ASan+UBSan) in build/fuzz,
#                   then run each for FUZZ_SECONDS (default 300) from its seed corpus
# make fuzz-smoke - the same for 60 seconds each (CI)
# The fuzz build has a directory of its own and never touches build/cpp.
FUZZ_BUILD    := build/fuzz
FUZZ_SECONDS  ?= 300
FUZZ_TARGETS  ?= query_compile engine_differential decoder
FUZZ_APT_PKGS := clang libclang-rt-14-dev

.PHONY: fuzz fuzz-smoke fuzz-build fuzz-deps

# clang and its libFuzzer/sanitizer runtimes, installed like the other packages.
fuzz-deps:
	@$(MAKE) --no-print-directory system-deps APT_PKGS="$(APT_PKGS) $(FUZZ_APT_PKGS)"

fuzz-build: fuzz-deps venv
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DJORVANE_FUZZ=ON -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) 60 $(FUZZ_TARGETS)
# ---- end fuzzing ------------------------------------------------------------

clean:
	rm -rf build dist $(EXT_GLOB)
