#include "source/bytes_source.h"

#include <algorithm>

namespace jorvane {

BufferResult BytesSource::next_buffer() {
    if (pos_ >= data_.size()) return std::optional<ByteView>{};
    uint64_t end = std::min<uint64_t>(data_.size(), pos_ + kBufferLen);
    ByteView buffer(data_.data() + pos_, end - pos_);
    pos_ = end;
    return std::optional<ByteView>{buffer};
}

}  // namespace jorvane
