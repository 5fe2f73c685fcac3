#include "util/json_escape.h"

namespace jorvane {

namespace {
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<char> short_escape(char c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return std::nullopt;
    }
}

std::optional<uint16_t> read_hex4(std::string_view bytes, size_t pos) {
    if (pos > bytes.size() || bytes.size() - pos < 4) return std::nullopt;
    uint32_t unit = 0;
    for (size_t i = pos; i < pos + 4; ++i) {
        int v = hex_value(bytes[i]);
        if (v < 0) return std::nullopt;
        unit = unit * 16 + static_cast<uint32_t>(v);
    }
    return static_cast<uint16_t>(unit);
}

std::optional<uint16_t> read_low_surrogate_escape(std::string_view bytes, size_t pos) {
    if (pos >= bytes.size() || bytes[pos] != '\\') return std::nullopt;
    if (pos + 1 >= bytes.size() || bytes[pos + 1] != 'u') return std::nullopt;
    auto unit = read_hex4(bytes, pos + 2);
    if (!unit || *unit < 0xDC00 || *unit > 0xDFFF) return std::nullopt;
    return unit;
}

}  // namespace jorvane
