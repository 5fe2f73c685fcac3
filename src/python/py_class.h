// Python objects that hold one C++ value, and the small helpers every class
// and function of the module shares: building a heap type once per process,
// allocating an instance around a value, and turning a method table entry
// into a module-level function.
#pragma once

#include <memory>
#include <utility>

#include "python/py.h"

namespace jorvane::py {

// The layout of an instance: the object header followed by the C++ value.
template <class T>
struct Boxed {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* o) {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// A new instance of `type` (a heap type whose basic size is sizeof(Boxed<T>))
// holding T built from `args`. Null with an exception set on failure.
template <class T, class... A>
Ref box(PyObject* type, A&&... args) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* o = alloc(tp, 0);
    if (!o) return {};
    Ref owned = Ref::steal(o);
    std::construct_at(&unbox<T>(o), std::forward<A>(args)...);
    return owned;
}

// tp_dealloc of a boxed type whose value must not be destroyed: frees the
// object and drops the instance's reference to its heap type, leaving
// whatever the value owns allocated for the rest of the process.
void boxed_abandon(PyObject* o);

// tp_dealloc of a boxed type: destroys the value, then frees the object as
// boxed_abandon does.
template <class T>
void boxed_dealloc(PyObject* o) {
    std::destroy_at(&unbox<T>(o));
    boxed_abandon(o);
}

// tp_dealloc of a boxed type that takes part in cycle collection.
template <class T>
void boxed_gc_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    boxed_dealloc<T>(o);
}

// Builds the type once and keeps it for the life of the process. `make` runs
// on the first call only; a failure is returned (null, exception set) and
// retried on the next call.
template <class F>
PyObject* cached_type(PyObject*& cell, F&& make) {
    if (!cell) cell = make().release();
    return cell;
}

// A built-in function bound to `module` (a module-level function).
Ref make_function(PyMethodDef* def, PyObject* module);
// Adds the type object `type` (null means its creation failed: false is
// returned with that exception set) under `name`.
bool add_type(PyObject* module, const char* name, PyObject* type);
// Adds `def` as a function of `module` under its own name (appending it to
// __all__ first).
bool add_function(PyObject* module, PyMethodDef* def);

// The exception being raised, normalised and cleared (null when none).
Ref take_error();
// Raises `exc` (an exception instance) again, keeping its traceback.
void restore_error(Ref exc);

}  // namespace jorvane::py
