#include "python/value_convert.h"

#include <string>

#include "engine/values/number.h"
#include "python/lazy_imports.h"

namespace jorvane::py {
namespace {

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
    Ref text = str(n.text());
    if (!text) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(ctor.get(), text.get(), nullptr));
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
