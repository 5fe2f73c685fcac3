#include "source/read_source.h"

namespace jorvane {

ReadSource::ReadSource(std::unique_ptr<ByteReader> reader, size_t buffer_len)
    : buf_(buffer_len), reader_(std::move(reader)) {}

Result<size_t, IoError> fill_buffer(ByteReader& reader, std::span<uint8_t> buf) {
    size_t filled = 0;
    while (filled < buf.size()) {
        auto r = reader.read(buf.subspan(filled));
        if (!r) return make_err(std::move(r).error());
        if (*r == 0) break;
        filled += *r;
    }
    return filled;
}

BufferResult ReadSource::next_buffer() {
    if (buf_.empty()) return std::optional<ByteView>{};
    auto r = fill_buffer(*reader_, buf_);
    if (!r) return make_err(std::move(r).error());
    if (*r == 0) return std::optional<ByteView>{};
    return std::optional<ByteView>{ByteView(buf_.data(), *r)};
}

}  // namespace jorvane
