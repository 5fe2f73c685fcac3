// The run policy every scanning entry point applies: the default thread
// figure, prefetching, the execution mode chosen from the `mode` option, the
// buffer length a source is opened with, whether one source is scanned in
// ranges on several cores, and the number of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/drivers/accumulator.h"
#include "engine/scan_mode.h"

namespace jorvane::run {

// The processors this process may use (usable_processors), capped by
// AWS_LAMBDA_FUNCTION_MEMORY_SIZE at one per 1769 MB (at least one).
size_t available_threads();
// The same rule over given inputs: `cpus` processors and the variable's raw
// bytes (nullopt when unset).
size_t threads_for(size_t cpus, std::optional<std::string_view> memory_env);

// The mode for a run over `n_sources` with a budget of `threads`. "auto" (or
// no mode) picks batched when twice the sources exceed the budget or when
// the one source is scanned in ranges (`splits`: every walker then has a core
// of its own), pipelined otherwise. Nothing for an unknown name
// (unknown_mode_message says why).
std::optional<engine::ScanMode> choose_mode(const std::optional<std::string>& mode, size_t n_sources,
                                            size_t threads, bool splits = false);
// "unknown mode {:?}; expected 'auto', 'pipelined', or 'batched'".
std::string unknown_mode_message(std::string_view mode);

// "serial", "batched" or "pipelined".
const char* mode_name(const engine::ScanMode& mode);

// The buffer length a source is opened with in this mode.
size_t buffer_len_for(const engine::ScanMode& mode);

// Whether a run over `n_sources` with a budget of `threads` prefetches
// compressed input on reader threads.
bool prefetch_for(size_t n_sources, size_t threads);

// The engines that scan ranges of one source at once with a budget of
// `threads`: one per thread, at most one per usable processor, halved in
// pipelined mode (each engine has a stage-1 thread of its own); at least 1.
size_t split_walkers(size_t threads, const engine::ScanMode& mode);

// The length the ranges of a source of `size` bytes aim at when `walkers`
// engines scan it: about sixteen ranges per walker (the last ones finish
// close together), from 2 MiB to 16 MiB; 0 when the source is too small
// (under 8 MiB) or there is one walker, and it is scanned by one engine.
uint64_t split_range_len(uint64_t size, size_t walkers);

// The length of the ranges sequential input (a compressed file) is cut into for
// `walkers` engines: 1 MiB, shorter with more than eight walkers (down to
// 256 KiB) so that the two ranges per walker held ahead of the merge stay
// near 16 MiB in all, whatever the number of processors.
uint64_t split_sequential_range_len(size_t walkers);

// The range length `range_len` (0: no split) shortened for a consumer that
// holds what its ranges give until it takes them (rows, lines): at most
// twice sequential input's, so that the ranges held ahead of the merge stay
// near 32 MiB in all, whatever the input's size; longer ranges would not
// scan faster.
uint64_t streamed_range_len(uint64_t range_len, size_t walkers);

// The number of worker threads of a run over `n_sources`: T = max_threads,
// else the usable processors; halved in pipelined mode; at least 1, at most
// n_sources.
size_t worker_count(size_t n_sources, std::optional<uint64_t> max_threads, const engine::ScanMode& mode);

// What decides whether one source is scanned in ranges by several engines:
// plain facts, known before the source is opened (from its path and the
// run's options) as well as once it is open.
struct SplitFacts {
    enum class Input : uint8_t {
        Other,       // no buffer grid (a Python file-like object, bytes): one engine
        PlainFile,   // a plain file, read in place
        Sequential,  // read in order on a buffer grid (a compressed file), in slabs cut into ranges
    };
    Input input = Input::Other;
    // A plain file's size (unknown: one engine).
    std::optional<uint64_t> size;
    // Some query stops after a number of matches (matches count in order).
    bool match_limit = false;
    // The caller reads the engine's results between buffers (a progress
    // callback): only one engine has results for the bytes so far.
    bool reads_engine = false;
    // Every query's accumulators.
    std::vector<engine::AccumulatorKind> kinds;
};

// The longest range of a plain file when a query asks for a Sum, Mean or
// Product: each range keeps the numbers it folds until the merge replays
// them (up to about 2.25 bytes a byte of input, for a file of short
// fractions), and two ranges a walker are held ahead of the merge.
inline constexpr uint64_t kFiguresRangeLen = 2097152;

// The length the ranges aim at when `walkers` engines scan the source the
// facts describe, or 0 when one engine scans it: with one walker, a match
// limit, a reader of the engine, no buffer grid, queries that can all
// settle early (every accumulator an Exists, which stops where a buffer
// happens to end), or a plain file under split_range_len's minimum. A plain
// file's ranges are at most kFiguresRangeLen long with a Sum, Mean or Product.
uint64_t split_range_for(const SplitFacts& facts, size_t walkers);

// How one source is scanned in ranges.
struct SplitPlan {
    // Engines scanning at once (the calling thread only merges).
    size_t walkers = 2;
    // The length a range aims at (it runs on to the next newline).
    uint64_t range_len = 16777216;
    // The merging thread scans each range itself as it takes it, in input
    // order, instead of walker threads scanning ahead (run/range_walkers.h):
    // the same results on one core, and a course that depends on the input
    // alone (the fuzz targets' comparison with one engine).
    bool in_order = false;
};

// The plan for `walkers` engines over the source `facts` describe, or
// nothing when one engine scans it (split_range_for).
std::optional<SplitPlan> split_plan(const SplitFacts& facts, size_t walkers);

// The thread figures of one run, built once from the caller's max_threads.
class ThreadBudget {
public:
    explicit ThreadBudget(std::optional<uint64_t> max_threads);

    // The mode for a run over `n_sources` (choose_mode); `one_source` are the
    // facts of the one source (null with several), which is scanned in
    // ranges by as many engines as batched mode would give it.
    std::optional<engine::ScanMode> mode(const std::optional<std::string>& name, size_t n_sources,
                                         const SplitFacts* one_source) const;
    // Whether compressed input is prefetched (prefetch_for).
    bool prefetch(size_t n_sources) const;
    // The engines over the ranges of one source (split_walkers).
    size_t walkers(const engine::ScanMode& mode) const;
    // The worker threads of a run over several sources (worker_count).
    size_t workers(size_t n_sources, const engine::ScanMode& mode) const;

private:
    // The two figures differ when max_threads is absent. The mode, the
    // prefetching and the walkers take the default figure, which the
    // memory rule of available_threads caps: they decide how many buffers
    // and engines one source keeps in memory at once. The worker count
    // takes the usable processors uncapped: a worker holds one source at a
    // time, and callers who want fewer pass max_threads.
    size_t threads_;
    std::optional<uint64_t> max_threads_;
};

}  // namespace jorvane::run
