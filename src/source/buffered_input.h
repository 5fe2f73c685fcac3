// BufferedInput: the compressed side of a decoder: a ByteReader read a
// buffer at a time, with its unread bytes exposed for the decoder to consume.
//
// Each buffer is filled whole before the decoder sees any of it (only the
// input's last buffer is shorter), however few bytes each read returns. The
// decoder is therefore handed the same pieces of the same input whether the
// reader is a file, bytes in memory or a file-like that answers a byte at a
// time, and what it reports (its output, its error and where that error
// falls) cannot depend on how the reader cut the input. Once the reader has
// returned 0 it is not asked again, and once it has failed its error is the
// answer to every later fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "source/byte_reader.h"

namespace jorvane {

// The input buffer length of every decoder, whatever it reads from.
inline constexpr size_t kDecoderInputLen = 1048576;

class BufferedInput {
public:
    BufferedInput(std::unique_ptr<ByteReader> reader, size_t buf_len)
        : reader_(std::move(reader)), buf_(buf_len == 0 ? 1 : buf_len) {}

    // Reads the next buffer when every buffered byte is consumed, asking the
    // reader again until the buffer is full or the input ends. True when
    // unread bytes are available, false at the end of the input. A read error
    // is returned, now and by every later call; the bytes of the buffer being
    // filled are dropped.
    Result<bool, IoError> fill();
    // The unread bytes (empty until fill() has found some).
    std::span<const uint8_t> available() const { return {buf_.data() + pos_, len_ - pos_}; }
    void consume(size_t n) { pos_ += n; }
    // The input has ended and every byte is consumed.
    bool exhausted() const { return eof_ && pos_ == len_; }
    // One byte; "unexpected end of file" at the end of the input.
    Result<uint8_t, IoError> next_byte();

private:
    std::unique_ptr<ByteReader> reader_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    std::optional<IoError> error_;
};

}  // namespace jorvane
