// A thin RAII layer over the CPython limited API (abi3, 3.11+).
//
// Conventions used throughout src/python:
//  - A function that can fail with a Python exception returns a null Ref (or
//    false / -1) with the exception set, like the C API itself.
//  - Every C entry point the interpreter calls is wrapped in `guarded`, which
//    turns C++ exceptions into Python ones: Panic and any other std::exception
//    into the panic exception (a BaseException subclass), std::bad_alloc into
//    MemoryError. No C++ exception crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/panic.h"

namespace jorvane::py {

// An owned reference (or null).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Holds the interpreter lock for its lifetime, from any thread.
class Gil {
public:
    Gil() : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the interpreter lock for its lifetime (the calling thread must hold it).
class NoGil {
public:
    NoGil() : save_(PyEval_SaveThread()) {}
    ~NoGil() { PyEval_RestoreThread(save_); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* save_;
};

// An owned reference that may be dropped on a thread that does not hold the
// interpreter lock (a source read by a worker thread): the release takes the
// lock. Made and read with the lock held; after the interpreter has shut down
// the reference is left alone.
class AnyThreadRef {
public:
    AnyThreadRef() = default;
    explicit AnyThreadRef(Ref r) : p_(r.release()) {}
    AnyThreadRef(AnyThreadRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    AnyThreadRef& operator=(AnyThreadRef&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    AnyThreadRef(const AnyThreadRef&) = delete;
    AnyThreadRef& operator=(const AnyThreadRef&) = delete;
    ~AnyThreadRef() { reset(); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset();

private:
    PyObject* p_ = nullptr;
};

// --- conversions ------------------------------------------------------------
Ref str(std::string_view s);  // lossless for valid UTF-8; invalid bytes replaced
Ref bytes(std::string_view s);
Ref integer(long long v);
Ref uinteger(unsigned long long v);
Ref floating(double v);
Ref boolean(bool v);
Ref none();

// The UTF-8 text of a str object; false with TypeError when `o` is not a str.
bool as_utf8(PyObject* o, std::string& out);
// The UTF-8 text of `o` when it is a str that UTF-8 can hold (no lone
// surrogate); false otherwise, with no exception set.
bool as_text(PyObject* o, std::string& out);
// The type's qualified name ("int", "list", ...), for messages.
std::string type_name(PyObject* o);
// str(o) as UTF-8, lone surrogates replaced by U+FFFD; false with the
// exception set when str() raises.
bool str_of(PyObject* o, std::string& out);
// os.fspath(o) when `o` is an os.PathLike other than str and bytes (a
// pathlib.Path): the str or bytes its __fspath__ gives. Null with no
// exception set for any other object, with the exception when __fspath__
// raises.
Ref fspath_of(PyObject* o);
// The descriptor o.fileno() gives, when it has a working one; nothing (and
// no exception set) otherwise.
std::optional<int> descriptor_of(PyObject* o);

// --- exceptions -------------------------------------------------------------
// Sets `type` with `message`; returns nullptr so callers can `return raise(...)`.
std::nullptr_t raise(PyObject* type, std::string_view message);
// The panic exception class (created on first use, lives for the process).
PyObject* panic_exception();
// Translates the C++ exception in flight into a Python exception.
void set_from_current_exception();

// Runs `f` and converts any C++ exception into a Python one, returning `fail`.
template <class F, class R = decltype(std::declval<F>()())>
R guarded(F&& f, R fail) noexcept {
    try {
        return f();
    } catch (...) {
        set_from_current_exception();
        return fail;
    }
}

// --- arguments --------------------------------------------------------------
// Binds a call's arguments with PyArg_ParseTupleAndKeywords: `format` such as
// "O|$OO:Source", `names` null-terminated, one PyObject** per parameter
// (borrowed references; a parameter left out keeps its prior value). False
// with the interpreter's TypeError set on a binding failure.
template <class... Out>
bool bind_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names, Out... out) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}
// Keyword-argument conversions in the binding layer's manner: a value of the
// wrong type is a TypeError naming the argument; an integer out of range is
// the interpreter's OverflowError. None leaves `out` unset. False with the
// exception set on failure.
bool u64_argument(PyObject* o, const char* name, std::optional<uint64_t>& out);
// The same where None is refused like any other non-integer.
bool required_u64_argument(PyObject* o, const char* name, std::optional<uint64_t>& out);
bool str_argument(PyObject* o, const char* name, std::optional<std::string>& out);
// A str argument that must be given (None is the wrong type too).
bool required_str_argument(PyObject* o, const char* name, std::string& out);
// A file path argument: a str, or an os.PathLike whose path is a str; any
// other object is the wrong type, as for required_str_argument.
bool path_argument(PyObject* o, const char* name, std::string& out);
// A dict (or subclass) argument; None leaves `out` null.
bool dict_argument(PyObject* o, const char* name, PyObject*& out);
// A dict (or subclass) argument that must be given (None is the wrong type too).
bool required_dict_argument(PyObject* o, const char* name, PyObject*& out);
// A bool argument (True or False only; never None).
bool bool_argument(PyObject* o, const char* name, bool& out);
// The text of a str inside an argument (a dict's key or value); the binding
// layer's conversion TypeError otherwise.
bool str_value(PyObject* o, std::string& out);
// The (key, value) pairs of a dict of str to str, in its order.
bool str_pairs(PyObject* dict, std::vector<std::pair<std::string, std::string>>& out);
// `o` unless it is null or None.
inline PyObject* given(PyObject* o) { return (o && o != Py_None) ? o : nullptr; }

// --- modules ----------------------------------------------------------------
// Appends `name` to the module's __all__ (created when missing), then sets the
// attribute. Steals nothing; returns false with an exception set on failure.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

// Creates a heap type from a spec (once; the caller caches it for the process).
Ref type_from_spec(PyType_Spec* spec);

}  // namespace jorvane::py
