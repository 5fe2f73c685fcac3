// Compiling plans into chunks, installing them, and the driver's transitions.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }

// The plans borrow `texts` and `modes`: both must outlive them.
std::vector<QueryPlan> plans_of(const std::vector<std::string>& texts, const std::vector<M>& modes,
                                std::optional<uint64_t> limit = std::nullopt) {
    std::vector<QueryPlan> plans;
    for (const auto& t : texts) plans.push_back(QueryPlan{limit, t, modes});
    return plans;
}

TEST(Compile, ChunkShapes) {
    const std::vector<M> count{M::Count};
    struct Case {
        size_t plans;
        std::vector<size_t> fused_sizes;  // 0 = a single chunk
    };
    for (const Case& c : {Case{1, {0}}, Case{2, {2}}, Case{64, {64}}, Case{65, {64, 0}}, Case{66, {64, 2}},
                          Case{129, {64, 64, 0}}}) {
        std::vector<std::string> texts;
        for (size_t i = 0; i < c.plans; ++i) texts.push_back("q" + std::to_string(i));
        std::vector<std::string> owned = texts;
        auto compiled = CompiledQueries::compile(plans_of(owned, count));
        ASSERT_TRUE(compiled.ok());
        ASSERT_EQ(compiled->groups.size(), c.fused_sizes.size()) << c.plans;
        for (size_t k = 0; k < c.fused_sizes.size(); ++k) {
            if (c.fused_sizes[k] == 0) {
                EXPECT_TRUE(std::holds_alternative<SingleQuery>(compiled->groups[k]));
            } else {
                ASSERT_TRUE(std::holds_alternative<FusedGroup>(compiled->groups[k]));
                EXPECT_EQ(std::get<FusedGroup>(compiled->groups[k]).queries.size(), c.fused_sizes[k]);
            }
        }
        // Query i answers key "q<i>" whichever chunk and label it landed in.
        Engine e(ScanMode::serial());
        compiled->install(e);
        std::string doc = "{";
        for (size_t i = 0; i < c.plans; ++i) doc += (i ? "," : "") + std::string("\"q") + std::to_string(i) + "\":" + std::to_string(i);
        doc += ",\"q" + std::to_string(c.plans - 1) + "\":0}";
        Outcome o = run_engine(e, doc, {});
        ASSERT_EQ(o.outputs.size(), c.plans);
        for (size_t i = 0; i + 1 < c.plans; ++i) EXPECT_EQ(o.outputs[i].count, 1u) << i;
        EXPECT_EQ(o.outputs[c.plans - 1].count, 2u);
    }
}

TEST(Compile, FusionBoundaryKeepsLimitsAndAccumulatorsApart) {
    // Queries 63 and 64 straddle the boundary between two automata.
    std::vector<std::string> texts(66, "[*]");
    const std::vector<M> count{M::Count}, values{M::Values};
    std::vector<QueryPlan> plans = plans_of(texts, count);
    plans[63] = QueryPlan{2, "[*]", values};
    plans[64] = QueryPlan{1, "[*]", values};
    auto compiled = CompiledQueries::compile(plans);
    ASSERT_TRUE(compiled.ok());
    Engine e(ScanMode::serial());
    compiled->install(e);
    Outcome o = run_engine(e, "[5,6,7]", {});
    EXPECT_EQ(o.outputs[0].count, 3u);
    EXPECT_EQ(o.values[63], (std::vector<Value>{num(5), num(6)}));
    EXPECT_EQ(o.values[64], (std::vector<Value>{num(5)}));
    EXPECT_EQ(o.outputs[65].count, 3u);
}

TEST(Compile, FirstParseFailureWins) {
    std::vector<std::string> texts{"a", "b[", "c["};
    const std::vector<M> count{M::Count};
    auto compiled = CompiledQueries::compile(plans_of(texts, count));
    ASSERT_FALSE(compiled.ok());
    EXPECT_EQ(compiled.error().query, "b[");
    const std::vector<std::string> bad{"a..b"};
    auto single = CompiledQueries::compile(plans_of(bad, count));
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().query, "a..b");
}

TEST(Install, EnginesShareNothing) {
    std::vector<std::string> texts{"a", ""};
    const std::vector<M> values{M::Values};
    auto compiled = CompiledQueries::compile(plans_of(texts, values));
    ASSERT_TRUE(compiled.ok());
    Engine first(ScanMode::serial()), second(ScanMode::batched(8));
    compiled->install(first);
    compiled->install(second);
    Outcome a = run_engine(first, R"({"a":1})", {});
    EXPECT_EQ(a.values[0], (std::vector<Value>{num(1)}));
    Outcome b = run_engine(second, R"({"a":2}{"a":3})", {});
    EXPECT_EQ(b.values[0], (std::vector<Value>{num(2), num(3)}));
    EXPECT_EQ(b.outputs[1].values_count, 2u);
}

TEST(Install, KeyPathTrackingAndLimits) {
    const std::vector<std::string> a{"a"};
    const std::vector<M> values{M::Values}, keyed_modes{M::Count, M::KeyedValues};
    Engine plain(ScanMode::serial());
    CompiledQueries::compile(plans_of(a, values)).value().install(plain);
    EXPECT_FALSE(plain.tracks_key_paths());

    Engine keyed(ScanMode::serial());
    CompiledQueries::compile(plans_of(a, keyed_modes, 5)).value().install(keyed);
    EXPECT_TRUE(keyed.tracks_key_paths());
    // The limit holds whichever accumulators the query has.
    EXPECT_EQ(run_engine(plain, R"({"a":1}{"a":2}{"a":3}{"a":4}{"a":5}{"a":6})", {}).values[0].size(), 6u);
    EXPECT_EQ(run_engine(keyed, R"({"a":1}{"a":2}{"a":3}{"a":4}{"a":5}{"a":6})", {}).outputs[0].count, 5u);
}

TEST(Driver, TransitionsOverFieldsAndIndexRanges) {
    const std::vector<std::string> q{"x[1:3]|[2].y"};
    const std::vector<M> count{M::Count};
    auto compiled = CompiledQueries::compile(plans_of(q, count));
    ASSERT_TRUE(compiled.ok());
    DfaDriver d = DfaDriver::make(std::get<SingleQuery>(compiled->groups[0]).dfa, {});
    d.reset_for_next_source();
    // With no open container the transitions change nothing.
    const StateId start = d.state;
    d.transition_on_field("x");
    d.transition_array_index(2);
    EXPECT_EQ(d.state, start);

    d.state_stack.push_back(start);
    d.transition_on_field("x");
    const StateId in_x = d.state;
    ASSERT_NE(in_x, kDeadState);
    d.transition_on_field("nope");
    EXPECT_EQ(d.state, kDeadState);
    d.state_stack.push_back(in_x);
    for (uint64_t i : {0u, 3u, 4u, 1000u}) {
        d.transition_array_index(i);
        EXPECT_EQ(d.state, kDeadState) << i;
    }
    for (uint64_t i : {1u, 2u}) {
        d.transition_array_index(i);
        EXPECT_EQ(d.accept_mask(), 1u) << i;
    }
    d.state_stack.push_back(kDeadState);
    d.transition_on_field("y");
    EXPECT_EQ(d.state, kDeadState);

    Outcome o = run(R"({"x":[0,1,2,3]} [0,1,{"y":9}])", {{"x[1:3]|[2].y", {M::Values}}});
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(1), num(2), num(9)}));
}

TEST(Driver, FoldedFieldLookup) {
    // An automaton whose names were collected folded matches keys in any
    // ASCII case, short or long, whether short keys are hashed or compared
    // by their words; a key that is not UTF-8 names nothing.
    struct Case {
        std::string_view outer, inner;
        bool matches;
    };
    const std::vector<Case> cases{{"abc", "a_field_name_past_16_bytes", true},
                                  {"ABC", "A_Field_Name_Past_16_BYTES", true},
                                  {"aBc", "a_field_name_past_16_byte", false},
                                  {"abd", "a_field_name_past_16_bytes", false},
                                  {"ab\xff", "a_field_name_past_16_bytes", false}};
    for (const char* text : {"abc.a_field_name_past_16_bytes", "(k1|k2|k3|k4|k5|abc).a_field_name_past_16_bytes"}) {
        auto query = dfa_core::ast::Query::from_str(text);
        ASSERT_TRUE(query.ok());
        auto dfa = dfa_core::QueryDFA::from_query(*query);
        ASSERT_TRUE(dfa.ok());
        dfa->case_insensitive = true;
        DfaDriver d = DfaDriver::make(std::move(*dfa), {});
        for (const Case& c : cases) {
            d.reset_for_next_source();
            d.state_stack.push_back(d.start_state());
            d.transition_on_field(c.outer);
            d.state_stack.push_back(d.state);
            d.transition_on_field(c.inner);
            EXPECT_EQ(d.accept_mask(), c.matches ? 1u : 0u) << text << ": " << c.outer << "." << c.inner;
        }
    }
}

TEST(Driver, LabelMasksAndFusionLimit) {
    const std::vector<std::string> a{"a"};
    const std::vector<M> modes{M::Count, M::Sum, M::Types};
    auto compiled = CompiledQueries::compile(plans_of(a, modes));
    ASSERT_TRUE(compiled.ok());
    Engine e(ScanMode::serial());
    compiled->install(e);

    const SingleQuery& single = std::get<SingleQuery>(compiled->groups[0]);
    std::vector<FusedQuery> too_many(65, FusedQuery{{}, std::nullopt});
    try {
        e.add_fused_queries(single.dfa, too_many);
        FAIL() << "expected a panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "cannot fuse 65 queries into one driver (limit 64)");
    }
    std::vector<FusedQuery> full(64, FusedQuery{{}, std::nullopt});
    e.add_fused_queries(single.dfa, full);
    EXPECT_EQ(e.query_count(), 65u);
}

class KernelAgreement : public ::testing::TestWithParam<classification_kernel::KernelKind> {};

TEST_P(KernelAgreement, SameResultsAsTheScalarKernel) {
    const classification_kernel::KernelKind k = GetParam();
    if (!classification_kernel::kernel_supported(k)) GTEST_SKIP() << classification_kernel::kernel_name(k) << " is not supported by this CPU";
    std::string doc;
    for (int i = 0; i < 200; ++i)
        doc += R"({"id":)" + std::to_string(i) + R"(,"s":"a\\\"b{[,:]}\u00e9","v":[1.5e3,-2,true,null],"k":{"x":")" +
               std::string((i % 35) * 2, '\\') + R"("}})" + "\n";
    const std::vector<QuerySpec> specs{{"id", {M::Sum, M::Count}}, {"v[*]", {M::Values}}, {"k.x", {M::Values}}};
    Outcome reference = run(doc, specs);
    ASSERT_FALSE(reference.failed) << reference.message;
    EXPECT_EQ(reference.outputs[0].count, 200u);
    for (ScanMode mode : {ScanMode::serial(), ScanMode::batched(32), ScanMode::pipelined_always(4), ScanMode::pipelined_always(256), ScanMode::pipelined(128)}) {
        RunOptions opt;
        opt.kernel = k;
        opt.mode = mode;
        opt.cuts = {1000, 1001, 5000, 5063, 5064, 5065, 9999};
        Outcome o = run(doc, specs, opt);
        EXPECT_TRUE(same_outcome(reference, o)) << classification_kernel::kernel_name(k) << " " << describe(o);
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelAgreement,
                         ::testing::Values(classification_kernel::KernelKind::Scalar, classification_kernel::KernelKind::Avx2,
                                           classification_kernel::KernelKind::Avx512, classification_kernel::KernelKind::Neon),
                         [](const auto& info) { return std::string(classification_kernel::kernel_name(info.param)); });

}  // namespace
}  // namespace jorvane::engine::testing
