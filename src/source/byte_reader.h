// ByteReader: anything that yields bytes on request: a plain file, a
// decompressor over another reader, a Python file-like object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "source/io_error.h"
#include "util/result.h"

namespace jorvane {

class ByteReader {
public:
    virtual ~ByteReader() = default;
    // Stores between 0 and dest.size() bytes and returns their count; 0 means
    // the reader has no more data.
    virtual Result<size_t, IoError> read(std::span<uint8_t> dest) = 0;
};

}  // namespace jorvane
