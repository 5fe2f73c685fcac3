#include "python/lookup.h"

#include "util/text.h"

namespace jorvane::py {

std::string label_list(const std::vector<std::string>& labels) {
    std::string out = "[";
    const size_t shown = labels.size() < 3 ? labels.size() : 3;
    for (size_t i = 0; i < shown; ++i) {
        if (i) out += ", ";
        append_debug_quote(out, labels[i]);
    }
    if (labels.size() > 3) out += ", \u2026 +" + std::to_string(labels.size() - 3);
    out += "]";
    return out;
}

std::optional<size_t> lookup(PyObject* key, const std::vector<std::string>& labels, std::string_view what) {
    if (!given(key)) return 0;
    const std::string noun(what);
    const std::string plural = what == "query" ? "queries" : noun + "s";
    auto type_error = [&](const std::string& type) -> std::optional<size_t> {
        raise(PyExc_TypeError, noun + " must be an int index or a string (a " + noun + " name), got " + type);
        return std::nullopt;
    };
    if (PyBool_Check(key)) return type_error("bool");

    if (Ref index = Ref::steal(PyNumber_Index(key))) {
        unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return static_cast<size_t>(u);
        PyErr_Clear();
        long long s = PyLong_AsLongLong(index.get());
        if (!(s == -1 && PyErr_Occurred())) {
            long long pos = s + static_cast<long long>(labels.size());
            if (pos < 0) {
                raise(PyExc_IndexError, "no " + noun + " " + std::to_string(s) + " (" + std::to_string(labels.size()) +
                                            " " + plural + ")");
                return std::nullopt;
            }
            return static_cast<size_t>(pos);
        }
    }
    PyErr_Clear();

    if (PyUnicode_Check(key)) {
        std::string text;
        if (as_utf8(key, text)) {
            std::optional<size_t> found;
            for (size_t i = 0; i < labels.size(); ++i) {
                if (labels[i] != text) continue;
                if (found) {
                    raise(PyExc_ValueError,
                          noun + " " + debug_quote(text) + " is ambiguous (appears more than once); use an integer index");
                    return std::nullopt;
                }
                found = i;
            }
            if (found) return found;
            raise(PyExc_KeyError,
                  "no " + noun + " named " + debug_quote(text) + "; valid " + plural + ": " + label_list(labels));
            return std::nullopt;
        }
        PyErr_Clear();
    }
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(key)));
    std::string type = "object";
    if (!name || !as_utf8(name.get(), type)) PyErr_Clear();
    return type_error(type);
}

}  // namespace jorvane::py
