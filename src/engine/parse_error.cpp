// The context of a structural error: up to 64 bytes on either side of the
// error position, decoded as lossy UTF-8 when it is shown. The bytes shown
// are also what tells a byte-order mark from another stray byte at the
// start, and compressed data from text: an error at byte 0 shows the
// source's first bytes.
#include "engine/parse_error.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "util/text.h"

namespace jorvane::engine {

std::string ParseError::context() const { return lossy_utf8(near.bytes); }

ParseError make_parse_error(ParseErrorKind kind, uint64_t offset, uint64_t buffer_offset,
                            std::span<const uint8_t> buffer) {
    const uint64_t r = offset >= buffer_offset ? offset - buffer_offset : 0;
    const uint64_t len = buffer.size();
    const uint64_t end = std::min(r > UINT64_MAX - 64 ? UINT64_MAX : r + 64, len);
    const uint64_t start = std::min(r < 64 ? 0 : r - 64, len);
    NearBytes near{buffer_offset + start, {}};
    if (start < end) near.bytes.assign(reinterpret_cast<const char*>(buffer.data()) + start, end - start);
    return near_parse_error(kind, offset, std::move(near), buffer_offset + len);
}

ParseError near_parse_error(ParseErrorKind kind, uint64_t offset, NearBytes near, uint64_t known_end) {
    ParseError e{kind, offset, std::move(near), false};
    e.near_open = e.near.at <= offset && e.near.end() == known_end && known_end >= offset &&
                  known_end < near_end(offset);
    return e;
}

OpeningMark opening_mark(const ParseError& error) {
    using Tag = ParseErrorKind::Tag;
    const std::string_view shown(error.near.bytes);
    if (error.offset != 0 || error.near.at != 0 || shown.empty()) return OpeningMark::None;
    // A byte-order mark takes the place of the kind found, which only the
    // kinds of a stray 0xEF may give up; a magic keeps any kind.
    const Tag tag = error.kind.tag();
    const bool stray_ef =
        error.kind.byte() == 0xEF && (tag == Tag::UnexpectedStructuralByte || tag == Tag::BadPendingToken);
    struct Mark {
        std::string_view bytes;
        OpeningMark names;
    };
    constexpr Mark kMarks[] = {
        {"\xEF\xBB\xBF", OpeningMark::ByteOrderMark},
        {"\x1F\x8B", OpeningMark::Gzip},
        {"\x28\xB5\x2F\xFD", OpeningMark::Zstd},
    };
    // The marks begin with different bytes: the first byte picks at most one.
    for (const Mark& m : kMarks) {
        if (m.bytes[0] != shown[0] || (m.names == OpeningMark::ByteOrderMark && !stray_ef)) continue;
        if (shown.size() >= m.bytes.size()) return shown.starts_with(m.bytes) ? m.names : OpeningMark::None;
        return error.near_open && m.bytes.starts_with(shown) ? OpeningMark::Undecided : OpeningMark::None;
    }
    return OpeningMark::None;
}

ParseErrorKind opening_kind(ParseErrorKind found, OpeningMark mark) {
    switch (mark) {
        case OpeningMark::ByteOrderMark: return ParseErrorKind::byte_order_mark();
        case OpeningMark::Gzip: return found.in_compressed_input(Compressed::Gzip);
        case OpeningMark::Zstd: return found.in_compressed_input(Compressed::Zstd);
        case OpeningMark::None:
        case OpeningMark::Undecided: break;
    }
    return found;
}

bool show_bytes_after(ParseError& error, uint64_t buffer_offset, std::span<const uint8_t> buffer) {
    if (!error.near_open || buffer_offset != error.near.end()) return error.near_open = false;
    const uint64_t wanted = near_end(error.offset) - buffer_offset;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, buffer.size()));
    error.near.bytes.append(reinterpret_cast<const char*>(buffer.data()), n);
    error.near_open = n < wanted;
    return error.near_open;
}

}  // namespace jorvane::engine
