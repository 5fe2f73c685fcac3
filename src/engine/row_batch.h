// RowBatch: table rows completed since the table consumer last took them.
// Per column query: the captured values and the row offsets into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/values/value.h"

namespace jorvane::engine {

struct RowBatch {
    // One list per column query.
    std::vector<std::vector<Value>> values;
    // One list per column query, starting with 0; entry r + 1 is the length of
    // that query's value list after row r.
    std::vector<std::vector<uint32_t>> offsets;
    uint64_t rows = 0;

    static RowBatch make(size_t column_queries) {
        RowBatch b;
        b.values.resize(column_queries);
        b.offsets.assign(column_queries, std::vector<uint32_t>{0});
        return b;
    }
};

}  // namespace jorvane::engine
