// ZstdDecoder: Zstandard frames, one after another, as a ByteReader over
// another ByteReader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "source/byte_reader.h"

namespace jorvane {

class ZstdDecoder final : public ByteReader {
public:
    // Makes the decoder (no dictionary); nothing is read yet. `input` is read
    // in buffers of `input_buf_len` bytes, 0 meaning kDecoderInputLen. Fails
    // only when the library cannot make its decoder.
    static Result<std::unique_ptr<ZstdDecoder>, IoError> create(std::unique_ptr<ByteReader> input,
                                                                size_t input_buf_len = 0);
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;
    ~ZstdDecoder() override;

    // Decoded bytes of every frame in turn (skippable frames skipped); 0 at
    // the end of the input after a complete frame. Errors: the library's
    // error name for undecodable data ("Data corruption detected" too for a
    // frame whose length is not the one its header declares), "incomplete
    // frame" where the input ends
    // inside a frame (an empty input included), or the input's own error.
    // After an error every later read returns the same error, but for a
    // retryable read error of `input`: that is returned once, and the next
    // read goes on where the failed one stopped, so the bytes delivered in
    // all are those of a run without the failure. The output and the error
    // depend neither on how `input` cuts its bytes nor on the sizes of the
    // reads asked of the decoder.
    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

    struct Impl;
    // Made by create().
    explicit ZstdDecoder(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace jorvane
