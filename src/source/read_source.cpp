#include "source/read_source.h"

#include <utility>

namespace jorvane {

Result<size_t, IoError> BufferFill::fill(ByteReader& reader, std::span<uint8_t> buf) {
    size_t filled = std::exchange(kept, 0);
    while (filled < buf.size()) {
        auto r = reader.read(buf.subspan(filled));
        if (!r) {
            if (r.error().retryable()) kept = filled;
            return make_err(std::move(r).error());
        }
        if (*r == 0) break;
        filled += *r;
    }
    return filled;
}

ReadSource::ReadSource(std::unique_ptr<ByteReader> reader, size_t buffer_len)
    : buf_(buffer_len), reader_(std::move(reader)) {}

BufferResult ReadSource::next_buffer() {
    if (buf_.empty()) return std::optional<ByteView>{};
    auto r = fill_.fill(*reader_, buf_);
    if (!r) return make_err(std::move(r).error());
    if (*r == 0) return std::optional<ByteView>{};
    return std::optional<ByteView>{ByteView(buf_.data(), *r)};
}

}  // namespace jorvane
