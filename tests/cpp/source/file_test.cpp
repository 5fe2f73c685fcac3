#include <gtest/gtest.h>

#include <cerrno>

#include "source/compression.h"
#include "source/file_reader.h"
#include "source/io_error.h"
#include "source/read_source.h"
#include "source_test_util.h"

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
    EXPECT_EQ(compression_from_extension("DATA.JSON.GZ"), Compression::Gzip);
    EXPECT_EQ(compression_from_extension("a.Gz"), Compression::Gzip);
    EXPECT_EQ(compression_from_extension("data.json.ZSTD"), Compression::Zstd);
    EXPECT_EQ(compression_from_extension("x.zSt"), Compression::Zstd);
    EXPECT_EQ(compression_from_extension(".gz"), Compression::Gzip);
    EXPECT_EQ(compression_from_extension("data.gzip"), Compression::None);
    EXPECT_EQ(compression_from_extension("data.json.gz.bak"), Compression::None);
    EXPECT_EQ(compression_from_extension("gz"), Compression::None);
    EXPECT_EQ(compression_from_extension(""), Compression::None);
    // Only ASCII capitals fold: a non-ASCII byte is never taken for a letter.
    EXPECT_EQ(compression_from_extension("x.g\xda"), Compression::None);
    EXPECT_STREQ(compression_name(Compression::Gzip), "gzip");
    EXPECT_STREQ(compression_name(Compression::None), "none");
}

}  // namespace
}  // namespace jorvane
