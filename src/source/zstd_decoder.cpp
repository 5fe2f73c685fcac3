// Zstandard decoding over the library's streaming decoder. Frames follow one
// another; the library starts the next frame by itself once one is complete.
// The input's end is fine only right after a complete frame: an input that
// ends inside a frame, or that is empty, is "incomplete frame". Before giving
// up at the end, the decoder is asked once more with no input so that output
// it still holds is delivered first.
#include "source/zstd_decoder.h"

#include <zstd.h>

#include <optional>

#include "source/buffered_input.h"

namespace jorvane {

namespace {

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
    bool frame_complete = false;  // the last decode call ended a frame
    bool finished = false;
    std::optional<IoError> error;

    Result<size_t, IoError> fail(IoError e) {
        error = e;
        return make_err(std::move(e));
    }

    Result<size_t, IoError> read(std::span<uint8_t> dest) {
        if (error) return make_err(*error);
        if (dest.empty() || finished) return size_t{0};
        for (;;) {
            auto more = input.fill();
            if (!more) return fail(std::move(more).error());
            std::span<const uint8_t> avail = input.available();
            ZSTD_inBuffer in{avail.data(), avail.size(), 0};
            ZSTD_outBuffer out{dest.data(), dest.size(), 0};
            if (!*more) {
                // End of input: deliver what the decoder still holds, if any.
                if (frame_complete) {
                    finished = true;
                    return size_t{0};
                }
                size_t rc = ZSTD_decompressStream(stream.get(), &out, &in);
                if (ZSTD_isError(rc)) return fail(zstd_error(rc));
                frame_complete = rc == 0;
                if (out.pos > 0) return out.pos;
                if (frame_complete) {
                    finished = true;
                    return size_t{0};
                }
                return fail(IoError::custom(IoErrorKind::UnexpectedEof, "incomplete frame"));
            }
            size_t rc = ZSTD_decompressStream(stream.get(), &out, &in);
            input.consume(in.pos);
            if (ZSTD_isError(rc)) return fail(zstd_error(rc));
            frame_complete = rc == 0;
            if (out.pos > 0) return out.pos;
        }
    }
};

Result<std::unique_ptr<ZstdDecoder>, IoError> ZstdDecoder::create(std::unique_ptr<ByteReader> input,
                                                                  size_t input_buf_len) {
    std::unique_ptr<ZSTD_DStream, DStreamFree> ds(ZSTD_createDStream());
    if (!ds) return make_err(IoError::simple(IoErrorKind::OutOfMemory));
    size_t rc = ZSTD_initDStream(ds.get());
    if (ZSTD_isError(rc)) return make_err(zstd_error(rc));
    if (input_buf_len == 0) input_buf_len = ZSTD_DStreamInSize();
    return std::make_unique<ZstdDecoder>(
        std::make_unique<Impl>(std::move(input), input_buf_len, std::move(ds)));
}

ZstdDecoder::ZstdDecoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ZstdDecoder::~ZstdDecoder() = default;

Result<size_t, IoError> ZstdDecoder::read(std::span<uint8_t> dest) { return impl_->read(dest); }

}  // namespace jorvane
