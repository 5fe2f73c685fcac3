#include "python/py_class.h"

namespace jorvane::py {

void boxed_abandon(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(o);
    Py_DECREF(tp);
}

Ref make_function(PyMethodDef* def, PyObject* module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return {};
    return Ref::steal(PyCFunction_NewEx(def, module, name.get()));
}

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref fn = make_function(def, module);
    return fn && add_to_module(module, def->ml_name, fn.get());
}

bool add_type(PyObject* module, const char* name, PyObject* type) {
    return type && add_to_module(module, name, type);
}

Ref take_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (!value) return Ref::borrow(Py_None);
    return Ref::steal(value);
}

void restore_error(Ref exc) {
    PyObject* value = exc.release();
    if (!value) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(value);
    PyErr_Restore(type, value, tb);
}

}  // namespace jorvane::py
