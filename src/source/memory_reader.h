// MemoryReader: bytes held in memory as a ByteReader (what a decoder reads
// when compressed input was given as bytes).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "source/byte_reader.h"

namespace jorvane {

class MemoryReader final : public ByteReader {
public:
    explicit MemoryReader(std::vector<uint8_t> data) : data_(std::move(data)) {}

    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

private:
    std::vector<uint8_t> data_;
    size_t pos_ = 0;
};

}  // namespace jorvane
