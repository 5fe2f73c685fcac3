// QueryPlan: one query of a run as the caller hands it to the compiler.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/drivers/accumulator.h"

namespace jorvane::engine {

struct QueryPlan {
    // Match limit per query and source; absent = no limit.
    std::optional<uint64_t> limit;
    // The query text as written (borrowed from the caller).
    std::string_view query;
    // The accumulators asked for (borrowed).
    std::span<const AccumulatorKind> kinds;
};

}  // namespace jorvane::engine
