// A table scanned in ranges by several walkers against one engine over the
// whole input: random NDJSON (every cell kind, nulls, missing fields, lists,
// pretty-printed records, one array of records, malformed and truncated
// input), read from a mapped file and from sequential input, through the
// table layer's consumers of the table stream: whole tables (types, bytes
// covered at a row limit), batches and grouped aggregation (the NDJSON
// projection is tested with its writer). Results, batch boundaries and the
// first error (kind, offset and text) must be equal, floating-point figures
// bit for bit.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "source/mapped_file.h"
#include "support/random_records.h"
#include "support/random_tables.h"
#include "support/value_literals.h"
#include "table/group_by.h"
#include "table/table_stream.h"

namespace jorvane::table {
namespace {

using jorvane::testing::TempFile;
using testing::check_random_tables;
using testing::error_text;
using Input = testing::TableInput;

void render(const Column& c, std::string& o) {
    o += std::string(" <") + c.dtype_name() + ">";
    const auto put = [&o](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        char b[64];
        if constexpr (std::is_same_v<T, std::string>) o += v;
        else if constexpr (std::is_floating_point_v<T>) std::snprintf(b, sizeof b, "%a", static_cast<double>(v)), o += b;
        else if constexpr (std::is_same_v<T, __int128>) o += std::to_string(static_cast<int64_t>(v));
        else if constexpr (std::is_integral_v<T>) o += std::to_string(v);
        else o += "?";
    };
    std::visit([&](const auto& col) {
        using C = std::decay_t<decltype(col)>;
        if constexpr (std::is_same_v<C, MixedColumn>) {
            for (const auto& cell : col) {
                o += ' ';
                if (cell) engine::testing::write_json_text(*cell, o); else o += '-';
            }
        } else if constexpr (std::is_same_v<C, ListColumn>) {
            for (int64_t off : col.offsets) o += " @" + std::to_string(off);
            render(*col.child, o);
        } else if constexpr (std::is_same_v<C, IntNColumn> || std::is_same_v<C, DecimalColumn>) {
            for (size_t r = 0; r < col.data.size(); ++r) o += ' ', col.data.valid(r) ? put(col.data.values[r]) : put("-");
        } else {
            for (size_t r = 0; r < col.size(); ++r) o += ' ', col.valid(r) ? put(col.values[r]) : put("-");
        }
    }, c.repr);
}

void render(const Table& t, std::string& o) {
    o += "table " + std::to_string(t.n_rows) + " covering " +
         (t.bytes_covered ? std::to_string(*t.bytes_covered) : std::string("all")) + ":";
    for (const Column& c : t.columns) render(c, o);
    o += "\n";
}

// Every table consumer's output over `in`, as text.
// `summed`: the last column is summed too (most often refused).
std::string consume(const Input& in, const TableSpec& spec, TableSplitOptions w, bool summed) {
    std::string out;
    // Whole tables, then batches of 37 rows (emitted as advance hands them out).
    for (const uint64_t batch_rows : {UINT64_MAX, uint64_t{37}}) {
        auto s = TableStream::make(spec, engine::ScanMode::batched(8), in.open(), batch_rows, w);
        if (!s) return "refused: " + s.error().to_string();
        for (;;) {
            auto ready = s->advance();
            if (!ready) { out += "error " + error_text(ready.error()) + "\n"; break; }
            if (!*ready) break;
            auto t = s->emit();
            if (!t) { out += "error " + error_text(t.error()) + "\n"; break; }
            render(*t, out);
        }
    }
    // Keys of few or (a column of its own) many distinct values; sums and
    // means over floats, and whatever the last column holds. With two
    // columns, more groups than max_groups allows: the refusal comes where
    // some range's rows first pass it.
    GroupSpec g{spec.rows, {{"k", spec.columns.size() % 3 ? "s" : "i"}}, {}, spec.on_multi,
                spec.columns.size() == 2 ? 3 : 25};
    for (const GroupOp op : {GroupOp::Count, GroupOp::Sum, GroupOp::Mean, GroupOp::Min, GroupOp::CountUnique})
        g.aggs.push_back(GroupAgg{"g" + std::to_string(g.aggs.size()), op, "f"});
    g.aggs.push_back(GroupAgg{"g" + std::to_string(g.aggs.size()), GroupOp::Sum, "i"});
    for (const GroupOp op : {GroupOp::First, GroupOp::Last, summed ? GroupOp::Sum : GroupOp::Max})
        g.aggs.push_back(GroupAgg{"g" + std::to_string(g.aggs.size()), op, spec.columns.back().second});
    auto grouped = group_by_scan(g, engine::ScanMode::batched(8), in.open(), nullptr, w);
    if (grouped) render(*grouped, out);
    else out += "error " + error_text(grouped.error()) + "\n";
    return out;
}

TEST(TableSplit, EveryConsumerMatchesOneEngine) { check_random_tables(consume); }

// A large table read in ranges types its columns at once: the same columns,
// and the same refusal (the first column's) when several columns refuse.
TEST(TableSplit, LargeTablesTypeTheirColumnsAtOnce) {
    std::string doc;
    for (int i = 0; i < 70000; ++i)
        doc += "{\"i\":" + std::to_string(i) + ",\"f\":" + std::to_string(i) + ".5,\"s\":\"k" + std::to_string(i % 7) +
               "\",\"l\":[" + (i == 69999 ? "\"x\"," : "") + std::to_string(i) + "]" + (i == 60000 ? ",\"i\":1}\n" : "}\n");
    TempFile file(doc);
    auto mapped = MappedFile::open(file.path());
    ASSERT_TRUE(mapped);
    const Input in{&doc, mapped->get(), 4096};
    const auto whole = [&](const TableSpec& spec, TableSplitOptions w) {
        auto s = TableStream::make(spec, engine::ScanMode::batched(8), in.open(), UINT64_MAX, w);
        std::string out;
        auto ready = s->advance();
        auto t = s->emit();
        if (t) render(*t, out);
        else out = error_text(t.error());
        return out;
    };
    for (const OnMulti multi : {OnMulti::First, OnMulti::Error}) {
        TableSpec spec("");
        spec.on_multi = multi;
        spec = std::move(spec).column("i", "i").column("f", "f").column("s", "s").column("l", "l[*]");
        for (const bool declared : {false, true}) {
            if (declared) spec.declared["l"] = Declared{*DType::parse("int64"), true};
            const std::string one = whole(spec, TableSplitOptions{});
            EXPECT_EQ(whole(spec, TableSplitOptions{4, 50000}), one);
            EXPECT_EQ(one.rfind("table", 0) == 0, multi == OnMulti::First && !declared) << one.substr(0, 200);
        }
    }
}

// Grouping folds each range's pieces on its walker and the merge absorbs
// them: keys that change slowly give every piece few groups of its own, so
// max_groups is passed only when a piece's groups join the running ones, and
// the refusal must still come from the row where one engine meets it (and
// yield to a malformed byte later in the same batch of rows). Float sums and
// means replay each piece's numbers, so they keep every rounding.
TEST(TableSplit, GroupsFoldedPerRangeMatchOneEngine) {
    // "n" is nearly unique, in forms that count once across ranges (5 and
    // 5.0) or not (5 and "5").
    std::string doc;
    for (int i = 0; i < 3000; ++i) {
        const std::string n = std::to_string(i * 7919 % 1700);
        doc += "{\"k\":" + std::to_string(i / 40) + ",\"v\":" + std::to_string(i % 11) + "." +
               std::to_string(i % 7) + "e" + std::to_string(i % 5 - 2) + ",\"u\":\"u" + std::to_string(i % 13) +
               "\",\"n\":" + (i % 3 == 0 ? n : i % 3 == 1 ? n + ".0" : "\"" + n + "\"") + "}\n";
    }
    const std::string broken = doc.substr(0, doc.size() - 30) + "x\n";
    for (const std::string* text : {static_cast<const std::string*>(&doc), &broken}) {
        TempFile file(*text);
        auto mapped = MappedFile::open(file.path());
        ASSERT_TRUE(mapped);
        const Input in{text, mapped->get(), 512};
        const auto grouped = [&](std::optional<uint64_t> max_groups, TableSplitOptions w) {
            GroupSpec g{"", {{"k", "k"}}, {}, OnMulti::Error, max_groups};
            for (const GroupOp op : {GroupOp::Count, GroupOp::Sum, GroupOp::Mean, GroupOp::Max, GroupOp::CountUnique,
                                     GroupOp::First, GroupOp::Last})
                g.aggs.push_back(GroupAgg{"g" + std::to_string(g.aggs.size()), op, op == GroupOp::CountUnique ? "u" : "v"});
            g.aggs.push_back(GroupAgg{"g" + std::to_string(g.aggs.size()), GroupOp::CountUnique, "n"});
            auto t = group_by_scan(g, engine::ScanMode::batched(8), in.open(), nullptr, w);
            std::string out;
            if (t) render(*t, out);
            else out = "error " + error_text(t.error());
            return out;
        };
        for (const std::optional<uint64_t> max_groups : {std::optional<uint64_t>(), std::optional<uint64_t>(75),
                                                         std::optional<uint64_t>(74), std::optional<uint64_t>(30)}) {
            const std::string one = grouped(max_groups, TableSplitOptions{});
            for (const size_t walkers : {2, 3, 8})
                for (const uint64_t range_len : {700, 2900, 20000}) {
                    TableSplitOptions w{walkers, range_len};
                    // Walkers that wait after every piece they fold.
                    if (range_len == 700 && walkers == 3) w.held_bytes = 1;
                    EXPECT_EQ(grouped(max_groups, w), one)
                        << "max_groups " << (max_groups ? *max_groups : 0) << ", walkers " << walkers << ", ranges of "
                        << range_len;
                }
            EXPECT_EQ(one.rfind("table", 0) == 0, text == &doc && (!max_groups || *max_groups == 75)) << one.substr(0, 200);
        }
    }
}

// Two cases the random documents seldom hit. A grid buffer cut by a range
// end comes in two pieces: the second folds on its own within max_groups,
// but brings the group one too many once absorbed after the first; one
// engine refuses there, and with max_groups one higher gives the table. And
// a group's float sum whose last range holds only integers stays a float.
TEST(TableSplit, GroupsAtAPieceBoundaryMatchOneEngine) {
    constexpr int kGroups = 40;
    std::string doc;
    // Only group 0 meets a float, so its sum alone makes the column a float.
    for (int i = 0; i < kGroups; ++i) doc += "{\"k\":" + std::to_string(i) + (i ? "}\n" : ",\"v\":6.0}\n");
    for (int i = 0; i < 30; ++i) doc += "{\"k\":0}\n";
    const uint64_t last = doc.size();  // the row of the one group too many
    doc += "{\"k\":" + std::to_string(kGroups) + "}\n{\"k\":0,\"v\":24}\n";
    const size_t grid = 256;
    ASSERT_NE(last % grid, 0u);
    TempFile file(doc);
    auto mapped = MappedFile::open(file.path());
    ASSERT_TRUE(mapped);
    const Input in{&doc, mapped->get(), grid};
    const auto grouped = [&](uint64_t max_groups, TableSplitOptions w) {
        GroupSpec g{"", {{"k", "k"}}, {GroupAgg{"s", GroupOp::Sum, "v"}}, OnMulti::Error, max_groups};
        auto t = group_by_scan(g, engine::ScanMode::batched(8), in.open(), nullptr, w);
        std::string out;
        if (t) render(*t, out);
        else out = "error " + error_text(t.error());
        return out;
    };
    for (const uint64_t max_groups : {uint64_t{kGroups}, uint64_t{kGroups + 1}}) {
        const std::string one = grouped(max_groups, TableSplitOptions{});
        EXPECT_EQ(one.rfind("table", 0) == 0, max_groups == kGroups + 1) << one;
        // A range ends right before that row (the cut follows a newline).
        for (const uint64_t range_len : {last - 1, last - 2, last - 9})
            for (const size_t walkers : {1, 3})
                EXPECT_EQ(grouped(max_groups, TableSplitOptions{walkers, range_len}), one)
                    << "max_groups " << max_groups << ", ranges of " << range_len;
    }
    const std::string table = grouped(kGroups + 1, TableSplitOptions{2, last - 1});
    EXPECT_NE(table.find("<float64> 0x1.ep+4 ? ?"), std::string::npos) << table;  // 30.0, then nulls
}

// Walkers hold back what they fold: with room for nothing ahead, a walker
// whose range the merge does not take next waits after each piece, so the
// digests alive at once stay within the pieces of two ranges (the one being
// handed out and the next) and one a walker, however many ranges run.
TEST(TableSplit, WalkersHoldLittleAheadOfTheMerge) {
    std::string doc;
    for (int i = 0; i < 4000; ++i) doc += "{\"a\":" + std::to_string(i) + "}\n";
    TempFile file(doc);
    auto mapped = MappedFile::open(file.path());
    ASSERT_TRUE(mapped);
    struct Counted : PieceDigest {
        std::atomic<int>* alive;
        explicit Counted(std::atomic<int>* a) : alive(a) { alive->fetch_add(1); }
        ~Counted() override { alive->fetch_sub(1); }
    };
    std::atomic<int> alive{0}, most{0};
    constexpr size_t kGrid = 64, kWalkers = 4;
    constexpr uint64_t kRangeLen = 2048;  // about 32 pieces a range
    TableSplitOptions w{kWalkers, kRangeLen};
    w.held_bytes = 1;
    w.digest = [&](engine::CellStore&) {
        auto d = std::make_unique<Counted>(&alive);
        d->bytes = 1;
        for (int seen = most.load(); seen < alive.load() && !most.compare_exchange_weak(seen, alive.load());) {}
        return d;
    };
    auto s = TableStream::make(TableSpec("").column("a", "a"), engine::ScanMode::batched(8),
                               jorvane::testing::mapped(**mapped, kGrid), UINT64_MAX, w);
    ASSERT_TRUE(s);
    uint64_t rows = 0;
    for (;;) {
        auto batch = s->next_buffer_store();
        ASSERT_TRUE(batch);
        if (!*batch) break;
        rows += (*batch)->rows;
    }
    EXPECT_EQ(rows, 4000u);
    EXPECT_EQ(alive.load(), 0);
    const int per_range = static_cast<int>(kRangeLen / kGrid) + 2;
    EXPECT_LE(most.load(), 2 * per_range + static_cast<int>(kWalkers) + 1);
    EXPECT_GT(most.load(), 0);
}

// A row limit reached in a range the merge takes from its walker (a later
// one) or reads on through with the engine before it (after a record cut
// across ranges), with a malformed byte after the limit row in the same
// buffer: one engine settles at that row and never meets the byte, so the
// split hands out its rows and no error.
TEST(TableSplit, ALimitRowBeforeAMalformedByteInItsBufferSettles) {
    std::string rows;
    for (int i = 0; i < 11; ++i) rows += "{\"i\":" + std::to_string(i) + "}\n";
    const std::string later = rows + "{\"i\":11} ]\n{\"i\":12}\n";
    const std::string extended = rows.substr(0, 40) + "{\n\"i\":\n5,\n\"j\":\n[1,\n2]\n} x\n" + rows;
    for (const std::string* doc : {&later, &extended}) {
        TempFile file(*doc);
        auto mapped = MappedFile::open(file.path());
        ASSERT_TRUE(mapped);
        TableSpec spec("");
        spec = std::move(spec).column("i", "i");
        const uint64_t limit = doc == &later ? 12 : 6;
        spec.limit = limit;
        for (const bool sequential : {false, true}) {
            const Input in{doc, sequential ? nullptr : mapped->get(), 4096};
            const std::string one = consume(in, spec, TableSplitOptions{}, false);
            ASSERT_EQ(one.rfind("table " + std::to_string(limit) + " ", 0), 0u) << one;
            for (const size_t walkers : {1, 3})
                for (const uint64_t range_len : {1, 9, 33})
                    EXPECT_EQ(consume(in, spec, TableSplitOptions{walkers, range_len}, false), one)
                        << *doc << (sequential ? "sequential" : "mapped") << ", walkers " << walkers << ", ranges of "
                        << range_len;
        }
    }
}

// A table read in ranges splits only where the run policy says: a large
// plain file on several walkers, never one walker or input without a grid.
TEST(TableSplit, SplitsWhereThePolicySays) {
    const std::string doc(9u << 20, '\n');
    TempFile file(doc);
    auto mapped = MappedFile::open(file.path());
    ASSERT_TRUE(mapped);
    const auto stream = [&](std::unique_ptr<Source> source, size_t walkers) {
        auto s = TableStream::make(TableSpec("").column("a", "a"), engine::ScanMode::batched(8), std::move(source),
                                   UINT64_MAX, TableSplitOptions{walkers});
        return s->splits();
    };
    const Input in{&doc, mapped->get(), 1 << 20};
    EXPECT_TRUE(stream(in.open(), 4));
    EXPECT_FALSE(stream(in.open(), 1));
    const std::string small(1 << 20, '\n');
    TempFile small_file(small);
    auto small_mapped = MappedFile::open(small_file.path());
    ASSERT_TRUE(small_mapped);
    EXPECT_FALSE(stream(Input{&small, small_mapped->get(), 1 << 20}.open(), 4)) << "under the split threshold";
}

}  // namespace
}  // namespace jorvane::table
