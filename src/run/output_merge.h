// OutputMerge: the outputs of one query set over consecutive ranges of a
// source, folded in document order into the outputs one scan of the whole
// would give.
//
// Each range is scanned by an engine of its own; the merge takes that
// engine's outputs and reads the accumulators the outputs summarise. Counts
// add; Exists ors; Types and every first-seen order (ValueCounts, Mode,
// CountUnique, ValuesUnique) follow the ranges in order, a value keeping its
// place from the first range that saw it. Min and Max fold each range's
// figure into an accumulator of their own kind, so the step that settles a
// tie between zeros of either sign is the scan's own; that step keeps one of
// two equal figures by their order, which makes it associative, so any
// grouping of the ranges gives the scan's answer.
// Sum, Mean and Product replay each range's numbers, in order, onto the one
// running figure (the ranges' engines keep them: Engine::keep_contributions),
// so every rounding step is the scan's own and the figures are its figures
// bit for bit; Mean's count adds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "engine/query_output.h"
#include "engine/sink.h"
#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::run {

class OutputMerge {
public:
    // The layout of the queries as installed in `engine` (any engine of the run).
    explicit OutputMerge(const engine::Engine& engine);

    // Folds the next range, which `engine` scanned: takes its outputs
    // (finalize_source) and reads its accumulators. `batches` are its
    // streamed values in the order drained. Streamed values go to `sink`
    // (when there is one) in document order: Values as drained, ValuesUnique
    // as first seen over all ranges.
    void fold(engine::Engine& engine, std::vector<engine::ValueBatch> batches, engine::ValueSink* sink);

    // The merged outputs, every one with `covered` as bytes_covered.
    std::vector<engine::QueryOutput> take(std::optional<uint64_t> covered);

private:
    using Table = OrderedMap<engine::Value, uint64_t>;

    // An accumulator of the query: its place in Engine::accumulators.
    struct Slot {
        size_t index;
        engine::AccumulatorKind kind;
    };
    // A Sum, Mean or Product: the running figure over the ranges so far,
    // and Mean's count.
    struct Figure {
        double total = 0.0;
        uint64_t folded = 0;
    };
    struct Query {
        std::vector<Slot> slots;
        std::optional<engine::QueryOutput> out;
        Table value_counts;
        Table mode;
        Table unique;  // CountUnique or ValuesUnique
        Figure sum, mean, product{1.0, 0};
        engine::accumulator::Accumulator min = engine::accumulator::Accumulator::of_kind(engine::AccumulatorKind::Min);
        engine::accumulator::Accumulator max = engine::accumulator::Accumulator::of_kind(engine::AccumulatorKind::Max);
    };

    void fold_query(Query& q, size_t index, const std::vector<engine::InstalledAccumulator>& accumulators,
                    engine::QueryOutput out, const std::vector<uint64_t>& value_count_hashes, engine::ValueSink* sink);
    static void fold_figure(Figure& f, const engine::accumulator::Accumulator& acc, bool product);

    std::vector<Query> queries_;
};

}  // namespace jorvane::run
