// Strings are copied in runs: the bytes between two escapes go out with one
// append, so plain text costs one scan and one copy.
#include "ndjson/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "util/text.h"

namespace jorvane::ndjson {
namespace {

using engine::JsonType;
using engine::Value;

// The escape of each byte: length 0 means the byte is copied as it is.
struct Escape {
    uint8_t length = 0;
    char text[6] = {};
};

constexpr std::array<Escape, 256> make_escapes() {
    constexpr char hex[] = "0123456789abcdef";
    std::array<Escape, 256> table{};
    for (int b = 0; b < 32; ++b) table[b] = Escape{6, {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]}};
    table['\b'] = Escape{2, {'\\', 'b'}};
    table['\t'] = Escape{2, {'\\', 't'}};
    table['\n'] = Escape{2, {'\\', 'n'}};
    table['\f'] = Escape{2, {'\\', 'f'}};
    table['\r'] = Escape{2, {'\\', 'r'}};
    table['"'] = Escape{2, {'\\', '"'}};
    table['\\'] = Escape{2, {'\\', '\\'}};
    return table;
}

constexpr std::array<Escape, 256> kEscapes = make_escapes();

void write_number(const engine::JsonNumber& n, std::string& out) {
    if (!n.is_int()) {
        out += n.text();
        return;
    }
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, n.int_value());
    out.append(buf, r.ptr);
}

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
    out += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const Escape& e = kEscapes[static_cast<uint8_t>(text[i])];
        if (e.length == 0) continue;
        out.append(text.data() + run, i - run);
        out.append(e.text, e.length);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void write_json_value(const Value& value, std::string& out) {
    switch (value.type()) {
        case JsonType::Null: out += "null"; return;
        case JsonType::Boolean: out += value.as_bool() ? "true" : "false"; return;
        case JsonType::Number: write_number(value.as_number(), out); return;
        case JsonType::String: write_json_string(value.as_string(), out); return;
        case JsonType::Array: {
            out += '[';
            bool first = true;
            for (const Value& item : value.as_array()) {
                if (!first) out += ',';
                first = false;
                write_json_value(item, out);
            }
            out += ']';
            return;
        }
        case JsonType::Object: {
            out += '{';
            bool first = true;
            for (const engine::Member& m : value.as_object()) {
                if (!first) out += ',';
                first = false;
                write_json_string(m.key, out);
                out += ':';
                write_json_value(m.value, out);
            }
            out += '}';
            return;
        }
    }
}

void write_json_cell(const engine::CellColumn& column, const engine::Cell& cell, std::string& out) {
    using engine::Cell;
    switch (cell.kind) {
        case Cell::Null: out += "null"; return;
        case Cell::False: out += "false"; return;
        case Cell::True: out += "true"; return;
        case Cell::Int: {
            char buf[24];
            const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(cell.payload));
            out.append(buf, r.ptr);
            return;
        }
        case Cell::BigInt: out += column.text(cell); return;
        case Cell::Decimal: {
            // A value keeps a fraction's literal as valid UTF-8.
            const std::string_view text = column.text(cell);
            if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; }))
                out += text;
            else
                out += lossy_utf8(text);
            return;
        }
        case Cell::String: write_json_string(column.text(cell), out); return;
        case Cell::List: {
            out += '[';
            for (uint32_t i = 0; i < cell.len; ++i) {
                if (i) out += ',';
                write_json_cell(column, column.items[cell.payload + i], out);
            }
            out += ']';
            return;
        }
        case Cell::Tree: write_json_value(column.trees[cell.payload], out); return;
    }
}

}  // namespace jorvane::ndjson
