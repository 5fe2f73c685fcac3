#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "engine/drivers/accumulator.h"
#include "support/value_literals.h"

namespace jorvane::engine {
namespace {

using accumulator::Accumulator;
using accumulator::ItemQueue;
using accumulator::Match;
using M = AccumulatorKind;
using testing::json;

// A small harness: one accumulator, its queue, and matches given as JSON text
// the way the walk hands them over (atoms and raw string bytes; containers as
// built values).
struct Harness {
    Accumulator acc;
    ItemQueue queue;
    bool stream = true;
    explicit Harness(M kind) : acc(Accumulator::of_kind(kind)) {}

    void atom(std::string_view a, std::optional<std::string_view> key = std::nullopt) {
        acc.fold(Match::atom(a), key, stream, queue);
    }
    void str(std::string_view raw, std::optional<std::string_view> key = std::nullopt) {
        acc.fold(Match::string(raw), key, stream, queue);
    }
    void container(std::string_view text, std::optional<std::string_view> key = std::nullopt) {
        Value v = json(text);
        acc.fold(Match::container(&v, v.is_object()), key, stream, queue);
    }
    QueryOutput output() {
        QueryOutput out;
        fold_output(out, acc.take_result());
        return out;
    }
};

void feed_mixed(Harness& h) {
    h.atom("1");
    h.str("2");
    h.str(" 3 ");
    h.atom("true");
    h.atom("null");
    h.container("[4]");
    h.str("x");
}

TEST(NumericFolds, MixedMatches) {
    struct Case {
        M kind;
        std::optional<double> QueryOutput::*field;
        double expected;
    } cases[] = {{M::Sum, &QueryOutput::sum, 6.0},
                 {M::Mean, &QueryOutput::mean, 2.0},
                 {M::Min, &QueryOutput::min, 1.0},
                 {M::Max, &QueryOutput::max, 3.0},
                 {M::Product, &QueryOutput::product, 6.0}};
    for (const auto& c : cases) {
        Harness h(c.kind);
        feed_mixed(h);
        QueryOutput out = h.output();
        ASSERT_TRUE((out.*c.field).has_value()) << accumulator_kind_name(c.kind);
        EXPECT_DOUBLE_EQ(*(out.*c.field), c.expected) << accumulator_kind_name(c.kind);
        EXPECT_EQ(out.agg_skipped, 4u);
    }
}

TEST(NumericFolds, WhatCountsAsANumber) {
    Harness h(M::Sum);
    h.atom("1e3");
    h.atom("-2.5");
    h.str("1e3");
    h.str(R"(\u0031)");  // a digit spelled as an escape is not read
    h.str("NaN");
    h.str("\xff" "1");
    // An atom a strict reader refuses is refused whole: neither folded nor
    // counted as skipped.
    for (const char* refused : {"-inf", "-nan", "1.2.3", "", "tru"}) {
        ItemQueue none;
        EXPECT_TRUE(h.acc.fold(Match::atom(refused), std::nullopt, false, none)) << refused;
    }
    QueryOutput out = h.output();
    EXPECT_DOUBLE_EQ(*out.sum, 1997.5);
    EXPECT_EQ(out.agg_skipped, 3u);
}

TEST(NumericFolds, NothingMatched) {
    QueryOutput out;
    for (M m : {M::Sum, M::Product, M::Mean, M::Min, M::Max}) {
        fold_output(out, Accumulator::of_kind(m).take_result());
    }
    EXPECT_EQ(out.sum, 0.0);
    EXPECT_EQ(out.product, 1.0);
    EXPECT_FALSE(out.mean);
    EXPECT_FALSE(out.min);
    EXPECT_FALSE(out.max);
    EXPECT_EQ(out.agg_skipped, 0u);
    EXPECT_EQ(out.exists(), kExistsUndetermined);

    QueryOutput skipped_only;
    for (M m : {M::Sum, M::Product}) {
        Harness h(m);
        h.atom("true");
        h.str("x");
        fold_output(skipped_only, h.acc.take_result());
    }
    EXPECT_EQ(skipped_only.agg_skipped, 2u);
    EXPECT_EQ(skipped_only.exists(), kExistsTrue);
}

TEST(NumericFolds, MinMaxWithInfinities) {
    Harness lo(M::Min), hi(M::Max);
    for (auto* h : {&lo, &hi}) {
        h->atom("1e400");
        h->atom("-1e400");
        h->atom("0");
    }
    EXPECT_EQ(*lo.output().min, -HUGE_VAL);
    EXPECT_EQ(*hi.output().max, HUGE_VAL);
}

TEST(CountingFolds, EqualValuesWrittenDifferentlyAreOneKey) {
    Harness h(M::ValueCounts);
    for (const char* a : {"1", "1.0", "1.00e0", "10e-1", "0.1e+1"}) h.atom(a);
    for (const char* a : {"-0.0", "0", "0e-5"}) h.atom(a);
    h.str("a");
    h.str(R"(\u0061)");
    h.container(R"({"a":1,"b":[1,2]})");
    h.container(R"({"b":[1,2.0],"a":1})");
    auto out = h.output();
    ASSERT_TRUE(out.value_counts);
    ASSERT_EQ(out.value_counts->size(), 4u);
    EXPECT_TRUE((*out.value_counts)[0].value == json("1"));
    EXPECT_EQ((*out.value_counts)[0].value.as_number().kind(), JsonNumber::Kind::Int);  // first spelling kept
    EXPECT_EQ((*out.value_counts)[0].count, 5u);
    EXPECT_EQ((*out.value_counts)[1].count, 3u);
    EXPECT_EQ((*out.value_counts)[2].value.as_string(), "a");
    EXPECT_EQ((*out.value_counts)[2].count, 2u);
    EXPECT_EQ((*out.value_counts)[3].count, 2u);
}

TEST(CountingFolds, CountUniqueAndValuesUnique) {
    Harness cu(M::CountUnique);
    for (const char* a : {"1", "1.0", "2", "true", "null", "nul"}) cu.atom(a);
    cu.str("true");
    EXPECT_EQ(cu.output().count_unique, 5u);

    Harness vu(M::ValuesUnique);
    vu.atom("1");
    vu.atom("1.0");
    vu.atom("1e0");
    vu.str("1");
    ASSERT_EQ(vu.queue.size(), 2u);
    EXPECT_TRUE(vu.queue[0].value == json("1"));
    EXPECT_FALSE(vu.queue[0].key);
    EXPECT_TRUE(vu.queue[1].value == json("\"1\""));
    EXPECT_EQ(vu.output().distinct_count, 2u);
}

TEST(CountingFolds, ModeKeepsTiesInFirstOccurrenceOrder) {
    auto modal = [](std::vector<const char*> strings) {
        Harness h(M::Mode);
        for (const char* s : strings) h.str(s);
        std::vector<std::string> out;
        auto r = h.output();
        for (const auto& e : *r.mode_list) out.push_back(e.value.as_string() + ":" + std::to_string(e.count));
        return out;
    };
    EXPECT_EQ(modal({"a", "b", "b", "a", "c"}), (std::vector<std::string>{"a:2", "b:2"}));
    EXPECT_EQ(modal({"c", "b", "a", "a", "b"}), (std::vector<std::string>{"b:2", "a:2"}));
    EXPECT_EQ(modal({"x", "y", "y"}), (std::vector<std::string>{"y:2"}));
    EXPECT_TRUE(modal({}).empty());
}

TEST(StreamingFolds, ValuesAndKeyedValues) {
    Harness v(M::Values);
    v.atom("12");
    v.str(R"(a\nb)");
    v.container(R"({"k":[1]})");
    ASSERT_EQ(v.queue.size(), 3u);
    EXPECT_EQ(v.queue[0].value.as_number().int_value(), 12);
    EXPECT_EQ(v.queue[1].value.as_string(), "a\nb");
    EXPECT_TRUE(v.queue[2].value == json(R"({"k":[1]})"));
    EXPECT_EQ(v.output().values_count, 3u);

    Harness quiet(M::Values);
    quiet.stream = false;
    quiet.atom("1");
    quiet.atom("2");
    EXPECT_TRUE(quiet.queue.empty());
    EXPECT_EQ(quiet.output().values_count, 2u);

    Harness kv(M::KeyedValues);
    kv.atom("1");  // an array element: no key, ignored
    kv.atom("2", R"(caf\u00e9)");
    kv.str("x", "k");
    ASSERT_EQ(kv.queue.size(), 2u);
    EXPECT_EQ(*kv.queue[0].key, "caf\xC3\xA9");
    EXPECT_EQ(kv.queue[1].value.as_string(), "x");
    EXPECT_EQ(kv.output().values_count, 2u);
}

TEST(OtherFolds, CountExistsTypes) {
    Harness c(M::Count);
    c.atom("1");
    c.container("{}");
    EXPECT_EQ(c.output().count, 2u);

    Harness e(M::Exists);
    EXPECT_EQ(e.output().exists_flag, kExistsFalse);
    e.atom("null");
    EXPECT_EQ(e.output().exists_flag, kExistsTrue);

    Harness t(M::Types);
    for (const char* a : {"12", "-3", "true", "null"}) t.atom(a);
    t.str("s");
    t.atom("false");
    auto types = *t.output().types;
    std::vector<JsonType> order(types.begin(), types.end());
    EXPECT_EQ(order, (std::vector<JsonType>{JsonType::Number, JsonType::Boolean, JsonType::Null, JsonType::String}));
    Harness t2(M::Types);
    t2.container("[]");
    t2.container("{}");
    auto types2 = *t2.output().types;
    EXPECT_TRUE(types2.contains(JsonType::Array) && types2.contains(JsonType::Object) && types2.size() == 2);
}

TEST(Results, SnapshotCopiesAndTakeMovesOut) {
    Harness h(M::ValueCounts);
    h.atom("1");
    h.atom("2");
    AccumulatorResult snap = h.acc.snapshot_result();
    EXPECT_EQ(snap.entries.size(), 2u);
    EXPECT_EQ(h.acc.table().size(), 2u);
    h.atom("1");
    AccumulatorResult taken = h.acc.take_result();
    ASSERT_EQ(taken.entries.size(), 2u);
    EXPECT_EQ(taken.entries[0].count, 2u);
    EXPECT_EQ(h.acc.table().size(), 0u);

    Harness t(M::Types);
    t.atom("1");
    EXPECT_EQ(t.acc.snapshot_result().types.size(), 1u);
    EXPECT_EQ(t.acc.take_result().types.size(), 1u);
    EXPECT_EQ(t.acc.take_result().types.size(), 0u);

    Harness m(M::Mode);
    m.atom("1");
    EXPECT_EQ(m.acc.take_result().entries.size(), 1u);
    EXPECT_EQ(m.acc.table().size(), 1u);  // the mode leaves its map in place
}

TEST(Results, ResetRestoresTheInitialState) {
    for (int i = 0; i < kAccumulatorKindCount; ++i) {
        M kind = static_cast<M>(i);
        Harness fresh(kind), used(kind);
        feed_mixed(used);
        used.atom("5", "k");
        used.acc.reset();
        AccumulatorResult a = fresh.acc.take_result(), b = used.acc.take_result();
        EXPECT_EQ(a.kind, b.kind) << i;
        EXPECT_EQ(a.number, b.number) << i;
        EXPECT_EQ(a.numeric, b.numeric) << i;
        EXPECT_EQ(a.entries, b.entries) << i;
        EXPECT_EQ(a.types, b.types) << i;
    }
}

// One match of a part of a source: an atom, a string's raw bytes or a
// container's text, with the member key it came under, if any.
struct Item {
    Match::Kind kind;
    std::string_view text;
    std::optional<std::string_view> key = std::nullopt;
};

void fold_items(Accumulator& acc, std::span<const Item> items, ItemQueue& queue) {
    for (const Item& it : items) {
        switch (it.kind) {
            case Match::Atom: acc.fold(Match::atom(it.text), it.key, true, queue); break;
            case Match::String: acc.fold(Match::string(it.text), it.key, true, queue); break;
            case Match::Container: {
                const Value v = json(it.text);
                acc.fold(Match::container(&v, v.is_object()), it.key, true, queue);
                break;
            }
        }
    }
}

std::string bits(const std::optional<double>& d) {
    return d ? std::to_string(std::bit_cast<uint64_t>(*d)) : "none";
}

// Every kind, the matches cut into three parts at every pair of places (empty
// parts included), the parts folded apart and combined in order into a fresh
// accumulator, as a scan in ranges merges them: the answer is the one fold's,
// figures bit for bit, orders and the ValuesUnique stream included.
TEST(Combine, PartsCombinedInOrderAnswerAsOneFold) {
    const Item mixed[] = {
        {Match::Atom, "0.1"},  {Match::Atom, "0.2", "k"}, {Match::Atom, "0.3"},   {Match::String, "x"},
        {Match::Atom, "1e16"}, {Match::Atom, "1", "k"},   {Match::Atom, "-1e16"}, {Match::Atom, "true"},
        {Match::Atom, "null"}, {Match::Container, "[1,2]"}, {Match::Container, R"({"a":0.5})", "k"},
        {Match::Atom, "1.0"},  {Match::String, "x", "k"}, {Match::String, " 3 "}, {Match::Atom, "0.7"},
    };
    // Zeros of either sign: which one Min and Max keep depends on the order.
    const Item zeros[] = {{Match::Atom, "0"}, {Match::Atom, "-0.0"}, {Match::Atom, "0.0"}, {Match::Atom, "-0"}};
    for (const std::span<const Item> items : {std::span<const Item>(mixed), std::span<const Item>(zeros)}) {
        for (const AccumulatorKindInfo& info : kAccumulatorKinds) {
            Accumulator whole = Accumulator::of_kind(info.kind);
            ItemQueue whole_queue;
            fold_items(whole, items, whole_queue);
            const AccumulatorResult expected = whole.take_result();
            std::vector<Value> expected_stream;
            if (info.kind == M::ValuesUnique)
                for (const auto& item : whole_queue) expected_stream.push_back(item.value);
            for (size_t i = 0; i <= items.size(); ++i) {
                for (size_t j = i; j <= items.size(); ++j) {
                    const std::string where =
                        std::string(info.name) + " cut at " + std::to_string(i) + ", " + std::to_string(j);
                    Accumulator merged = Accumulator::of_kind(info.kind);
                    std::vector<Value> fresh;
                    for (const auto part : {items.first(i), items.subspan(i, j - i), items.subspan(j)}) {
                        Accumulator acc = Accumulator::of_kind(info.kind);
                        acc.keep_contributions();
                        ItemQueue queue;
                        fold_items(acc, part, queue);
                        merged.combine(acc, &fresh);
                    }
                    const AccumulatorResult got = merged.take_result();
                    EXPECT_EQ(got.number, expected.number) << where;
                    EXPECT_EQ(bits(got.numeric), bits(expected.numeric)) << where;
                    EXPECT_EQ(got.entries, expected.entries) << where;
                    EXPECT_EQ(got.types, expected.types) << where;
                    EXPECT_EQ(fresh, expected_stream) << where;
                }
            }
        }
    }
}

TEST(Dispatch, LimitsAndDoneMask) {
    std::vector<std::optional<uint64_t>> limits = {2, std::nullopt, 0};
    std::vector<uint64_t> counters = {0, 0, 0};
    const uint64_t limited = 0b101;
    // `reached`: the labels the match brought to their limit, once.
    uint64_t reached = 1;
    EXPECT_EQ(accumulator::apply_limits(0b111, 0, limited, limits, counters, &reached), 0b011u);
    EXPECT_EQ(reached, 0u);
    EXPECT_EQ(accumulator::apply_limits(0b111, 0, limited, limits, counters, &reached), 0b011u);
    EXPECT_EQ(reached, 0b001u);
    EXPECT_EQ(accumulator::apply_limits(0b111, 0, limited, limits, counters, &reached), 0b010u);
    EXPECT_EQ(reached, 0u);
    EXPECT_EQ(counters[0], 2u);
    EXPECT_EQ(accumulator::apply_limits(0b010, 0b010, limited, limits, counters), 0u);
}

TEST(Dispatch, FoldMatchFollowsLabelMasks) {
    std::vector<Accumulator> accs = initialize_accumulators(std::vector<M>{M::Count});
    accs.push_back(Accumulator::of_kind(M::Values));
    accs.push_back(Accumulator::of_kind(M::ValueCounts));
    std::vector<uint64_t> masks = {0b01, 0b10, 0b11};
    std::vector<ItemQueue> queues(3);
    Value obj = json(R"({"a":1})");
    accumulator::fold_match(accs, masks, queues, 0b10, 0b10, Match::container(&obj, 1), std::nullopt, true);
    accumulator::fold_match(accs, masks, queues, 0b01, 0b10, Match::atom("7"), std::nullopt, true);
    accumulator::fold_match(accs, masks, queues, 0b00, 0b10, Match::atom("8"), std::nullopt, true);
    EXPECT_EQ(accs[0].counter(), 1u);
    EXPECT_EQ(accs[1].counter(), 1u);
    ASSERT_EQ(queues[1].size(), 1u);
    EXPECT_TRUE(queues[1][0].value == obj);
    EXPECT_EQ(accs[2].table().size(), 2u);
}

TEST(QueryOutputReadBack, ExistsDerivationChain) {
    auto with = [](auto set) {
        QueryOutput o;
        set(o);
        return o.exists();
    };
    EXPECT_EQ(with([](QueryOutput& o) { o.exists_flag = kExistsFalse; o.count = 3; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.count = 0; o.values_count = 3; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.count = 2; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.values_count = 0; o.count_unique = 1; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.value_counts.emplace(); o.count_unique = 1; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.value_counts = std::vector<ValueCount>{{Value(), 1}}; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.count_unique = 0; o.distinct_count = 1; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.distinct_count = 4; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.mode_list = std::vector<ValueCount>{{Value(), 1}}; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.mode_list.emplace(); o.types.emplace(); }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.mode_list.emplace(); }), kExistsUndetermined);
    EXPECT_EQ(with([](QueryOutput& o) { o.types.emplace(); o.min = 1.0; }), kExistsFalse);
    EXPECT_EQ(with([](QueryOutput& o) { o.max = -1.0; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.mean = 0.0; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.agg_skipped = 1; }), kExistsTrue);
    EXPECT_EQ(with([](QueryOutput& o) { o.sum = 5.0; o.product = 2.0; }), kExistsUndetermined);
}

TEST(QueryOutputReadBack, ModeFromValueCounts) {
    QueryOutput o;
    EXPECT_FALSE(o.mode());
    o.value_counts.emplace();
    EXPECT_FALSE(o.mode());
    o.value_counts = std::vector<ValueCount>{{json("1"), 2}, {json("2"), 3}, {json("3"), 3}};
    auto m = o.mode();
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 2u);
    EXPECT_TRUE((*m)[0].value == json("2"));
    EXPECT_TRUE((*m)[1].value == json("3"));
    o.mode_list.emplace();
    EXPECT_TRUE(o.mode() && o.mode()->empty());
}

TEST(QueryOutputReadBack, FoldOutputOverwritesAndRaisesSkipped) {
    auto result = [](M kind, uint64_t number, std::optional<double> numeric = std::nullopt) {
        AccumulatorResult r;
        r.kind = kind;
        r.number = number;
        r.numeric = numeric;
        return r;
    };
    QueryOutput o;
    fold_output(o, result(M::Values, 3));
    fold_output(o, result(M::KeyedValues, 5));
    EXPECT_EQ(o.values_count, 5u);  // the later accumulator wins
    fold_output(o, result(M::Min, 7));
    fold_output(o, result(M::Sum, 2, 1.5));
    EXPECT_EQ(o.agg_skipped, 7u);  // the largest skipped count
    EXPECT_FALSE(o.min);
    EXPECT_EQ(o.sum, 1.5);
    fold_output(o, result(M::Count, 9));
    EXPECT_EQ(o.agg_skipped, 7u);  // only the numeric kinds report skipped matches
    // Count with Values: only values_count, and exists answers from it.
    QueryOutput cv;
    for (auto& a : initialize_accumulators(std::vector<M>{M::Count, M::Values})) fold_output(cv, a.take_result());
    EXPECT_FALSE(cv.count);
    EXPECT_EQ(cv.values_count, 0u);
    EXPECT_EQ(cv.exists(), kExistsFalse);
}

}  // namespace
}  // namespace jorvane::engine
