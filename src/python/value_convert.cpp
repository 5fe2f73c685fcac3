// Engine values to Python objects, built depth first.
//
// A number that is neither an int nor a big int is handed to decimal.Decimal
// as its literal; every number the engine keeps is a well-formed JSON number,
// so the one text Decimal refuses (with InvalidOperation) is one whose
// exponent lies beyond what Decimal can hold. Such a number is given the
// value a float reading takes, as a Decimal: signed infinity when the
// exponent is positive, signed zero when it is negative, and zero (exactly)
// when every digit is zero.
//
// Decimal reads a literal exactly whatever the caller's decimal context says
// of precision and rounding; the context only decides what a refusal does
// (raise, or give NaN) and records it in its flags. A number that Decimal
// cannot refuse is read in the caller's context, which costs nothing more;
// one whose exponent might lie beyond its reach is read in a context of its
// own that traps the refusal, so the value does not follow the caller's
// traps and the caller's flags stay as they were.
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

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Whether Decimal might refuse `text`, a well-formed number. Every build
// holds adjusted exponents of at least 425,000,000 either way, so a literal
// shorter than 10^8 bytes whose exponent has at most eight digits (leading
// zeros aside) lies well inside its reach. An exponent's digits end the
// literal, so it is looked for from the back.
bool may_pass_decimal_reach(std::string_view text) {
    constexpr size_t kSafeLength = 100'000'000;
    constexpr size_t kSafeExponentDigits = 8;
    const size_t n = text.size();
    if (n >= kSafeLength) return true;
    size_t start = n;
    while (start > 0 && is_digit(text[start - 1])) --start;
    size_t mark = start;
    if (mark > 0 && (text[mark - 1] == '+' || text[mark - 1] == '-')) --mark;
    if (mark == 0 || (text[mark - 1] != 'e' && text[mark - 1] != 'E')) return false;
    while (start < n && text[start] == '0') ++start;
    return n - start > kSafeExponentDigits;
}

// `context` is null for the caller's own.
Ref decimal_of(const Ref& ctor, std::string_view text, PyObject* context) {
    Ref s = str(text);
    if (!s) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(ctor.get(), s.get(), context, nullptr));
}

// A fresh decimal context that raises `refused` (InvalidOperation).
Ref refusing_context(const Ref& refused) {
    Ref module = Ref::steal(PyImport_ImportModule("decimal"));
    if (!module) return {};
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Context"));
    if (!cls) return {};
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:[O]}", "traps", refused.get()));
    if (!args || !kwargs) return {};
    return Ref::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
}

// The Decimal of a literal whose exponent may be beyond Decimal's reach.
Ref far_decimal(const Ref& ctor, std::string_view text) {
    Ref refused = decimal_invalid_operation();
    if (!refused) return {};
    Ref context = refusing_context(refused);
    if (!context) return {};
    Ref d = decimal_of(ctor, text, context.get());
    if (d || !PyErr_ExceptionMatches(refused.get())) return d;
    const char* limit = beyond_decimal_reach(text);
    if (!limit) return {};
    PyErr_Clear();
    return decimal_of(ctor, limit, context.get());
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
    const std::string_view text = n.text();
    if (may_pass_decimal_reach(text)) return far_decimal(ctor, text);
    return decimal_of(ctor, text, nullptr);
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
