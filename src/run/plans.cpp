#include "run/plans.h"

#include "util/text.h"

namespace jorvane::run {

std::optional<std::string> check_plans(std::span<const engine::QueryPlan> plans) {
    if (plans.empty()) return std::string("no queries provided");
    for (const engine::QueryPlan& p : plans)
        if (p.kinds.empty()) return "query " + debug_quote(p.query) + " has no accumulators";
    return std::nullopt;
}

Result<engine::CompiledQueries, JorvaneError> compile_plans(std::span<const engine::QueryPlan> plans) {
    auto compiled = engine::CompiledQueries::compile(plans);
    if (!compiled) return make_err(JorvaneError::compile(std::move(compiled.error())));
    return std::move(compiled.value());
}

engine::Engine make_engine(const engine::CompiledQueries& compiled, engine::ScanMode mode, bool stream_items) {
    engine::Engine engine(mode);
    compiled.install(engine);
    engine.set_stream_items(stream_items);
    return engine;
}

}  // namespace jorvane::run
