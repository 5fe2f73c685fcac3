// QueryResult: one query's answer on one source, read back through methods
// that fall back from one accumulator to another (count() also answers from
// Values or ValueCounts, and so on).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/drivers/accumulator.h"
#include "python/py.h"

namespace jorvane::py {

struct QueryResultData {
    engine::QueryOutput output;
    // Present only for partial results (progress snapshots, salvaged results).
    std::optional<uint64_t> bytes_override;
    bool use_float = false;
};

// The QueryResult type object (created on first use, kept for the process).
PyObject* query_result_type();

// A new QueryResult. Null with an exception set on failure.
Ref make_query_result(engine::QueryOutput output, std::optional<uint64_t> bytes_override, bool use_float);

}  // namespace jorvane::py
