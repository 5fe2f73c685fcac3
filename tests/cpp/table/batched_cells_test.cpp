// Reading a table stream buffer by buffer must report what a stream cut into
// batches of N rows reports: the same rows handed out batch by batch and
// the same error, whichever of a structural error, a shape error and a
// consumer's refusal comes first. Checked against the batched stream itself
// over random documents with errors planted in them.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "source/memory_reader.h"
#include "source/read_source.h"
#include "table/batched_cells.h"

namespace jorvane::table {
namespace {

std::unique_ptr<Source> source_of(const std::string& doc, size_t buffer) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        buffer);
}

TableStream make_stream(const std::string& doc, size_t buffer, uint64_t batch_rows,
                        std::optional<uint64_t> limit = std::nullopt) {
    TableSpec spec = TableSpec().column("a", "a[*]").column("v", "v").column("t", "t[*]");
    spec.limit = limit;
    auto s = TableStream::make(std::move(spec), engine::ScanMode::batched(8), source_of(doc, buffer), batch_rows);
    if (!s) ADD_FAILURE() << s.error().to_string();
    return std::move(s.value());
}

// What a consumer got: the values of "v" in the rows handed out (batch by
// batch), then the error that ended the scan ("" when none). A row whose
// "v" is the string "bad" is refused by the consumer.
struct Outcome {
    std::vector<int64_t> handed_out;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "{rows:";
    for (int64_t v : o.handed_out) *os << " " << v;
    *os << "; error: " << o.error << "}";
}

bool refused(const std::optional<engine::Value>& v) { return v && v->is_string() && v->as_string() == "bad"; }
int64_t number(const std::optional<engine::Value>& v) {
    return v && v->is_number() && v->as_number().is_int() ? v->as_number().int_value() : -1;
}

Outcome batched(const std::string& doc, size_t buffer, uint64_t batch, std::optional<uint64_t> limit) {
    Outcome out;
    TableStream s = make_stream(doc, buffer, batch, limit);
    for (;;) {
        auto cells = s.next_cells();
        if (!cells) {
            out.error = cells.error().to_string();
            return out;
        }
        if (!*cells) return out;
        std::vector<int64_t> rows;
        for (uint64_t r = 0; r < (*cells)->rows; ++r) {
            if (refused((*cells)->columns[1][r])) {
                out.error = "refused row";
                return out;
            }
            rows.push_back(number((*cells)->columns[1][r]));
        }
        out.handed_out.insert(out.handed_out.end(), rows.begin(), rows.end());
    }
}

Outcome buffer_by_buffer(const std::string& doc, size_t buffer, uint64_t batch, std::optional<uint64_t> limit) {
    Outcome out;
    BatchedCells w(make_stream(doc, buffer, 1, limit), batch);
    std::vector<int64_t> pending;
    for (;;) {
        auto cells = w.next();
        if (!cells) {
            out.error = cells.error().to_string();
            return out;
        }
        if (!*cells) {
            out.handed_out.insert(out.handed_out.end(), pending.begin(), pending.end());
            return out;
        }
        for (uint64_t r = 0; r < (*cells)->rows && !w.deferring(); ++r) {
            if (refused((*cells)->columns[1][r])) {
                w.defer(JorvaneError::invalid_input("refused"));
                break;
            }
            pending.push_back(number((*cells)->columns[1][r]));
        }
        if (w.batch_closed() && !w.deferring()) {
            out.handed_out.insert(out.handed_out.end(), pending.begin(), pending.end());
            pending.clear();
        }
    }
}

TEST(BatchedCells, ReportsWhatABatchedStreamReports) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 1000; ++trial) {
        const int n = static_cast<int>(rng() % 40);
        std::string doc;
        for (int i = 0; i < n; ++i) {
            switch (rng() % 12) {
                case 0: doc += R"({"v":"bad"} )"; break;             // the consumer refuses it
                case 1: doc += R"({"v":1,"t":[1,2]} )"; break;       // several matches: a shape error
                case 3: doc += R"({"v":5,"a":[1,2]} )"; break;       // the same in the first column
                // The same column again with another message: the batch's
                // first row in the lowest column must be the one reported.
                case 4: doc += R"({"v":6,"t":[1,2,3]} )"; break;
                case 5: doc += R"({"v":7,"a":[1,2,3]} )"; break;
                case 2: if (rng() % 4 == 0) doc += "] "; break;      // malformed
                default: doc += "{\"v\":" + std::to_string(i) + "}\n";
            }
        }
        if (rng() % 5 == 0) doc += R"({"v":)";                       // truncated
        const size_t buffer = 1 + rng() % 40;
        const uint64_t batch = 1 + rng() % 6;
        const std::optional<uint64_t> limit = rng() % 4 == 0 ? std::optional<uint64_t>(1 + rng() % 30) : std::nullopt;
        Outcome expected = batched(doc, buffer, batch, limit);
        if (expected.error == "refused row") expected.error = "invalid input: refused";
        EXPECT_EQ(buffer_by_buffer(doc, buffer, batch, limit), expected)
            << doc << " / buffer " << buffer << " / batch " << batch << " / limit " << limit.value_or(0);
    }
}

TEST(BatchedCells, ARefusalWaitsForTheEndOfItsBatch) {
    // One row per buffer; batch of 3 rows. The refusal in row 1 is reported
    // when row 2 completes the batch...
    const std::string doc = R"({"v":"bad"}{"v":1}{"v":2}{"v":3})";
    BatchedCells w(make_stream(doc, 11, 1), 3);
    auto first = w.next();
    ASSERT_TRUE(first && *first);
    w.defer(JorvaneError::invalid_input("refused"));
    auto second = w.next();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().to_string(), "invalid input: refused");
    // ... unless a structural error comes first in that batch.
    BatchedCells broken(make_stream(R"({"v":"bad"}{"v":1}]{"v":2})", 11, 1), 3);
    ASSERT_TRUE(broken.next());
    broken.defer(JorvaneError::invalid_input("refused"));
    auto after = broken.next();
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error().kind(), JorvaneError::Kind::Corrupted);
}

}  // namespace
}  // namespace jorvane::table
