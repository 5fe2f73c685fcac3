#include "source/bytes_source.h"

#include <algorithm>

namespace jorvane {

ChunkResult BytesSource::next_chunk() {
    if (pos_ >= data_.size()) return std::optional<ByteView>{};
    uint64_t end = std::min<uint64_t>(data_.size(), pos_ + kChunkLen);
    ByteView chunk(data_.data() + pos_, end - pos_);
    pos_ = end;
    return std::optional<ByteView>{chunk};
}

}  // namespace jorvane
