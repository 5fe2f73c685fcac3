// Engine values to Python objects, built depth first.
//
// A number that is neither an int nor a big int is handed to decimal.Decimal
// as its literal; every number the engine keeps is a well-formed JSON number,
// so the one text Decimal refuses (with InvalidOperation) is one whose
// exponent lies beyond what Decimal can hold. Such a number is given the
// value a float reading takes, as a Decimal: signed infinity when the
// exponent is positive, signed zero when it is negative, and zero (exactly)
// when every digit is zero.
#include "python/value_convert.h"

#include <string>
#include <string_view>

#include "engine/values/number.h"
#include "python/lazy_imports.h"

namespace jorvane::py {
namespace {

// The Decimal literal of a well-formed number whose exponent is beyond
// Decimal's reach; null for a text without an exponent.
const char* beyond_decimal_reach(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    const size_t e = text.find_first_of("eE");
    if (e == std::string_view::npos) return nullptr;
    const std::string_view digits = text.substr(0, e);
    if (digits.find_first_of("123456789") == std::string_view::npos) return negative ? "-0" : "0";
    const bool tiny = e + 1 < text.size() && text[e + 1] == '-';
    if (tiny) return negative ? "-0" : "0";
    return negative ? "-Infinity" : "Infinity";
}

Ref decimal_of(const Ref& ctor, std::string_view text) {
    Ref s = str(text);
    if (!s) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(ctor.get(), s.get(), nullptr));
}

Ref number_to_py(const engine::JsonNumber& n, bool use_float) {
    using Kind = engine::JsonNumber::Kind;
    switch (n.kind()) {
        case Kind::Int:
            return integer(n.int_value());
        case Kind::BigInt: {
            // int(text): exact at any size.
            std::string text(n.text());
            return Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10));
        }
        case Kind::Decimal:
            break;
    }
    if (use_float) {
        std::optional<double> d = engine::number::parse_f64(n.text());
        return floating(d ? *d : Py_NAN);
    }
    Ref ctor = decimal_ctor();
    if (!ctor) return {};
    Ref refused = decimal_invalid_operation();
    if (!refused) return {};
    Ref d = decimal_of(ctor, n.text());
    if (d || !PyErr_ExceptionMatches(refused.get())) return d;
    const char* limit = beyond_decimal_reach(n.text());
    if (!limit) return {};
    PyErr_Clear();
    return decimal_of(ctor, limit);
}

}  // namespace

Ref value_to_py(const engine::Value& value, bool use_float) {
    switch (value.type()) {
        case engine::JsonType::Null:
            return none();
        case engine::JsonType::Boolean:
            return boolean(value.as_bool());
        case engine::JsonType::Number:
            return number_to_py(value.as_number(), use_float);
        case engine::JsonType::String:
            return str(value.as_string());
        case engine::JsonType::Array: {
            const auto& items = value.as_array();
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
            if (!list) return {};
            for (size_t i = 0; i < items.size(); ++i) {
                Ref item = value_to_py(items[i], use_float);
                if (!item) return {};
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
            }
            return list;
        }
        case engine::JsonType::Object: {
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return {};
            for (const engine::Member& m : value.as_object()) {
                Ref v = value_to_py(m.value, use_float);
                if (!v) return {};
                Ref k = str(m.key);
                if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return {};
            }
            return dict;
        }
    }
    return none();
}

}  // namespace jorvane::py
