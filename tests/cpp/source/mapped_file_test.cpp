// A plain file read through windows of its mapping: the same bytes in the
// same buffers as reading it, a file that grows or shrinks between buffers
// read as read(2) reads it, and a file truncated under a mapped window
// reported as a read failure instead of killing the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include "source/file_reader.h"
#include "source/mapped_file.h"
#include "source/open_file.h"
#include "source/read_source.h"
#include "source_test_util.h"

namespace jorvane::test {
namespace {

struct Drained {
    Bytes data;
    std::vector<size_t> sizes;
};

Drained drain_all(Source& src) {
    Drained d;
    for (;;) {
        auto r = src.next_buffer();
        EXPECT_TRUE(r.ok());
        if (!r.ok() || !r->has_value()) return d;
        d.sizes.push_back((*r)->size());
        d.data.insert(d.data.end(), (*r)->begin(), (*r)->end());
        EXPECT_FALSE(src.lost_buffer());
    }
}

TEST(MappedFile, SameBuffersAsReading) {
    TempDir dir;
    for (size_t n : {size_t{1}, size_t{4095}, size_t{4096}, size_t{3 * 4096 + 17}, size_t{200000}}) {
        const Bytes data = sample_bytes(n, static_cast<uint32_t>(n));
        const std::string path = dir.write("f" + std::to_string(n) + ".json", data);
        for (size_t buffer : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}}) {
            if (buffer == 1 && n > 4096) continue;
            auto file = MappedFile::open(path);
            ASSERT_TRUE(file.ok());
            MappedFileSource mapped(*file, buffer);
            auto reader = FileReader::open(path);
            ASSERT_TRUE(reader.ok());
            ReadSource read(std::move(*reader), buffer);
            const Drained a = drain_all(mapped);
            const Drained b = drain_all(read);
            EXPECT_EQ(a.data, data);
            EXPECT_EQ(a.sizes, b.sizes) << n << " / " << buffer;
        }
    }
}

TEST(MappedFile, OpenFileSourceMapsPlainFilesOnly) {
    TempDir dir;
    const std::string plain = dir.write("a.json", sample_bytes(100));
    const std::string empty = dir.write("e.json", {});
    auto a = open_file_source(plain, false, 4096, Compression::Unset);
    ASSERT_TRUE(a.ok());
    EXPECT_NE((*a)->mapped_file(), nullptr);
    EXPECT_EQ((*a)->buffer_grid(), 4096u);
    auto e = open_file_source(empty, false, 4096, Compression::Unset);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ((*e)->mapped_file(), nullptr);
    auto missing = open_file_source(dir.path() + "/missing.json", false, 4096, Compression::Unset);
    EXPECT_FALSE(missing.ok());
}

TEST(MappedFile, GrowingAndShrinkingBetweenBuffersReadsAsReading) {
    TempDir dir;
    const Bytes data = sample_bytes(3 * 4096);
    const std::string path = dir.write("g.json", data);
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file.ok());
    MappedFileSource src(*file, 4096);
    auto first = src.next_buffer();
    ASSERT_TRUE(first.ok() && first->has_value());
    // Grows: the new bytes are read too.
    {
        FILE* f = fopen(path.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        const Bytes more = sample_bytes(5000, 9);
        fwrite(more.data(), 1, more.size(), f);
        fclose(f);
    }
    size_t total = (*first)->size();
    for (;;) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        if (!r->has_value()) break;
        total += (*r)->size();
    }
    EXPECT_EQ(total, 3 * 4096 + 5000u);
    // Shrinks below where the reading stands: the input has ended.
    MappedFileSource again(*file, 4096);
    ASSERT_TRUE(again.next_buffer().ok());
    ASSERT_TRUE(again.next_buffer().ok());
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    auto end = again.next_buffer();
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
}

TEST(MappedFile, TruncatedUnderAMappedWindowIsAReadFailure) {
    TempDir dir;
    const Bytes data = sample_bytes(16 * 4096);
    const std::string path = dir.write("t.json", data);
    auto file = MappedFile::open(path);
    ASSERT_TRUE(file.ok());
    MappedFileSource src(*file, 16 * 4096);
    auto r = src.next_buffer();
    ASSERT_TRUE(r.ok() && r->has_value());
    const ByteView buffer = **r;
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    // Touching the lost pages reads zeros instead of raising SIGBUS.
    unsigned sum = 0;
    for (size_t i = 0; i < buffer.size(); i += 512) sum += buffer[i];
    EXPECT_EQ(buffer[8 * 4096], 0);
    (void)sum;
    auto lost = src.lost_buffer();
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->kind(), IoErrorKind::UnexpectedEof);
    // The next window starts past the end: the input has ended.
    auto next = src.next_buffer();
    ASSERT_TRUE(next.ok());
    EXPECT_FALSE(next->has_value());
    EXPECT_FALSE(src.lost_buffer());
}

}  // namespace
}  // namespace jorvane::test
