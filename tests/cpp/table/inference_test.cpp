#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/column_cells.h"
#include "table/inference.h"

namespace jorvane::table {
namespace {

using testing::cells;
using testing::json;
using K = Column::Kind;

std::vector<bool> bits(const std::optional<Bitmap>& b, size_t n) {
    std::vector<bool> out;
    for (size_t i = 0; i < n; ++i) out.push_back(!b || b->valid(i));
    return out;
}

TEST(NarrowCells, KindOfEachCombination) {
    const std::pair<std::vector<const char*>, K> cases[] = {
        {{}, K::Mixed}, {{nullptr, "null"}, K::Mixed}, {{"1", "null", "3"}, K::Int64}, {{"2.5", "1"}, K::Float},
        {{"9007199254740993", "0.5"}, K::Mixed}, {{"0.5", "-9007199254740993"}, K::Mixed},
        {{"9007199254740992", "0.5"}, K::Float}, {{"-9007199254740992", "0.5"}, K::Float},
        {{"9007199254740993", "7"}, K::Int64}, {{"1", "12345678901234567890", "2"}, K::Mixed},
        {{"true", "\"a\""}, K::Mixed}, {{"true", "null"}, K::Bool}, {{"\"a\"", nullptr}, K::Str},
        {{"1.5", "\"x\""}, K::Mixed}, {{"[1]", "2"}, K::Mixed}, {{"1", "{}"}, K::Mixed},
        {{"[1,2]", "null", "[]"}, K::List}, {{"[[1]]", "[2]"}, K::Mixed}, {{"[{\"a\":1}]"}, K::Mixed},
        {{"[1]", "[\"a\"]"}, K::Mixed}, {{"[1]", "[2.5]"}, K::List}, {{"[9007199254740993]", "[2.5]"}, K::Mixed},
        {{"[9007199254740993]", "[2]"}, K::List}, {{"[12345678901234567890]"}, K::Mixed}, {{"[null]", "[]"}, K::List},
    };
    for (const auto& [texts, kind] : cases) {
        std::string label;
        for (const char* t : texts) label += std::string(t ? t : "<missing>") + " ";
        Column col = narrow_cells(cells(texts));
        EXPECT_EQ(col.kind(), kind) << label;
        EXPECT_EQ(col.rows(), texts.size()) << label;
    }
}

TEST(NarrowCells, MissingRowsGetFillersAndClearBits) {
    Column ints = narrow_cells(cells({"1", "null", "3"}));
    EXPECT_EQ(ints.as<K::Int64>().values, (std::vector<int64_t>{1, 0, 3}));
    EXPECT_EQ(ints.as<K::Int64>().validity->null_count, 1u);
    EXPECT_EQ(bits(ints.as<K::Int64>().validity, 3), (std::vector<bool>{true, false, true}));
    EXPECT_FALSE(narrow_cells(cells({"1", "2.5"})).as<K::Float>().validity.has_value());
    Column floats = narrow_cells(cells({"1e400", nullptr}));
    EXPECT_EQ(floats.as<K::Float>().values[0], INFINITY);
    EXPECT_TRUE(std::isnan(floats.as<K::Float>().values[1]));
    // A literal no float can read keeps its text in a Mixed column.
    ColumnCells odd = cells({"2.5"});
    odd.emplace_back(engine::Value::number(engine::JsonNumber::from_literal("1.2.3")));
    EXPECT_EQ(narrow_cells(std::move(odd)).kind(), K::Mixed);
    // Only top-level nulls become absent in a Mixed column.
    Column mixed = narrow_cells(cells({"1", "null", "\"a\"", "[null,1]"}));
    const auto& m = mixed.as<K::Mixed>();
    EXPECT_FALSE(m[1].has_value());
    EXPECT_EQ(m[3], json("[null,1]"));
}

TEST(NarrowCells, ListOffsetsBitsAndChild) {
    Column col = narrow_cells(cells({"[1,2]", "null", "[]"}));
    const auto& l = col.as<K::List>();
    EXPECT_EQ(l.offsets, (std::vector<int64_t>{0, 2, 2, 2}));
    EXPECT_EQ(bits(l.validity, 3), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(l.child->as<K::Int64>().values, (std::vector<int64_t>{1, 2}));

    Column with_null = narrow_cells(cells({"[1,null]", "[2]"}));
    const auto& n = with_null.as<K::List>();
    EXPECT_EQ(n.offsets, (std::vector<int64_t>{0, 2, 3}));
    EXPECT_FALSE(n.validity.has_value());
    EXPECT_EQ(bits(n.child->as<K::Int64>().validity, 3), (std::vector<bool>{true, false, true}));

    Column only_nulls = narrow_cells(cells({"[null]", "[]"}));
    const auto& o = only_nulls.as<K::List>();
    EXPECT_EQ(o.offsets, (std::vector<int64_t>{0, 1, 1}));
    ASSERT_EQ(o.child->as<K::Mixed>().size(), 1u);
    EXPECT_FALSE(o.child->as<K::Mixed>()[0].has_value());

    Column strings = narrow_cells(cells({"[\"a\"]", nullptr, "[\"b\",\"c\"]"}));
    EXPECT_EQ(strings.as<K::List>().child->as<K::Str>().values, (std::vector<std::string>{"a", "b", "c"}));
}

// Random columns against an order-free description of inference (the set of
// classes seen decides the type), and read back against their cells.
TEST(NarrowCells, RandomColumnsAgreeWithTheSetOfClassesSeen) {
    const std::vector<const char*> pool = {"1", "-7", "9007199254740993", "2.5", "-1e10", "12345678901234567890",
                                           "true", "false", "\"s\"", "\"\"", "[1]", "[]", "{}", "null"};
    enum Class { Int, Float, Bool, Str, Arr, Other };
    auto class_of = [](std::string_view t) {
        if (t == "12345678901234567890" || t == "{}") return Other;
        if (t == "true" || t == "false") return Bool;
        if (t[0] == '"') return Str;
        if (t[0] == '[') return Arr;
        return t.find_first_of(".e") != std::string_view::npos ? Float : Int;
    };
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        std::vector<const char*> texts;
        std::set<Class> seen;
        bool wide = false;
        for (size_t i = 0, n = rng() % 6; i < n; ++i) {
            const size_t pick = rng() % (pool.size() + 1);
            texts.push_back(pick == pool.size() ? nullptr : pool[pick]);
            if (texts.back() == nullptr || std::string_view(texts.back()) == "null") continue;
            seen.insert(class_of(texts.back()));
            wide = wide || std::string_view(texts.back()) == "9007199254740993";
        }
        K expected = K::Mixed;
        if (seen == std::set<Class>{Int}) expected = K::Int64;
        if (seen == std::set<Class>{Float} || seen == std::set<Class>{Int, Float}) expected = wide ? K::Mixed : K::Float;
        if (seen == std::set<Class>{Bool}) expected = K::Bool;
        if (seen == std::set<Class>{Str}) expected = K::Str;
        if (seen == std::set<Class>{Arr}) expected = K::List;

        Column col = narrow_cells(cells(texts));
        ASSERT_EQ(col.kind(), expected) << round;
        ASSERT_EQ(col.rows(), texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            std::optional<engine::Value> cell;
            if (texts[i] != nullptr && std::string_view(texts[i]) != "null") cell = json(texts[i]);
            auto check = [&](const auto& c, auto payload_of) {
                ASSERT_EQ(c.valid(i), cell.has_value()) << round;
                if (cell) {
                    EXPECT_EQ(c.values[i], payload_of(*cell)) << round;
                }
            };
            switch (col.kind()) {
                case K::Int64: check(col.as<K::Int64>(), [](auto& v) { return v.as_number().int_value(); }); break;
                case K::Float: check(col.as<K::Float>(), [](auto& v) { return *v.as_number().to_f64(); }); break;
                case K::Bool: check(col.as<K::Bool>(), [](auto& v) { return uint8_t{v.as_bool()}; }); break;
                case K::Str: check(col.as<K::Str>(), [](auto& v) { return v.as_string(); }); break;
                case K::List: {
                    const auto& l = col.as<K::List>();
                    ASSERT_EQ(!l.validity || l.validity->valid(i), cell.has_value());
                    EXPECT_EQ(size_t(l.offsets[i + 1] - l.offsets[i]), cell ? cell->as_array().size() : 0u);
                    break;
                }
                case K::Mixed: EXPECT_EQ(col.as<K::Mixed>()[i], cell); break;
                default: FAIL();
            }
        }
    }
}

}  // namespace
}  // namespace jorvane::table
