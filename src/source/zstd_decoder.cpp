// Zstandard decoding over the library's streaming decoder. Frames follow one
// another; the library starts the next frame by itself once one is complete.
// The input's end is fine only right after a complete frame: an input that
// ends inside a frame, or that is empty, is "incomplete frame". Before giving
// up at the end, or on a failed read of the input, the decoder is asked
// again with no input so that output it still holds is delivered first. A
// retryable read error is returned once and leaves everything where it was
// (the library keeps what it was handed, the input the part of the buffer the
// error interrupted), so the next read goes on.
//
// What the library reports for damaged data depends on the pieces it is
// handed: on the input side (how much of a frame each call sees) and on the
// output side (with room for a whole frame it decodes the frame in one pass,
// which fails differently from block-by-block decoding). So both sides are
// fixed here: the input arrives in whole buffers (BufferedInput), and every
// call gets an output window of exactly kWindowLen bytes, either the front
// of the caller's destination or, when that is shorter, a spill buffer of
// our own whose bytes are handed out by the following reads. The output and
// the error are then the same whatever the read sizes on either side.
//
// Each frame's decoded length is checked against the content size its
// header declares, as the library does not on every path.
#include "source/zstd_decoder.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "source/buffered_input.h"

namespace jorvane {

namespace {

// The library's largest block: one call can always make progress.
constexpr size_t kWindowLen = ZSTD_BLOCKSIZE_MAX;
// The longest frame header (magic, descriptor, window, dictionary id and
// content size fields).
constexpr size_t kMaxFrameHeader = 18;

struct DStreamFree {
    void operator()(ZSTD_DStream* ds) const { ZSTD_freeDStream(ds); }
};

IoError zstd_error(size_t code) {
    return IoError::custom(IoErrorKind::Other, ZSTD_getErrorName(code));
}

}  // namespace

struct ZstdDecoder::Impl {
    Impl(std::unique_ptr<ByteReader> reader, size_t buf_len,
         std::unique_ptr<ZSTD_DStream, DStreamFree> ds)
        : input(std::move(reader), buf_len), stream(std::move(ds)) {}

    BufferedInput input;
    std::unique_ptr<ZSTD_DStream, DStreamFree> stream;
    std::vector<uint8_t> spill;  // kWindowLen bytes once a short read needed it
    size_t spill_pos = 0;
    size_t spill_len = 0;
    bool frame_complete = false;  // the last decode call ended a frame
    bool finished = false;
    std::optional<IoError> error;
    // The frame being decoded: its first bytes until they tell the content
    // size its header declares, and the bytes decoded from it so far.
    std::array<uint8_t, kMaxFrameHeader> head{};
    size_t head_len = 0;
    std::optional<unsigned long long> declared;
    uint64_t frame_output = 0;

    // One call of the library into `window` (kWindowLen bytes), consuming
    // from `in`. The library ends a call at the end of a frame, so the bytes
    // consumed after a frame's end are the next frame's first ones.
    Result<size_t, IoError> call(ZSTD_inBuffer& in, uint8_t* window) {
        ZSTD_outBuffer out{window, kWindowLen, 0};
        const size_t from = in.pos;
        const size_t rc = ZSTD_decompressStream(stream.get(), &out, &in);
        if (ZSTD_isError(rc)) return make_err(zstd_error(rc));
        if (!declared && head_len < head.size() && in.pos > from) {
            const size_t n = std::min(in.pos - from, head.size() - head_len);
            std::memcpy(head.data() + head_len, static_cast<const uint8_t*>(in.src) + from, n);
            head_len += n;
            const unsigned long long size = ZSTD_getFrameContentSize(head.data(), head_len);
            if (size != ZSTD_CONTENTSIZE_ERROR) declared = size;
        }
        frame_output += out.pos;
        frame_complete = rc == 0;
        // The library leaves a frame's declared size unchecked on some of its
        // paths (a frame that ends with an empty block, fed in pieces): a
        // frame shorter or longer than its header says would pass as good.
        if (declared && *declared != ZSTD_CONTENTSIZE_UNKNOWN &&
            (frame_output > *declared || (frame_complete && frame_output != *declared))) {
            return make_err(IoError::custom(IoErrorKind::Other,
                                            ZSTD_getErrorString(ZSTD_error_corruption_detected)));
        }
        if (frame_complete) {
            head_len = 0;
            declared.reset();
            frame_output = 0;
        }
        return out.pos;
    }

    // Decodes into `window` until some output appears; 0 at the end of the
    // input after a complete frame.
    Result<size_t, IoError> decode(uint8_t* window) {
        for (;;) {
            auto more = input.fill();
            if (!more) {
                // The input failed: what the library holds from the input it
                // had goes out first (the input holds the error for the next
                // read). Right after a complete frame it holds nothing, and
                // the call is not made, so that a read that goes on after a
                // retryable error still knows the frame was complete.
                if (!frame_complete) {
                    ZSTD_inBuffer none{nullptr, 0, 0};
                    auto r = call(none, window);
                    if (r && *r > 0) return r;
                    // Damage in what it had: the library cannot go on after
                    // that, so it is what a retryable failure reports.
                    if (!r && more.error().retryable()) return r;
                }
                return make_err(std::move(more).error());
            }
            std::span<const uint8_t> avail = input.available();
            ZSTD_inBuffer in{avail.data(), avail.size(), 0};
            if (!*more) {
                // End of input: deliver what the decoder still holds, if any.
                if (frame_complete) return size_t{0};
                auto r = call(in, window);
                if (!r || *r > 0 || frame_complete) return r;
                return make_err(IoError::custom(IoErrorKind::UnexpectedEof, "incomplete frame"));
            }
            auto r = call(in, window);
            input.consume(in.pos);
            if (!r || *r > 0) return r;
        }
    }

    Result<size_t, IoError> read(std::span<uint8_t> dest) {
        if (error) return make_err(*error);
        if (dest.empty()) return size_t{0};
        if (spill_pos == spill_len) {
            if (finished) return size_t{0};
            const bool direct = dest.size() >= kWindowLen;
            if (!direct && spill.empty()) spill.resize(kWindowLen);
            auto r = decode(direct ? dest.data() : spill.data());
            if (!r) return input.hand_out(std::move(r).error(), error);
            if (*r == 0) {
                finished = true;
                return size_t{0};
            }
            if (direct) return *r;
            spill_pos = 0;
            spill_len = *r;
        }
        const size_t n = std::min(dest.size(), spill_len - spill_pos);
        std::memcpy(dest.data(), spill.data() + spill_pos, n);
        spill_pos += n;
        return n;
    }
};

Result<std::unique_ptr<ZstdDecoder>, IoError> ZstdDecoder::create(std::unique_ptr<ByteReader> input,
                                                                  size_t input_buf_len) {
    std::unique_ptr<ZSTD_DStream, DStreamFree> ds(ZSTD_createDStream());
    if (!ds) return make_err(IoError::simple(IoErrorKind::OutOfMemory));
    size_t rc = ZSTD_initDStream(ds.get());
    if (ZSTD_isError(rc)) return make_err(zstd_error(rc));
    if (input_buf_len == 0) input_buf_len = kDecoderInputLen;
    return std::make_unique<ZstdDecoder>(
        std::make_unique<Impl>(std::move(input), input_buf_len, std::move(ds)));
}

ZstdDecoder::ZstdDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ZstdDecoder::~ZstdDecoder() = default;

Result<size_t, IoError> ZstdDecoder::read(std::span<uint8_t> dest) { return impl_->read(dest); }

}  // namespace jorvane
