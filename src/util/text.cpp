#include <cstdio>
// Provisional implementation (ASCII classes only); replaced by the
// table-driven one.
#include "util/text.h"

namespace jorvane {

namespace {
void append_escaped(std::string& out, uint32_t cp, char quote) {
    switch (cp) {
        case '\t': out += "\\t"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case 0: out += "\\0"; return;
        case '\\': out += "\\\\"; return;
    }
    if (cp == static_cast<uint32_t>(quote)) { out += '\\'; out += quote; return; }
    if (cp < 0x20 || cp == 0x7f) {
        char buf[16];
        snprintf(buf, sizeof buf, "\\u{%x}", cp);
        out += buf;
        return;
    }
    out += static_cast<char>(cp);
}
}  // namespace

void append_debug_quote(std::string& out, std::string_view text) {
    out += '"';
    for (unsigned char c : text) {
        if (c < 0x80) append_escaped(out, c, '"');
        else out += static_cast<char>(c);
    }
    out += '"';
}

std::string debug_quote(std::string_view text) {
    std::string out;
    append_debug_quote(out, text);
    return out;
}

std::string debug_char(uint32_t cp) {
    std::string out = "'";
    if (cp < 0x80) append_escaped(out, cp, '\'');
    out += '\'';
    return out;
}

std::string lossy_utf8(std::string_view bytes) { return std::string(bytes); }
bool is_valid_utf8(std::string_view) { return true; }
bool is_printable(uint32_t cp) { return cp >= 0x20 && cp != 0x7f; }
bool is_grapheme_extend(uint32_t) { return false; }

}  // namespace jorvane
