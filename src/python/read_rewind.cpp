#include "python/read_rewind.h"

#include <string>

#include "python/carried_py_err.h"
#include "python/exceptions.h"
#include "python/py_class.h"

namespace jorvane::py {
namespace {

// The exception being raised is an interrupt: it must reach the caller, so
// it is never swallowed as a sign that the object lacks a method.
bool interrupt_pending() { return is_interrupt(PyErr_Occurred()); }

// Whether `obj` is one of the io module's own objects over nothing but C:
// its read() runs no Python code, so it takes nothing when it raises. A
// buffered or text object counts only when what it reads from does too.
bool reads_in_c(PyObject* obj, int depth = 0) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) {
        PyErr_Clear();
        return false;
    }
    auto is = [&](const char* name) {
        Ref type = Ref::steal(PyObject_GetAttrString(io.get(), name));
        if (!type) PyErr_Clear();
        return type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type.get();
    };
    if (is("FileIO") || is("BytesIO") || is("StringIO")) return true;
    const char* inner = nullptr;
    if (is("BufferedReader") || is("BufferedRandom")) {
        inner = "raw";
    } else if (is("TextIOWrapper")) {
        inner = "buffer";
    }
    if (!inner || depth > 1) return false;
    Ref under = Ref::steal(PyObject_GetAttrString(obj, inner));
    if (!under) {
        PyErr_Clear();
        return false;
    }
    return reads_in_c(under.get(), depth + 1);
}

IoError lost_error(const std::string& message) { return IoError::custom(IoErrorKind::Other, message); }

}  // namespace

ReadRewind::Settled ReadRewind::decide(PyObject* obj) {
    if (reads_in_c(obj)) {
        mode_ = Mode::Untracked;
        return Settled::Done;
    }
    Ref answer = Ref::steal(PyObject_CallMethod(obj, "seekable", nullptr));
    const int seekable = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (seekable < 0) {
        // No answer: it cannot seek, unless an interrupt came instead.
        if (interrupt_pending()) return Settled::Interrupted;
        PyErr_Clear();
    }
    mode_ = seekable == 1 ? Mode::Seek : opened_here_ ? Mode::EndOnFailure : Mode::Tell;
    return Settled::Done;
}

ReadRewind::Settled ReadRewind::settle(PyObject* obj) {
    if (mode_ == Mode::Seek) {
        Ref done = Ref::steal(PyObject_CallMethod(obj, "seek", "O", start_.get()));
        if (!done) {
            if (interrupt_pending()) return Settled::Interrupted;
            const auto failure = CarriedPyErr::take_current();
            lost_ = lost_error("read() raised, and seeking the file-like object back to where that read began "
                               "failed (" + failure->message() + "): the source cannot be read on in order");
        }
    } else {
        Ref place = Ref::steal(PyObject_CallMethod(obj, "tell", nullptr));
        const int same = place ? PyObject_RichCompareBool(place.get(), start_.get(), Py_EQ) : -1;
        if (same < 0) {
            // No answer: the place is not known to be the same.
            if (interrupt_pending()) return Settled::Interrupted;
            PyErr_Clear();
        }
        if (same != 1) {
            lost_ = lost_error(
                "read() raised after taking bytes from the file-like object, which cannot seek back to where that read "
                "began: the source cannot be read on in order");
        }
    }
    pending_ = false;
    return Settled::Done;
}

std::optional<IoError> ReadRewind::before_read(PyObject* obj) {
    if (mode_ == Mode::Unknown && decide(obj) == Settled::Interrupted) return carry_current_exception();
    if (pending_ && settle(obj) == Settled::Interrupted) return carry_current_exception();
    if (lost_) return lost_;
    if (!tracked()) return std::nullopt;
    Ref place = Ref::steal(PyObject_CallMethod(obj, "tell", nullptr));
    if (!place) {
        if (interrupt_pending()) return carry_current_exception();
        PyErr_Clear();
        mode_ = Mode::Untracked;  // it tells nothing: read on as it is
        return std::nullopt;
    }
    start_ = AnyThreadRef(std::move(place));
    return std::nullopt;
}

Result<Ref, IoError> ReadRewind::read(PyObject* obj, Py_ssize_t n) {
    if (auto refused = before_read(obj)) return make_err(std::move(*refused));
    Ref result = Ref::steal(PyObject_CallMethod(obj, "read", "n", n));
    if (!result) return make_err(after_failure(obj));
    return result;
}

IoError ReadRewind::after_failure(PyObject* obj) {
    IoError carried = carry_current_exception();
    if (tracked()) {
        pending_ = true;
        // An interrupt met while undoing is dropped, since the read's own
        // exception is handed on; the undoing is tried again before the next
        // read().
        if (settle(obj) == Settled::Interrupted) PyErr_Clear();
    } else if (mode_ == Mode::EndOnFailure && !lost_) {
        lost_ = lost_error(
            "read() of the URL's file raised, and the file cannot seek back to where that read began: the bytes that "
            "read took are lost, so the source cannot be read on in order");
    }
    return carried;
}

}  // namespace jorvane::py
