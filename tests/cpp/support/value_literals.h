// Builds a Value from JSON text (atoms keep their literal text,
// strings are decoded as the engine decodes them; only well-formed input),
// and writes a Value as compact JSON text (strings with their quotes and
// backslashes escaped, nothing else).
#pragma once

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/values/value.h"

namespace jorvane::engine::testing {

class JsonText {
public:
    explicit JsonText(std::string_view s) : s_(s) {}

    Value parse() {
        skip();
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            Value::Object members;
            skip();
            if (s_[i_] == '}') { ++i_; return Value::object(std::move(members)); }
            while (true) {
                skip();
                std::string key = value::decode_json_string(raw_string());
                skip();
                ++i_;  // ':'
                Value v = parse();
                members.push_back(Member{std::move(key), std::move(v)});
                skip();
                if (s_[i_++] == '}') break;
            }
            return Value::object(std::move(members));
        }
        if (c == '[') {
            ++i_;
            Value::Array items;
            skip();
            if (s_[i_] == ']') { ++i_; return Value::array(std::move(items)); }
            while (true) {
                items.push_back(parse());
                skip();
                if (s_[i_++] == ']') break;
            }
            return Value::array(std::move(items));
        }
        if (c == '"') return value::from_raw_string(raw_string());
        size_t start = i_;
        while (i_ < s_.size() && !std::strchr(",]} \t\n\r", s_[i_])) ++i_;
        return value::from_atom(s_.substr(start, i_ - start));
    }

private:
    void skip() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    std::string_view raw_string() {
        size_t start = ++i_;
        while (s_[i_] != '"') i_ += s_[i_] == '\\' ? 2 : 1;
        return s_.substr(start, i_++ - start);
    }
    std::string_view s_;
    size_t i_ = 0;
};

inline Value json(std::string_view text) { return JsonText(text).parse(); }

inline void write_json_text(const Value& v, std::string& out) {
    const auto quoted = [&out](const std::string& text) {
        out += '"';
        for (const char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    };
    switch (v.type()) {
        case JsonType::Null: out += "null"; return;
        case JsonType::Boolean: out += v.as_bool() ? "true" : "false"; return;
        case JsonType::Number: out += v.as_number().to_literal(); return;
        case JsonType::String: quoted(v.as_string()); return;
        case JsonType::Array:
            out += '[';
            for (size_t i = 0; i < v.as_array().size(); ++i) {
                if (i) out += ',';
                write_json_text(v.as_array()[i], out);
            }
            out += ']';
            return;
        case JsonType::Object:
            out += '{';
            for (size_t i = 0; i < v.as_object().size(); ++i) {
                if (i) out += ',';
                quoted(v.as_object()[i].key);
                out += ':';
                write_json_text(v.as_object()[i].value, out);
            }
            out += '}';
            return;
    }
}

}  // namespace jorvane::engine::testing
