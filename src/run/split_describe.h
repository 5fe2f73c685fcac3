// The structural profile of one source over every core: the source scanned
// in ranges (run/split_pull.h) by engines that carry only a describer, each
// stretch's profile folded into the profile of the stretches before it
// (Describer::absorb), which gives the profile one engine takes of the whole
// source: the same paths in the same first-seen order, counts, types,
// distinct counts and depth; the same first error at the same offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/run_policy.h"
#include "run/scan_source.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::run {

// Profiles `source` in ranges as `plan` says, with engines in `mode`.
// `interrupt` is asked before the scan and before each range is waited for;
// when it says stop the run ends with nothing.
std::optional<Result<SourceProfile, JorvaneError>> describe_split(Source& source, engine::ScanMode mode,
                                                                  uint64_t distinct_cap, Interrupt* interrupt,
                                                                  const SplitPlan& plan);

// The profile of one source with up to `walkers` engines: in ranges when the
// split rule gives a plan for the source, one engine (describe_source)
// otherwise. A byte limit keeps one engine: its profile ends where the
// buffer that reaches the limit ends.
std::optional<Result<SourceProfile, JorvaneError>> describe_one_source(Source& source, engine::ScanMode mode,
                                                                       uint64_t distinct_cap,
                                                                       std::optional<uint64_t> limit_bytes,
                                                                       Interrupt* interrupt, size_t walkers);

// The facts of a profile with `limit_bytes` for the split rule (the input's
// own facts aside).
SplitFacts profile_facts(std::optional<uint64_t> limit_bytes);

}  // namespace jorvane::run
