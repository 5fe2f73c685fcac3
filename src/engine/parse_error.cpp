// The context snippet of a structural error: up to 64 bytes on either side
// of the error position, clamped to the buffer, decoded as lossy UTF-8 (a
// character cut by the window shows as U+FFFD).
#include "engine/parse_error.h"

#include <algorithm>
#include <string_view>

#include "util/text.h"

namespace jorvane::engine {

ParseError make_parse_error(ParseErrorKind kind, uint64_t offset, uint64_t buffer_offset,
                            std::span<const uint8_t> buffer) {
    const uint64_t r = offset >= buffer_offset ? offset - buffer_offset : 0;
    const uint64_t len = buffer.size();
    const uint64_t end = std::min(r > UINT64_MAX - 64 ? UINT64_MAX : r + 64, len);
    const uint64_t start = std::min(r < 64 ? 0 : r - 64, len);
    ParseError e{kind, offset, {}};
    if (start < end)
        e.context = lossy_utf8(std::string_view(reinterpret_cast<const char*>(buffer.data()) + start, end - start));
    return e;
}

}  // namespace jorvane::engine
