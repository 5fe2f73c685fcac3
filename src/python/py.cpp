#include "python/py.h"

#include <exception>

#include "util/text.h"

namespace jorvane::py {

void AnyThreadRef::reset() {
    PyObject* p = std::exchange(p_, nullptr);
    if (!p || !Py_IsInitialized()) return;
    Gil gil;
    Py_DECREF(p);
}

Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}
Ref bytes(std::string_view s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref uinteger(unsigned long long v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref floating(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref none() { return Ref::borrow(Py_None); }

bool as_utf8(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) {
        raise(PyExc_TypeError, "expected a str, got " + type_name(o));
        return false;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) return false;
    out.assign(p, static_cast<size_t>(n));
    return true;
}

bool as_text(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    out.assign(p, static_cast<size_t>(n));
    return true;
}

bool str_of(PyObject* o, std::string& out) {
    Ref s = Ref::steal(PyObject_Str(o));
    if (!s) return false;
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) {
        out.assign(p, static_cast<size_t>(n));
        return true;
    }
    PyErr_Clear();  // lone surrogates: keep their place as replacement characters
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
    if (!raw) return false;
    out = lossy_utf8(std::string_view(PyBytes_AsString(raw.get()), static_cast<size_t>(PyBytes_Size(raw.get()))));
    return true;
}

Ref fspath_of(PyObject* o) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) ||
        !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__"))
        return {};
    return Ref::steal(PyOS_FSPath(o));
}

std::optional<int> descriptor_of(PyObject* o) {
    Ref fd = Ref::steal(PyObject_CallMethod(o, "fileno", nullptr));
    const long n = fd && PyLong_Check(fd.get()) ? PyLong_AsLong(fd.get()) : -1;
    if (PyErr_Occurred()) PyErr_Clear();
    if (n < 0 || n > INT32_MAX) return std::nullopt;
    return static_cast<int>(n);
}

std::string type_name(PyObject* o) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
    std::string s;
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(name.get(), &n)) s.assign(p, static_cast<size_t>(n));
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return s.empty() ? "object" : s;
}

std::nullptr_t raise(PyObject* type, std::string_view message) {
    Ref msg = str(message);
    if (msg) PyErr_SetObject(type, msg.get());
    return nullptr;
}

PyObject* panic_exception() {
    // Created once and never released: the class outlives every module object.
    static PyObject* const cls = [] {
        PyObject* c = PyErr_NewExceptionWithDoc(
            "jorvane.PanicException",
            "An internal invariant of jorvane was violated. Derived from BaseException so that "
            "a bare `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
        return c;
    }();
    return cls;
}

void set_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Panic& p) {
        if (PyObject* cls = panic_exception()) raise(cls, p.message());
    } catch (const std::exception& e) {
        if (PyObject* cls = panic_exception()) raise(cls, e.what());
    } catch (...) {
        if (PyObject* cls = panic_exception()) raise(cls, "unknown C++ exception");
    }
}

namespace {

// Puts the argument's name in front of a pending TypeError; any other error
// (OverflowError) stays as it is.
void name_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref exc = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    std::string body;
    if (!exc || !str_of(exc.get(), body)) {
        PyErr_Clear();
        body = "wrong type";
    }
    raise(PyExc_TypeError, std::string("argument '") + name + "': " + body);
}

std::nullptr_t wrong_type(PyObject* o, const char* name, const char* wanted) {
    return raise(PyExc_TypeError,
                 std::string("argument '") + name + "': '" + type_name(o) + "' object cannot be converted to '" +
                     wanted + "'");
}

}  // namespace

bool u64_argument(PyObject* o, const char* name, std::optional<uint64_t>& out) {
    if (!given(o)) return true;
    return required_u64_argument(o, name, out);
}

bool required_u64_argument(PyObject* o, const char* name, std::optional<uint64_t>& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    unsigned long long v = index ? PyLong_AsUnsignedLongLong(index.get()) : 0;
    if (!index || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        name_argument_error(name);
        return false;
    }
    out = v;
    return true;
}

bool str_argument(PyObject* o, const char* name, std::optional<std::string>& out) {
    if (!given(o)) return true;
    if (!PyUnicode_Check(o)) {
        wrong_type(o, name, "str");
        return false;
    }
    std::string s;
    if (!as_utf8(o, s)) return false;
    out = std::move(s);
    return true;
}

bool required_str_argument(PyObject* o, const char* name, std::string& out) {
    if (!PyUnicode_Check(o)) {
        wrong_type(o, name, "str");
        return false;
    }
    return as_utf8(o, out);
}

bool path_argument(PyObject* o, const char* name, std::string& out) {
    Ref path = fspath_of(o);
    if (!path && PyErr_Occurred()) return false;
    if (path && PyUnicode_Check(path.get())) return as_utf8(path.get(), out);
    return required_str_argument(o, name, out);
}

bool dict_argument(PyObject* o, const char* name, PyObject*& out) {
    out = nullptr;
    if (!given(o)) return true;
    if (!PyDict_Check(o)) {
        wrong_type(o, name, "dict");
        return false;
    }
    out = o;
    return true;
}

bool str_value(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) {
        std::string message = "'";
        message += type_name(o);
        message += "' object cannot be converted to 'str'";
        raise(PyExc_TypeError, message);
        return false;
    }
    return as_utf8(o, out);
}

bool str_pairs(PyObject* dict, std::vector<std::pair<std::string, std::string>>& out) {
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return false;
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* kv = PyList_GetItem(items.get(), i);
        std::string key, value;
        if (!str_value(PyTuple_GetItem(kv, 0), key) || !str_value(PyTuple_GetItem(kv, 1), value)) return false;
        out.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

bool required_dict_argument(PyObject* o, const char* name, PyObject*& out) {
    out = nullptr;
    if (!PyDict_Check(o)) {
        wrong_type(o, name, "dict");
        return false;
    }
    out = o;
    return true;
}

bool bool_argument(PyObject* o, const char* name, bool& out) {
    if (!PyBool_Check(o)) {
        wrong_type(o, name, "bool");
        return false;
    }
    out = o == Py_True;
    return true;
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref key = str(name);
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

Ref type_from_spec(PyType_Spec* spec) { return Ref::steal(PyType_FromSpec(spec)); }

}  // namespace jorvane::py
