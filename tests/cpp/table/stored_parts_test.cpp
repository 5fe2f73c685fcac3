// A column typed from the parts the buffers gave against the same rows in
// one store: the same column (kind, payload bit for bit, fillers, bitmaps,
// list offsets, values) or the same refusal, and every part released once,
// after the build no longer needs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "support/column_cells.h"
#include "table/declared.h"
#include "table/inference.h"

namespace jorvane::table {
namespace {

using testing::json;
using K = Column::Kind;

// A row: its cells as JSON texts ("1.2.3": a number literal no float reads,
// "[1.2.3]" an array of one).
using Row = std::vector<const char*>;

engine::Value value_of(const char* text) {
    const std::string_view t(text);
    auto odd = [] { return engine::Value::number(engine::JsonNumber::from_literal("1.2.3")); };
    if (t == "1.2.3") return odd();
    if (t == "[1.2.3]") {
        engine::Value::Array items;
        items.push_back(odd());
        return engine::Value::array(std::move(items));
    }
    return json(text);
}

engine::CellColumn store_of(const std::vector<Row>& rows, size_t from, size_t to) {
    engine::CellColumn col;
    for (size_t r = from; r < to; ++r) {
        for (const char* t : rows[r]) col.push_value(value_of(t));
        col.row_ends.push_back(col.cells.size());
    }
    return col;
}

template <class T>
bool same_payload(const T& a, const T& b) {
    if constexpr (std::is_floating_point_v<T>) return std::memcmp(&a, &b, sizeof(T)) == 0;
    else return a == b;
}

bool same_bitmap(const std::optional<Bitmap>& a, const std::optional<Bitmap>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->bytes == b->bytes && a->length == b->length && a->null_count == b->null_count);
}

template <class T>
bool same_nullable(const Nullable<T>& a, const Nullable<T>& b) {
    if (a.size() != b.size() || !same_bitmap(a.validity, b.validity)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!same_payload(a.values[i], b.values[i])) return false;
    return true;
}

bool same_column(const Column& a, const Column& b) {
    if (a.kind() != b.kind()) return false;
    return std::visit(
        [&](const auto& x, const auto& y) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (!std::is_same_v<T, std::decay_t<decltype(y)>>) return false;
            else if constexpr (std::is_same_v<T, IntNColumn>) return x.width == y.width && same_nullable(x.data, y.data);
            else if constexpr (std::is_same_v<T, DecimalColumn>)
                return x.precision == y.precision && x.scale == y.scale && same_nullable(x.data, y.data);
            else if constexpr (std::is_same_v<T, ListColumn>)
                return x.offsets == y.offsets && same_bitmap(x.validity, y.validity) && same_column(*x.child, *y.child);
            else if constexpr (std::is_same_v<T, MixedColumn>) return x == y;
            else return same_nullable(x, y);
        },
        a.repr, b.repr);
}

// The rows cut into stores at `cuts` (row indexes), as parts that count
// their releases.
struct Parted {
    std::vector<engine::CellColumn> stores;
    std::vector<int> released;

    Parted(const std::vector<Row>& rows, std::vector<size_t> cuts) {
        cuts.insert(cuts.begin(), 0);
        cuts.push_back(rows.size());
        for (size_t i = 0; i + 1 < cuts.size(); ++i) stores.push_back(store_of(rows, cuts[i], cuts[i + 1]));
        released.assign(stores.size(), 0);
    }
    StoredParts parts(OnMulti on_multi) {
        StoredParts s;
        for (auto& store : stores) {
            const uint64_t n = store.row_ends.size() - 1;
            s.parts.push_back(StoredColumn{store, n, on_multi});
            s.rows += n;
        }
        s.release = [this](engine::CellColumn& cells) {
            ++released[static_cast<size_t>(&cells - stores.data())];
            cells.release();
        };
        return s;
    }
};

std::string label(const std::vector<Row>& rows, const std::vector<size_t>& cuts) {
    std::string out;
    for (const Row& r : rows) {
        out += "(";
        for (const char* t : r) out += std::string(t) + " ";
        out += ")";
    }
    out += " cut at";
    for (size_t c : cuts) out += " " + std::to_string(c);
    return out;
}

// Types `rows` whole and cut at `cuts`, inferred and under each declaration.
void check(const std::vector<Row>& rows, const std::vector<size_t>& cuts, OnMulti on_multi) {
    const std::string what = label(rows, cuts) + " on_multi " + std::to_string(static_cast<int>(on_multi));
    Parted whole(rows, {});
    Parted cut(rows, cuts);
    Column expected = narrow_cells(whole.parts(on_multi));
    Column got = narrow_cells(cut.parts(on_multi));
    EXPECT_TRUE(same_column(expected, got)) << what;
    for (int n : cut.released) ASSERT_EQ(n, 1) << what;

    for (const auto& [type, nullable] : {std::pair{"int64", false}, {"float64", false}, {"str", false},
                                          {"bool", false}, {"int8", true}, {"float32", true}}) {
        const Declared declared{DType::parse(type).value(), nullable};
        Parted whole_d(rows, {});
        Parted cut_d(rows, cuts);
        auto a = build_declared_column("c", whole_d.parts(on_multi), declared, 5);
        auto b = build_declared_column("c", cut_d.parts(on_multi), declared, 5);
        ASSERT_EQ(a.ok(), b.ok()) << type << " " << what;
        if (a.ok()) EXPECT_TRUE(same_column(a.value(), b.value())) << type << " " << what;
        else EXPECT_EQ(a.error().to_string(), b.error().to_string()) << type << " " << what;
        for (int n : cut_d.released) EXPECT_LE(n, 1) << type << " " << what;
    }
}

TEST(StoredParts, ColumnsBuiltAcrossPartsEqualOneStore) {
    // Each case at every single cut and at every cut between rows.
    const std::vector<std::vector<Row>> cases = {
        {{"1"}, {"2.5"}, {}, {"3"}},                      // integers turning float in a later part
        {{"0.5"}, {"2.5"}, {"1.2.3"}},                    // an unreadable literal after the float parts
        {{"1"}, {"9007199254740993"}, {"0.5"}},           // a wide integer making a float column mixed
        {{"\"a\""}, {"null"}, {"\"b\""}, {"true"}},       // strings, then a boolean: mixed
        {{"[\"a\",null]"}, {}, {"[]"}, {"[\"b\"]"}},      // list elements across parts
        {{"[1]"}, {"[2.5]"}, {"[\"1.2.3\"]"}, {"[{}]"}},  // a nested container in the last part
        {{"[1.5]"}, {"null"}, {"[1.2.3]"}},               // a list child that cannot be floats
        {{"{\"k\":1}"}, {"[[1]]"}, {"1"}},                // trees moved out part by part
        {{"1", "2"}, {"3"}, {}, {"4", "5", "6"}},         // several cells in a row
        {{"true", "null"}, {"false"}},
    };
    for (const auto& rows : cases) {
        for (OnMulti on_multi : {OnMulti::First, OnMulti::Last, OnMulti::List}) {
            for (size_t c = 0; c <= rows.size(); ++c) check(rows, {c}, on_multi);
            std::vector<size_t> every;
            for (size_t c = 1; c < rows.size(); ++c) every.push_back(c);
            check(rows, every, on_multi);
        }
    }
}

TEST(StoredParts, RandomColumnsCutAnywhereEqualOneStore) {
    const std::vector<const char*> pool = {"1",     "-7",  "9007199254740993", "2.5",        "1e400", "1.2.3",
                                           "true",  "false", "\"s\"",          "\"\"",       "[1]",   "[]",
                                           "[\"a\",null]", "[2.5]", "{}",      "[[1]]",      "null",  "12345678901234567890",
                                           "[1.2.3]"};
    std::mt19937 rng(29);
    for (int round = 0; round < 4000; ++round) {
        // Mostly one kind, so that columns reach every type, with a stray value now and then.
        const size_t base = rng() % pool.size();
        std::vector<Row> rows(rng() % 9);
        for (Row& row : rows) {
            const size_t cells = rng() % 8 == 0 ? rng() % 3 + 2 : rng() % 6 == 0 ? 0 : 1;
            for (size_t i = 0; i < cells; ++i) row.push_back(pool[rng() % 5 == 0 ? rng() % pool.size() : base]);
        }
        std::vector<size_t> cuts;
        for (size_t i = 0, n = rng() % 4; i < n && !rows.empty(); ++i) cuts.push_back(rng() % (rows.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        check(rows, cuts, static_cast<OnMulti>(1 + rng() % 3));
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace jorvane::table
