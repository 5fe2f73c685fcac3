// Shared pieces of the benchmark programs: loading the input file and timing
// one full pass over it.
//
// Hook for engine-level benchmarks: a file bench/engine_bench.cpp, when it
// exists, is built as `bench_engine` (linked with the whole engine and this
// harness) and run by bench/run.sh after the stage-1 benchmarks. It should
// load the corpus with `load_corpus(corpus_path(argc, argv))` and time each
// case with `measure`, e.g. Count on `events[*].user.id`, Sum on `qty`,
// Count on an absent path such as `missing.field` (skip-heavy), each in the
// batched and in the pipelined mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jorvane::bench {

// The benchmark input: argv[1] when given, else the default generated file
// (bench/data/records.ndjson of the source tree).
std::string corpus_path(int argc, char** argv);

// The whole file in memory, followed by 64 zero bytes of slack. Exits the
// program with a message saying how to generate it when it is missing.
struct Corpus {
    std::string path;
    std::vector<uint8_t> storage;
    size_t size = 0;  // file length (storage holds size + 64 bytes)
    const uint8_t* data() const { return storage.data(); }
};
Corpus load_corpus(const std::string& path);

// Runs `pass` once to warm up, then `reps` more times, and prints one line:
// the name, the best and median rate in GB/s (1e9 bytes per second) over
// `bytes` per pass, and the checksum the pass returned (which keeps the work
// from being optimised away and lets runs be compared). Returns the best rate.
double measure(const std::string& name, size_t bytes, int reps, const std::function<uint64_t()>& pass);

// The number of timed passes: JORVANE_BENCH_REPS when set, else `fallback`.
int repetitions(int fallback);

}  // namespace jorvane::bench
