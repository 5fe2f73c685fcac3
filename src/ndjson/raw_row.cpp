// Compaction walks the span once with a two-state machine (outside or inside
// a string). A backslash escapes the byte after it wherever it stands, as the
// scanner reads it: inside a string an escaped quote never ends the string,
// and outside one (in an atom the scan lets through, such as `t\"`) an
// escaped quote opens none. White space dropped between an atom and a token
// other than a bracket, comma or colon (two atoms in a row, which the scan
// lets through in malformed input) stays one space, so that they do not run
// together. The line thus holds the tokens the scan saw; in JSON no atom is
// followed by anything but those, so JSON rows lose all their white space.
// The engine refuses rows whose numbers are malformed, but the walk is
// total: any byte sequence gives some line and never reads past the span.
#include "ndjson/raw_row.h"

#include <cstdint>
#include <cstring>
#include <utility>

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

bool is_separator(uint8_t b) { return b == '{' || b == '}' || b == '[' || b == ']' || b == ',' || b == ':'; }

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
    bool after_atom = false;  // the last byte kept outside strings belongs to an atom
    bool dropped = false;     // white space was dropped since that byte
    for (const char c : span) {
        const auto b = static_cast<uint8_t>(c);
        if (!in_string) {
            const bool was_escaped = std::exchange(escaped, false);
            if (b == ' ' || b == '\t' || b == '\n' || b == '\r') {
                dropped = true;
                continue;
            }
            const bool separator = is_separator(b);
            if (dropped && after_atom && !separator) out += ' ';
            dropped = false;
            escaped = b == '\\' && !was_escaped;
            in_string = b == '"' && !was_escaped;
            after_atom = !separator && !in_string;
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
