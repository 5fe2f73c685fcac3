// Compiling a run's plans into groups of at most 64 queries and installing
// copies of them into engines.
#include "engine/compiled_queries.h"

#include <utility>

#include "dfa_core/ast.h"
#include "engine/engine.h"
#include "util/panic.h"

namespace jorvane::engine {

Result<CompiledQueries, CompileFailure> CompiledQueries::compile(std::span<const QueryPlan> plans) {
    CompiledQueries out;
    size_t next = 0;
    while (next < plans.size()) {
        const size_t remaining = plans.size() - next;
        if (remaining == 1) {
            const QueryPlan& plan = plans[next];
            auto tree = dfa_core::ast::Query::from_str(plan.query);
            if (!tree.ok()) return make_err(CompileFailure{std::move(tree).error(), std::string(plan.query)});
            SingleQuery single;
            single.limit = plan.limit;
            auto automaton = dfa_core::QueryDFA::from_query(*tree);
            if (!automaton.ok())
                return make_err(CompileFailure{std::move(automaton).error(), std::string(plan.query)});
            single.dfa = std::move(*automaton);
            single.accumulators = initialize_accumulators(plan.kinds);
            out.groups.emplace_back(std::move(single));
            next += 1;
            continue;
        }
        const size_t k = remaining < 64 ? remaining : 64;
        std::vector<dfa_core::ast::Query> trees;
        trees.reserve(k);
        for (size_t i = 0; i < k; ++i) {
            const QueryPlan& plan = plans[next + i];
            auto tree = dfa_core::ast::Query::from_str(plan.query);
            if (!tree.ok()) return make_err(CompileFailure{std::move(tree).error(), std::string(plan.query)});
            trees.push_back(std::move(*tree));
        }
        auto automaton = dfa_core::QueryDFA::from_queries(trees);
        if (!automaton.ok()) {
            // The fused automaton is too large: blame the first query that is
            // too large on its own, else (only their union is) the first one.
            for (size_t i = 0; i < k; ++i) {
                auto alone = dfa_core::QueryDFA::from_query(trees[i]);
                if (!alone.ok()) {
                    return make_err(CompileFailure{std::move(alone).error(), std::string(plans[next + i].query)});
                }
            }
            return make_err(CompileFailure{std::move(automaton).error(), std::string(plans[next].query)});
        }
        FusedGroup group;
        group.dfa = std::move(*automaton);
        for (size_t i = 0; i < k; ++i) {
            const QueryPlan& plan = plans[next + i];
            group.queries.push_back(FusedQuery{initialize_accumulators(plan.kinds), plan.limit});
        }
        out.groups.emplace_back(std::move(group));
        next += k;
    }
    return out;
}

void CompiledQueries::install(Engine& engine) const {
    for (const QueryGroup& group : groups) {
        if (const auto* fused = std::get_if<FusedGroup>(&group)) {
            engine.add_fused_queries(fused->dfa, fused->queries);
        } else {
            const SingleQuery& single = std::get<SingleQuery>(group);
            engine.add_query(single.dfa, single.accumulators, single.limit);
        }
    }
}

void CompiledQueries::install_row_anchor(Engine& engine) const {
    const SingleQuery* single = groups.size() == 1 ? std::get_if<SingleQuery>(&groups.front()) : nullptr;
    if (!single) panic("a row anchor is one query with an automaton of its own");
    engine.add_row_anchor(single->dfa, single->accumulators);
}

}  // namespace jorvane::engine
