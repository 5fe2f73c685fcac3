// Each cache is an atomic pointer (filled once, never released) and a mutex
// for the one-time import. A thread that has to wait for the mutex does so
// with the interpreter lock released, so it cannot deadlock against the
// importing thread (an import may itself give the lock up for a while).
#include "python/lazy_imports.h"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "python/py_class.h"

namespace jorvane::py {
namespace {

template <class F>
Ref cached(std::atomic<PyObject*>& cell, std::mutex& m, F&& import) {
    if (PyObject* o = cell.load(std::memory_order_acquire)) return Ref::borrow(o);
    PyThreadState* ts = PyEval_SaveThread();
    std::unique_lock lock(m);
    PyEval_RestoreThread(ts);
    if (PyObject* o = cell.load(std::memory_order_acquire)) return Ref::borrow(o);
    Ref obj = import();
    if (!obj) return {};
    cell.store(Ref(obj).release(), std::memory_order_release);  // kept for the process
    return obj;
}

// decimal.`name`, imported for a cache after its mutex was waited for with
// the lock given up: a signal that came meanwhile is raised here, where the
// value being converted is still its caller's, not after the caller has
// handed the value out.
Ref decimal_attr(const char* name) {
    if (PyErr_CheckSignals() < 0) return {};
    Ref mod = Ref::steal(PyImport_ImportModule("decimal"));
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), name));
}

}  // namespace

Ref decimal_ctor() {
    static std::atomic<PyObject*> cell{nullptr};
    static std::mutex m;
    return cached(cell, m, [] { return decimal_attr("Decimal"); });
}

Ref decimal_invalid_operation() {
    static std::atomic<PyObject*> cell{nullptr};
    static std::mutex m;
    return cached(cell, m, [] { return decimal_attr("InvalidOperation"); });
}

Ref errors_module() {
    static std::atomic<PyObject*> cell{nullptr};
    static std::mutex m;
    return cached(cell, m, [] { return Ref::steal(PyImport_ImportModule("jorvane._errors")); });
}

bool not_installed(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
    Ref exc = take_error();
    Ref missing = Ref::steal(PyObject_GetAttrString(exc.get(), "name"));
    std::string text;
    const bool named = missing && PyUnicode_Check(missing.get()) && as_utf8(missing.get(), text);
    PyErr_Clear();  // a look-up that failed is no answer either
    restore_error(std::move(exc));
    if (!named) return false;
    const std::string_view wanted(name);
    return wanted == text ||
           (wanted.size() > text.size() && wanted.starts_with(text) && wanted[text.size()] == '.');
}

Ref import_optional(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module && not_installed(name)) PyErr_Clear();
    return module;
}

Ref import_or_refuse(const char* name, const char* refusal) {
    Ref module = import_optional(name);
    if (!module && !PyErr_Occurred()) raise(PyExc_ImportError, refusal);
    return module;
}

}  // namespace jorvane::py
