#include "python/exceptions.h"

#include <optional>

#include "python/carried_py_err.h"
#include "python/lazy_imports.h"
#include "python/py_class.h"
#include "python/query_result.h"

namespace jorvane::py {
namespace {

// Holds the interpreter lock for its lifetime, whether or not the thread
// held it already.
using GilIfNeeded = Gil;

Ref exception_of(PyObject* type, const std::string& message) {
    Ref msg = str(message);
    if (!msg) return take_error();
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, msg.get(), nullptr));
    if (!exc) return take_error();
    return exc;
}

// The exception a read failure carries out of a file-like's read(), if any.
Ref carried_exception(const JorvaneError& err) {
    const JorvaneError::ReadFailure* rf = err.read_failure();
    if (!rf) return {};
    const CarriedPyErr* carried = rf->error.find_payload<CarriedPyErr>();
    if (!carried) return {};
    return carried->exception();
}

}  // namespace

bool is_interrupt(PyObject* exc) { return !PyErr_GivenExceptionMatches(exc, PyExc_Exception); }

bool read_was_interrupted(const JorvaneError& err) {
    Ref exc = carried_exception(err);
    return exc && is_interrupt(exc.get());
}

Ref carried_interrupt(const JorvaneError& err) {
    Ref exc = carried_exception(err);
    if (!exc) return {};
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt) ||
        PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit))
        return exc;
    return {};
}

Ref wrap_partials(std::vector<engine::QueryOutput> outputs, uint64_t offset, bool use_float) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (auto& o : outputs) {
        Ref r = make_query_result(std::move(o), offset, use_float);
        if (!r || PyList_Append(list.get(), r.get()) < 0) return {};
    }
    return list;
}

Ref partial_error(const char* class_name, const std::string& message, uint64_t offset, Ref results) {
    Ref module = errors_module();
    if (!module) return take_error();
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!cls) return take_error();
    Ref msg = str(message);
    Ref off = uinteger(offset);
    // A new list each time: a stored failure is raised again on every lookup.
    Ref list = Ref::steal(PySequence_List(results.get()));
    if (!msg || !off || !list) return take_error();
    Ref args = Ref::steal(PyTuple_Pack(3, msg.get(), off.get(), list.get()));
    if (!args) return take_error();
    Ref exc = Ref::steal(PyObject_Call(cls.get(), args.get(), nullptr));
    if (!exc) return take_error();
    if (!PyExceptionInstance_Check(exc.get())) {
        return exception_of(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return exc;
}

Ref jorvane_err_to_py(JorvaneError err) {
    GilIfNeeded gil;
    if (Ref interrupt = carried_interrupt(err)) return interrupt;
    switch (err.kind()) {
        case JorvaneError::Kind::Compile:
        case JorvaneError::Kind::InvalidInput:
        case JorvaneError::Kind::Shape:
            return exception_of(PyExc_ValueError, err.to_string());
        case JorvaneError::Kind::Read:
        case JorvaneError::Kind::Write:
            return exception_of(PyExc_RuntimeError, err.to_string());
        case JorvaneError::Kind::Incomplete:
        case JorvaneError::Kind::Corrupted:
            break;
    }
    const bool ended_early = err.kind() == JorvaneError::Kind::Incomplete;
    const Incomplete* rec = err.record();
    std::string text = err.to_string();
    uint64_t offset = rec->offset;
    Ref partials = wrap_partials(rec->partials, offset);
    if (!partials) return take_error();
    return partial_error(ended_early ? "Incomplete" : "Corrupted", text, offset, std::move(partials));
}

std::nullptr_t raise_exception_object(Ref exc) {
    if (!exc) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without an exception");
        return nullptr;
    }
    restore_error(std::move(exc));
    return nullptr;
}

std::nullptr_t raise_jorvane_err(JorvaneError err) {
    GilIfNeeded gil;
    return raise_exception_object(jorvane_err_to_py(std::move(err)));
}

std::nullptr_t raise_or_hold(JorvaneError err, std::optional<JorvaneError>& held, MakeException make,
                             bool use_float) {
    // Only a structural error's exception runs Python code.
    held.reset();
    if (err.record()) held = err;
    Ref exc = make ? make(std::move(err), use_float) : jorvane_err_to_py(std::move(err));
    if (!exc || !is_interrupt(exc.get())) held.reset();
    return raise_exception_object(std::move(exc));
}

std::nullptr_t raise_held(std::optional<JorvaneError>& held, MakeException make, bool use_float) {
    JorvaneError err = std::move(*held);
    return raise_or_hold(std::move(err), held, make, use_float);
}

}  // namespace jorvane::py
