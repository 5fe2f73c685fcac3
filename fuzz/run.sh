#!/usr/bin/env bash
# Runs each fuzz target for a set time, one after the other, from its seed
# corpus (fuzz/README.md):
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# What the fuzzers add goes to BUILD_DIR/corpus/<target>, crashes to
# BUILD_DIR/artifacts/<target>/, the full output to BUILD_DIR/fuzz_<target>.log.
# Fails at the first target that finds a fault.
set -euo pipefail
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(query_compile engine_differential decoder)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

for t in "${targets[@]}"; do
  case $t in
    query_compile) opts=(-max_len=512 -dict="$here/dicts/query.dict") ;;
    engine_differential) opts=(-max_len=4096 -dict="$here/dicts/json.dict") ;;
    decoder) opts=(-max_len=65536) ;;
    *) echo "no fuzz target $t" >&2; exit 2 ;;
  esac
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  log="$build/fuzz_$t.log"
  echo "== fuzz_$t for ${seconds}s (log: $log)"
  if ! "$build/fuzz_$t" "${opts[@]}" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
       "$build/corpus/$t" "$here/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$t found a fault; the input is in $build/artifacts/$t/ (fuzz/README.md: keeping it as a regression)" >&2
    exit 1
  fi
  grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || tail -n 3 "$log"
done
