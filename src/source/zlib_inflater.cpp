// zlib's raw inflate over the decoder's input, which arrives in whole buffers
// (BufferedInput): the pieces zlib is handed, and so its output and where an
// error falls, do not depend on how the input was cut or on read sizes.
//
// A stream taken over in the middle starts from a bit position: the bits
// before the first whole byte are primed into zlib's bit accumulator, the
// remaining lead bytes are put back in front of the input, and the window is
// set as zlib's dictionary, so that zlib goes on exactly as if it had decoded
// everything before.
#include "source/zlib_inflater.h"

#include <algorithm>
#include <climits>

namespace jorvane {

namespace {

IoError corrupt_deflate() {
    return IoError::custom(IoErrorKind::InvalidInput, "corrupt deflate stream");
}

IoError init_error(int rc) {
    return rc == Z_MEM_ERROR ? IoError::simple(IoErrorKind::OutOfMemory) : corrupt_deflate();
}

constexpr size_t kWindowLen = size_t{1} << MAX_WBITS;

}  // namespace

ZlibInflater::~ZlibInflater() {
    if (ready_) inflateEnd(&zs_);
}

Result<void, IoError> ZlibInflater::reset(std::span<const uint8_t> lead, size_t lead_bits) {
    int rc;
    if (!ready_) {
        rc = inflateInit2(&zs_, -MAX_WBITS);
        ready_ = rc == Z_OK;
    } else {
        rc = inflateReset(&zs_);
    }
    if (rc != Z_OK) return make_err(init_error(rc));
    // The odd bits first, while the accumulator is empty; the rest of the
    // lead is then a whole number of bytes, shifted down to byte boundaries.
    const size_t odd = lead_bits % 8;
    if (odd > 0) inflatePrime(&zs_, static_cast<int>(odd), lead[0] & ((1 << odd) - 1));
    lead_rest_.clear();
    for (size_t bit = odd; bit < lead_bits; bit += 8) {
        const size_t i = bit / 8, s = bit % 8;
        unsigned v = lead[i] >> s;
        if (s > 0 && i + 1 < lead.size()) v |= unsigned{lead[i + 1]} << (8 - s);
        lead_rest_.push_back(static_cast<uint8_t>(v));
    }
    return {};
}

Result<void, IoError> ZlibInflater::start() { return reset({}, 0); }

Result<void, IoError> ZlibInflater::resume(std::span<const uint8_t> lead, size_t lead_bits,
                                           std::span<const uint8_t> window) {
    auto r = reset(lead, lead_bits);
    if (!r) return r;
    if (window.size() > kWindowLen) window = window.last(kWindowLen);
    if (!window.empty()) {
        int rc = inflateSetDictionary(&zs_, window.data(), static_cast<uInt>(window.size()));
        if (rc != Z_OK) return make_err(init_error(rc));
    }
    input_.unread(lead_rest_);
    return {};
}

ZlibInflater::HeaderCheck ZlibInflater::check_header(std::span<const uint8_t> lead, size_t lead_bits,
                                                     std::span<const uint8_t> bytes) {
    if (!reset(lead, lead_bits)) return {Header::Rejected, 0};
    // Z_TREES stops once the block header is read, before any of its data;
    // no output space is needed up to there.
    uint8_t none = 0;
    size_t fed = 0;
    for (std::span<const uint8_t> part : {std::span<const uint8_t>(lead_rest_), bytes}) {
        zs_.next_in = const_cast<Bytef*>(part.data());
        zs_.avail_in = static_cast<uInt>(std::min<size_t>(part.size(), UINT_MAX));
        zs_.next_out = &none;
        zs_.avail_out = 0;
        const uInt given = zs_.avail_in;
        int rc = ::inflate(&zs_, Z_TREES);
        fed += given - zs_.avail_in;
        if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) return {Header::Rejected, 0};
        if (zs_.data_type & 256) {
            // Bits taken: the primed ones and those of the bytes fed, less
            // those still in the accumulator.
            const size_t unused = static_cast<size_t>(zs_.data_type & 63);
            return {Header::Accepted, lead_bits % 8 + fed * 8 - unused};
        }
    }
    return {Header::Incomplete, 0};
}

InflateStep ZlibInflater::inflate(std::span<uint8_t> dest) {
    for (;;) {
        // When the input fails, zlib is still asked for what it holds from
        // the input it had (the rest of a long match, say): that goes out
        // before the error, so how much arrives does not depend on the read
        // sizes asked of the decoder.
        auto more = input_.fill();
        std::optional<IoError> input_failed;
        if (!more) input_failed = std::move(more).error();
        std::span<const uint8_t> in = input_failed ? std::span<const uint8_t>() : input_.available();
        uInt in_len = static_cast<uInt>(std::min<size_t>(in.size(), UINT_MAX));
        uInt out_len = static_cast<uInt>(std::min<size_t>(dest.size(), UINT_MAX));
        zs_.next_in = const_cast<Bytef*>(in.data());
        zs_.avail_in = in_len;
        zs_.next_out = dest.data();
        zs_.avail_out = out_len;
        int rc = ::inflate(&zs_, Z_NO_FLUSH);
        size_t consumed = in_len - zs_.avail_in;
        size_t produced = out_len - zs_.avail_out;
        input_.consume(consumed);
        switch (rc) {
            case Z_STREAM_END: return {produced, true, std::nullopt};
            case Z_OK:
            case Z_BUF_ERROR:
                if (produced > 0) return {produced, false, std::nullopt};
                if (input_failed) return {0, false, std::move(input_failed)};
                // No output: zlib wants input, and there is none left.
                if (consumed == 0 && input_.exhausted()) {
                    return {0, false, IoError::simple(IoErrorKind::UnexpectedEof)};
                }
                continue;
            default:
                // What was inflated before the damage is good output: it
                // goes out with the error, which the decoder returns once
                // the output is delivered.
                return {produced, false, rc == Z_MEM_ERROR ? IoError::simple(IoErrorKind::OutOfMemory) : corrupt_deflate()};
        }
    }
}

}  // namespace jorvane
