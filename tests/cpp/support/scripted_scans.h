// What a test needs to script a scan: a source that hands out a document in
// given buffers (optionally failing at one of them), a sink that keeps what
// it is given, and compiled queries from short specs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/compiled_queries.h"
#include "engine/sink.h"
#include "run/plans.h"
#include "source/source.h"
#include "util/panic.h"

namespace jorvane::run::testing {

using engine::AccumulatorKind;
using engine::Value;

class CutSource final : public Source {
public:
    // `doc` handed out in buffers of `size` bytes; the read of buffer number
    // `fail_at` fails once instead.
    CutSource(std::string doc, size_t size, std::optional<size_t> fail_at = std::nullopt,
              std::chrono::microseconds pause = {})
        : doc_(std::move(doc)), size_(size), fail_at_(fail_at), pause_(pause) {}

    BufferResult next_buffer() override {
        if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
        if (fail_at_ && reads_ == *fail_at_) {
            fail_at_.reset();  // fails once; the next call reads on
            return make_err(IoError::custom(IoErrorKind::Other, "disk on fire"));
        }
        if (at_ >= doc_.size()) return std::optional<ByteView>();
        ++reads_;
        held_ = doc_.substr(at_, size_);  // a private copy, as sources hand out
        at_ += held_.size();
        return std::optional<ByteView>(ByteView(reinterpret_cast<const uint8_t*>(held_.data()), held_.size()));
    }
    void abandon() override { abandoned.fetch_add(1); }

    std::atomic<int> abandoned{0};

private:
    std::string doc_;
    size_t size_;
    std::optional<size_t> fail_at_;
    std::chrono::microseconds pause_;
    size_t at_ = 0;
    size_t reads_ = 0;
    std::string held_;
};

// `doc` in buffers of `size` bytes; once buffer number `lost_at` has been
// handed out, the source reports it lost (as a shrunk mapped file does).
class LosingSource final : public Source {
public:
    LosingSource(std::string doc, size_t size, size_t lost_at) : inner_(std::move(doc), size), lost_at_(lost_at) {}
    BufferResult next_buffer() override {
        auto b = inner_.next_buffer();
        if (b && *b) ++handed_;
        return b;
    }
    std::optional<IoError> lost_buffer() const override {
        if (handed_ == lost_at_ + 1) return IoError::custom(IoErrorKind::Other, "file shrank");
        return std::nullopt;
    }

private:
    CutSource inner_;
    size_t lost_at_;
    size_t handed_ = 0;
};

struct Spec {
    std::string text;
    std::vector<AccumulatorKind> kinds;
    std::optional<uint64_t> limit;
};

inline engine::CompiledQueries compile(const std::vector<Spec>& specs) {
    std::vector<engine::QueryPlan> plans;
    for (const auto& s : specs) plans.push_back(engine::QueryPlan{s.limit, s.text, s.kinds});
    auto compiled = compile_plans(plans);
    if (!compiled) panic("test query does not compile: " + compiled.error().to_string());
    return std::move(compiled.value());
}

// Every streamed value, per query, in arrival order.
class KeepingSink final : public engine::ValueSink {
public:
    void accept(size_t query, engine::StreamKind kind, std::vector<Value> values) override {
        if (kind != engine::StreamKind::Values) return;
        if (per_query.size() <= query) per_query.resize(query + 1);
        for (auto& v : values) per_query[query].push_back(std::move(v));
    }
    std::vector<std::vector<Value>> per_query;
};

}  // namespace jorvane::run::testing
