// ReadRewind: undoing a file-like's read() that raised, so that the next
// read() gives the bytes that one would have given.
//
// A read() written in Python (an fsspec file, a user's wrapper class,
// gzip.GzipFile) can raise after it has taken bytes from what it reads: a
// Ctrl-C's KeyboardInterrupt is raised at the next bytecode, after the
// operating system's read returned. Those bytes are gone from the object when
// the exception reaches the source, and reading on would skip them. So the
// place where each read() starts is asked first (one tell() a read), and a
// read() that raised is undone as far as the object allows:
// - an object that can seek is put back there before the exception is handed
//   on (and again before the next read() when that seek itself is
//   interrupted);
// - one that can tell but not seek is asked its place again: when it moved,
//   the bytes are lost and the next read fails with a clear error that ends
//   the source, instead of going on short;
// - a URL the system opened that cannot seek ends the same way at its first
//   failed read(), since nothing tells what that read took;
// - an object that tells nothing is read on as it is.
// The builtin file objects that read in C (a file opened by open(), BytesIO,
// StringIO) take nothing when their read() raises and are left alone: they
// pay no tell().
#pragma once

#include <cstdint>
#include <optional>

#include "python/py.h"
#include "source/io_error.h"
#include "util/result.h"

namespace jorvane::py {

class ReadRewind {
public:
    // `opened_here`: the system opened the object itself (a URL's file).
    explicit ReadRewind(bool opened_here) : opened_here_(opened_here) {}

    // Calls obj.read(n) with the interpreter lock held: its answer, or the
    // error the call ends with. A read() that raised gives the error carrying
    // its exception (retryable), the object undone as far as it allows; a
    // call may also end before read() is asked, with an interrupt met while
    // settling an earlier failure (retryable) or with the source's end
    // because bytes were lost.
    Result<Ref, IoError> read(PyObject* obj, Py_ssize_t n);

private:
    enum class Mode : uint8_t {
        Unknown,        // not asked yet: decided at the first read()
        Untracked,      // reads in C, or tells nothing
        Seek,           // tell() before each read(), seek() back after a failed one
        Tell,           // tell() before and after a failed read(): lost when it moved
        EndOnFailure,   // a URL's file that cannot seek: lost at the first failure
    };
    enum class Settled : uint8_t { Done, Interrupted };

    // The place of each read() is asked.
    bool tracked() const { return mode_ == Mode::Seek || mode_ == Mode::Tell; }
    // Settles a read() that raised before and notes where this one starts;
    // an error means read() must not be called.
    std::optional<IoError> before_read(PyObject* obj);
    // Takes the exception read() raised and undoes the read.
    IoError after_failure(PyObject* obj);
    // Chooses the mode. Interrupted (the exception set) when seekable()
    // was interrupted: nothing is decided, the next read() asks again.
    Settled decide(PyObject* obj);
    // Puts the object back (Seek) or checks that it did not move (Tell)
    // after a read() that raised. Interrupted (the exception set) leaves it
    // pending; an error other than an interrupt loses the source.
    Settled settle(PyObject* obj);

    AnyThreadRef start_;  // tell() before the read() under way
    Mode mode_ = Mode::Unknown;
    bool opened_here_;
    bool pending_ = false;  // a read() raised and is not undone yet
    // Set once bytes were lost: every later read() fails with it.
    std::optional<IoError> lost_;
};

}  // namespace jorvane::py
