// Value equality and hashing, string decoding and numeric strings.
//
// Objects compare as multisets of members: an in-order pass first, then, only
// when that fails, each left member claims the first unused equal right
// member. Their hash adds up one independent hash per member (wrapping), so
// member order never changes it. Matched atoms and strings can be hashed and
// compared as the Value they would become straight from their raw bytes.
#include "engine/values/value.h"

#include <cstring>

#include "util/json_escape.h"
#include "util/text.h"

namespace jorvane::engine {

namespace {

constexpr const char* kTypeNames[kJsonTypeCount] = {"null", "boolean", "number", "string", "array", "object"};

constexpr uint32_t kReplacement = 0xFFFD;

constexpr bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool objects_equal(const Value::Object& a, const Value::Object& b) {
    if (a.size() != b.size()) return false;
    bool in_order = true;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].key != b[i].key || !(a[i].value == b[i].value)) {
            in_order = false;
            break;
        }
    }
    if (in_order) return true;
    std::vector<bool> used(b.size(), false);
    for (const Member& m : a) {
        bool found = false;
        for (size_t j = 0; j < b.size(); ++j) {
            if (!used[j] && b[j].key == m.key && b[j].value == m.value) {
                used[j] = true;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

// The number an atom denotes, with its text as the stored Decimal would hold
// it (lossy UTF-8); `scratch` receives the converted text when needed.
NumberView atom_number(std::string_view atom, std::string& scratch) {
    NumberView n = number::classify_literal(atom);
    if (n.kind == NumberView::Kind::Decimal && !is_valid_utf8(n.text)) {
        scratch = lossy_utf8(n.text);
        n.text = scratch;
    }
    return n;
}

}  // namespace

const char* json_type_name(JsonType t) { return kTypeNames[static_cast<int>(t)]; }

JsonType atom_json_type(std::string_view atom) {
    if (atom.empty()) return JsonType::Null;
    unsigned char c = static_cast<unsigned char>(atom[0]);
    if (c == 't' || c == 'f') return JsonType::Boolean;
    if (c == '-' || (c >= '0' && c <= '9')) return JsonType::Number;
    return JsonType::Null;
}

bool operator==(const Value& a, const Value& b) {
    if (a.repr_.index() != b.repr_.index()) return false;
    switch (a.type()) {
        case JsonType::Null: return true;
        case JsonType::Boolean: return a.as_bool() == b.as_bool();
        case JsonType::Number: return a.as_number() == b.as_number();
        case JsonType::String: return a.as_string() == b.as_string();
        case JsonType::Array: {
            const auto& x = a.as_array();
            const auto& y = b.as_array();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i) {
                if (!(x[i] == y[i])) return false;
            }
            return true;
        }
        case JsonType::Object: return objects_equal(a.as_object(), b.as_object());
    }
    return false;
}

void Value::hash_into(ValueHasher& h) const {
    h.write_u64(repr_.index());
    switch (type()) {
        case JsonType::Null: break;
        case JsonType::Boolean: h.write_u8(as_bool() ? 1 : 0); break;
        case JsonType::Number: as_number().hash_into(h); break;
        case JsonType::String: h.write_str(as_string()); break;
        case JsonType::Array:
            h.write_u64(as_array().size());
            for (const Value& v : as_array()) v.hash_into(h);
            break;
        case JsonType::Object: {
            const auto& members = as_object();
            h.write_u64(members.size());
            uint64_t sum = 0;
            for (const Member& m : members) {
                ValueHasher mh;
                mh.write_str(m.key);
                m.value.hash_into(mh);
                sum += mh.finish();
            }
            h.write_u64(sum);
            break;
        }
    }
}

uint64_t Value::hash() const {
    ValueHasher h;
    hash_into(h);
    return h.finish();
}

namespace value {

std::optional<uint16_t> read_low_surrogate_escape(std::string_view bytes, size_t pos) {
    return jorvane::read_low_surrogate_escape(bytes, pos);
}

bool string_is_plain(std::string_view raw) {
    if (std::memchr(raw.data(), '\\', raw.size()) != nullptr) return false;
    return is_valid_utf8(raw);
}

std::string decode_json_string(std::string_view raw) {
    if (raw.empty()) return {};
    if (std::memchr(raw.data(), '\\', raw.size()) == nullptr) return lossy_utf8(raw);
    std::string buf;
    buf.reserve(raw.size());
    const size_t n = raw.size();
    size_t i = 0;
    while (i < n) {
        // Copy the run up to the next backslash.
        const void* hit = std::memchr(raw.data() + i, '\\', n - i);
        size_t bs = hit ? static_cast<size_t>(static_cast<const char*>(hit) - raw.data()) : n;
        buf.append(raw.data() + i, bs - i);
        i = bs;
        if (i >= n) break;
        if (i + 1 >= n) break;  // a trailing lone backslash vanishes
        const char c = raw[i + 1];
        if (c != 'u') {
            // A short escape; an unknown one vanishes with its letter.
            if (const auto ch = short_escape(c)) buf += *ch;
            i += 2;
            continue;
        }
        if (i + 6 > n) {
            append_utf8(buf, kReplacement);
            break;
        }
        const auto unit = read_hex4(raw, i + 2);
        const int u = unit ? *unit : -1;
        if (u < 0) {
            append_utf8(buf, kReplacement);
            i += 6;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            append_utf8(buf, kReplacement);
            i += 6;
        } else if (u >= 0xD800 && u <= 0xDBFF) {
            if (auto lo = read_low_surrogate_escape(raw, i + 6)) {
                uint32_t cp = 0x10000 + (static_cast<uint32_t>(u) - 0xD800) * 0x400 + (*lo - 0xDC00);
                append_utf8(buf, cp);
                i += 12;
            } else {
                append_utf8(buf, kReplacement);
                i += 6;
            }
        } else {
            append_utf8(buf, static_cast<uint32_t>(u));
            i += 6;
        }
    }
    if (is_valid_utf8(buf)) return buf;
    return lossy_utf8(buf);
}

std::optional<BadByte> atom_fault(std::string_view atom) {
    std::string_view word;
    switch (atom.empty() ? '\0' : atom[0]) {
        case 't': word = "true"; break;
        case 'f': word = "false"; break;
        case 'n': word = "null"; break;
        default: {
            if (number::is_json_number(atom)) [[likely]]
                return std::nullopt;
            const NumberReading n = number::read_json(atom);
            if (!n.malformed) return std::nullopt;
            return BadByte{*n.malformed, n.malformed_at};
        }
    }
    if (atom == word) [[likely]]
        return std::nullopt;
    size_t at = 0;
    while (at < atom.size() && at < word.size() && atom[at] == word[at]) ++at;
    if (at == atom.size()) at = atom.size() - 1;  // ended early: its last byte
    return BadByte{ParseErrorKind::invalid_atom_char(static_cast<uint8_t>(atom[at])), at};
}

std::optional<BadByte> escape_fault(std::string_view raw) {
    const char* const data = raw.data();
    const size_t n = raw.size();
    const void* hit = std::memchr(data, '\\', n);
    while (hit != nullptr) {
        size_t i = static_cast<size_t>(static_cast<const char*>(hit) - data) + 1;
        if (i == n) return BadByte{ParseErrorKind::invalid_escape('"'), n};
        const char c = raw[i];
        if (c == 'u') {
            for (size_t k = i + 1; k < i + 5; ++k) {
                if (k == n) return BadByte{ParseErrorKind::invalid_escape('"'), n};
                if (!is_hex_digit(raw[k])) return BadByte{ParseErrorKind::invalid_escape(static_cast<uint8_t>(raw[k])), k};
            }
            i += 5;
        } else if (short_escape(c)) {
            i += 1;
        } else {
            return BadByte{ParseErrorKind::invalid_escape(static_cast<uint8_t>(c)), i};
        }
        hit = i < n ? std::memchr(data + i, '\\', n - i) : nullptr;
    }
    return std::nullopt;
}

std::optional<double> coerce_numeric_str(std::string_view text) {
    std::string_view t = trim_unicode_whitespace(text);
    if (t.empty()) return std::nullopt;
    return number::parse_f64(t);
}

Value from_atom(std::string_view atom) {
    if (atom.empty()) return Value::null();
    unsigned char c = static_cast<unsigned char>(atom[0]);
    if (c == 'f') return Value::boolean(false);
    if (c == 't') return Value::boolean(true);
    if (c == '-' || (c >= '0' && c <= '9')) return Value::number(JsonNumber::from_literal(atom));
    return Value::null();
}

Value from_raw_string(std::string_view raw) { return Value::string(decode_json_string(raw)); }

void hash_atom_into(ValueHasher& h, std::string_view atom) {
    JsonType t = atom.empty() ? JsonType::Null : atom_json_type(atom);
    if (t == JsonType::Number) {
        std::string scratch;
        hash_number_into(h, atom_number(atom, scratch));
        return;
    }
    h.write_u64(static_cast<uint64_t>(t));
    if (t == JsonType::Boolean) h.write_u8(atom[0] == 't' ? 1 : 0);
}

void hash_number_into(ValueHasher& h, const NumberView& n) {
    h.write_u64(static_cast<uint64_t>(JsonType::Number));
    number::hash_into(h, n);
}

bool number_equals(const Value& v, const NumberView& n) { return v.is_number() && number::equal(v.as_number().view(), n); }

bool atom_equals(const Value& v, std::string_view atom) {
    JsonType t = atom.empty() ? JsonType::Null : atom_json_type(atom);
    if (v.type() != t) return false;
    switch (t) {
        case JsonType::Boolean: return v.as_bool() == (atom[0] == 't');
        case JsonType::Number: {
            std::string scratch;
            return number::equal(v.as_number().view(), atom_number(atom, scratch));
        }
        default: return true;
    }
}

void hash_string_into(ValueHasher& h, std::string_view text) {
    h.write_u64(static_cast<uint64_t>(JsonType::String));
    h.write_str(text);
}

}  // namespace value
}  // namespace jorvane::engine
