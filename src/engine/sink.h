// ValueSink: where a driving loop hands the value batches it drains from the
// engine after each buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/values/value.h"

namespace jorvane::engine {

// Which streaming accumulator a batch comes from.
enum class StreamKind : uint8_t { Values = 0, ValuesUnique = 1 };

struct ValueBatch {
    size_t query = 0;
    StreamKind kind = StreamKind::Values;
    std::vector<Value> values;
};

struct KeyedBatch {
    size_t query = 0;
    std::vector<std::pair<std::string, Value>> items;
};

class ValueSink {
public:
    virtual ~ValueSink() = default;
    // Takes one batch; never fails.
    virtual void accept(size_t query, StreamKind kind, std::vector<Value> values) = 0;
};

}  // namespace jorvane::engine
