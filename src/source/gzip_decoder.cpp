// Multi-member gzip decoding. The member framing is parsed here:
//   header: 1f 8b, method 8, flags, mtime(4), xfl, os, then by flag an extra
//           field (2-byte length + bytes), a NUL-ended name, a NUL-ended
//           comment (each at most 65535 bytes with its NUL) and a 2-byte
//           header CRC (the low half of the CRC-32 of the header bytes);
//   trailer: CRC-32 of the decoded bytes and their count modulo 2^32, both
//           little-endian.
// The raw deflate data between them is inflated by an Inflater (ISA-L's or
// zlib's), which leaves the input at the trailer.
// After a trailer, decoding goes on with the next member while input remains.
// The first header is parsed when the decoder is made; its failure waits for
// the first read. A failure is kept and returned by every later read, but for
// a retryable read error of the input: that is returned once and leaves the
// decoder where it was (a header or trailer it interrupted is read again
// whole, from bytes put back in front of the input), so the next read goes on
// as if the failed read had not happened.
// The input arrives in whole buffers (BufferedInput), and the decoded bytes
// are delivered up to the point of damage, or up to where the input failed,
// before the error, so the output and the error depend neither on how the
// input is cut nor on read sizes.
#include "source/gzip_decoder.h"

#include <zlib.h>

#if JORVANE_HAVE_ISAL
#include <isa-l.h>
#endif

#include "source/buffered_input.h"
#include "source/inflater.h"
#include "source/isal_inflater.h"
#include "source/zlib_inflater.h"

namespace jorvane {

namespace {

constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagReserved = 0xe0;
constexpr size_t kMaxHeaderField = 65535;

IoError bad_header() { return IoError::custom(IoErrorKind::InvalidInput, "invalid gzip header"); }
IoError field_too_long() {
    return IoError::custom(IoErrorKind::InvalidInput, "gzip header field too long");
}
IoError bad_checksum() {
    return IoError::custom(IoErrorKind::InvalidInput,
                           "corrupt gzip stream does not have a matching checksum");
}

// The CRC-32 of gzip trailers; ISA-L's is several times faster than zlib's.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
#if JORVANE_HAVE_ISAL
    return crc32_gzip_refl(crc, data, len);
#else
    return static_cast<uint32_t>(crc32_z(crc, data, len));
#endif
}

std::unique_ptr<Inflater> make_inflater(BufferedInput& input, GzipInflate which) {
#if JORVANE_HAVE_ISAL
    if (which != GzipInflate::Zlib) return std::make_unique<IsalInflater>(input, which == GzipInflate::IsalWindow);
#else
    (void)which;
#endif
    return std::make_unique<ZlibInflater>(input);
}

}  // namespace

struct GzipDecoder::Impl {
    enum class State { Header, Body, Trailer, Next, Done };

    Impl(std::unique_ptr<ByteReader> reader, size_t buf_len, GzipInflate which)
        : input(std::move(reader), buf_len), inflater(make_inflater(input, which)) {}

    BufferedInput input;
    std::unique_ptr<Inflater> inflater;
    State state = State::Header;
    // What the next read returns: once when retryable, else for good.
    std::optional<IoError> error;
    uint32_t crc = 0;
    uint32_t size = 0;
    // The bytes taken of the header or trailer being read.
    std::vector<uint8_t> taken;

    Result<uint8_t, IoError> take() {
        auto b = input.next_byte();
        if (b) taken.push_back(*b);
        return b;
    }

    // Reads a header or trailer whole or not at all: when a retryable read
    // error interrupts it, the bytes it took go back in front of the input
    // and the next read starts it again.
    template <class Parse>
    Result<void, IoError> whole(Parse parse) {
        taken.clear();
        Result<void, IoError> r = parse();
        if (!r && r.error().retryable()) input.unread(taken);
        return r;
    }

    Result<void, IoError> parse_header() {
        uint8_t fixed[10];
        for (uint8_t& b : fixed) {
            auto r = take();
            if (!r) return make_err(std::move(r).error());
            b = *r;
        }
        if (fixed[0] != 0x1f || fixed[1] != 0x8b || fixed[2] != 8) return make_err(bad_header());
        uint8_t flags = fixed[3];
        if (flags & kFlagReserved) return make_err(bad_header());
        if (flags & kFlagExtra) {
            auto lo = take();
            if (!lo) return make_err(std::move(lo).error());
            auto hi = take();
            if (!hi) return make_err(std::move(hi).error());
            size_t xlen = size_t{*lo} | (size_t{*hi} << 8);
            for (size_t i = 0; i < xlen; ++i) {
                auto r = take();
                if (!r) return make_err(std::move(r).error());
            }
        }
        for (uint8_t flag : {kFlagName, kFlagComment}) {
            if (!(flags & flag)) continue;
            // The field with its NUL may hold at most kMaxHeaderField bytes.
            for (size_t len = 1;; ++len) {
                if (len > kMaxHeaderField) return make_err(field_too_long());
                auto r = take();
                if (!r) return make_err(std::move(r).error());
                if (*r == 0) break;
            }
        }
        if (flags & kFlagHeaderCrc) {
            // The low half of the CRC-32 of the header bytes before it.
            uint32_t want = static_cast<uint32_t>(crc32(0, taken.data(), static_cast<uInt>(taken.size())) & 0xffff);
            auto lo = take();
            if (!lo) return make_err(std::move(lo).error());
            auto hi = take();
            if (!hi) return make_err(std::move(hi).error());
            if ((uint32_t{*lo} | (uint32_t{*hi} << 8)) != want) return make_err(bad_checksum());
        }
        return {};
    }

    // Parses one member header and readies the inflater for its body.
    Result<void, IoError> start_member() {
        auto header = whole([this] { return parse_header(); });
        if (!header) return header;
        auto started = inflater->start();
        if (!started) return started;
        crc = 0;
        size = 0;
        state = State::Body;
        return {};
    }

    // Checks the trailer of the member just inflated.
    Result<void, IoError> end_member() {
        auto trailer = whole([this]() -> Result<void, IoError> {
            uint8_t t[8];
            for (uint8_t& b : t) {
                auto r = take();
                if (!r) return make_err(std::move(r).error());
                b = *r;
            }
            auto le32 = [](const uint8_t* p) {
                return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
            };
            if (le32(t) != crc || le32(t + 4) != size) return make_err(bad_checksum());
            return {};
        });
        if (!trailer) return trailer;
        state = State::Next;
        return {};
    }

    // Decodes until some output, the end or an error; the state stays where
    // a retryable input error found it.
    Result<size_t, IoError> advance(std::span<uint8_t> dest) {
        for (;;) {
            switch (state) {
                case State::Done: return size_t{0};
                case State::Header: {
                    auto r = start_member();
                    if (!r) return make_err(std::move(r).error());
                    continue;
                }
                case State::Trailer: {
                    auto r = end_member();
                    if (!r) return make_err(std::move(r).error());
                    continue;
                }
                case State::Next: {
                    // Another member follows while input remains.
                    auto more = input.fill();
                    if (!more) return make_err(std::move(more).error());
                    state = *more ? State::Header : State::Done;
                    continue;
                }
                case State::Body: break;
            }
            InflateStep step = inflater->inflate(dest);
            if (step.produced > 0) {
                crc = crc32_update(crc, dest.data(), step.produced);
                size += static_cast<uint32_t>(step.produced);
            }
            if (step.error) {
                // What was inflated before the damage is good output: it
                // goes out now and the error with the next read, so that
                // how much arrives does not depend on the read sizes.
                if (step.produced == 0) return make_err(std::move(*step.error));
                error = std::move(step.error);
                return step.produced;
            }
            if (step.end) state = State::Trailer;
            if (step.produced > 0) return step.produced;
        }
    }

    Result<size_t, IoError> read(std::span<uint8_t> dest) {
        if (error) {
            IoError e = *error;
            if (e.retryable()) error.reset();
            return input.hand_out(std::move(e), error);
        }
        if (dest.empty()) return size_t{0};
        auto r = advance(dest);
        if (!r) return input.hand_out(std::move(r).error(), error);
        return r;
    }
};

GzipDecoder::GzipDecoder(std::unique_ptr<ByteReader> input, size_t input_buf_len, GzipInflate inflate)
    : impl_(std::make_unique<Impl>(std::move(input), input_buf_len, inflate)) {
    // A retryable read error leaves the header unread: the input holds the
    // error, which the first read, parsing the header again, meets and
    // returns.
    auto r = impl_->start_member();
    if (!r && !r.error().retryable()) impl_->error = std::move(r).error();
}

GzipDecoder::~GzipDecoder() = default;

Result<size_t, IoError> GzipDecoder::read(std::span<uint8_t> dest) { return impl_->read(dest); }

}  // namespace jorvane
