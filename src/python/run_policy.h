// The run policy every scanning entry point applies: the default thread
// figure, the execution mode chosen from the `mode` option, and mode names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/scan_mode.h"
#include "python/py.h"

namespace jorvane::py {

// The number of online processors, 1 when it cannot be read.
size_t online_processors();
// The number of online processors (1 when unknown), capped by
// AWS_LAMBDA_FUNCTION_MEMORY_SIZE at one per 1769 MB (at least one).
size_t available_threads();
// The same rule over given inputs: `cpus` processors and the variable's raw
// bytes (nullopt when unset).
size_t threads_for(size_t cpus, std::optional<std::string_view> memory_env);

// The mode for a run over `n_sources` with a budget of `threads`. "auto" (or
// no mode) picks batched when twice the sources exceed the budget, pipelined
// otherwise. False with ValueError set for an unknown name.
bool choose_mode(const std::optional<std::string>& mode, size_t n_sources, size_t threads,
                 engine::ScanMode& out);

// "serial", "batched" or "pipelined".
const char* mode_name(const engine::ScanMode& mode);

// The chunk length a source is opened with in this mode.
size_t chunk_len_for(const engine::ScanMode& mode);

// Whether a run over `n_sources` with a budget of `threads` prefetches
// compressed input on reader threads.
bool prefetch_for(size_t n_sources, size_t threads);

}  // namespace jorvane::py
