// Value: an owned JSON value (null, bool, number, string, array, object with
// its members in document order and repeated keys kept).
//
// Equality compares numbers by exact decimal value and objects as unordered
// collections of members counted with their repeats; hashing agrees with it.
// Strings up to 15 bytes are stored inline (no heap allocation).
//
// Also here: JsonType, the decoding of raw JSON string bytes, the test for
// strings that spell a number, and the strict reading of scalars: which byte
// of an atom or of a string's escapes a strict JSON reader refuses.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/values/number.h"
#include "engine/values/value_hasher.h"

namespace jorvane::engine {

// The six JSON kinds, in this order; the order is also the Value tag order.
enum class JsonType : uint8_t { Null = 0, Boolean = 1, Number = 2, String = 3, Array = 4, Object = 5 };

inline constexpr int kJsonTypeCount = 6;
// "null", "boolean", "number", "string", "array", "object".
const char* json_type_name(JsonType t);

// The kind of an atom by its first byte: 'n' null, 't'/'f' boolean, '-' or a
// digit number; an empty atom or any other first byte null.
JsonType atom_json_type(std::string_view atom);

struct Member;

class Value {
public:
    using Array = std::vector<Value>;
    using Object = std::vector<Member>;

    // The bodies that build, copy or destroy a Value are defined below
    // Member: they instantiate std::vector<Member>, which needs Member
    // complete, and the end of this class is not late enough for every
    // compiler.
    Value() = default;  // null
    static Value null();
    static Value boolean(bool b);
    static Value number(JsonNumber n);
    static Value string(std::string s);
    static Value array(Array items);
    static Value object(Object members);

    // The tag (0 to 5), which is the JsonType.
    JsonType type() const { return static_cast<JsonType>(repr_.index()); }
    bool is_null() const { return repr_.index() == 0; }
    bool is_bool() const { return repr_.index() == 1; }
    bool is_number() const { return repr_.index() == 2; }
    bool is_string() const { return repr_.index() == 3; }
    bool is_array() const { return repr_.index() == 4; }
    bool is_object() const { return repr_.index() == 5; }

    // Accessors for the matching tag only.
    bool as_bool() const { return std::get<1>(repr_); }
    const JsonNumber& as_number() const { return std::get<2>(repr_); }
    const std::string& as_string() const { return std::get<3>(repr_); }
    std::string& as_string() { return std::get<3>(repr_); }
    const Array& as_array() const { return std::get<4>(repr_); }
    Array& as_array() { return std::get<4>(repr_); }
    const Object& as_object() const { return std::get<5>(repr_); }
    Object& as_object() { return std::get<5>(repr_); }

    // Deep copy (copying is also available through the copy constructor).
    Value clone() const;

    friend bool operator==(const Value& a, const Value& b);
    uint64_t hash() const;
    void hash_into(ValueHasher& h) const;

private:
    using Repr = std::variant<std::monostate, bool, JsonNumber, std::string, Array, Object>;
    explicit Value(Repr r);
    Repr repr_;
};

struct Member {
    std::string key;
    Value value;
    bool operator==(const Member&) const = default;
};

inline Value::Value(Repr r) : repr_(std::move(r)) {}
inline Value Value::null() { return Value(); }
inline Value Value::boolean(bool b) { return Value(Repr(std::in_place_index<1>, b)); }
inline Value Value::number(JsonNumber n) { return Value(Repr(std::in_place_index<2>, std::move(n))); }
inline Value Value::string(std::string s) { return Value(Repr(std::in_place_index<3>, std::move(s))); }
inline Value Value::array(Array items) { return Value(Repr(std::in_place_index<4>, std::move(items))); }
inline Value Value::object(Object members) { return Value(Repr(std::in_place_index<5>, std::move(members))); }
inline Value Value::clone() const { return *this; }

// Hash functor for standard containers.
struct ValueHash {
    size_t operator()(const Value& v) const { return v.hash(); }
};

namespace value {

// The text of a JSON string given the raw bytes between its quotes (escapes
// not decoded, possibly invalid UTF-8). Never fails: bad escapes and bad
// UTF-8 become U+FFFD, an unknown escape vanishes.
std::string decode_json_string(std::string_view raw);
// True when the raw bytes decode to themselves: no backslash and valid UTF-8.
bool string_is_plain(std::string_view raw);

// The 16-bit unit of a \uXXXX escape starting at `pos` when it is a low
// surrogate (DC00-DFFF); nothing otherwise.
std::optional<uint16_t> read_low_surrogate_escape(std::string_view bytes, size_t pos);

// A byte of a scalar's raw text that a strict JSON reader refuses: the error,
// which names the byte, and the byte's index in the text.
struct BadByte {
    ParseErrorKind kind;
    size_t at = 0;
};

// Nothing when an atom's trimmed literal is exactly true, false, null or a
// JSON number; else InvalidAtomChar naming the first byte that breaks it, or
// its last byte when it ends where more is owed ("tru", "1.").
std::optional<BadByte> atom_fault(std::string_view atom);
// Whether raw string bytes hold a backslash (then escape_fault reads them).
[[gnu::always_inline]] inline bool has_backslash(std::string_view raw) {
    return std::memchr(raw.data(), '\\', raw.size()) != nullptr;
}

// Whether an atom's trimmed literal is exactly true, false, null or a JSON
// number (atom_fault says why not), cheaply.
[[gnu::always_inline]] inline bool atom_is_strict(std::string_view atom) {
    switch (atom.empty() ? '\0' : atom[0]) {
        case 't': return atom == "true";
        case 'f': return atom == "false";
        case 'n': return atom == "null";
        default: return number::is_json_number(atom);
    }
}
// Nothing when every backslash in a string's raw bytes (between its quotes)
// begins one of the escapes \" \\ \/ \b \f \n \r \t \uXXXX; else
// InvalidEscape naming the byte after the backslash, or the first of the
// four after "\u" that is not a hexadecimal digit (the closing quote, at
// index raw.size(), when the string ends first).
std::optional<BadByte> escape_fault(std::string_view raw);

// The value of a text that, once Unicode whitespace is trimmed, wholly spells
// a decimal number (optional sign, then a digit or '.'); nothing otherwise.
std::optional<double> coerce_numeric_str(std::string_view text);

// The value of a matched atom: by its first byte 'n' null, 'f' false, 't'
// true, '-' or a digit a number over all its bytes; empty or any other first
// byte null.
Value from_atom(std::string_view atom);
// The value of a matched string, given its raw bytes between the quotes.
Value from_raw_string(std::string_view raw);

// Hashing and comparing a matched atom or raw string as the Value it would
// become, without building it.
void hash_atom_into(ValueHasher& h, std::string_view atom);
bool atom_equals(const Value& v, std::string_view atom);
// `text` is the decoded string text.
void hash_string_into(ValueHasher& h, std::string_view text);
// The same for a number already read from its literal.
void hash_number_into(ValueHasher& h, const NumberView& n);
bool number_equals(const Value& v, const NumberView& n);

}  // namespace value
}  // namespace jorvane::engine
