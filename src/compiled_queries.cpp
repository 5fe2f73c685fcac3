// Compiling a run's plans into chunks of at most 64 queries and installing
// copies of them into engines.
#include "compiled_queries.h"

#include <utility>

#include "dfa_core/ast.h"
#include "engine/engine.h"

namespace jorvane {

Result<CompiledQueries, CompileFailure> CompiledQueries::compile(std::span<const QueryPlan> plans) {
    CompiledQueries out;
    size_t next = 0;
    while (next < plans.size()) {
        const size_t remaining = plans.size() - next;
        if (remaining == 1) {
            const QueryPlan& plan = plans[next];
            auto tree = dfa::ast::Query::from_str(plan.query);
            if (!tree.ok()) return make_err(CompileFailure{std::move(tree).error(), std::string(plan.query)});
            SingleChunk chunk;
            chunk.limit = plan.limit;
            auto automaton = dfa::QueryDFA::from_query(*tree);
            if (!automaton.ok())
                return make_err(CompileFailure{std::move(automaton).error(), std::string(plan.query)});
            chunk.dfa = std::move(*automaton);
            chunk.accumulators = engine::initialize_accumulators(plan.modes);
            out.chunks.emplace_back(std::move(chunk));
            next += 1;
            continue;
        }
        const size_t k = remaining < 64 ? remaining : 64;
        std::vector<dfa::ast::Query> trees;
        trees.reserve(k);
        for (size_t i = 0; i < k; ++i) {
            const QueryPlan& plan = plans[next + i];
            auto tree = dfa::ast::Query::from_str(plan.query);
            if (!tree.ok()) return make_err(CompileFailure{std::move(tree).error(), std::string(plan.query)});
            trees.push_back(std::move(*tree));
        }
        auto automaton = dfa::QueryDFA::from_queries(trees);
        if (!automaton.ok()) {
            // The fused automaton is too large: blame the first query that is
            // too large on its own, else (only their union is) the first one.
            for (size_t i = 0; i < k; ++i) {
                auto alone = dfa::QueryDFA::from_query(trees[i]);
                if (!alone.ok()) {
                    return make_err(CompileFailure{std::move(alone).error(), std::string(plans[next + i].query)});
                }
            }
            return make_err(CompileFailure{std::move(automaton).error(), std::string(plans[next].query)});
        }
        FusedChunk chunk;
        chunk.dfa = std::move(*automaton);
        for (size_t i = 0; i < k; ++i) {
            const QueryPlan& plan = plans[next + i];
            chunk.queries.push_back(
                engine::FusedQuery{engine::initialize_accumulators(plan.modes), plan.limit});
        }
        out.chunks.emplace_back(std::move(chunk));
        next += k;
    }
    return out;
}

void CompiledQueries::install(engine::Engine& engine) const {
    for (const CompiledChunk& chunk : chunks) {
        if (const auto* fused = std::get_if<FusedChunk>(&chunk)) {
            engine.add_fused_queries(fused->dfa, fused->queries);
            continue;
        }
        const SingleChunk& single = std::get<SingleChunk>(chunk);
        for (const auto& acc : single.accumulators)
            if (acc.kind() == engine::accumulator::Kind::KeyedValues) engine.track_key_path = true;
        engine::DfaDriver d = engine::DfaDriver::make(single.dfa, single.accumulators);
        d.limits[0] = single.limit;
        if (single.limit) d.limited_mask |= 1;
        engine.drivers.push_back(std::move(d));
    }
}

}  // namespace jorvane
