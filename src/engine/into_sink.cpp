#include "engine/into_sink.h"

#include <iterator>
#include <optional>

namespace jorvane::engine {
namespace {

// The double a numeric binding reads from one value, or nullopt when the
// value is not numeric (strings are read through the numeric-string rule, a
// literal that does not parse whole is not numeric).
std::optional<double> numeric_value(const Value& v) {
    if (v.is_string()) return value::coerce_numeric_str(v.as_string());
    if (!v.is_number()) return std::nullopt;
    return v.as_number().to_f64();
}

}  // namespace

IntoSink::IntoSink(std::vector<Route> routes, const std::vector<bool>& numeric) : routes_(std::move(routes)) {
    buckets_.resize(routes_.size());
    for (size_t i = 0; i < buckets_.size(); ++i) buckets_[i].numeric = i < numeric.size() && numeric[i];
}

void IntoSink::accept(size_t query, StreamKind kind, std::vector<Value> values) {
    for (size_t i = 0; i < routes_.size(); ++i) {
        if (routes_[i].first != query || routes_[i].second != kind) continue;
        Bucket& b = buckets_[i];
        if (!b.numeric) {
            // A run over several sources hands its values over only at the
            // end: the bucket must grow geometrically, as insert grows it,
            // not to the exact size of every batch.
            if (b.values.empty())
                b.values = std::move(values);
            else
                b.values.insert(b.values.end(), std::make_move_iterator(values.begin()),
                                std::make_move_iterator(values.end()));
            return;
        }
        for (const auto& v : values) {
            if (auto d = numeric_value(v))
                b.floats.push_back(*d);
            else
                ++b.skipped;
        }
        return;
    }
}

}  // namespace jorvane::engine
