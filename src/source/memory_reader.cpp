#include "source/memory_reader.h"

#include <algorithm>
#include <cstring>

namespace jorvane {

Result<size_t, IoError> MemoryReader::read(std::span<uint8_t> dest) {
    size_t n = std::min(dest.size(), data_.size() - pos_);
    if (n > 0) std::memcpy(dest.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
}

}  // namespace jorvane
