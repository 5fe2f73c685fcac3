// Each closed stretch hands over its engine, whose describer is taken out and
// folded in; ranges themselves give the profile no output of their own. A
// failed scan gives its error with no partial results, as one engine's does.
#include "run/split_describe.h"

#include <utility>

#include "engine/describer.h"
#include "run/input_facts.h"
#include "run/split_pull.h"

namespace jorvane::run {
namespace {

class Profiles final : public SplitConsumer {
public:
    Profiles(engine::ScanMode mode, uint64_t distinct_cap) : mode_(mode), cap_(distinct_cap) {}
    engine::Engine make() const override {
        engine::Engine e(mode_);
        e.attach_describer(engine::Describer(cap_));
        return e;
    }

private:
    engine::ScanMode mode_;
    uint64_t cap_;
};

}  // namespace

std::optional<Result<SourceProfile, JorvaneError>> describe_split(Source& source, engine::ScanMode mode,
                                                                  uint64_t distinct_cap, Interrupt* interrupt,
                                                                  const SplitPlan& plan) {
    using Profiled = Result<SourceProfile, JorvaneError>;
    if (interrupt_requested(interrupt)) return std::nullopt;
    Profiles profiles(mode, distinct_cap);
    SplitPull pull(source, plan, profiles);
    std::optional<engine::Describer> profile;
    for (;;) {
        PullStep step = pull.next(interrupt);
        switch (step.kind) {
            case PullStep::Kind::Range:
            case PullStep::Kind::Finished: break;
            case PullStep::Kind::Closed: {
                std::optional<engine::Describer> stretch = step.closed->engine->take_describer();
                if (!profile) {
                    profile = std::move(stretch);
                } else if (stretch) {
                    profile->absorb(std::move(*stretch));
                }
                pull.retire(std::move(*step.closed));
                break;
            }
            case PullStep::Kind::Interrupted: return std::nullopt;
            case PullStep::Kind::Failed: return Profiled(make_err(std::move(*step.error).with_partials({})));
            case PullStep::Kind::Ended:
                if (!profile) profile.emplace(distinct_cap);
                return Profiled(SourceProfile{std::move(*profile), pull.scanned()});
        }
    }
}

SplitFacts profile_facts(std::optional<uint64_t> limit_bytes) {
    SplitFacts facts;
    // Every value is profiled, as a Count counts every match: nothing settles.
    facts.kinds.push_back(engine::AccumulatorKind::Count);
    // A byte limit ends the profile where the buffer that reaches it ends,
    // which only one engine's scan knows, as a match limit does.
    facts.match_limit = limit_bytes.has_value();
    return facts;
}

std::optional<Result<SourceProfile, JorvaneError>> describe_one_source(Source& source, engine::ScanMode mode,
                                                                       uint64_t distinct_cap,
                                                                       std::optional<uint64_t> limit_bytes,
                                                                       Interrupt* interrupt, size_t walkers) {
    if (auto plan = split_plan(input_facts(source, profile_facts(limit_bytes)), walkers))
        return describe_split(source, mode, distinct_cap, interrupt, *plan);
    return describe_source(source, mode, distinct_cap, limit_bytes, interrupt);
}

}  // namespace jorvane::run
