#include "python/into_sink.h"

#include "engine/values/number.h"

namespace jorvane::py {

IntoSink::IntoSink(std::vector<Route> routes, const std::vector<bool>& numeric) : routes_(std::move(routes)) {
    buckets_.resize(routes_.size());
    for (size_t i = 0; i < buckets_.size(); ++i) buckets_[i].numeric = i < numeric.size() && numeric[i];
}

std::optional<double> numeric_value(const engine::Value& v) {
    if (v.is_string()) return engine::value::coerce_numeric_str(v.as_string());
    if (!v.is_number()) return std::nullopt;
    const engine::JsonNumber& n = v.as_number();
    if (n.is_int()) return static_cast<double>(n.int_value());
    return engine::number::parse_f64(n.text());
}

void IntoSink::accept(size_t query, engine::StreamKind kind, std::vector<engine::Value> values) {
    for (size_t i = 0; i < routes_.size(); ++i) {
        if (routes_[i].first != query || routes_[i].second != kind) continue;
        Bucket& b = buckets_[i];
        if (!b.numeric) {
            if (b.values.empty()) {
                b.values = std::move(values);
            } else {
                b.values.reserve(b.values.size() + values.size());
                for (auto& v : values) b.values.push_back(std::move(v));
            }
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

}  // namespace jorvane::py
