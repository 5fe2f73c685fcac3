#include "run/output_merge.h"

#include <utility>

#include "util/panic.h"

namespace jorvane::run {

OutputMerge::OutputMerge(const engine::Engine& engine) : query_count_(engine.query_count()) {
    for (const engine::InstalledAccumulator& a : engine.accumulators())
        slots_.push_back(Slot{a.query, engine::accumulator::Accumulator::of_kind(a.accumulator->kind())});
}

void OutputMerge::fold(engine::Engine& engine, std::vector<engine::ValueBatch> batches, engine::ValueSink* sink) {
    if (sink) {
        for (auto& b : batches)
            if (b.kind == engine::StreamKind::Values) sink->accept(b.query, b.kind, std::move(b.values));
    }
    const std::vector<engine::accumulator::Accumulator*> range = engine.mutable_accumulators();
    if (range.size() != slots_.size()) panic("a range's engine installs other accumulators than the merge");
    std::vector<engine::Value> fresh;
    for (size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].merged.combine(*range[i], sink ? &fresh : nullptr);
        if (!fresh.empty()) sink->accept(slots_[i].query, engine::StreamKind::ValuesUnique, std::exchange(fresh, {}));
    }
}

std::vector<engine::QueryOutput> OutputMerge::take(std::optional<uint64_t> covered) {
    std::vector<engine::QueryOutput> outputs(query_count_);
    for (Slot& s : slots_)
        if (s.query < outputs.size()) engine::fold_output(outputs[s.query], s.merged.take_result());
    for (engine::QueryOutput& o : outputs) o.bytes_covered = covered;
    slots_.clear();
    query_count_ = 0;
    return outputs;
}

}  // namespace jorvane::run
