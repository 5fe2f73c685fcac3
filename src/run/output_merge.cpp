#include "run/output_merge.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

namespace jorvane::run {
namespace {

using engine::AccumulatorKind;
using engine::QueryOutput;
using engine::Value;
using engine::ValueCount;

// Adds `count` to `value`'s entry, appending a new entry in first-seen order.
// `hash` is the hash the engine's tables keep for the value (every range's
// engine hashes alike).
template <class Table>
bool add_to(Table& table, uint64_t hash, const Value& value, uint64_t count) {
    auto found = table.find_or_insert(
        hash, [&](const Value& v) { return v == value; }, [&] { return value; });
    found.first->value += count;
    return found.second;
}

// The same, taking the value when it is new.
template <class Table>
void add_to(Table& table, uint64_t hash, Value&& value, uint64_t count) {
    auto found = table.find_or_insert(
        hash, [&](const Value& v) { return v == value; }, [&] { return std::move(value); });
    found.first->value += count;
}

// Folds `x` into a Min or Max accumulator as the number literal that reads
// back as exactly `x` (shortest round trip; an infinity as a literal too
// large for a double).
void fold_extreme(engine::accumulator::Accumulator& acc, double x) {
    char text[64];
    std::string_view literal;
    if (std::isinf(x)) {
        literal = x < 0 ? "-1e999" : "1e999";
    } else {
        const auto r = std::to_chars(text, text + sizeof text, x);
        literal = std::string_view(text, static_cast<size_t>(r.ptr - text));
    }
    engine::accumulator::ItemQueue unused;
    (void)acc.fold(engine::accumulator::Match::atom(literal), std::nullopt, false, unused);
}

}  // namespace

OutputMerge::OutputMerge(const engine::Engine& engine) {
    queries_.resize(engine.query_count());
    const std::vector<engine::InstalledAccumulator> accumulators = engine.accumulators();
    for (size_t i = 0; i < accumulators.size(); ++i) {
        const engine::InstalledAccumulator& a = accumulators[i];
        if (a.query < queries_.size()) queries_[a.query].slots.push_back(Slot{i, a.accumulator->kind()});
    }
}

void OutputMerge::fold(engine::Engine& engine, std::vector<engine::ValueBatch> batches, engine::ValueSink* sink) {
    if (sink) {
        for (auto& b : batches)
            if (b.kind == engine::StreamKind::Values) sink->accept(b.query, b.kind, std::move(b.values));
    }
    const std::vector<engine::InstalledAccumulator> accumulators = engine.accumulators();
    // The outputs move each ValueCounts table out in its order; the hashes
    // stay behind, so they are read first.
    std::vector<std::vector<uint64_t>> hashes(queries_.size());
    for (size_t q = 0; q < queries_.size(); ++q) {
        for (const Slot& s : queries_[q].slots) {
            if (s.kind != AccumulatorKind::ValueCounts) continue;
            for (const auto& e : accumulators[s.index].accumulator->table().entries()) hashes[q].push_back(e.hash);
        }
    }
    std::vector<QueryOutput> outputs = engine.finalize_source();
    for (size_t q = 0; q < queries_.size() && q < outputs.size(); ++q)
        fold_query(queries_[q], q, accumulators, std::move(outputs[q]), hashes[q], sink);
}

void OutputMerge::fold_figure(Figure& f, const engine::accumulator::Accumulator& acc, bool product) {
    const ContributionLog& log = acc.contributions();
    f.total = product ? log.multiply_onto(f.total) : log.add_onto(f.total);
    f.folded += acc.folded();
}

void OutputMerge::fold_query(Query& q, size_t index, const std::vector<engine::InstalledAccumulator>& accumulators,
                             QueryOutput out, const std::vector<uint64_t>& value_count_hashes,
                             engine::ValueSink* sink) {
    // The tables the outputs only summarise, and the replayed figures.
    for (const Slot& s : q.slots) {
        const auto& acc = *accumulators[s.index].accumulator;
        switch (s.kind) {
            case AccumulatorKind::Mode:
                for (const auto& e : acc.table().entries()) add_to(q.mode, e.hash, e.key, e.value);
                break;
            case AccumulatorKind::CountUnique:
                for (const auto& e : acc.table().entries()) add_to(q.unique, e.hash, e.key, 0);
                break;
            case AccumulatorKind::ValuesUnique: {
                std::vector<Value> fresh;
                for (const auto& e : acc.table().entries())
                    if (add_to(q.unique, e.hash, e.key, 0) && sink) fresh.push_back(e.key);
                if (sink && !fresh.empty()) sink->accept(index, engine::StreamKind::ValuesUnique, std::move(fresh));
                break;
            }
            case AccumulatorKind::Sum: fold_figure(q.sum, acc, false); break;
            case AccumulatorKind::Mean: fold_figure(q.mean, acc, false); break;
            case AccumulatorKind::Product: fold_figure(q.product, acc, true); break;
            default: break;
        }
    }
    if (out.min) fold_extreme(q.min, *out.min);
    if (out.max) fold_extreme(q.max, *out.max);
    if (out.value_counts) {
        auto& entries = *out.value_counts;
        for (size_t i = 0; i < entries.size(); ++i) {
            const uint64_t hash = i < value_count_hashes.size() ? value_count_hashes[i] : entries[i].value.hash();
            add_to(q.value_counts, hash, std::move(entries[i].value), entries[i].count);
        }
        out.value_counts.reset();
    }
    if (!q.out) {
        q.out = std::move(out);
        return;
    }
    QueryOutput& a = *q.out;
    if (a.count && out.count) *a.count += *out.count;
    a.agg_skipped += out.agg_skipped;
    if (a.values_count && out.values_count) *a.values_count += *out.values_count;
    if (a.types && out.types)
        for (engine::JsonType t : *out.types) a.types->insert(t);
    if (out.exists_flag == engine::kExistsTrue) a.exists_flag = engine::kExistsTrue;
}

std::vector<QueryOutput> OutputMerge::take(std::optional<uint64_t> covered) {
    std::vector<QueryOutput> outputs;
    outputs.reserve(queries_.size());
    for (Query& q : queries_) {
        QueryOutput o = q.out ? std::move(*q.out) : QueryOutput{};
        for (const Slot& s : q.slots) {
            switch (s.kind) {
                case AccumulatorKind::ValueCounts: {
                    std::vector<ValueCount> entries;
                    entries.reserve(q.value_counts.size());
                    for (auto& e : q.value_counts.take_entries()) entries.push_back(ValueCount{std::move(e.key), e.value});
                    o.value_counts = std::move(entries);
                    break;
                }
                case AccumulatorKind::Mode:
                    o.mode_list = engine::modal_of(q.mode.entries(), [](const Table::Entry& e) {
                        struct Ref {
                            const Value& value;
                            uint64_t count;
                        };
                        return Ref{e.key, e.value};
                    });
                    break;
                case AccumulatorKind::CountUnique: o.count_unique = q.unique.size(); break;
                case AccumulatorKind::ValuesUnique: o.distinct_count = q.unique.size(); break;
                case AccumulatorKind::Min: o.min = q.min.snapshot_result().numeric; break;
                case AccumulatorKind::Max: o.max = q.max.snapshot_result().numeric; break;
                case AccumulatorKind::Sum: o.sum = q.sum.total; break;
                case AccumulatorKind::Product: o.product = q.product.total; break;
                case AccumulatorKind::Mean:
                    o.mean = q.mean.folded != 0 ? std::optional<double>(q.mean.total / static_cast<double>(q.mean.folded))
                                                : std::nullopt;
                    break;
                default: break;
            }
        }
        o.bytes_covered = covered;
        outputs.push_back(std::move(o));
    }
    queries_.clear();
    return outputs;
}

}  // namespace jorvane::run
