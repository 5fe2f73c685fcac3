// Output files: the compression chosen by the file name or given, the gzip header bytes,
// gzip and Zstandard output decoded with zlib and libzstd directly, what a
// output dropped unfinished leaves behind, and write_lines staging whole lines.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>
#include <zstd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "ndjson/output_file.h"
#include "ndjson/write_lines.h"
#include "source/memory_reader.h"
#include "source/read_source.h"

namespace jorvane::ndjson {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "ndjson_output_XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The bytes of one gzip member, or nothing when it is not a complete one.
std::optional<std::string> gunzip(const std::string& data) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::string out;
    std::vector<char> buf(1 << 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf.data());
        z.avail_out = static_cast<uInt>(buf.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf.data(), buf.size() - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    const bool complete = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!complete) return std::nullopt;
    return out;
}

struct Unzstd {
    std::string bytes;
    bool frame_complete = false;
};

Unzstd unzstd(const std::string& data) {
    Unzstd out;
    ZSTD_DCtx* d = ZSTD_createDCtx();
    std::vector<char> buf(ZSTD_DStreamOutSize());
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    size_t hint = 1;
    for (;;) {
        ZSTD_outBuffer o{buf.data(), buf.size(), 0};
        hint = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(hint)) break;
        out.bytes.append(buf.data(), o.pos);
        if (hint == 0 && in.pos == in.size) break;  // the frame ends with the input
        // All input taken and nothing more produced: the frame has no end.
        if (in.pos == in.size && o.pos == 0) break;
    }
    out.frame_complete = hint == 0;
    ZSTD_freeDCtx(d);
    return out;
}

std::string sample(size_t n, uint32_t seed = 3) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += "{\"id\":" + std::to_string(rng() % 100000) + ",\"w\":\"" + std::string(rng() % 20, 'x') + "\"}\n";
    s.resize(n);
    return s;
}

TEST(OutputFile, CompressionByNameOrOption) {
    using C = Compression;
    TempDir dir;
    // Without an option the name decides, as for input files; an option
    // decides whatever the name.
    const std::tuple<const char*, C, C> cases[] = {
        {"out.ndjson", C::Unset, C::None},    {"OUT.NDJSON.GZ", C::Unset, C::Gzip}, {".gz", C::Unset, C::Gzip},
        {"a.Gz", C::Unset, C::Gzip},          {"out.ndjson.gzip", C::Unset, C::None}, {"x.zst", C::Unset, C::Zstd},
        {"x.ZSTD", C::Unset, C::Zstd},        {".zstd", C::Unset, C::Zstd},         {"zstd", C::Unset, C::None},
        {"gz", C::Unset, C::None},            {"named.gz", C::None, C::None},       {"plain.ndjson", C::Zstd, C::Zstd},
        {"other.zst", C::Gzip, C::Gzip},
    };
    for (const auto& [name, option, expected] : cases) {
        auto output = OutputFile::create(dir.file(name), option);
        ASSERT_TRUE(output) << name;
        EXPECT_EQ(output->compression(), expected) << name;
        EXPECT_TRUE(output->finish());
    }
    EXPECT_EQ(compression_from_extension("x.gz/"), C::None);
}

TEST(OutputFile, FinishedOutputDecodes) {
    TempDir dir;
    for (size_t size : {size_t{0}, size_t{10}, size_t{3 << 20}}) {
        const std::string data = sample(size);
        for (const char* name : {"o.ndjson", "o.ndjson.gz", "o.ndjson.zst"}) {
            const std::string path = dir.file(name);
            auto output = OutputFile::create(path, Compression::Unset);
            ASSERT_TRUE(output) << output.error();
            // Pieces of several sizes, with a flush in the middle.
            size_t at = 0;
            for (size_t piece : {size_t{1}, size_t{100}, size_t{9000}, size_t{1 << 20}}) {
                const size_t n = std::min(piece, data.size() - at);
                ASSERT_TRUE(output->write_all(std::string_view(data).substr(at, n)));
                at += n;
                if (piece == 100) {
                    ASSERT_TRUE(output->flush());
                }
            }
            ASSERT_TRUE(output->write_all(std::string_view(data).substr(at)));
            ASSERT_TRUE(output->flush());
            ASSERT_TRUE(output->finish());
            const std::string file = read_file(path);
            switch (compression_from_extension(name)) {
                case Compression::None:
                case Compression::Unset: EXPECT_EQ(file, data); break;
                case Compression::Gzip: {
                    ASSERT_GE(file.size(), 18u);
                    EXPECT_EQ(file.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10));
                    EXPECT_EQ(gunzip(file), data) << size;
                    break;
                }
                case Compression::Zstd: {
                    const Unzstd z = unzstd(file);
                    EXPECT_TRUE(z.frame_complete) << size;
                    EXPECT_EQ(z.bytes, data);
                    break;
                }
            }
        }
    }
}

TEST(OutputFile, DroppedUnfinished) {
    TempDir dir;
    const std::string data = sample(200000);
    for (const char* name : {"d.ndjson", "d.ndjson.gz", "d.ndjson.zstd"}) {
        const std::string path = dir.file(name);
        {
            auto output = OutputFile::create(path, Compression::Unset);
            ASSERT_TRUE(output);
            ASSERT_TRUE(output->write_all(data));
            ASSERT_TRUE(output->flush());
            ASSERT_TRUE(output->write_all("tail\n"));
        }
        const std::string file = read_file(path);
        switch (compression_from_extension(name)) {
            case Compression::None:
            case Compression::Unset: EXPECT_EQ(file, data + "tail\n"); break;
            case Compression::Gzip: EXPECT_EQ(gunzip(file), data + "tail\n"); break;
            case Compression::Zstd: {
                // What was flushed is there; the frame has no end.
                const Unzstd z = unzstd(file);
                EXPECT_FALSE(z.frame_complete);
                EXPECT_EQ(z.bytes, data);
                break;
            }
        }
    }
}

TEST(OutputFile, CreateRefusals) {
    TempDir dir;
    const std::string missing = dir.file("no/such/dir/out.ndjson");
    auto output = OutputFile::create(missing, Compression::Unset);
    ASSERT_FALSE(output);
    EXPECT_EQ(output.error(), "cannot create \"" + missing + "\": No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(OutputFile::create(dir.file("x") + "/\"q\".gz", Compression::Unset));
}

TEST(WriteLines, StagesWholeLines) {
    TempDir dir;
    std::string doc, expected;
    for (int i = 0; i < 60000; ++i) {
        doc += "{\"i\":" + std::to_string(i) + ",\"pad\":\"" + std::string(i % 50, 'p') + "\"}\n";
    }
    expected = doc;
    auto source = [&](const std::string& text) {
        return std::make_unique<ReadSource>(
            std::make_unique<MemoryReader>(std::vector<uint8_t>(text.begin(), text.end())), 1 << 16);
    };
    const std::string path = dir.file("w.ndjson");
    {
        auto emitter = NdjsonEmitter::make("", std::nullopt, table::OnMulti::Error, std::nullopt,
                                           engine::ScanMode::batched(8), source(doc));
        auto output = OutputFile::create(path, Compression::Unset);
        ASSERT_TRUE(emitter && output);
        auto n = write_lines(*emitter, *output);
        ASSERT_TRUE(n);
        EXPECT_EQ(*n, 60000u);
    }
    EXPECT_EQ(read_file(path), expected);

    // A malformed tail: the lines handed to the output before the error stay,
    // ending at a line boundary; the ones still staged are dropped.
    {
        auto emitter = NdjsonEmitter::make("", std::nullopt, table::OnMulti::Error, std::nullopt,
                                           engine::ScanMode::batched(8), source(doc + "{\"i\":]"));
        auto output = OutputFile::create(path, Compression::Unset);
        ASSERT_TRUE(emitter && output);
        auto n = write_lines(*emitter, *output);
        ASSERT_FALSE(n);
        EXPECT_EQ(n.error().kind(), JorvaneError::Kind::Corrupted);
    }
    const std::string partial = read_file(path);
    EXPECT_GE(partial.size(), size_t{1} << 20);
    EXPECT_LT(partial.size(), expected.size());
    EXPECT_EQ(partial.back(), '\n');
    EXPECT_EQ(expected.compare(0, partial.size(), partial), 0);
}

}  // namespace
}  // namespace jorvane::ndjson
