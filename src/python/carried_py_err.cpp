#include "python/carried_py_err.h"

#include "python/py_class.h"

namespace jorvane::py {
namespace {

std::string render(PyObject* exc) {
    std::string text = type_name(exc);
    std::string body;
    if (str_of(exc, body)) {
        text += ": ";
        text += body;
    } else {
        PyErr_Clear();
        text += ": <exception str() failed>";
    }
    return text;
}

}  // namespace

CarriedPyErr::CarriedPyErr(Ref exc) : exc_(std::move(exc)), text_(render(exc_.get())) {}

CarriedPyErr::~CarriedPyErr() {
    if (!exc_ || !Py_IsInitialized()) {
        (void)exc_.release();  // interpreter gone: nothing may be touched
        return;
    }
    Gil gil;
    exc_ = Ref();
}

std::shared_ptr<const CarriedPyErr> CarriedPyErr::take_current() {
    Ref exc = take_error();
    if (!exc) exc = Ref::steal(PyObject_CallNoArgs(PyExc_SystemError));
    return std::make_shared<const CarriedPyErr>(std::move(exc));
}

IoError carry_current_exception() {
    return IoError::custom(IoErrorKind::Other, CarriedPyErr::take_current());
}

}  // namespace jorvane::py
