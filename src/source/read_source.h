// ReadSource: a Source over any ByteReader (a plain file, or a decoder over a
// file or over bytes). Each call fills one reused buffer of the buffer length
// by repeated reads, so every buffer but the last is full length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "source/byte_reader.h"
#include "source/source.h"

namespace jorvane {

// Fills a buffer from a reader until it is full or the reader returns 0,
// across calls when a read fails retryably: the bytes filled before such a
// failure are kept, and the next fill of the same buffer goes on after them,
// so the buffer handed out is the one a run without the failure gives. Any
// other error drops them. Shared by every source that fills a buffer by
// repeated reads.
struct BufferFill {
    // The count filled (the kept bytes included), or the error that stopped
    // the reads. While bytes are kept, `buf` must be the previous call's.
    Result<size_t, IoError> fill(ByteReader& reader, std::span<uint8_t> buf);

    size_t kept = 0;  // bytes at the front of the buffer read before a retryable error
};

class ReadSource final : public Source {
public:
    // The buffer of `buffer_len` bytes is allocated here, once. A buffer length
    // of 0 gives a source that is empty.
    ReadSource(std::unique_ptr<ByteReader> reader, size_t buffer_len);

    // Fills the buffer until it is full or the reader returns 0. A reader
    // error ends the call at once and is returned; the source remembers
    // neither an error nor the end: a later call simply reads again. After a
    // retryable error it goes on filling the same buffer; after any other
    // the bytes this call read are not delivered.
    BufferResult next_buffer() override;
    size_t buffer_grid() const override { return buf_.size(); }

private:
    std::vector<uint8_t> buf_;
    std::unique_ptr<ByteReader> reader_;
    BufferFill fill_;
};

}  // namespace jorvane
