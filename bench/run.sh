#!/usr/bin/env bash
# Builds the benchmarks, generates the input once (bench/data/records.ndjson,
# about 1 GB, fixed seed) and runs every benchmark over it.
#   bench/run.sh [build-dir]          (default build/bench)
# Environment: JORVANE_BENCH_SIZE (default 1G), JORVANE_BENCH_REPS (timed
# passes per case, default 5), JOBS (parallel build jobs, default 4).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
size=${JORVANE_BENCH_SIZE:-1G}
data=bench/data/records.ndjson
stamp=bench/data/records.size

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DJORVANE_BUILD_BENCH=ON \
  -DJORVANE_BUILD_TESTS=OFF -DJORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-4}"

# Regenerate when missing or when a different size was asked for.
if [ ! -f "$data" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$size" ]; then
  "$build"/bench/gen_ndjson --size "$size" --out "$data"
  echo "$size" > "$stamp"
fi

"$build"/bench/bench_stage1 "$data"
if [ -x "$build"/bench/bench_engine ]; then "$build"/bench/bench_engine "$data"; fi
if [ -x "$build"/bench/bench_simdjson_peer ]; then "$build"/bench/bench_simdjson_peer "$data"; fi
