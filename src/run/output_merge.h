// OutputMerge: the outputs of one query set over consecutive ranges of a
// source, folded in document order into the outputs one scan of the whole
// would give.
//
// Each range is scanned by an engine of its own. The merge keeps one
// accumulator for every accumulator the engines install and combines each
// range's into it, in range order (Accumulator::combine: counts add, first-
// seen orders follow the ranges, Min and Max fold each range's figure, Sum,
// Mean and Product replay the numbers the range's engine kept, with
// Engine::keep_contributions, so every figure is the one scan's bit for bit).
// The outputs are then made from the merged accumulators as an engine makes
// its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "engine/query_output.h"
#include "engine/sink.h"

namespace jorvane::run {

class OutputMerge {
public:
    // The layout of the queries as installed in `engine` (any engine of the run).
    explicit OutputMerge(const engine::Engine& engine);

    // Folds the next range, which `engine` scanned, moving its accumulators'
    // figures out (the engine is spent). `batches` are its streamed values in
    // the order drained. Streamed values go to `sink` (when there is one) in
    // document order: Values as drained, ValuesUnique as first seen over all
    // ranges.
    void fold(engine::Engine& engine, std::vector<engine::ValueBatch> batches, engine::ValueSink* sink);

    // The merged outputs, every one with `covered` as bytes_covered. The
    // merge is spent.
    std::vector<engine::QueryOutput> take(std::optional<uint64_t> covered);

private:
    // An accumulator of the engines (in Engine::accumulators order): its
    // query, and the figures of the ranges folded so far.
    struct Slot {
        size_t query;
        engine::accumulator::Accumulator merged;
    };

    size_t query_count_ = 0;
    std::vector<Slot> slots_;
};

}  // namespace jorvane::run
