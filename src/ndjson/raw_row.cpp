// Compaction walks the span once with a two-state machine (outside or inside
// a string); a backslash inside a string copies the byte after it as it is,
// so an escaped quote never ends the string. The engine hands over only
// well-formed text, but the walk is total: any byte sequence gives some line
// and never reads past the span.
#include "ndjson/raw_row.h"

#include <cstdint>
#include <cstring>

namespace jorvane::ndjson {
namespace {

void append_control(uint8_t b, std::string& out) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (b) {
        case '\b': out += "\\b"; return;
        case '\t': out += "\\t"; return;
        case '\n': out += "\\n"; return;
        case '\f': out += "\\f"; return;
        case '\r': out += "\\r"; return;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
            out.append(esc, 6);
        }
    }
}

bool has_line_break(std::string_view s) {
    return std::memchr(s.data(), '\n', s.size()) != nullptr || std::memchr(s.data(), '\r', s.size()) != nullptr;
}

}  // namespace

void append_raw_row(std::string_view span, std::string& out) {
    if (!has_line_break(span)) {
        out += span;
        return;
    }
    bool in_string = false;
    bool escaped = false;
    for (const char c : span) {
        const auto b = static_cast<uint8_t>(c);
        if (!in_string) {
            if (b == ' ' || b == '\t' || b == '\n' || b == '\r') continue;
            if (b == '"') in_string = true;
            out += c;
        } else if (escaped) {
            escaped = false;
            if (b < 0x20)
                append_control(b, out);
            else
                out += c;
        } else if (b == '\\') {
            escaped = true;
            out += c;
        } else if (b < 0x20) {
            append_control(b, out);
        } else {
            if (b == '"') in_string = false;
            out += c;
        }
    }
}

}  // namespace jorvane::ndjson
