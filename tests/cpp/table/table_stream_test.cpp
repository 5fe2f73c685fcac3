// The table stream: rows aligned by the row query, cells by the column
// paths, several matches per row resolved by on_multi, limits and chunks,
// the same table however the source cuts its input, and the same rows when
// the caller interrupts the scan between buffers and then goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "source/memory_reader.h"
#include "source/read_source.h"
#include "support/column_cells.h"
#include "support/scripted_scans.h"
#include "table/table_stream.h"

namespace jorvane::table {
namespace {

using engine::Value;

std::unique_ptr<Source> source_of(const std::string& doc, size_t buffer = 1 << 20) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        buffer);
}

TableStream stream(TableSpec spec, const std::string& doc, size_t buffer = 1 << 20, uint64_t batch_rows = UINT64_MAX) {
    auto s = TableStream::make(std::move(spec), engine::ScanMode::batched(8), source_of(doc, buffer), batch_rows);
    if (!s) ADD_FAILURE() << s.error().to_string();
    return std::move(s.value());
}

// A value as compact JSON-like text (strings unescaped; enough for these tests).
std::string text(const Value& v) {
    switch (v.type()) {
        case engine::JsonType::Null: return "null";
        case engine::JsonType::Boolean: return v.as_bool() ? "true" : "false";
        case engine::JsonType::Number: return v.as_number().to_literal();
        case engine::JsonType::String: return "\"" + v.as_string() + "\"";
        case engine::JsonType::Array: {
            std::string s = "[";
            for (const auto& x : v.as_array()) s += (s.size() > 1 ? "," : "") + text(x);
            return s + "]";
        }
        case engine::JsonType::Object: {
            std::string s = "{";
            for (const auto& m : v.as_object()) s += (s.size() > 1 ? "," : "") + ("\"" + m.key + "\":") + text(m.value);
            return s + "}";
        }
    }
    return "";
}

// Every cell of every chunk, as text per row: "a|b" with "-" for absent.
// An interrupted read (by `interrupt`) is counted in `stops`, and the scan goes on.
std::vector<std::string> rows_text(TableStream& s, std::string* error = nullptr, run::Interrupt* interrupt = nullptr,
                                   int* stops = nullptr) {
    std::vector<std::string> out;
    for (;;) {
        auto chunk = s.next_cells(interrupt);
        if (!chunk && stops && chunk.error().to_string() == run::interrupted_read().to_string()) {
            ++*stops;
            continue;
        }
        if (!chunk) {
            if (error) *error = chunk.error().to_string();
            return out;
        }
        if (!*chunk) return out;
        for (uint64_t r = 0; r < (*chunk)->rows; ++r) {
            std::string row;
            for (size_t c = 0; c < (*chunk)->columns.size(); ++c) {
                const auto& cell = (*chunk)->columns[c][r];
                row += (c ? "|" : "") + (cell ? text(*cell) : std::string("-"));
            }
            out.push_back(row);
        }
    }
}

TEST(TableStream, RowsAndCellsStayAligned) {
    struct Case {
        std::string rows;
        std::vector<std::pair<std::string, std::string>> columns;
        OnMulti on_multi;
        std::string doc;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        // Each top-level value is a row; a missing field is an absent cell.
        {"", {{"a", "a"}, {"c", "b.c"}}, OnMulti::Error, R"({"a":1,"b":{"c":"x"}} {"b":{"c":2}} {"a":[3]})",
         {"1|\"x\"", "-|2", "[3]|-"}},
        {"items[*]", {{"id", "id"}, {"t", "tags[*]"}}, OnMulti::List,
         R"({"items":[{"id":1,"tags":["a"]},{"id":2,"tags":["b","c"]},{"tags":[]},{"id":4}]})",
         {"1|\"a\"", "2|[\"b\",\"c\"]", "-|-", "4|-"}},
        {"items[*]", {{"t", "tags[*]"}}, OnMulti::First, R"({"items":[{"tags":["b","c"]}]})", {"\"b\""}},
        {"items[*]", {{"t", "tags[*]"}}, OnMulti::Last, R"({"items":[{"tags":["b","c"]}]})", {"\"c\""}},
        // A null match is a present value; scalar matches of the row query make no row.
        {"r[*]", {{"v", "v"}}, OnMulti::Error, R"({"r":[{"v":null},7,{"w":1}]})", {"null", "-"}},
        {"", {{"x", "x"}}, OnMulti::Error, "", {}},
    };
    for (const Case& c : cases) {
        TableSpec spec(c.rows);
        for (const auto& [n, p] : c.columns) spec = std::move(spec).column(n, p);
        spec.on_multi = c.on_multi;
        const std::string doc = c.doc;
        for (size_t buffer : {size_t{1} << 20, size_t{1}, size_t{7}}) {
            TableStream s = stream(spec, doc, buffer, 2);
            EXPECT_EQ(rows_text(s), c.expected) << c.doc << " / " << buffer;
        }
    }
}

TEST(TableStream, SeveralMatchesUnderErrorAreAShapeError) {
    TableSpec spec = TableSpec("items[*]").column("t", "tags[*]");
    TableStream s = stream(spec, R"({"items":[{"tags":[1]},{"tags":[2,3]}]})");
    std::string error;
    rows_text(s, &error);
    EXPECT_EQ(error,
              "data does not fit the requested shape: column \"t\" matched 2 times in one row; pass "
              "on_multi=\"list\", \"first\" or \"last\" to say which value to keep");
}

TEST(TableStream, LimitsAndChunks) {
    std::string doc;
    for (int i = 0; i < 1000; ++i) doc += "{\"i\":" + std::to_string(i) + "}\n";
    // A buffer is absorbed whole: no chunk is cut at batch_rows.
    TableStream whole = stream(TableSpec().column("i", "i"), doc, 1 << 20, 4);
    ASSERT_TRUE(whole.advance().value());
    Table t = whole.emit().value();
    EXPECT_EQ(t.n_rows, 1000u);
    EXPECT_FALSE(t.bytes_covered);
    EXPECT_FALSE(whole.advance().value());

    // A limit of 10: the first buffer's rows are gathered, ten come out, and
    // the table records where the scan stopped.
    TableSpec limited = TableSpec().column("i", "i");
    limited.limit = 10;
    TableStream s = stream(std::move(limited), doc, 4096);
    ASSERT_TRUE(s.advance().value());
    t = s.emit().value();
    EXPECT_EQ(t.n_rows, 10u);
    EXPECT_EQ(t.bytes_covered, 4096u);
    EXPECT_FALSE(s.advance().value());

    // No row at all: an empty table whose inferred columns are empty and Mixed.
    TableStream none = stream(TableSpec("nope[*]").column("i", "i"), doc);
    EXPECT_FALSE(none.advance().value());
    t = none.emit().value();
    EXPECT_EQ(t.n_rows, 0u);
    EXPECT_EQ(t.columns[0].kind(), Column::Kind::Mixed);
}

struct Drained {
    std::vector<std::string> cells;  // every row's first cell, every table in turn
    std::optional<uint64_t> covered;
    std::string error;
};

// Reads a stream as table_batches() does: advance and emit until the scan is over.
Drained drain(TableSpec spec, const std::string& doc, engine::ScanMode mode, size_t buffer, uint64_t batch_rows) {
    Drained out;
    auto made = TableStream::make(std::move(spec), mode, source_of(doc, buffer), batch_rows);
    if (!made) {
        out.error = made.error().to_string();
        return out;
    }
    TableStream& s = *made;
    for (;;) {
        auto ready = s.advance();
        if (!ready) {
            out.error = ready.error().to_string();
            return out;
        }
        if (!*ready) return out;
        auto t = s.emit();
        if (!t) {
            out.error = t.error().to_string();
            return out;
        }
        if (t->bytes_covered) out.covered = t->bytes_covered;
        const Column& c = t->columns[0];
        for (uint64_t r = 0; r < t->n_rows; ++r)
            out.cells.push_back(c.kind() == Column::Kind::Int64 ? std::to_string(c.as<Column::Kind::Int64>().values[r])
                                                                : "?");
    }
}

const engine::ScanMode kModes[] = {engine::ScanMode::serial(), engine::ScanMode::batched(32),
                                   engine::ScanMode::pipelined_always(4)};

TEST(TableStream, NothingAfterTheLimitThRowCounts) {
    // Ten rows of 8 bytes, then more rows and a malformed one: the tenth
    // row's closing brace (byte 78) settles the scan in whatever buffer holds
    // it, so the malformed row never surfaces and no further buffer is read.
    std::string doc;
    for (int i = 0; i < 12; ++i) doc += "{\"i\":" + std::to_string(i % 10) + "}\n";
    doc += "{\"i\": ]}\n{\"i\":5}\n";
    std::vector<std::string> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(std::to_string(i));
    for (const auto& mode : kModes) {
        for (size_t buffer = 1; buffer <= doc.size(); ++buffer) {
            for (uint64_t batch_rows : {uint64_t{3}, UINT64_MAX}) {
                TableSpec spec = TableSpec().column("i", "i");
                spec.declared["i"] = Declared{*DType::parse("int64"), false};
                spec.limit = 10;
                const Drained d = drain(std::move(spec), doc, mode, buffer, batch_rows);
                const std::string where = "buffer " + std::to_string(buffer) + ", batch_rows " + std::to_string(batch_rows);
                EXPECT_EQ(d.error, "") << where;
                EXPECT_EQ(d.cells, ten) << where;
                // A limit reached exactly at a buffer's end reads no buffer after it.
                EXPECT_EQ(d.covered, std::min<uint64_t>(doc.size(), (79 + buffer - 1) / buffer * buffer)) << where;
            }
        }
    }
}

TEST(TableStream, DeclaredTypeErrorsCountRowsFromTheSourcesFirstRow) {
    std::string doc;
    for (int i = 0; i < 9; ++i) doc += "{\"i\":" + (i == 7 ? std::string("\"seven\"") : std::to_string(i)) + "}\n";
    for (const auto& mode : kModes) {
        for (size_t buffer : {size_t{1}, size_t{9}, size_t{20}, doc.size()}) {
            for (uint64_t batch_rows : {uint64_t{1}, uint64_t{3}, uint64_t{5}, UINT64_MAX}) {
                TableSpec spec = TableSpec().column("i", "i");
                spec.declared["i"] = Declared{*DType::parse("int64"), false};
                const Drained d = drain(std::move(spec), doc, mode, buffer, batch_rows);
                EXPECT_EQ(d.error, "data does not fit the requested shape: column \"i\" is declared int64 but row 7 "
                                   "holds a string")
                    << "buffer " << buffer << ", batch_rows " << batch_rows;
            }
        }
    }
}

TEST(TableStream, StoresAppendWithTheirPositionsShifted) {
    // Two stores of every cell kind joined, then the second's row in
    // progress carried over: every cell reads back the value it was given.
    auto store = [](std::vector<std::string> docs, bool open_row) {
        engine::CellStore s = engine::CellStore::make(1);
        for (const auto& d : docs) {
            s.columns[0].push_value(table::testing::json(d));
            s.end_row();
        }
        if (open_row) s.columns[0].push_value(table::testing::json(R"(["open",2.5])"));
        return s;
    };
    engine::CellStore a = store({"1", R"("x\u00e9")", "[1,\"y\"]"}, false);
    engine::CellStore b = store({"null", "true", "1e400", "123456789012345678901234", R"({"k":[{}]})", "[[1]]"}, true);
    a.append(b.take_completed());
    EXPECT_EQ(b.rows, 0u);
    ASSERT_EQ(b.columns[0].cells.size(), 1u);
    EXPECT_EQ(b.columns[0].value_of(b.columns[0].cells[0]), table::testing::json(R"(["open",2.5])"));
    a.append(std::move(b));
    a.end_row();
    const std::vector<std::string> expected{"1",    R"("x\u00e9")", "[1,\"y\"]", "null", "true",
                                            "1e400", "123456789012345678901234", R"({"k":[{}]})", "[[1]]",
                                            R"(["open",2.5])"};
    const engine::CellColumn& c = a.columns[0];
    ASSERT_EQ(a.rows, expected.size());
    for (size_t r = 0; r < expected.size(); ++r) {
        ASSERT_EQ(c.row_ends[r + 1] - c.row_ends[r], 1u) << r;
        EXPECT_EQ(c.value_of(c.cells[c.row_ends[r]]), table::testing::json(expected[r])) << r;
    }
}

// Says stop at every `period`-th question.
struct StopEvery final : run::Interrupt {
    explicit StopEvery(int period) : period(period) {}
    bool requested() override { return ++asked % period == 0; }
    int period;
    int asked = 0;
};

TEST(TableStream, InterruptedScansGoOnWhereTheyStopped) {
    std::string doc;
    for (int i = 0; i < 40; ++i) doc += R"({"i":)" + std::to_string(i) + R"(,"t":[)" + std::to_string(i) + ",0]}\n";
    TableSpec spec = TableSpec().column("i", "i").column("t", "t[*]");
    spec.on_multi = OnMulti::List;
    TableStream plain = stream(spec, doc, 16, 5);
    const std::vector<std::string> expected = rows_text(plain);
    for (int period : {2, 3, 7}) {
        StopEvery stop(period);
        TableStream s = stream(spec, doc, 16, 5);
        int stops = 0;
        EXPECT_EQ(rows_text(s, nullptr, &stop, &stops), expected) << period;
        EXPECT_GT(stops, 0) << period;
    }
}

TEST(TableStream, Refusals) {
    auto refusal = [](TableSpec spec, const std::string& doc = "{}") {
        auto s = TableStream::make(std::move(spec), engine::ScanMode::batched(8), source_of(doc), UINT64_MAX);
        if (s) {
            auto ready = s->advance();
            return ready ? std::string("ok") : ready.error().to_string();
        }
        return s.error().to_string();
    };
    EXPECT_EQ(refusal(TableSpec("a")), "invalid input: table has no columns");
    EXPECT_EQ(refusal(TableSpec("a").column("x", "x").column("y\"", "")),
              "invalid input: column \"y\\\"\" has an empty path; a column must be inside the row, not the row itself");
    TableSpec declared = TableSpec().column("x", "x");
    declared.declared["nope"] = Declared{DType{}, false};
    EXPECT_EQ(refusal(std::move(declared)), "invalid input: dtype declared for unknown column \"nope\"");
    EXPECT_EQ(refusal(TableSpec("a[").column("x", "x")).rfind("failed to compile query \"(a[).(x)\": ", 0), 0u);
    EXPECT_EQ(refusal(TableSpec().column("x", "x"), R"({"x":[1)").rfind("input ended at byte 7", 0), 0u);
}

TEST(TableStream, ALostBufferEndsTheStreamWithNoRowOfThatBuffer) {
    for (size_t lost_at : {0u, 1u, 2u}) {
        auto stream = TableStream::make(TableSpec("").column("a", "a"), engine::ScanMode::batched(8),
                                        std::make_unique<run::testing::LosingSource>(
                                            R"({"a":1} {"a":2} {"a":3} {"a":4})", 8, lost_at));
        ASSERT_TRUE(stream.ok());
        uint64_t rows = 0;
        for (;;) {
            auto cells = stream->next_buffer_cells();
            if (!cells) {
                EXPECT_EQ(cells.error().kind(), JorvaneError::Kind::Read);
                break;
            }
            ASSERT_TRUE(*cells) << lost_at;
            rows += (*cells)->rows;
        }
        EXPECT_EQ(rows, lost_at);
        EXPECT_FALSE(*stream->advance());
    }
}

}  // namespace
}  // namespace jorvane::table
