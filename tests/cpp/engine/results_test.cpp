// The end of a source: finish, outputs, early stops, settled queries, drains,
// engine reuse and row batches.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }

TEST(Finish, CompletesAPendingAtomBeforeReportingOpenContainers) {
    for (std::vector<size_t> cuts : {std::vector<size_t>{}, std::vector<size_t>{4}, std::vector<size_t>{6}}) {
        RunOptions opt;
        opt.cuts = cuts;
        Outcome o = run("[1, 23", {{"[*]", {M::Values}}}, opt);
        ASSERT_TRUE(o.failed);
        EXPECT_TRUE(o.incomplete);
        EXPECT_EQ(o.kind, ParseErrorKind::unclosed_containers(1));
        EXPECT_EQ(o.offset, 6u);
        EXPECT_EQ(o.values[0], (std::vector<Value>{num(1), num(23)}));
    }
    Outcome two = run("[[1", {{"", {M::Count}}});
    EXPECT_EQ(two.kind, ParseErrorKind::unclosed_containers(2));
    EXPECT_NE(two.message.find("2 containers still open"), std::string::npos);
}

TEST(Finish, AnOpenStringWinsOverOpenContainers) {
    Outcome o = run(R"({"a":["abc)", {{"", {M::Count}}});
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.kind, ParseErrorKind::unterminated_string());
    EXPECT_NE(o.message.find("input ended while a string was still open"), std::string::npos);
}

TEST(Finish, WhitespaceOnlySourceIsEmpty) {
    Outcome o = run(" \n\t\r  ", {{"a", {M::Count, M::Sum}}});
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.outputs[0].count, 0u);
    EXPECT_EQ(o.outputs[0].sum, 0.0);
    EXPECT_FALSE(o.outputs[0].bytes_covered);
}

TEST(Finish, EarlyStopRecordsTheOffsetAndDropsThePendingAtom) {
    Engine e = make_engine({{"[*]", {M::Count}}}, ScanMode::serial());
    std::string_view first = "[1,2,34";
    e.scan_buffer(first);
    EXPECT_FALSE(e.finish(false));
    auto out = e.finalize_source();
    EXPECT_EQ(out[0].count, 2u);
    EXPECT_EQ(out[0].bytes_covered, first.size());
    // A stopped scan is not a truncated one: finishing it again reports nothing.
    EXPECT_TRUE(!e.finish(true));
}

TEST(Finish, SnapshotLeavesTheScanGoing) {
    Engine e = make_engine({{"[*]", {M::ValueCounts, M::Types}}}, ScanMode::serial());
    e.scan_buffer(std::string_view("[1,1,\"a\""));
    auto snap = e.snapshot_source(8);
    EXPECT_EQ(snap[0].bytes_covered, 8u);
    ASSERT_TRUE(snap[0].value_counts);
    EXPECT_EQ(snap[0].value_counts->size(), 2u);
    e.scan_buffer(std::string_view(",2]"));
    ASSERT_TRUE(!e.finish(true));
    auto out = e.finalize_source();
    EXPECT_EQ(out[0].value_counts->size(), 3u);
    EXPECT_FALSE(out[0].bytes_covered);
}

TEST(IsDone, SettlesOnExistsAndLimits) {
    {
        Engine none(ScanMode::serial());
        EXPECT_FALSE(none.settled());
    }
    Engine e = make_engine({{"a", {M::Exists}}, {"b", {M::Count}, 3}}, ScanMode::serial());
    EXPECT_FALSE(e.settled());
    e.scan_buffer(std::string_view(R"({"a":1,"b":1}{"b":2})"));
    EXPECT_FALSE(e.settled());
    e.scan_buffer(std::string_view(R"({"b":3})"));
    EXPECT_TRUE(e.settled());
    e.scan_buffer(std::string_view(R"({"b":4})"));
    EXPECT_EQ(e.finalize_source()[1].count, 3u);

    Engine counting = make_engine({{"a", {M::Count}}}, ScanMode::serial());
    counting.scan_buffer(std::string_view(R"({"a":1})"));
    EXPECT_FALSE(counting.settled());
    counting.stop_query(0);
    EXPECT_TRUE(counting.settled());
}

TEST(Limits, ApplyPerQueryInsideAFusedAutomaton) {
    Outcome o = run("[1,2,3,4,5]", {{"[*]", {M::Values}, 2}, {"[*]", {M::Count}}, {"[1:]", {M::Sum}, 2}});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(1), num(2)}));
    EXPECT_EQ(o.outputs[1].count, 5u);
    EXPECT_EQ(o.outputs[2].sum, 5.0);
}

TEST(Numbering, SpansDrivers) {
    // 66 queries: a fused driver of 64 and one of 2; the last two are numbers 64 and 65.
    std::vector<QuerySpec> specs;
    for (int i = 0; i < 64; ++i) specs.push_back({"x", {M::Count}});
    specs.push_back({"a", {M::Values}});
    specs.push_back({"b", {M::Values, M::ValuesUnique}});
    Engine e = make_engine(specs, ScanMode::serial());
    Outcome o = run_engine(e, R"({"a":1,"b":2,"b":2,"x":0})", {});
    ASSERT_EQ(o.outputs.size(), 66u);
    EXPECT_EQ(o.outputs[63].count, 1u);
    EXPECT_EQ(o.values[64], (std::vector<Value>{num(1)}));
    EXPECT_EQ(o.values[65], (std::vector<Value>{num(2), num(2)}));
    EXPECT_EQ(o.outputs[65].distinct_count, 1u);
}

TEST(Drains, ValuesKeyedValuesAndStreamFlag) {
    Engine e = make_engine({{"*", {M::KeyedValues}}, {"*", {M::Values, M::ValuesUnique}}}, ScanMode::serial());
    e.scan_buffer(std::string_view(R"({"k\"1":1,"k2":[2],"k3":1})"));
    auto keyed = e.drain_keyed_streams();
    ASSERT_EQ(keyed.size(), 1u);
    ASSERT_EQ(keyed[0].items.size(), 3u);
    EXPECT_EQ(keyed[0].items[0].first, "k\"1");
    EXPECT_EQ(keyed[0].items[1].second, Value::array({num(2)}));
    auto batches = e.drain_streams();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].query, 1u);
    EXPECT_EQ(batches[0].kind, StreamKind::Values);
    EXPECT_EQ(batches[0].values.size(), 3u);
    EXPECT_EQ(batches[1].kind, StreamKind::ValuesUnique);
    EXPECT_EQ(batches[1].values.size(), 2u);
    EXPECT_TRUE(e.drain_streams().empty());

    e.set_stream_items(false);
    e.scan_buffer(std::string_view(R"({"z":5})"));
    EXPECT_TRUE(e.drain_streams().empty());
    EXPECT_EQ(e.finalize_source()[1].values_count, 4u);
}

TEST(Reuse, AResetEngineMatchesAFreshOne) {
    const std::vector<QuerySpec> specs{{"a[*]", {M::Values, M::Sum}, 3}, {"b", {M::Exists}}, {"", {M::Count}}};
    const std::string broken = R"({"a":[1,2,"x)";
    const std::string good = R"({"a":[4,5,6,7],"b":null} {"a":[8]})";
    Engine reused = make_engine(specs, ScanMode::batched(4));
    reused.enable_raw_capture();
    Outcome first = run_engine(reused, broken, {5});
    EXPECT_TRUE(first.failed);
    for (int round = 0; round < 2; ++round) {
        reused.reset_for_next_source();
        Outcome again = run_engine(reused, good, {3, 9});
        Engine fresh = make_engine(specs, ScanMode::batched(4));
        Outcome expected = run_engine(fresh, good, {3, 9});
        EXPECT_TRUE(same_outcome(expected, again)) << describe(again);
        EXPECT_EQ(again.values[0], (std::vector<Value>{num(4), num(5), num(6)}));
    }
}

TEST(RowBatches, CollectColumnsPerAnchorMatch) {
    Engine e = make_engine({{"rows[*]", {M::Count}}, {"rows[*].a", {M::Values}}, {"rows[*].b[*]", {M::Values}}},
                           ScanMode::serial());
    // Split the fused driver: the anchor gets its own driver here.
    Engine t(ScanMode::serial());
    {
        std::vector<QueryPlan> anchor{{std::nullopt, "rows[*]", std::span<const M>()}};
        std::vector<M> count{M::Count}, values{M::Values};
        anchor[0].kinds = count;
        auto a = CompiledQueries::compile(anchor);
        ASSERT_TRUE(a.ok());
        a->install_row_anchor(t);
        std::vector<QueryPlan> cols{{std::nullopt, "rows[*].a", values}, {std::nullopt, "rows[*].b[*]", values}};
        auto c = CompiledQueries::compile(cols);
        ASSERT_TRUE(c.ok());
        c->install(t);
    }
    t.scan_buffer(std::string_view(R"({"rows":[{"a":1,"b":[1,2]},{"b":[]},{"a":3,"a":4}]})"));
    CellStore b = t.take_row_batch();
    EXPECT_EQ(b.rows, 3u);
    ASSERT_EQ(b.columns.size(), 2u);
    std::vector<Value> a;
    for (const Cell& c : b.columns[0].cells) a.push_back(b.columns[0].value_of(c));
    EXPECT_EQ(a, (std::vector<Value>{num(1), num(3), num(4)}));
    EXPECT_EQ(b.columns[0].row_ends, (std::vector<uint64_t>{0, 1, 1, 3}));
    EXPECT_EQ(b.columns[1].row_ends, (std::vector<uint64_t>{0, 2, 2, 2}));
}

}  // namespace
}  // namespace jorvane::engine::testing
