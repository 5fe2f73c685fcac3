// GzipDecoder: multi-member gzip as a ByteReader over another ByteReader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "source/buffered_input.h"
#include "source/byte_reader.h"

namespace jorvane {

// Which library inflates the deflate data: ISA-L where the build has it and
// zlib elsewhere, or zlib always (the reference the tests compare with). All
// give the same bytes and the same errors at the same places. IsalWindow
// makes ISA-L decode through its own window only, as it does with library
// versions that cannot decode straight into the reader's buffer (tests).
enum class GzipInflate { Fastest, Zlib, IsalWindow };

class GzipDecoder final : public ByteReader {
public:
    static constexpr size_t kDefaultInputBufLen = kDecoderInputLen;

    // Reads and parses the first member's header now, from `input`. A failure
    // there (a damaged header, an empty or truncated input, a read error of
    // `input`) is not reported here: its first read returns it. `input` is
    // read in buffers of `input_buf_len` bytes.
    explicit GzipDecoder(std::unique_ptr<ByteReader> input,
                         size_t input_buf_len = kDefaultInputBufLen,
                         GzipInflate inflate = GzipInflate::Fastest);
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;
    ~GzipDecoder() override;

    // Decoded bytes of every member in turn; 0 after the last member's
    // trailer. Errors: "invalid gzip header", "gzip header field too long",
    // "corrupt deflate stream", "corrupt gzip stream does not have a matching
    // checksum", "unexpected end of file", or the input's own error. The bytes
    // inflated before damaged deflate data are delivered before its error.
    // After an error every later read returns the same error, but for a
    // retryable read error of `input`: that is returned once, and the next
    // read goes on where the failed one stopped, so the bytes delivered in
    // all are those of a run without the failure. The output and the error
    // depend neither on how `input` cuts its bytes nor on the sizes of the
    // reads asked of the decoder.
    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace jorvane
