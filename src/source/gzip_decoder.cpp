// Multi-member gzip decoding. zlib inflates the raw deflate data of each
// member; the member framing is parsed here:
//   header: 1f 8b, method 8, flags, mtime(4), xfl, os, then by flag an extra
//           field (2-byte length + bytes), a NUL-ended name, a NUL-ended
//           comment (each at most 65535 bytes with its NUL) and a 2-byte
//           header CRC (the low half of the CRC-32 of the header bytes);
//   trailer: CRC-32 of the decoded bytes and their count modulo 2^32, both
//           little-endian.
// After a trailer, decoding goes on with the next member while input remains.
// The first header is parsed when the decoder is made; its failure waits for
// the first read. Any failure is kept and returned by every later read.
// The input arrives in whole buffers (BufferedInput), and the decoded bytes
// are delivered up to the point of damage, or up to where the input failed,
// before the error, so the output and the error depend neither on how the
// input is cut nor on read sizes.
#include "source/gzip_decoder.h"

#include <zlib.h>

#include <climits>
#include <new>

#include "source/buffered_input.h"

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
IoError corrupt_deflate() {
    return IoError::custom(IoErrorKind::InvalidInput, "corrupt deflate stream");
}
IoError bad_checksum() {
    return IoError::custom(IoErrorKind::InvalidInput,
                           "corrupt gzip stream does not have a matching checksum");
}

}  // namespace

struct GzipDecoder::Impl {
    enum class State { Body, Trailer, Done, Failed };

    Impl(std::unique_ptr<ByteReader> reader, size_t buf_len) : input(std::move(reader), buf_len) {}
    ~Impl() {
        if (zs_ready) inflateEnd(&zs);
    }

    BufferedInput input;
    z_stream zs{};
    bool zs_ready = false;
    State state = State::Failed;
    std::optional<IoError> error;
    uLong crc = 0;
    uint32_t size = 0;

    Result<uint8_t, IoError> header_byte(uLong& header_crc) {
        auto b = input.next_byte();
        if (b) {
            uint8_t v = *b;
            header_crc = crc32(header_crc, &v, 1);
        }
        return b;
    }

    // Parses one member header and readies zlib for its body.
    Result<void, IoError> start_member() {
        uLong hcrc = crc32(0, Z_NULL, 0);
        uint8_t fixed[10];
        for (uint8_t& b : fixed) {
            auto r = header_byte(hcrc);
            if (!r) return make_err(std::move(r).error());
            b = *r;
        }
        if (fixed[0] != 0x1f || fixed[1] != 0x8b || fixed[2] != 8) return make_err(bad_header());
        uint8_t flags = fixed[3];
        if (flags & kFlagReserved) return make_err(bad_header());
        if (flags & kFlagExtra) {
            auto lo = header_byte(hcrc);
            if (!lo) return make_err(std::move(lo).error());
            auto hi = header_byte(hcrc);
            if (!hi) return make_err(std::move(hi).error());
            size_t xlen = size_t{*lo} | (size_t{*hi} << 8);
            for (size_t i = 0; i < xlen; ++i) {
                auto r = header_byte(hcrc);
                if (!r) return make_err(std::move(r).error());
            }
        }
        for (uint8_t flag : {kFlagName, kFlagComment}) {
            if (!(flags & flag)) continue;
            // The field with its NUL may hold at most kMaxHeaderField bytes.
            for (size_t len = 1;; ++len) {
                if (len > kMaxHeaderField) return make_err(field_too_long());
                auto r = header_byte(hcrc);
                if (!r) return make_err(std::move(r).error());
                if (*r == 0) break;
            }
        }
        if (flags & kFlagHeaderCrc) {
            uint32_t want = static_cast<uint32_t>(hcrc & 0xffff);
            auto lo = input.next_byte();
            if (!lo) return make_err(std::move(lo).error());
            auto hi = input.next_byte();
            if (!hi) return make_err(std::move(hi).error());
            if ((uint32_t{*lo} | (uint32_t{*hi} << 8)) != want) return make_err(bad_checksum());
        }
        int rc;
        if (!zs_ready) {
            rc = inflateInit2(&zs, -MAX_WBITS);
            zs_ready = rc == Z_OK;
        } else {
            rc = inflateReset(&zs);
        }
        if (rc == Z_MEM_ERROR) return make_err(IoError::simple(IoErrorKind::OutOfMemory));
        if (rc != Z_OK) return make_err(corrupt_deflate());
        crc = crc32(0, Z_NULL, 0);
        size = 0;
        state = State::Body;
        return {};
    }

    // Checks the trailer of the member just inflated, then starts the next
    // member if input remains.
    Result<void, IoError> end_member() {
        uint8_t t[8];
        for (uint8_t& b : t) {
            auto r = input.next_byte();
            if (!r) return make_err(std::move(r).error());
            b = *r;
        }
        auto le32 = [](const uint8_t* p) {
            return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                   (uint32_t{p[3]} << 24);
        };
        if (le32(t) != static_cast<uint32_t>(crc) || le32(t + 4) != size) {
            return make_err(bad_checksum());
        }
        auto more = input.fill();
        if (!more) return make_err(std::move(more).error());
        if (!*more) {
            state = State::Done;
            return {};
        }
        return start_member();
    }

    Result<size_t, IoError> fail(IoError e) {
        state = State::Failed;
        error = e;
        return make_err(std::move(e));
    }

    Result<size_t, IoError> read(std::span<uint8_t> dest) {
        if (dest.empty() && state != State::Failed) return size_t{0};
        for (;;) {
            switch (state) {
                case State::Failed: return make_err(*error);
                case State::Done: return size_t{0};
                case State::Trailer: {
                    auto r = end_member();
                    if (!r) return fail(std::move(r).error());
                    continue;
                }
                case State::Body: break;
            }
            // When the input fails, inflate is still asked for what it holds
            // from the input it had (the rest of a long match, say): that
            // goes out before the error, so how much arrives does not depend
            // on the read sizes asked of the decoder.
            auto more = input.fill();
            std::optional<IoError> input_failed;
            if (!more) input_failed = std::move(more).error();
            std::span<const uint8_t> in = input_failed ? std::span<const uint8_t>() : input.available();
            uInt in_len = static_cast<uInt>(std::min<size_t>(in.size(), UINT_MAX));
            uInt out_len = static_cast<uInt>(std::min<size_t>(dest.size(), UINT_MAX));
            zs.next_in = const_cast<Bytef*>(in.data());
            zs.avail_in = in_len;
            zs.next_out = dest.data();
            zs.avail_out = out_len;
            int rc = inflate(&zs, Z_NO_FLUSH);
            size_t consumed = in_len - zs.avail_in;
            size_t produced = out_len - zs.avail_out;
            input.consume(consumed);
            if (produced > 0) {
                crc = crc32_z(crc, dest.data(), produced);
                size += static_cast<uint32_t>(produced);
            }
            switch (rc) {
                case Z_STREAM_END:
                    state = State::Trailer;
                    if (produced > 0) return produced;
                    continue;
                case Z_OK:
                case Z_BUF_ERROR:
                    if (produced > 0) return produced;
                    if (input_failed) return fail(std::move(*input_failed));
                    // No output: inflate wants input, and there is none left.
                    if (consumed == 0 && input.exhausted()) {
                        return fail(IoError::simple(IoErrorKind::UnexpectedEof));
                    }
                    continue;
                default: {
                    // What was inflated before the damage is good output: it
                    // goes out now and the error with the next read, so that
                    // how much arrives does not depend on the read sizes.
                    IoError e = rc == Z_MEM_ERROR ? IoError::simple(IoErrorKind::OutOfMemory) : corrupt_deflate();
                    if (produced == 0) return fail(std::move(e));
                    state = State::Failed;
                    error = std::move(e);
                    return produced;
                }
            }
        }
    }
};

GzipDecoder::GzipDecoder(std::unique_ptr<ByteReader> input, size_t input_buf_len)
    : impl_(std::make_unique<Impl>(std::move(input), input_buf_len)) {
    auto r = impl_->start_member();
    if (!r) {
        impl_->state = Impl::State::Failed;
        impl_->error = std::move(r).error();
    }
}

GzipDecoder::~GzipDecoder() = default;

Result<size_t, IoError> GzipDecoder::read(std::span<uint8_t> dest) { return impl_->read(dest); }

}  // namespace jorvane
