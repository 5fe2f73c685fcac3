#include <gtest/gtest.h>

#include "source/bytes_source.h"
#include "source/file_reader.h"
#include "source/read_source.h"
#include "support/sample_inputs.h"

namespace jorvane {
namespace {

using namespace test;

constexpr size_t k4MiB = 4 * kMiB;

TEST(BytesSource, CutsFourMiBSlicesThenEndsForever) {
    Bytes data = sample_bytes(2 * k4MiB + 1);
    BytesSource src(data);
    const uint8_t* prev_end = nullptr;
    for (size_t want : {k4MiB, k4MiB, size_t{1}}) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        ASSERT_TRUE(r->has_value());
        ASSERT_EQ((*r)->size(), want);
        // Slices of one buffer, one after another: nothing is copied.
        if (prev_end) {
            EXPECT_EQ((*r)->data(), prev_end);
        }
        prev_end = (*r)->data() + (*r)->size();
        if (want == 1) src.abandon();  // abandon changes nothing
    }
    for (int i = 0; i < 3; ++i) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(r->has_value());
    }
    BytesSource empty(Bytes{});
    auto r = empty.next_buffer();
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->has_value());
}

TEST(ReadSource, ShortReadsStillGiveFullBuffers) {
    Bytes data = sample_bytes(3 * 1000 + 17);
    auto reader = std::make_unique<ScriptedReader>(data, 7);
    ReadSource src(std::move(reader), 1000);
    auto d = drain(src);
    EXPECT_FALSE(d.error);
    EXPECT_EQ(d.buffer_sizes, (std::vector<size_t>{1000, 1000, 1000, 17}));
    EXPECT_EQ(d.data, data);
}

TEST(ReadSource, ErrorDropsThePartialBufferAndIsNotRemembered) {
    Bytes data = sample_bytes(2500);
    auto reader = std::make_unique<ScriptedReader>(
        data, 300, IoError::custom(IoErrorKind::Other, "boom"));
    ScriptedReader* raw = reader.get();
    ReadSource src(std::move(reader), 1000);
    auto d = drain(src);
    EXPECT_EQ(d.buffer_sizes, (std::vector<size_t>{1000, 1000}));
    EXPECT_EQ(d.error, "boom");
    // A later call reads again (and here fails again).
    int before = raw->calls;
    EXPECT_FALSE(src.next_buffer().ok());
    EXPECT_GT(raw->calls, before);
}

TEST(ReadSource, FileOfExactMultipleHasNoEmptyTail) {
    TempDir dir;
    Bytes data = sample_bytes(3 * 4096);
    auto path = dir.write("exact.json", data);
    auto f = FileReader::open(path);
    ASSERT_TRUE(f.ok());
    ReadSource src(std::move(f).value(), 4096);
    auto d = drain(src);
    EXPECT_FALSE(d.error);
    EXPECT_EQ(d.buffer_sizes, (std::vector<size_t>{4096, 4096, 4096}));
    EXPECT_EQ(d.data, data);
    for (int i = 0; i < 2; ++i) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(r->has_value());
    }
}

TEST(ReadSource, EmptyFileAndZeroBufferLengthAreEmpty) {
    TempDir dir;
    auto path = dir.write("empty.json", {});
    auto f = FileReader::open(path);
    ASSERT_TRUE(f.ok());
    ReadSource src(std::move(f).value(), 4096);
    auto r = src.next_buffer();
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->has_value());

    ReadSource zero(std::make_unique<ScriptedReader>(sample_bytes(10), 10), 0);
    auto z = zero.next_buffer();
    ASSERT_TRUE(z.ok());
    EXPECT_FALSE(z->has_value());
}

}  // namespace
}  // namespace jorvane
