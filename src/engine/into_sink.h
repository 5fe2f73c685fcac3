// IntoSink: routes the streamed Values / ValuesUnique batches of a run to the
// bucket of the into= binding that asked for them. Plain buckets keep engine
// values until the caller converts them; numeric buckets keep doubles and a
// count of the values that were not numbers. A batch no route asks for is
// dropped. The sink holds nothing but engine values and doubles, so it can
// be fed without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/sink.h"
#include "engine/values/value.h"

namespace jorvane::engine {

class IntoSink : public ValueSink {
public:
    struct Bucket {
        bool numeric = false;
        std::vector<Value> values;  // plain
        std::vector<double> floats;  // numeric
        uint64_t skipped = 0;        // numeric
    };
    using Route = std::pair<size_t, StreamKind>;
    // One bucket per route; `numeric[i]` is the kind of bucket i. A batch
    // goes to the first route equal to its (query, kind).
    IntoSink(std::vector<Route> routes, const std::vector<bool>& numeric);

    void accept(size_t query, StreamKind kind, std::vector<Value> values) override;

    std::vector<Bucket>& buckets() { return buckets_; }

private:
    std::vector<Route> routes_;
    std::vector<Bucket> buckets_;
};

}  // namespace jorvane::engine
