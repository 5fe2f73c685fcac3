// Compaction walks the span once with a two-state machine (outside or inside
// a string). A backslash escapes the byte after it
// wherever it stands, as the scanner reads it: inside a string an escaped
// quote never ends the string, and outside one (in an atom such as `t\"`)
// an escaped quote opens none. White space dropped between an atom and a
// token other than a bracket, comma or colon (two atoms in a row) stays one
// space, so that they do not run together. The line thus holds the tokens
// the scan saw; in JSON no atom is followed by anything but those, so JSON
// rows lose all their white space. The engine hands over only rows a strict
// reader takes (raw control bytes in strings aside), but the walk is total:
// any byte sequence gives some line and never reads past the span.
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

bool is_space(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
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
    const size_t first = out.size();
    bool in_string = false;
    bool escaped = false;
    bool dropped = false;        // white space was dropped since the last byte kept
    bool escaped_quote = false;  // the last quote kept outside strings belongs to an atom
    for (const char c : span) {
        const auto b = static_cast<uint8_t>(c);
        if (!in_string) {
            if (is_space(b)) {
                escaped = false;
                dropped = true;
                continue;
            }
            if (dropped) [[unlikely]] {
                // Two tokens the dropped space kept apart must stay apart:
                // an atom, then anything but a bracket, comma or colon.
                dropped = false;
                if (out.size() > first && !is_separator(b)) {
                    const auto last = static_cast<uint8_t>(out.back());
                    if (!is_separator(last) && (last != '"' || escaped_quote)) out += ' ';
                }
            }
            if (escaped) [[unlikely]] {
                // Escaped: a quote here belongs to the atom and opens nothing.
                escaped = false;
                escaped_quote = b == '"';
            } else if (b == '\\') {
                escaped = true;
            } else if (b == '"') {
                in_string = true;
            }
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
            if (b == '"') {
                in_string = false;
                escaped_quote = false;
            }
            out += c;
        }
    }
}

}  // namespace jorvane::ndjson
