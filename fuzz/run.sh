#!/usr/bin/env bash
# Runs the fuzz targets one after the other (fuzz/README.md):
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]   random exploration for a set time
#   fuzz/run.sh --smoke BUILD_DIR [TARGET...]   the fixed check CI runs
# A timed run starts from the target's seed corpus and what earlier runs
# added (BUILD_DIR/corpus/<target>, where it adds its own finds), with a new
# random seed each time.
# The smoke check first replays every kept reproducer of the target through
# the instrumented build, then explores from the seeds and reproducers alone
# (a fresh scratch corpus, BUILD_DIR/smoke/<target>) with a fixed random seed
# for a fixed number of runs, so that its outcome depends only on the code.
# Crash inputs go to BUILD_DIR/artifacts/<target>/, the full output to
# BUILD_DIR/fuzz_<target>.log. Fails at the first target that finds a fault.
# The smoke check runs up to JOBS targets at once (default 1): each is a
# process of its own with its own fixed seed and count, so running them side
# by side changes nothing they do.
set -euo pipefail
smoke=0
if [ "${1:-}" = "--smoke" ]; then
  smoke=1
  shift
fi
build=$1
shift
if [ $smoke = 0 ]; then
  seconds=$1
  shift
fi
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(query_compile engine_differential decoder table_stream ndjson_emitter)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# Reports a fault found by fuzz_$1 (its log is $2) and stops.
found_fault() {
  tail -n 60 "$2"
  echo "fuzz_$1 found a fault; the input is in $build/artifacts/$1/ (fuzz/README.md: keeping it as a regression)" >&2
  exit 1
}

# Nothing but the code may steer the smoke check's exploration: it never
# reloads its corpus directory (a timed event), and it runs without address
# randomization where the system allows it and without the table of recent
# comparisons (kept by the address of each comparison). The targets
# themselves start no thread whose scheduling could choose what runs.
steady=()
if [ $smoke = 1 ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  steady=(setarch "$(uname -m)" -R)
fi

run_target() {
  local t=$1 opts smoke_runs log common kept scratch corpora
  # Per target: its options, and the runs of the smoke check (about half a
  # minute each on one core, so that the whole check takes a few minutes).
  case $t in
    query_compile) opts=(-max_len=512 -dict="$here/dicts/query.dict"); smoke_runs=100000 ;;
    engine_differential) opts=(-max_len=4096 -dict="$here/dicts/json.dict"); smoke_runs=20000 ;;
    decoder) opts=(-max_len=65536); smoke_runs=50000 ;;
    table_stream) opts=(-max_len=4096 -dict="$here/dicts/json.dict"); smoke_runs=40000 ;;
    ndjson_emitter) opts=(-max_len=4096 -dict="$here/dicts/json.dict"); smoke_runs=40000 ;;
    *) echo "no fuzz target $t" >&2; return 2 ;;
  esac
  mkdir -p "$build/artifacts/$t"
  log="$build/fuzz_$t.log"
  : >"$log"
  common=(-timeout=60 -rss_limit_mb=4096 -artifact_prefix="$build/artifacts/$t/")
  if [ $smoke = 1 ]; then
    kept=()
    [ -d "$here/regressions/$t" ] && mapfile -t kept < <(find "$here/regressions/$t" -type f ! -name '.*' | sort)
    echo "== fuzz_$t: ${#kept[@]} kept reproducers, then $smoke_runs runs from seed 1 (log: $log)"
    if [ ${#kept[@]} -gt 0 ] && ! ${steady[@]+"${steady[@]}"} "$build/fuzz_$t" "${opts[@]}" "${common[@]}" \
         "${kept[@]}" >>"$log" 2>&1; then
      found_fault "$t" "$log"
    fi
    scratch="$build/smoke/$t"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    corpora=("$scratch" "$here/corpus/$t")
    [ -d "$here/regressions/$t" ] && corpora+=("$here/regressions/$t")
    if ! ${steady[@]+"${steady[@]}"} "$build/fuzz_$t" "${opts[@]}" "${common[@]}" -seed=1 -runs="$smoke_runs" \
         -reload=0 -use_cmp=0 -print_final_stats=1 "${corpora[@]}" >>"$log" 2>&1; then
      found_fault "$t" "$log"
    fi
  else
    mkdir -p "$build/corpus/$t"
    echo "== fuzz_$t for ${seconds}s (log: $log)"
    if ! "$build/fuzz_$t" "${opts[@]}" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
         "$build/corpus/$t" "$here/corpus/$t" >"$log" 2>&1; then
      found_fault "$t" "$log"
    fi
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || tail -n 3 "$log"
}

if [ $smoke = 1 ]; then
  # A target that finds a fault ends the check: the others are stopped.
  trap 'kill $(jobs -rp) 2>/dev/null || true' EXIT
  jobs_max=${JOBS:-1}
  for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || exit 1; done
    run_target "$t" &
  done
  while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || exit 1; done
else
  for t in "${targets[@]}"; do run_target "$t"; done
fi
