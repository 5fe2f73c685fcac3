#include <gtest/gtest.h>

#include <zstd_errors.h>

#include "source/file_reader.h"
#include "source/gzip_decoder.h"
#include "source/memory_reader.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"
#include "support/sample_inputs.h"

namespace jorvane {
namespace {

using namespace test;

// A ReadSource over a gzip decoder over `input`, which hands out at most
// `max_read` bytes per read (small values make header fields and trailers
// straddle reads).
std::unique_ptr<ReadSource> gzip_source(Bytes input, size_t buffer_len = kMiB,
                                        size_t max_read = SIZE_MAX) {
    auto dec = std::make_unique<GzipDecoder>(std::make_unique<ScriptedReader>(input, max_read));
    return std::make_unique<ReadSource>(std::move(dec), buffer_len);
}

std::unique_ptr<ReadSource> zstd_source(Bytes input, size_t buffer_len = kMiB,
                                        size_t max_read = SIZE_MAX) {
    auto dec = ZstdDecoder::create(std::make_unique<ScriptedReader>(input, max_read));
    EXPECT_TRUE(dec.ok());
    return std::make_unique<ReadSource>(std::move(dec).value(), buffer_len);
}

const char* kChecksum = "corrupt gzip stream does not have a matching checksum";

TEST(Gzip, MembersConcatenateWithEveryHeaderField) {
    Bytes a = sample_bytes(300000, 1), b = sample_bytes(70000, 2);
    GzipOptions fancy;
    fancy.name = "data.json";
    fancy.comment = "a comment";
    fancy.extra = std::string("XY\x04\x00" "abcd", 8);
    fancy.header_crc = true;
    Bytes input = concat(concat(gzip(a), gzip(b, fancy)), gzip({}));
    for (size_t max_read : {size_t{5}, SIZE_MAX}) {
        auto src = gzip_source(input, 100000, max_read);
        auto d = drain(*src);
        EXPECT_FALSE(d.error) << *d.error;
        EXPECT_EQ(d.data, concat(a, b));
        EXPECT_EQ(d.buffer_sizes.front(), 100000u);
    }
    // Through a file and from memory, as the opener stacks them.
    TempDir dir;
    auto path = dir.write("two.json.gz", input);
    auto file = FileReader::open(path);
    ASSERT_TRUE(file.ok());
    ReadSource from_file(std::make_unique<GzipDecoder>(std::move(file).value()), kMiB);
    EXPECT_EQ(drain(from_file).data, concat(a, b));
    ReadSource from_memory(std::make_unique<GzipDecoder>(std::make_unique<MemoryReader>(input)),
                           kMiB);
    EXPECT_EQ(drain(from_memory).data, concat(a, b));
}

TEST(Gzip, EmptyMemberIsEmptyButEmptyInputFails) {
    auto empty_member = gzip_source(gzip({}));
    auto d = drain(*empty_member);
    EXPECT_FALSE(d.error);
    EXPECT_TRUE(d.buffer_sizes.empty());

    auto empty_input = gzip_source({});
    EXPECT_EQ(drain(*empty_input).error, "unexpected end of file");
}

TEST(Gzip, HeaderErrorsAreHeldForTheFirstRead) {
    Bytes good = gzip(sample_bytes(1000));
    Bytes bad_magic = good;
    bad_magic[1] = 0x8c;
    Bytes bad_method = good;
    bad_method[2] = 7;
    Bytes reserved_flag = good;
    reserved_flag[3] |= 0x20;
    for (const Bytes& in : {bad_magic, bad_method, reserved_flag, Bytes{'[', '1', ']', ' ', ' ',
                                                                         ' ', ' ', ' ', ' ', ' '}}) {
        auto reader = std::make_unique<ScriptedReader>(in, SIZE_MAX);
        ScriptedReader* raw = reader.get();
        GzipDecoder dec(std::move(reader));
        EXPECT_GT(raw->calls, 0);  // the header is read when the decoder is made
        Bytes out(100);
        auto r = dec.read(out);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().to_string(), "invalid gzip header");
        // The failure sticks.
        EXPECT_FALSE(dec.read(out).ok());
    }
    // Inside the header: an unexpected end.
    for (size_t cut : {size_t{1}, size_t{3}, size_t{9}}) {
        auto src = gzip_source(Bytes(good.begin(), good.begin() + cut));
        EXPECT_EQ(drain(*src).error, "unexpected end of file") << cut;
    }
    // A read error while the header is parsed is returned by the first read.
    auto failing = std::make_unique<ScriptedReader>(Bytes{0x1f, 0x8b}, SIZE_MAX,
                                                    IoError::custom(IoErrorKind::Other, "disk"));
    ReadSource src(std::make_unique<GzipDecoder>(std::move(failing)), 100);
    EXPECT_EQ(drain(src).error, "disk");
}

TEST(Gzip, HeaderFieldLimitAndHeaderCrc) {
    std::string longest(65534, 'n');  // with its NUL: 65535 bytes, the limit
    GzipOptions ok;
    ok.name = longest.c_str();
    EXPECT_FALSE(drain(*gzip_source(gzip(sample_bytes(10), ok))).error);

    std::string too_long(65535, 'n');
    GzipOptions bad;
    bad.comment = too_long.c_str();
    EXPECT_EQ(drain(*gzip_source(gzip(sample_bytes(10), bad))).error,
              "gzip header field too long");

    GzipOptions crc;
    crc.header_crc = true;
    Bytes member = gzip(sample_bytes(10), crc);
    member[10] ^= 1;  // the header CRC itself
    EXPECT_EQ(drain(*gzip_source(member)).error, kChecksum);
}

TEST(Gzip, BodyAndTrailerErrors) {
    Bytes data = sample_bytes(3 * kMiB + kMiB / 2);
    Bytes good = gzip(data);

    // A damaged CRC: the full buffers before the trailer arrive, the buffer
    // being filled does not.
    Bytes bad_crc = good;
    bad_crc[bad_crc.size() - 8] ^= 0xff;
    auto d = drain(*gzip_source(bad_crc));
    EXPECT_EQ(d.error, kChecksum);
    EXPECT_EQ(d.buffer_sizes, (std::vector<size_t>{kMiB, kMiB, kMiB}));
    EXPECT_TRUE(std::equal(d.data.begin(), d.data.end(), data.begin()));

    Bytes bad_size = good;
    bad_size[bad_size.size() - 1] ^= 0x01;
    EXPECT_EQ(drain(*gzip_source(bad_size)).error, kChecksum);

    // The second member fails: the first one's data is delivered first.
    Bytes small = sample_bytes(1000);
    Bytes two = concat(gzip(small), bad_crc);
    auto d2 = drain(*gzip_source(two, 500));
    EXPECT_EQ(d2.error, kChecksum);
    EXPECT_GE(d2.data.size(), 1000u);

    // Truncated in the deflate data and in the trailer.
    for (size_t cut : {good.size() / 2, good.size() - 3}) {
        EXPECT_EQ(drain(*gzip_source(Bytes(good.begin(), good.begin() + cut))).error,
                  "unexpected end of file");
    }

    // A deflate block of the reserved type 3.
    Bytes corrupt(good.begin(), good.begin() + 10);
    corrupt.push_back(0x07);
    corrupt.resize(corrupt.size() + 20, 0);
    EXPECT_EQ(drain(*gzip_source(corrupt)).error, "corrupt deflate stream");

    // Bytes after a member that do not start another member.
    Bytes trailing = concat(gzip(small), Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(drain(*gzip_source(trailing)).error, "invalid gzip header");
}

TEST(Zstd, FramesConcatenateAndSkippableFramesAreSkipped) {
    Bytes a = sample_bytes(2 * kMiB + 5, 3), b = sample_bytes(1000, 4);
    Bytes skippable = {0x50, 0x2a, 0x4d, 0x18, 3, 0, 0, 0, 'x', 'y', 'z'};
    Bytes input = concat(concat(concat(zstd(a), skippable), zstd(b, 19)), zstd({}));
    for (size_t max_read : {size_t{3}, SIZE_MAX}) {
        auto d = drain(*zstd_source(input, kMiB, max_read));
        EXPECT_FALSE(d.error) << *d.error;
        EXPECT_EQ(d.data, concat(a, b));
        EXPECT_EQ(d.buffer_sizes.front(), kMiB);
    }
    auto dec = ZstdDecoder::create(std::make_unique<MemoryReader>(input));
    ASSERT_TRUE(dec.ok());
    ReadSource from_memory(std::move(dec).value(), kMiB);
    EXPECT_EQ(drain(from_memory).data, concat(a, b));

    // A frame holding nothing is an empty source.
    auto empty = drain(*zstd_source(zstd({})));
    EXPECT_FALSE(empty.error);
    EXPECT_TRUE(empty.data.empty());
}

TEST(Zstd, Errors) {
    EXPECT_EQ(drain(*zstd_source({})).error, "incomplete frame");

    Bytes data = sample_bytes(3 * kMiB + 100);
    Bytes good = zstd(data, 1);
    auto d = drain(*zstd_source(Bytes(good.begin(), good.begin() + good.size() * 2 / 3)));
    EXPECT_EQ(d.error, "incomplete frame");
    for (size_t n : d.buffer_sizes) EXPECT_EQ(n, kMiB);
    EXPECT_TRUE(std::equal(d.data.begin(), d.data.end(), data.begin()));

    // Truncated after one complete frame, inside the second.
    Bytes second = zstd(sample_bytes(5000));
    Bytes cut = concat(zstd(sample_bytes(100)), Bytes(second.begin(), second.begin() + 6));
    EXPECT_EQ(drain(*zstd_source(cut)).error, "incomplete frame");

    Bytes garbage = {'[', '1', ',', '2', ']', '\n', ' ', ' ', ' '};
    EXPECT_EQ(drain(*zstd_source(garbage)).error, ZSTD_getErrorString(ZSTD_error_prefix_unknown));

    // Garbage after a good frame fails too, after the frame's data.
    auto g = drain(*zstd_source(concat(zstd(sample_bytes(10)), garbage), 4));
    EXPECT_EQ(g.error, ZSTD_getErrorString(ZSTD_error_prefix_unknown));
    EXPECT_EQ(g.data.size(), 8u);

    // Frames of the oldest legacy formats are refused by the library.
    Bytes v01 = {0x1e, 0xb5, 0x2f, 0xfd, 0, 0, 0, 0, 0, 0};
    auto old = drain(*zstd_source(v01));
    ASSERT_TRUE(old.error);
}

// ---- the same output and error however the input is cut ----------------

// Everything one decoder yields, read `dest_len` bytes at a time from a
// decoder over `input` served at most `max_read` bytes per read.
struct Decoded {
    Bytes data;
    std::optional<std::string> error;
    bool operator==(const Decoded&) const = default;
};

// Gzip inflates the fastest way the library allows; GzipWindow has ISA-L
// decode through its own window only (its route on library versions that
// cannot decode into the reader's buffer), GzipZlib has zlib alone.
enum class Codec { Gzip, GzipWindow, GzipZlib, Zstd };

std::unique_ptr<ByteReader> decoder(Codec codec, std::unique_ptr<ByteReader> input,
                                    size_t input_len = kDecoderInputLen) {
    if (codec == Codec::Gzip) return std::make_unique<GzipDecoder>(std::move(input), input_len);
    if (codec == Codec::GzipWindow)
        return std::make_unique<GzipDecoder>(std::move(input), input_len, GzipInflate::IsalWindow);
    if (codec == Codec::GzipZlib) return std::make_unique<GzipDecoder>(std::move(input), input_len, GzipInflate::Zlib);
    auto z = ZstdDecoder::create(std::move(input), input_len);
    EXPECT_TRUE(z.ok());
    return std::move(z).value();
}

Decoded decode(Codec codec, const Bytes& input, size_t max_read, size_t dest_len,
               const std::optional<IoError>& reader_error = std::nullopt, size_t input_len = kDecoderInputLen) {
    auto reader = reader_error ? std::make_unique<ScriptedReader>(input, max_read, *reader_error)
                               : std::make_unique<ScriptedReader>(input, max_read);
    auto dec = decoder(codec, std::move(reader), input_len);
    Decoded d;
    Bytes dest(dest_len);
    for (;;) {
        auto r = dec->read(dest);
        if (!r) {
            d.error = r.error().to_string();
            // The failure sticks.
            auto again = dec->read(dest);
            EXPECT_FALSE(again.ok());
            if (!again.ok()) {
                EXPECT_EQ(again.error().to_string(), *d.error);
            }
            return d;
        }
        if (*r == 0) return d;
        d.data.insert(d.data.end(), dest.begin(), dest.begin() + static_cast<ptrdiff_t>(*r));
    }
}

std::string describe(const Decoded& d) {
    return std::to_string(d.data.size()) + " bytes, " + (d.error ? *d.error : std::string("no error"));
}

// Read sizes of the input (every one up to 96 bytes, which puts the ends of
// reads on every byte in many phases, then sizes growing by an eighth up to
// its length), and a few read sizes asked of the decoder, give what one
// whole read gives.
void expect_cut_invariant(Codec codec, const Bytes& input, const char* what) {
    const Decoded whole = decode(codec, input, SIZE_MAX, kMiB);
    for (size_t max_read = 1; max_read <= input.size(); max_read += max_read < 96 ? 1 : max_read / 8) {
        const Decoded cut = decode(codec, input, max_read, kMiB);
        ASSERT_EQ(cut, whole) << what << ": reads of " << max_read << " bytes: " << describe(cut)
                              << " instead of " << describe(whole);
    }
    for (size_t dest_len : {size_t{1}, size_t{7}, size_t{4096}, size_t{131071}, size_t{4} * kMiB}) {
        for (size_t max_read : {size_t{1}, size_t{3}, SIZE_MAX}) {
            const Decoded d = decode(codec, input, max_read, dest_len);
            ASSERT_EQ(d, whole) << what << ": decoder reads of " << dest_len << ", input reads of " << max_read
                                << ": " << describe(d) << " instead of " << describe(whole);
        }
    }
}

Bytes from_hex(std::string_view hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

TEST(CutInvariance, ZstdFrameWhoseErrorUsedToFollowTheReads) {
    // Its header and first block header in one piece with room for the whole
    // frame's content decode in one pass ("Data corruption detected"); a byte
    // at a time, block by block ("Unknown frame descriptor").
    Bytes input = from_hex("28b52ffd81810000000100010000000100010036100032b942d776");
    expect_cut_invariant(Codec::Zstd, input, "reported frame");
    EXPECT_TRUE(decode(Codec::Zstd, input, 1, 1).error);
}

// A frame with a content checksum, so that damage anywhere is an error.
Bytes zstd_checked(const Bytes& data, int level = 3) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    Bytes out(ZSTD_compressBound(data.size()));
    size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

TEST(CutInvariance, ZstdFrameShorterThanDeclared) {
    // Each declares more content than it holds and ends with an empty raw
    // block, which the library's block-by-block path does not check.
    const Bytes frames[] = {
        from_hex("28b52ffd201001000000"),  // 16 bytes declared, none held
        concat(from_hex("28b52ffda0400d030050000068656c6c6f68656c6c6f"),  // 200000 declared
               from_hex("010000")),                                        // 10 held
    };
    for (const Bytes& frame : frames) {
        expect_cut_invariant(Codec::Zstd, frame, "short frame");
        for (size_t input_len : {size_t{1}, size_t{2}, size_t{7}, kDecoderInputLen})
            EXPECT_EQ(decode(Codec::Zstd, frame, SIZE_MAX, kMiB, std::nullopt, input_len).error,
                      ZSTD_getErrorString(ZSTD_error_corruption_detected))
                << input_len;
    }
    // Frames in a row each answer for their own declared size.
    Bytes good = zstd_checked(sample_bytes(1000, 3));
    Bytes row = concat(concat(good, frames[1]), good);
    Decoded d = decode(Codec::Zstd, row, 3, 100);
    EXPECT_EQ(d.error, ZSTD_getErrorString(ZSTD_error_corruption_detected));
    EXPECT_GE(d.data.size(), 1000u);
    EXPECT_FALSE(decode(Codec::Zstd, concat(good, good), 3, 100).error);
}

TEST(CutInvariance, DamagedZstdFrames) {
    Bytes good = zstd_checked(sample_bytes(3000, 5));
    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t at : {size_t{4}, size_t{5}, size_t{6}, good.size() / 3, good.size() / 2, good.size() - 2}) {
        Bytes flipped = good;
        flipped[at] ^= 0x5a;
        cases.emplace_back("byte " + std::to_string(at) + " flipped", flipped);
    }
    cases.emplace_back("truncated", Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2)));
    cases.emplace_back("garbage after a frame", concat(good, Bytes{0x28, 0xb5, 0x2f, 0xfd, 0xff, 0, 0, 0}));
    Bytes small = zstd_checked(sample_bytes(40, 6));
    Bytes second = small;
    second[second.size() - 3] ^= 0x81;
    cases.emplace_back("second frame damaged", concat(small, second));
    for (const auto& [what, input] : cases) {
        expect_cut_invariant(Codec::Zstd, input, what.c_str());
        EXPECT_TRUE(decode(Codec::Zstd, input, SIZE_MAX, kMiB).error) << what;
    }
    expect_cut_invariant(Codec::Zstd, good, "intact");
}

TEST(CutInvariance, DamagedGzipMembers) {
    Bytes data = sample_bytes(3000, 7);
    Bytes good = gzip(data);
    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t at : {size_t{3}, size_t{12}, size_t{40}, good.size() / 2, good.size() - 6, good.size() - 1}) {
        Bytes flipped = good;
        flipped[at] ^= 0xa5;
        cases.emplace_back("byte " + std::to_string(at) + " flipped", flipped);
    }
    cases.emplace_back("truncated", Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2)));
    cases.emplace_back("second member damaged", concat(good, Bytes(good.begin(), good.end() - 30)));
    for (const auto& [what, input] : cases) {
        expect_cut_invariant(Codec::Gzip, input, what.c_str());
        EXPECT_TRUE(decode(Codec::Gzip, input, SIZE_MAX, kMiB).error) << what;
    }
    expect_cut_invariant(Codec::Gzip, good, "intact");
}

TEST(CutInvariance, BytesInflatedBeforeDamageArriveBeforeTheError) {
    // A stored block of 200 bytes, then a block of the reserved type.
    Bytes data = sample_bytes(200, 8);
    Bytes input = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 0x00, 200, 0, 55, 255};
    input.insert(input.end(), data.begin(), data.end());
    input.push_back(0x07);
    input.resize(input.size() + 16, 0);
    for (size_t dest_len : {size_t{1}, size_t{64}, kMiB}) {
        Decoded d = decode(Codec::Gzip, input, SIZE_MAX, dest_len);
        EXPECT_EQ(d.data, data) << dest_len;
        EXPECT_EQ(d.error, "corrupt deflate stream");
    }
}

TEST(CutInvariance, OutputBeforeAFailedReadDoesNotFollowReadSizes) {
    // Long runs: a few input bytes stand for a long match that inflate
    // copies out over many small reads; the reader fails where the input
    // stops, while the decoder may still hold output. Short input buffers
    // make that happen at every buffer.
    Bytes data(300000, 'x');
    for (size_t i = 0; i < data.size(); i += 1000) data[i] = static_cast<uint8_t>('a' + i % 26);
    const IoError disk = IoError::custom(IoErrorKind::Other, "disk");
    for (Codec codec : {Codec::Gzip, Codec::GzipWindow, Codec::Zstd}) {
        Bytes packed = codec == Codec::Zstd ? zstd_checked(data) : gzip(data);
        for (size_t keep : {packed.size() / 2, packed.size()}) {
            Bytes input(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(keep));
            for (size_t input_len : {size_t{1}, size_t{64}, kDecoderInputLen}) {
                const Decoded whole = decode(codec, input, SIZE_MAX, kMiB, disk, input_len);
                EXPECT_EQ(whole.error, "disk");
                for (size_t dest_len : {size_t{7}, size_t{4096}})
                    for (size_t max_read : {size_t{1}, size_t{5}, SIZE_MAX})
                        EXPECT_EQ(decode(codec, input, max_read, dest_len, disk, input_len), whole)
                            << (codec == Codec::Gzip         ? "gzip "
                                : codec == Codec::GzipWindow ? "gzip, ISA-L's window "
                                                             : "zstd ")
                            << keep << " bytes, input buffers of " << input_len << ", reads of " << dest_len
                            << " from reads of " << max_read;
            }
        }
    }
    // ISA-L stops when its window is full, which may leave whole symbols in
    // its bit buffer after the last input byte: a read failing right then
    // must not lose them. Cut at every byte and fed a byte at a time, the
    // window route gives what zlib gives.
    const Bytes packed = gzip(data);
    for (size_t keep = 1; keep <= packed.size(); ++keep) {
        const Bytes input(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(keep));
        const Decoded want = decode(Codec::GzipZlib, input, SIZE_MAX, kMiB, disk, 1);
        const Decoded got = decode(Codec::GzipWindow, input, SIZE_MAX, kMiB, disk, 1);
        ASSERT_EQ(got, want) << "cut at " << keep << ": " << describe(got) << " instead of " << describe(want);
    }
}

TEST(CutInvariance, InputBuffersAreFilledAcrossShortReads) {
    // Frames longer than the decoder's input buffer, damaged past its first
    // fill: the pieces of input the library sees do not follow the reads.
    Bytes a = zstd_checked(sample_bytes(900000, 9), 1), b = zstd_checked(sample_bytes(900000, 10), 1);
    Bytes input = concat(a, b);
    input[a.size() + b.size() / 2] ^= 0x3c;
    const Decoded whole = decode(Codec::Zstd, input, SIZE_MAX, kMiB);
    ASSERT_TRUE(whole.error);
    for (size_t max_read : {size_t{1}, size_t{4093}, size_t{65536}, kMiB - 1}) {
        for (size_t dest_len : {size_t{5000}, kMiB}) {
            EXPECT_EQ(decode(Codec::Zstd, input, max_read, dest_len), whole) << max_read << " " << dest_len;
        }
    }
    Bytes g = concat(gzip(sample_bytes(900000, 11)), gzip(sample_bytes(900000, 12)));
    g[g.size() * 3 / 4] ^= 0x3c;
    const Decoded gwhole = decode(Codec::Gzip, g, SIZE_MAX, kMiB);
    ASSERT_TRUE(gwhole.error);
    for (size_t max_read : {size_t{1}, size_t{4093}, kMiB - 1})
        EXPECT_EQ(decode(Codec::Gzip, g, max_read, 5000), gwhole) << max_read;
}

}  // namespace
}  // namespace jorvane
