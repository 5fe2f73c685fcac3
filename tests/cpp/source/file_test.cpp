#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "source/compression.h"
#include "source/file_reader.h"
#include "source/io_error.h"
#include "source/read_source.h"
#include "support/sample_inputs.h"

namespace jorvane {
namespace {

using namespace test;

TEST(FileReader, ReadErrorCarriesErrno) {
    TempDir dir;
    auto f = FileReader::open(dir.path());  // a directory opens but cannot be read
    ASSERT_TRUE(f.ok());
    ReadSource src(std::move(f).value(), 64);
    auto r = src.next_buffer();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().raw_os_error(), EISDIR);
    EXPECT_EQ(r.error().to_string(), "Is a directory (os error 21)");
}

// The next `n` bytes the reader gives (fewer at the end).
std::string read_some(FileReader& reader, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        auto r = reader.read(std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()) + got, n - got));
        if (!r.ok() || *r == 0) break;
        got += *r;
    }
    out.resize(got);
    return out;
}

// Readers sharing one open file (as a forked child's copy of a reader does)
// each keep their own place, starting where the descriptor stood; the
// descriptor's own offset stays where it was.
TEST(FileReader, KeepsItsOwnOffset) {
    TempDir dir;
    const std::string path = dir.write("f", Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 3, SEEK_SET), 3);
    const int other = ::dup(fd);
    ASSERT_GE(other, 0);
    FileReader a(fd);
    FileReader b(other);
    EXPECT_EQ(read_some(a, 4), "3456");
    EXPECT_EQ(read_some(b, 2), "34");
    EXPECT_EQ(read_some(a, 10), "789");
    EXPECT_EQ(read_some(b, 10), "56789");
    EXPECT_EQ(read_some(a, 10), "");
    EXPECT_EQ(::lseek(other, 0, SEEK_CUR), 3);
}

// A descriptor that cannot seek is read as it comes.
TEST(FileReader, ReadsAPipe) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], "abcdef", 6), 6);
    ::close(ends[1]);
    FileReader r(ends[0]);
    EXPECT_EQ(read_some(r, 4), "abcd");
    EXPECT_EQ(read_some(r, 4), "ef");
    EXPECT_EQ(read_some(r, 4), "");
}

struct OtherPayload final : IoPayload {
    std::string message() const override { return "other"; }
};
struct TaggedPayload final : IoPayload {
    explicit TaggedPayload(int t) : tag(t) {}
    std::string message() const override { return "tagged " + std::to_string(tag); }
    int tag;
};

TEST(IoError, TextsKindsAndPayloads) {
    EXPECT_EQ(IoError::simple(IoErrorKind::UnexpectedEof).to_string(), "unexpected end of file");
    EXPECT_EQ(IoError::os(EACCES).kind(), IoErrorKind::PermissionDenied);
    EXPECT_EQ(IoError::os(EINTR).kind(), IoErrorKind::Interrupted);
    EXPECT_EQ(IoError::os(EIO).to_string(), "Input/output error (os error 5)");

    IoError tagged = IoError::custom(IoErrorKind::Other, std::make_shared<const TaggedPayload>(7));
    IoError copy = tagged;  // payloads survive copies
    ASSERT_NE(copy.find_payload<TaggedPayload>(), nullptr);
    EXPECT_EQ(copy.find_payload<TaggedPayload>()->tag, 7);
    EXPECT_EQ(copy.find_payload<OtherPayload>(), nullptr);
    EXPECT_EQ(copy.to_string(), "tagged 7");

    IoError msg = IoError::custom(IoErrorKind::InvalidData, "bad bytes");
    EXPECT_EQ(msg.to_string(), "bad bytes");
    EXPECT_EQ(msg.kind(), IoErrorKind::InvalidData);
    ASSERT_NE(msg.find_payload<IoMessage>(), nullptr);
    EXPECT_EQ(IoError::os(2).find_payload<IoMessage>(), nullptr);
}

TEST(Compression, ExtensionFoldsAsciiCase) {
    const std::pair<std::string_view, Compression> cases[] = {
        {"DATA.JSON.GZ", Compression::Gzip},
        {"a.Gz", Compression::Gzip},
        {".gz", Compression::Gzip},
        {"data.json.ZSTD", Compression::Zstd},
        {"x.zSt", Compression::Zstd},
        {".zst", Compression::Zstd},
        {"data.gzip", Compression::None},
        {"data.json.gz.bak", Compression::None},
        {"x.gz/", Compression::None},
        {"gz", Compression::None},
        {"zstd", Compression::None},
        {"", Compression::None},
        // Only ASCII capitals fold: a non-ASCII byte is never taken for a letter.
        {"x.g\xda", Compression::None},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(compression_from_extension(path), expected) << path;
        // An option decides whatever the name; without one the name does.
        EXPECT_EQ(file_compression(Compression::Unset, path), expected) << path;
        EXPECT_EQ(file_compression(Compression::None, path), Compression::None) << path;
        EXPECT_EQ(file_compression(Compression::Zstd, path), Compression::Zstd) << path;
    }
}

TEST(Compression, OptionNamesMatchExactly) {
    const std::pair<std::string_view, std::optional<Compression>> cases[] = {
        {"gzip", Compression::Gzip}, {"gz", Compression::Gzip},  {"zstd", Compression::Zstd},
        {"zst", Compression::Zstd},  {"none", Compression::None}, {"raw", Compression::None},
        {"GZIP", std::nullopt},      {"Gzip", std::nullopt},      {"gzip ", std::nullopt},
        {" zstd", std::nullopt},     {"", std::nullopt},          {"unset", std::nullopt},
        {"zstandard", std::nullopt}, {std::string_view("gz\0", 3), std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_compression(text), expected) << text;
    // Every codec's canonical name reads back as that codec.
    for (const Compression c : {Compression::Gzip, Compression::Zstd, Compression::None}) {
        EXPECT_EQ(parse_compression(compression_name(c)), c);
        EXPECT_EQ(is_compressed(c), c != Compression::None);
    }
    EXPECT_FALSE(is_compressed(Compression::Unset));
}

}  // namespace
}  // namespace jorvane
