// Builds a Value from JSON text (atoms keep their literal text,
// strings are decoded as the engine decodes them). Only well-formed input.
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

}  // namespace jorvane::engine::testing
