#include "python/read_rewind.h"

#include <fcntl.h>

#include <string>

#include "python/carried_py_err.h"
#include "python/exceptions.h"
#include "python/py_class.h"

namespace jorvane::py {
namespace {

// The exception being raised is an interrupt: it must reach the caller, so
// it is never swallowed as a sign that the object lacks a method.
bool interrupt_pending() { return is_interrupt(PyErr_Occurred()); }

// What the io module knows of an object, by its exact type.
enum class IoKind : uint8_t {
    Other,             // not one of the io module's own objects
    Binary,            // FileIO or BytesIO
    Buffered,          // a buffered reader over one of those: C all the way down
    BufferedOverPython,  // a buffered reader over a raw object written in Python (a socket's)
    TextWrapper,       // TextIOWrapper, over anything
    StringIO,
};

Ref io_attr(PyObject* io, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(io, name));
    if (!value) PyErr_Clear();
    return value;
}

bool is_type(PyObject* obj, const Ref& type) {
    return type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type.get();
}

IoKind io_kind(PyObject* io, PyObject* obj) {
    if (is_type(obj, io_attr(io, "FileIO")) || is_type(obj, io_attr(io, "BytesIO"))) return IoKind::Binary;
    if (is_type(obj, io_attr(io, "StringIO"))) return IoKind::StringIO;
    if (is_type(obj, io_attr(io, "TextIOWrapper"))) return IoKind::TextWrapper;
    if (!is_type(obj, io_attr(io, "BufferedReader")) && !is_type(obj, io_attr(io, "BufferedRandom"))) {
        return IoKind::Other;
    }
    Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
    if (!raw) {
        PyErr_Clear();
        return IoKind::BufferedOverPython;
    }
    return io_kind(io, raw.get()) == IoKind::Binary ? IoKind::Buffered : IoKind::BufferedOverPython;
}

// The socket under a socket's file (sock.makefile("rb"): a buffered reader
// over the socket module's raw reader), when it is a plain socket, whose
// recv() is C: else null. The raw reader's readinto() is written in Python
// and loses what recv_into() took when a signal that came during that call is
// raised right after it, which over a busy stream is often.
Ref plain_socket_under(PyObject* io, PyObject* obj) {
    if (!is_type(obj, io_attr(io, "BufferedReader"))) return {};
    Ref socket = Ref::steal(PyImport_ImportModule("socket"));
    if (!socket) {
        PyErr_Clear();
        return {};
    }
    Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
    if (!raw) PyErr_Clear();
    if (!raw || !is_type(raw.get(), io_attr(socket.get(), "SocketIO"))) return {};
    Ref sock = Ref::steal(PyObject_GetAttrString(raw.get(), "_sock"));
    if (!sock) PyErr_Clear();
    if (!sock || !is_type(sock.get(), io_attr(socket.get(), "socket"))) return {};
    return sock;
}

// Whether a text wrapper's reads run no Python code: then they take nothing
// when they raise, as long as what it reads can seek (reads of a regular
// file are not interrupted by signals).
bool text_reads_in_c(PyObject* io, PyObject* wrapper) {
    Ref buffer = Ref::steal(PyObject_GetAttrString(wrapper, "buffer"));
    if (!buffer) {
        PyErr_Clear();
        return false;
    }
    const IoKind kind = io_kind(io, buffer.get());
    return kind == IoKind::Binary || kind == IoKind::Buffered;
}

// seekable(): 1, 0 (also when it has no answer), or -1 with an interrupt set.
int ask_seekable(PyObject* obj) {
    Ref answer = Ref::steal(PyObject_CallMethod(obj, "seekable", nullptr));
    const int seekable = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (seekable >= 0) return seekable;
    if (interrupt_pending()) return -1;
    PyErr_Clear();
    return 0;
}

// Whether the descriptor under an io buffered reader does not block: an
// empty read1() then means "nothing yet", not the end.
bool raw_does_not_block(PyObject* obj) {
    Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
    if (!raw) PyErr_Clear();
    const std::optional<int> fd = raw ? descriptor_of(raw.get()) : std::nullopt;
    if (!fd) return false;
    const int flags = ::fcntl(*fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// The value of an int object, when it fits.
std::optional<long long> as_place(PyObject* place) {
    if (!place || !PyLong_Check(place)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(place, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

IoError lost_error(const std::string& message) { return IoError::custom(IoErrorKind::Other, message); }

}  // namespace

ReadRewind::Settled ReadRewind::decide(PyObject* obj) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) {
        if (interrupt_pending()) return Settled::Interrupted;
        PyErr_Clear();
    }
    const IoKind kind = io ? io_kind(io.get(), obj) : IoKind::Other;
    switch (kind) {
        case IoKind::Binary:
        case IoKind::Buffered:
            // C all the way: a read that raised took nothing; its place is
            // watched only.
            mode_ = Mode::Watch;
            call_ = kind == IoKind::Buffered ? Call::Read1Builtin : Call::Read;
            return Settled::Done;
        case IoKind::StringIO:
            mode_ = Mode::Untracked;
            return Settled::Done;
        case IoKind::TextWrapper: {
            // A text wrapper's read(n) gathers decoded pieces from several
            // reads of its buffer and drops them when one raises, which over
            // a pipe or a socket a signal may make it do; its place is an
            // opaque cookie.
            const int seekable = ask_seekable(obj);
            if (seekable < 0) return Settled::Interrupted;
            if (seekable == 0) {
                mode_ = Mode::EndOnFailure;
            } else {
                mode_ = text_reads_in_c(io.get(), obj) ? Mode::Untracked : Mode::Seek;
            }
            return Settled::Done;
        }
        case IoKind::BufferedOverPython:
        case IoKind::Other: break;
    }
    const int seekable = ask_seekable(obj);
    if (seekable < 0) return Settled::Interrupted;
    mode_ = seekable == 1 ? Mode::Seek : opened_here_ ? Mode::EndOnFailure : Mode::Tell;
    if (kind == IoKind::BufferedOverPython) {
        call_ = Call::Read1Builtin;
        if (Ref sock = plain_socket_under(io.get(), obj)) socket_ = AnyThreadRef(std::move(sock));
    } else if (mode_ != Mode::Seek && io) {
        // A buffered reader that cannot be put back: its read1() waits in
        // one operating-system read, which takes nothing when it raises.
        Ref buffered = io_attr(io.get(), "BufferedIOBase");
        const int is_buffered = buffered ? PyObject_IsInstance(obj, buffered.get()) : 0;
        if (is_buffered < 0) PyErr_Clear();
        Ref refusal = io_attr(io.get(), "UnsupportedOperation");
        if (is_buffered == 1 && refusal && PyObject_HasAttrString(obj, "read1")) {
            call_ = Call::Read1;
            unsupported_ = AnyThreadRef(std::move(refusal));
        }
    }
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
        expected_ = as_place(start_.get());
    } else if (mode_ == Mode::Tell) {
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
    } else {
        // Watch: the io module's own read took nothing.
        expected_ = as_place(start_.get());
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
        expected_.reset();
        return std::nullopt;
    }
    if (expected_) {
        const std::optional<long long> at = as_place(place.get());
        if (at && *at != *expected_) {
            lost_ = lost_error("the file-like object is at byte " + std::to_string(*at) + ", not at byte " +
                               std::to_string(*expected_) +
                               " where the previous read left it: something else read or moved it (a forked child "
                               "sharing the open file, or other code using the same object), so the source cannot "
                               "be read on in order");
            return lost_;
        }
    }
    start_ = AnyThreadRef(std::move(place));
    return std::nullopt;
}

Ref ReadRewind::call(PyObject* obj, Py_ssize_t n) {
    if (call_ == Call::Read) return Ref::steal(PyObject_CallMethod(obj, "read", "n", n));
    if (call_ == Call::Recv) {
        // A file closed since is refused by its own read1(), as before.
        Ref closed = Ref::steal(PyObject_GetAttrString(obj, "closed"));
        const int is_closed = closed ? PyObject_IsTrue(closed.get()) : -1;
        if (is_closed == 0) return Ref::steal(PyObject_CallMethod(socket_.get(), "recv", "n", n));
        if (is_closed < 0) return {};
    }
    Ref result = Ref::steal(PyObject_CallMethod(obj, "read1", "n", n));
    if (!result && call_ == Call::Read1) {
        // A read1() that refuses: read() as any other object.
        if (PyErr_ExceptionMatches(unsupported_.get())) {
            PyErr_Clear();
            call_ = Call::Read;
            return Ref::steal(PyObject_CallMethod(obj, "read", "n", n));
        }
        return result;
    }
    if (result && call_ == Call::Read1Builtin && PyBytes_Check(result.get()) && PyBytes_Size(result.get()) == 0 &&
        n > 0 && raw_does_not_block(obj)) {
        // Nothing there yet is not the end: read() tells the two apart (None).
        return Ref::steal(PyObject_CallMethod(obj, "read", "n", n));
    }
    if (result && socket_ && PyBytes_Check(result.get()) && PyBytes_Size(result.get()) < n) {
        // read1() gave all that the file's buffer held, or read the socket
        // itself: the buffer is empty, and the socket can be read directly.
        call_ = Call::Recv;
    }
    return result;
}

Result<Ref, IoError> ReadRewind::read(PyObject* obj, Py_ssize_t n) {
    if (auto refused = before_read(obj)) return make_err(std::move(*refused));
    Ref result = call(obj, n);
    if (!result) return make_err(after_failure(obj));
    after_success(result.get());
    return result;
}

void ReadRewind::after_success(PyObject* result) {
    // Only a place that counts the bytes read is watched: a text object's
    // is a cookie.
    const std::optional<long long> start =
        (mode_ == Mode::Watch || mode_ == Mode::Seek) && PyBytes_Check(result) ? as_place(start_.get()) : std::nullopt;
    if (start) {
        expected_ = *start + PyBytes_Size(result);
    } else {
        expected_.reset();
    }
}

IoError ReadRewind::after_failure(PyObject* obj) {
    IoError carried = carry_current_exception();
    expected_.reset();
    if (tracked()) {
        pending_ = true;
        // An interrupt met while undoing is dropped, since the read's own
        // exception is handed on; the undoing is tried again before the next
        // read.
        if (settle(obj) == Settled::Interrupted) PyErr_Clear();
    } else if (mode_ == Mode::EndOnFailure && !lost_) {
        lost_ = lost_error(opened_here_
                               ? "read() of the URL's file raised, and the file cannot seek back to where that read "
                                 "began: the bytes that read took are lost, so the source cannot be read on in order"
                               : "read() of the text file raised, and it cannot seek back to where that read began: "
                                 "the text that read had gathered is lost, so the source cannot be read on in order");
    }
    return carried;
}

}  // namespace jorvane::py
