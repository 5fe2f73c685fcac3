// IntoSink: routes the streamed Values / ValuesUnique batches of a run to the
// bucket of the into= binding that asked for them. Plain buckets keep engine
// values until they are converted on the calling thread; numeric buckets keep
// doubles and a count of the values that were not numbers. The sink holds no
// Python objects, so it can be fed without the interpreter lock.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/sink.h"
#include "engine/values/value.h"

namespace jorvane::py {

struct Bucket {
    bool numeric = false;
    std::vector<engine::Value> values;  // plain
    std::vector<double> floats;         // numeric
    uint64_t skipped = 0;               // numeric
};

class IntoSink : public engine::ValueSink {
public:
    using Route = std::pair<size_t, engine::StreamKind>;
    // One bucket per route; `numeric[i]` is the kind of bucket i.
    IntoSink(std::vector<Route> routes, const std::vector<bool>& numeric);

    void accept(size_t query, engine::StreamKind kind, std::vector<engine::Value> values) override;

    std::vector<Bucket>& buckets() { return buckets_; }

private:
    std::vector<Route> routes_;
    std::vector<Bucket> buckets_;
};

// The double a numeric binding reads from one value, or nullopt when the
// value is not numeric (strings are read through the numeric-string rule).
std::optional<double> numeric_value(const engine::Value& v);

}  // namespace jorvane::py
