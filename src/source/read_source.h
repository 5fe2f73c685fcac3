// ReadSource: a Source over any ByteReader (a plain file, or a decoder over a
// file or over bytes). Each call fills one reused buffer of the buffer length
// by repeated reads, so every buffer but the last is full length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "source/byte_reader.h"
#include "source/source.h"

namespace jorvane {

class ReadSource final : public Source {
public:
    // The buffer of `buffer_len` bytes is allocated here, once. A buffer length
    // of 0 gives a source that is empty.
    ReadSource(std::unique_ptr<ByteReader> reader, size_t buffer_len);

    // Fills the buffer until it is full or the reader returns 0. A reader
    // error ends the call at once; the bytes this call already read are not
    // delivered. The source remembers neither an error nor the end: a later
    // call simply reads again.
    BufferResult next_buffer() override;
    size_t buffer_grid() const override { return buf_.size(); }

private:
    std::vector<uint8_t> buf_;
    std::unique_ptr<ByteReader> reader_;
};

// Fills `buf` from `reader` until it is full or the reader returns 0; the
// count filled, or the first error. Shared by every source that fills a
// buffer by repeated reads.
Result<size_t, IoError> fill_buffer(ByteReader& reader, std::span<uint8_t> buf);

}  // namespace jorvane
