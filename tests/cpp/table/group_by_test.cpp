// Grouped aggregation: groups in first-seen order keyed by JSON equality,
// every aggregate's folding and typing, the refusals, and the count_unique
// set against a plain list compared with Value equality.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "source/memory_reader.h"
#include "source/read_source.h"
#include "support/column_cells.h"
#include "table/distinct_values.h"
#include "table/group_by.h"

namespace jorvane::table {
namespace {

using engine::Value;
using testing::json;

std::unique_ptr<Source> source_of(const std::string& doc, size_t buffer) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        buffer);
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    out += text;
    out += '"';
    return out;
}

std::string value_text(const Value& v) {
    switch (v.type()) {
        case engine::JsonType::Null: return "null";
        case engine::JsonType::Boolean: return v.as_bool() ? "true" : "false";
        case engine::JsonType::Number: return v.as_number().to_literal();
        case engine::JsonType::String: return quoted(v.as_string());
        default: return "<container>";
    }
}

// One cell of a column as text: "-" when missing, floats with %.17g.
std::string cell_text(const Column& c, size_t row) {
    using K = Column::Kind;
    char buf[40];
    switch (c.kind()) {
        case K::Int64: {
            const auto& col = c.as<K::Int64>();
            return col.valid(row) ? std::to_string(col.values[row]) : "-";
        }
        case K::Float: {
            const auto& col = c.as<K::Float>();
            if (!col.valid(row)) return "-";
            std::snprintf(buf, sizeof buf, "%.17g", col.values[row]);
            return buf;
        }
        case K::Str: {
            const auto& col = c.as<K::Str>();
            return col.valid(row) ? quoted(col.values[row]) : "-";
        }
        case K::Mixed: {
            const auto& cell = c.as<K::Mixed>()[row];
            return cell ? value_text(*cell) : "-";
        }
        default: return "?";
    }
}

struct Outcome {
    std::vector<std::string> dtypes;  // one per column
    std::vector<std::string> rows;    // cells joined by "|"
    std::string error;
};

Outcome run(const GroupSpec& spec, const std::string& doc, size_t buffer) {
    Outcome out;
    auto t = group_by_scan(spec, engine::ScanMode::batched(8), source_of(doc, buffer));
    if (!t) {
        out.error = t.error().to_string();
        return out;
    }
    EXPECT_FALSE(t->bytes_covered);
    EXPECT_EQ(t->names.size(), t->columns.size());
    for (const Column& c : t->columns) out.dtypes.push_back(c.dtype_name());
    for (size_t r = 0; r < t->n_rows; ++r) {
        std::string row;
        for (size_t c = 0; c < t->columns.size(); ++c) {
            if (c) row += '|';
            row += cell_text(t->columns[c], r);
        }
        out.rows.push_back(row);
    }
    return out;
}

GroupSpec by_k(std::vector<GroupAgg> aggs) {
    GroupSpec spec;
    spec.keys = {{"k", "k"}};
    spec.aggs = std::move(aggs);
    return spec;
}

GroupAgg agg(std::string name, GroupOp op, std::optional<std::string> path = "v") {
    return GroupAgg{std::move(name), op, op == GroupOp::Count ? std::nullopt : std::move(path)};
}

const std::string kShape = "data does not fit the requested shape: ";

TEST(GroupBy, Aggregates) {
    struct Case {
        const char* what;
        GroupSpec spec;
        std::string doc;
        std::vector<std::string> dtypes;
        std::vector<std::string> rows;
        std::string error;
    };
    const Case cases[] = {
        {"integer sums stay exact Int64", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":1} {"k":"a","v":2} {"k":"a","v":3})", {"str", "int64"}, {"\"a\"|6"}},
        {"one fraction anywhere makes every sum a float", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":1} {"k":"a","v":2} {"k":"b","v":0.5} {"k":"a","v":3})", {"str", "float64"},
         {"\"a\"|6", "\"b\"|0.5"}},
        {"a group of nulls sums to null, count counts its rows",
         by_k({agg("s", GroupOp::Sum), agg("n", GroupOp::Count), agg("m", GroupOp::Mean)}),
         R"({"k":"a","v":1} {"k":"c","v":null} {"k":"c"})", {"str", "int64", "int64", "float64"},
         {"\"a\"|1|1|1", "\"c\"|-|2|-"}},
        {"an exact sum past int64 is refused", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":9223372036854775807} {"k":"a","v":1})", {}, {},
         kShape + "group_by aggregate \"s\" (sum) overflows int64 in one group \u2014 an exact integer sum cannot "
                  "represent it"},
        {"with a float in the column, a large exact sum converts when it is exact", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":9223372036854775807} {"k":"a","v":1} {"k":"b","v":0.5})", {"str", "float64"},
         {"\"a\"|9.2233720368547758e+18", "\"b\"|0.5"}},
        {"and is refused when it is not", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":9007199254740992} {"k":"a","v":1} {"k":"b","v":0.5})", {}, {},
         kShape + "group_by aggregate \"s\" (sum): a float elsewhere in the column forces float64, but one group's "
                  "exact integer sum (9007199254740993) is not representable in float64"},
        {"an integer beyond 64 bits is a float", by_k({agg("s", GroupOp::Sum)}),
         R"({"k":"a","v":1} {"k":"a","v":100000000000000000000})", {"str", "float64"}, {"\"a\"|1e+20"}},
        {"min, max and mean read numbers as doubles",
         by_k({agg("lo", GroupOp::Min), agg("hi", GroupOp::Max), agg("m", GroupOp::Mean)}),
         R"({"k":1,"v":2} {"k":1,"v":-1.5} {"k":1,"v":1e1} {"k":2})", {"int64", "float64", "float64", "float64"},
         {"1|-1.5|10|3.5", "2|-|-|-"}},
        {"a string under min is refused", by_k({agg("m", GroupOp::Min)}), R"({"k":1,"v":1} {"k":1,"v":"x"})", {},
         {}, kShape + "group_by aggregate \"m\" (min) expects numbers, but the path produced a string"},
        {"an object under mean is refused", by_k({agg("avg", GroupOp::Mean)}), R"({"k":1,"v":{}})", {}, {},
         kShape + "group_by aggregate \"avg\" (mean) expects numbers, but the path produced an object"},
        {"a boolean under sum is refused", by_k({agg("s", GroupOp::Sum)}), R"({"k":1,"v":true})", {}, {},
         kShape + "group_by aggregate \"s\" (sum) expects numbers, but the path produced a boolean"},
        {"first and last keep any value and skip nulls",
         by_k({agg("f", GroupOp::First), agg("l", GroupOp::Last)}),
         R"({"k":1,"v":null} {"k":1,"v":"x"} {"k":1,"v":2} {"k":1,"v":null} {"k":2})",
         {"int64", "str", "int64"}, {"1|\"x\"|2", "2|-|-"}},
        {"count_unique counts equal values once", by_k({agg("u", GroupOp::CountUnique)}),
         R"({"k":1,"v":1} {"k":1,"v":1.0} {"k":1,"v":10e-1} {"k":1,"v":"1"} {"k":1,"v":{"a":1,"b":2}})"
         R"( {"k":1,"v":{"b":2,"a":1}} {"k":1,"v":[1]} {"k":1,"v":null} {"k":2,"v":null})",
         {"int64", "int64"}, {"1|4", "2|0"}},
        {"keys equal in JSON form one group shown by its first row", by_k({agg("n", GroupOp::Count)}),
         R"({"k":1.0} {"k":1} {"k":"1"} {"k":100e-2})", {"object", "int64"}, {"1.0|3", "\"1\"|1"}},
        {"a missing key and a null key are one null group", by_k({agg("n", GroupOp::Count)}),
         R"({"k":null} {"k":"a"} {} {"k":"a"})", {"str", "int64"}, {"-|2", "\"a\"|2"}},
        {"no row: every column, no group", by_k({agg("n", GroupOp::Count), agg("s", GroupOp::Sum)}), "",
         {"object", "int64", "int64"}, {}},
    };
    for (const Case& c : cases) {
        for (size_t buffer : {size_t{1} << 20, size_t{3}}) {
            Outcome got = run(c.spec, c.doc, buffer);
            EXPECT_EQ(got.error, c.error) << c.what;
            EXPECT_EQ(got.dtypes, c.dtypes) << c.what;
            EXPECT_EQ(got.rows, c.rows) << c.what;
        }
    }
}

TEST(GroupBy, KeyTuplesAndRowAnchors) {
    GroupSpec spec;
    spec.rows = "items[*]";
    spec.keys = {{"a", "a"}, {"b", "b.c"}};
    spec.aggs = {agg("n", GroupOp::Count), agg("t", GroupOp::Sum, "n")};
    const std::string doc = R"({"items":[{"a":1,"b":{"c":"x"},"n":1},{"a":1,"n":2},{"a":1,"b":{"c":"x"},"n":3},)"
                            R"({"a":2,"b":{"c":"x"}}]} {"items":[{"a":1,"b":{"c":null},"n":4}]})";
    const Outcome got = run(spec, doc, 5);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.rows, (std::vector<std::string>{"1|\"x\"|2|4", "1|-|2|6", "2|\"x\"|1|-"}));
}

TEST(GroupBy, Refusals) {
    GroupSpec no_keys;
    no_keys.aggs = {agg("n", GroupOp::Count)};
    EXPECT_EQ(run(no_keys, "{}", 64).error, "invalid input: group_by needs at least one key column (by=)");

    // max_groups distinct groups are allowed; the first row of one more fails.
    const std::string kLimit =
        " distinct groups; raise max_groups= if this cardinality is intended (memory is proportional to the number "
        "of groups)";
    GroupSpec limited = by_k({agg("n", GroupOp::Count)});
    limited.max_groups = 2;
    EXPECT_EQ(run(limited, R"({"k":"a"} {"k":"b"} {"k":"a"})", 64).rows.size(), 2u);
    EXPECT_EQ(run(limited, R"({"k":"a"} {"k":"b"} {"k":"a"} {"k":"c"})", 64).error,
              kShape + "group_by exceeded max_groups=2" + kLimit);
    limited.max_groups = 0;
    EXPECT_EQ(run(limited, R"({"k":"a"})", 64).error, kShape + "group_by exceeded max_groups=0" + kLimit);
    EXPECT_EQ(run(limited, "", 64).rows.size(), 0u);

    // Several matches of a key under on_multi "error" is the table stream's refusal.
    GroupSpec multi;
    multi.keys = {{"t", "t[*]"}};
    multi.aggs = {agg("n", GroupOp::Count)};
    EXPECT_EQ(run(multi, R"({"t":[1,2]})", 64).error.rfind(kShape + "column \"t\" matched 2 times", 0), 0u);
    multi.on_multi = OnMulti::Last;
    EXPECT_EQ(run(multi, R"({"t":[1,2]})", 64).rows, (std::vector<std::string>{"2|1"}));
}

TEST(GroupBy, OpNames) {
    const std::pair<const char*, GroupOp> accepted[] = {
        {"count", GroupOp::Count}, {"sum", GroupOp::Sum},   {"min", GroupOp::Min},
        {"max", GroupOp::Max},     {"mean", GroupOp::Mean}, {"avg", GroupOp::Mean},
        {"count_unique", GroupOp::CountUnique}, {"first", GroupOp::First}, {"last", GroupOp::Last},
    };
    for (const auto& [text, op] : accepted) EXPECT_EQ(parse_group_op(text), op) << text;
    for (const char* text : {"Sum", "COUNT", "average", "", "mean "}) EXPECT_FALSE(parse_group_op(text)) << text;
    EXPECT_STREQ(group_op_name(GroupOp::Mean), "mean");
    EXPECT_STREQ(group_op_name(GroupOp::CountUnique), "count_unique");
}

TEST(DistinctValues, ExactIntegers) {
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"7", 7},         {"-0", 0},       {"-0.0", 0},     {"1.0", 1},       {"10e-1", 1},
        {"1E2", 100},     {"1.5", {}},     {"1e-400", {}},  {"\"1\"", {}},   {"[1]", {}},
        {"true", {}},     {"9223372036854775807.0", INT64_MAX},
        {"-9223372036854775808", INT64_MIN}, {"9223372036854775808", {}}, {"-92233720368547758090e-1", {}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(exact_int64(json(text)), expected) << text;
    // Two integers whose hashes in the integer table collide count twice.
    DistinctPairs set;
    for (const char* text : {"7046029254386353131", "-561184103760049731", "7046029254386353131"}) {
        Value v = json(text);
        set.insert(0, distinct_key(v), std::move(v));
    }
    EXPECT_EQ(set.size(), 2u);
}

// The pairs against a plain list searched with Value equality, over values
// drawn from a small pool rich in numbers that are equal in different forms,
// in a few groups; a second set takes the same pairs in parts by value hash,
// through pieces of a few pairs each (as ranges hand them over) whose groups
// are numbered afresh and renamed when absorbed.
TEST(DistinctValues, AgreesWithALinearSearch) {
    const char* pool[] = {"0",     "-0",   "0.0",     "1",         "1.0",  "10e-1", "100e-2",  "2",
                          "-1",    "-1.0", "1e300",   "1E+300",    "\"1\"", "\"a\"", "true",    "false",
                          "null",  "[1]",  "[1.0]",   "[]",        "{}",    "9223372036854775807",
                          "9223372036854775808",    "9223372036854775807.0", R"({"a":1,"b":[2]})",
                          R"({"b":[2.0],"a":1})",    "-9223372036854775808", "12345678901234567890123"};
    std::mt19937 rng(7);
    constexpr size_t kParts = 3, kGroups = 4;
    for (int trial = 0; trial < 200; ++trial) {
        DistinctPairs set;
        std::vector<DistinctPairs> absorbed(kParts), piece(kParts);
        // The piece numbers its groups in reverse.
        const std::vector<size_t> into{3, 2, 1, 0};
        std::vector<std::pair<size_t, Value>> oracle;
        const int n = 1 + static_cast<int>(rng() % 60);
        const auto flush = [&] {
            for (size_t p = 0; p < kParts; ++p) absorbed[p].absorb(std::move(piece[p]), into);
        };
        for (int i = 0; i < n; ++i) {
            // Mostly pool values, sometimes fresh integers to grow the table.
            Value v = rng() % 4 ? json(pool[rng() % std::size(pool)]) : json(std::to_string(rng() % 5000));
            const size_t group = rng() % kGroups;
            bool known = false;
            for (const auto& [g, o] : oracle) known |= (g == group && o == v);
            if (!known) oracle.emplace_back(group, v);
            const DistinctKey key = distinct_key(v);
            piece[distinct_part(key.hash, kParts)].insert(into[group], key, Value(v));
            if (rng() % 7 == 0) flush();
            set.insert(group, key, std::move(v));
            ASSERT_EQ(set.size(), oracle.size()) << "trial " << trial << " step " << i;
        }
        flush();
        std::vector<uint64_t> expected(kGroups), counted(kGroups), in_parts(kGroups);
        for (const auto& [g, o] : oracle) ++expected[g];
        set.count_into(counted);
        for (const DistinctPairs& p : absorbed) p.count_into(in_parts);
        EXPECT_EQ(counted, expected) << "trial " << trial;
        EXPECT_EQ(in_parts, expected) << "trial " << trial;
    }
}

}  // namespace
}  // namespace jorvane::table
