// The one-source run over every core. A plain file whose records end at
// newlines is cut into ranges that separate engines scan at once; their
// outputs are folded in document order (run/output_merge.h) into exactly what
// one engine scanning the whole file reports: the same results, streamed
// values in the same order, the same first error at the same offset, with the
// same partial results.
//
// A cut falls just after a newline byte, about a range length after the
// previous one; the first range starts at the start of the file. The ranges
// are scanned and merged by run/split_pull.h: a range's own scan is used only
// when the stretch before it ended at top level, and otherwise the engine of
// that stretch goes on through it, as one engine would, and no range is
// started ahead until a cut checks out again, so a pretty-printed document
// is read by one walker. Engines take the file in buffers cut on the grid a
// one-engine scan uses, and an error's context is the input around it as
// that scan shows it, so even the error text is the same.
//
// A compressed file is read by its decoder (on a thread of its own when the
// source prefetches, which then decodes straight into the slabs the ranges
// share) and cut into ranges of about 1 MiB for the walkers
// (run/range_cutter.h, run/run_policy.h).
//
// What keeps one walker: a query with a limit (the limit counts matches in
// document order), queries that can all settle early (the scan stops where a
// buffer happens to end), an observer that reads the engine between buffers
// (a progress callback) and a source without a buffer grid (a Python
// file-like object). A Sum, Mean or Product splits like any other query: each
// range's engine keeps the numbers it folds and the merge replays them in
// order (run/output_merge.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "engine/scan_mode.h"
#include "run/input_facts.h"
#include "run/run_policy.h"
#include "run/scan_source.h"
#include "source/source.h"

namespace jorvane::run {

// The facts (run/run_policy.h) of scanning `source` with `engine`'s queries
// and the caller of `options`.
SplitFacts split_facts(const engine::Engine& engine, Source& source, const ScanOptions& options);

// Scans `source` in ranges as `plan` says: a mapped file
// (Source::mapped_file) read in place, else sequential input whose buffers lie on a
// grid (Source::buffer_grid), read on the calling thread in slabs cut into
// ranges. Nothing when the observer aborted.
std::optional<SourceOutcome> scan_split(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
                                        const ScanOptions& options, const SplitPlan& plan);

// The one-source run: scan_split when `walkers` is more than one and the
// run policy's split rule gives a range length for the facts; one engine
// through scan_source otherwise.
std::optional<SourceOutcome> scan_one_source(const engine::CompiledQueries& compiled, engine::ScanMode mode,
                                             Source& source, const ScanOptions& options, size_t walkers);

}  // namespace jorvane::run
