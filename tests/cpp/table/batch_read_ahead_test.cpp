// The read-ahead thread hands out the batches and the final error the stream
// gives when read in place, whatever the batch size.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "source/memory_reader.h"
#include "source/read_source.h"
#include "table/batch_read_ahead.h"
#include "table/table_stream.h"

namespace jorvane::table {
namespace {

TableStream stream_of(const std::string& doc, uint64_t batch_rows) {
    auto source = std::make_unique<ReadSource>(
        std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())), 256);
    auto s = TableStream::make(TableSpec().column("i", "i").column("s", "s"), engine::ScanMode::batched(8),
                               std::move(source), batch_rows);
    if (!s) ADD_FAILURE() << s.error().to_string();
    return std::move(s.value());
}

std::string doc_of(int records, bool malformed_tail) {
    std::string doc;
    for (int k = 0; k < records; ++k)
        doc += "{\"i\":" + std::to_string(k) + ",\"s\":\"" + std::string(k % 13, 'x') + "\"}\n";
    return malformed_tail ? doc + "{\"i\": ]\n{\"i\":1}\n" : doc;
}

// Each batch's row count and first value of "i", then "end" or the error.
template <class Next>
std::vector<std::string> outline(Next next) {
    std::vector<std::string> out;
    for (;;) {
        BatchRead read = next();
        if (!read || !*read) {
            out.push_back(read ? "end" : "error: " + read.error().to_string());
            return out;
        }
        const Table& t = **read;
        out.push_back(std::to_string(t.n_rows) + " rows, " + std::to_string(t.columns.size()) + " columns");
    }
}

TEST(BatchReadAhead, SameBatchesAndErrorAsReadInPlace) {
    for (bool malformed : {false, true}) {
        for (uint64_t batch_rows : {1ull, 7ull, 100ull, 1000ull}) {
            const std::string doc = doc_of(300, malformed);
            TableStream in_place = stream_of(doc, batch_rows);
            const auto expected = outline([&] { return read_batch(in_place, nullptr); });
            TableStream ahead_stream = stream_of(doc, batch_rows);
            BatchReadAhead ahead(ahead_stream);
            ASSERT_TRUE(ahead.started());
            const auto got = outline([&] {
                for (;;)
                    if (auto read = ahead.take(std::chrono::milliseconds(50))) return std::move(*read);
            });
            EXPECT_EQ(got, expected) << "batch_rows " << batch_rows << (malformed ? ", malformed" : "");
            EXPECT_EQ(expected.back().rfind("error", 0) == 0, malformed);
        }
    }
}

}  // namespace
}  // namespace jorvane::table
