// Reads asked again after a retryable failure of the reader at the bottom: a
// source over a reader that fails at its call k (or at k and the next call)
// reports each failure once and, asked again each time, delivers in all the
// buffers of a run without the failure. Every k of a run is tried, so
// failures land in gzip member headers and trailers, at the start of deflate
// blocks and inside them, between and inside zstd frames, and between the
// reads that fill one buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "source/gzip_decoder.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"
#include "support/sample_inputs.h"

namespace jorvane {
namespace {

using namespace test;

// What an interrupted file-like read() carries: the read took nothing.
struct Interrupted final : IoPayload {
    std::string message() const override { return "interrupted"; }
    bool retryable() const override { return true; }
};

// Serves `data` in pieces of 1, 7, 4096 and 65536 bytes in turn (never more
// than asked), failing instead at the calls numbered in `fail_at` (from 1).
// A failed call takes nothing and does not advance the pieces.
struct FlakyReader final : ByteReader {
    FlakyReader(std::span<const uint8_t> data, std::vector<int> fail_at, IoError failure)
        : data(data), fail_at(std::move(fail_at)), failure(std::move(failure)) {}

    Result<size_t, IoError> read(std::span<uint8_t> dest) override {
        last_failed = std::count(fail_at.begin(), fail_at.end(), ++calls) > 0;
        if (last_failed) return make_err(failure);
        static constexpr size_t kPieces[] = {1, 7, 4096, 65536};
        const size_t n = std::min({dest.size(), data.size() - pos, kPieces[piece++ % 4]});
        std::copy_n(data.begin() + static_cast<ptrdiff_t>(pos), n, dest.begin());
        pos += n;
        return n;
    }

    std::span<const uint8_t> data;
    std::vector<int> fail_at;
    IoError failure;
    size_t pos = 0, piece = 0;
    int calls = 0;
    bool last_failed = false;
};

enum class Codec { None, Gzip, Zstd };

// A ReadSource of `buffer_len`-byte buffers over a decoder with input
// buffers of `input_len` bytes over the reader, or over the reader itself.
struct Case {
    std::string what;
    Codec codec;
    Bytes input, want;
    size_t input_len, buffer_len;
    GzipInflate inflate = GzipInflate::Fastest;
};

struct Outcome {
    Bytes data;
    std::vector<size_t> buffers;
    int errors = 0;
    bool reader_failed_last = true;  // at every error, the reader's last call had failed
    int calls = 0;
    std::optional<std::string> other_error;
};

ReadSource make_source(const Case& c, FlakyReader*& reader, std::vector<int> fail_at, IoError failure) {
    auto flaky = std::make_unique<FlakyReader>(c.input, std::move(fail_at), std::move(failure));
    reader = flaky.get();
    std::unique_ptr<ByteReader> top = std::move(flaky);
    if (c.codec == Codec::Gzip) top = std::make_unique<GzipDecoder>(std::move(top), c.input_len, c.inflate);
    if (c.codec == Codec::Zstd) top = std::move(ZstdDecoder::create(std::move(top), c.input_len)).value();
    return ReadSource(std::move(top), c.buffer_len);
}

// Reads to the end, asking again after each retryable error, up to a few
// errors more than were planted (a failure that stuck would go on for ever).
Outcome run(const Case& c, const std::vector<int>& fail_at) {
    FlakyReader* reader = nullptr;
    ReadSource src = make_source(c, reader, fail_at, IoError::custom(IoErrorKind::Other, std::make_shared<const Interrupted>()));
    Outcome o;
    while (o.errors < static_cast<int>(fail_at.size()) + 3) {
        auto r = src.next_buffer();
        if (r && !*r) break;
        if (r) {
            o.buffers.push_back((*r)->size());
            o.data.insert(o.data.end(), (*r)->begin(), (*r)->end());
        } else if (r.error().retryable()) {
            ++o.errors;
            o.reader_failed_last = o.reader_failed_last && reader->last_failed;
        } else {
            o.other_error = r.error().to_string();
            break;
        }
    }
    o.calls = reader->calls;
    return o;
}

std::vector<Case> cases() {
    const Bytes a = sample_bytes(30000, 21), b = sample_bytes(700, 22), c = sample_bytes(5000, 23), d = sample_bytes(150, 25);
    GzipOptions fancy{.name = "data.json", .comment = "a comment", .extra = std::string("XY\x04\x00" "abcd", 8), .header_crc = true};
    GzipOptions named{.name = "n"};
    GzipOptions blocks{.flush_every = 900};  // many deflate blocks, some starting near a buffer's end
    GzipOptions fancy_blocks = fancy;
    fancy_blocks.flush_every = 300;
    const Bytes skippable = {0x50, 0x2a, 0x4d, 0x18, 3, 0, 0, 0, 'x', 'y', 'z'};
    std::vector<Case> out;
    for (GzipInflate how : {GzipInflate::Fastest, GzipInflate::Zlib, GzipInflate::IsalWindow}) {
        const std::string name = how == GzipInflate::Fastest ? "gzip" : how == GzipInflate::Zlib ? "gzip, zlib" : "gzip, ISA-L's window";
        out.push_back({name + ", one member", Codec::Gzip, gzip(a, blocks), a, 4096, 4096, how});
        // Input buffers of one byte put a boundary everywhere, after each trailer too.
        out.push_back({name + ", members in 1-byte buffers", Codec::Gzip,
                       concat(concat(gzip(d, fancy), gzip({}, named)), gzip(b, blocks)), concat(d, b), 1, 4096, how});
        out.push_back({name + ", members in 7-byte buffers", Codec::Gzip,
                       concat(concat(concat(gzip(b, fancy), gzip({}, named)), gzip(b)), gzip(c, fancy_blocks)),
                       concat(concat(b, b), c), 7, 100, how});
        out.push_back({name + ", members in 1000-byte buffers", Codec::Gzip,
                       concat(concat(gzip(a, blocks), gzip(c, fancy)), gzip(a)), concat(concat(a, c), a), 1000, 65536, how});
    }
    const Bytes frames = concat(concat(zstd(a), skippable), zstd(c));
    out.push_back({"zstd, frames in 1-byte buffers", Codec::Zstd, concat(concat(zstd(b), skippable), zstd({})), b, 1, 4096});
    out.push_back({"zstd, frames in 7-byte buffers", Codec::Zstd, concat(concat(zstd(b), skippable), zstd(c, 19)), concat(b, c), 7, 100});
    out.push_back({"zstd, frames in 4096-byte buffers", Codec::Zstd, frames, concat(a, c), 4096, 5000});
    out.push_back({"zstd, frames read whole", Codec::Zstd, frames, concat(a, c), 1000, kMiB});
    const Bytes plain = sample_bytes(20000, 24);
    out.push_back({"plain", Codec::None, plain, plain, 0, 1000});
    out.push_back({"plain, long buffers", Codec::None, plain, plain, 0, 15000});
    return out;
}

// Every k of the run's calls, failing once and twice in a row; the first
// mismatch ends the case.
void expect_every_failure_retried(const Case& c) {
    const Outcome whole = run(c, {});
    ASSERT_FALSE(whole.other_error) << c.what << ": " << *whole.other_error;
    ASSERT_EQ(whole.data, c.want) << c.what;
    // One past the run's last call is never asked for.
    for (int k = 1; k <= whole.calls + 1; ++k) {
        for (const std::vector<int>& fail_at : {std::vector<int>{k}, std::vector<int>{k, k + 1}}) {
            const Outcome o = run(c, fail_at);
            const int planted = k <= whole.calls ? static_cast<int>(fail_at.size()) : 0;
            const std::string where = c.what + ", failing at call " + std::to_string(k) + (planted > 1 ? " and the next" : "");
            ASSERT_FALSE(o.other_error) << where << ": " << *o.other_error;
            ASSERT_EQ(o.errors, planted) << where;
            ASSERT_EQ(o.calls, whole.calls + planted) << where;
            // Reported by the call that met it, not retried behind the caller's back.
            ASSERT_TRUE(o.reader_failed_last) << where;
            ASSERT_EQ(o.buffers, whole.buffers) << where;
            ASSERT_EQ(o.data, whole.data) << where;
        }
    }
}

TEST(ReadRetry, EveryFailedReadIsReportedOnceAndAskedAgain) {
    for (const Case& c : cases()) expect_every_failure_retried(c);
}

TEST(ReadRetry, OtherFailuresStickInTheDecoders) {
    for (const Case& c : cases()) {
        if (c.codec == Codec::None) continue;
        FlakyReader* reader = nullptr;
        ReadSource src = make_source(c, reader, {run(c, {}).calls / 2}, IoError::custom(IoErrorKind::Other, "disk"));
        auto r = src.next_buffer();
        while (r && *r) r = src.next_buffer();
        ASSERT_FALSE(r.ok()) << c.what;
        const int calls = reader->calls;
        for (int i = 0; i < 2; ++i) {
            auto again = src.next_buffer();
            ASSERT_FALSE(again.ok()) << c.what;
            EXPECT_EQ(again.error().to_string(), "disk") << c.what;
        }
        EXPECT_EQ(reader->calls, calls) << c.what << ": the reader was asked again";
    }
}

}  // namespace
}  // namespace jorvane
