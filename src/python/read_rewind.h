// ReadRewind: the one place that reads a file-like object, made so that a
// read that raised loses nothing without a word.
//
// A read can raise after it has taken bytes from what it reads. A read()
// written in Python (an fsspec file, a user's wrapper class, gzip.GzipFile)
// gets a Ctrl-C's KeyboardInterrupt at the next bytecode, after the operating
// system's read returned; a built-in buffered reader's read(n) over a pipe or
// a socket asks the operating system again and again for n bytes and drops
// what it gathered when a signal handler raises during a later ask; a text
// wrapper drops its decoded pieces the same way. So each object is read in
// the way that loses least, and a read that raised is undone as far as the
// object allows:
// - the io module's buffered readers, and any other buffered reader (an
//   io.BufferedIOBase, as an HTTP response) that cannot be put back, are
//   read with read1(n): at most one operating-system read, which takes
//   nothing when it raises; a shorter answer is a buffer like any other.
//   A socket's file, once its buffer is empty, is read with its socket's
//   recv(n), since its raw reader is Python code that a signal can stop
//   after the socket was read;
// - an object that can seek is asked its place (one tell() a read) and put
//   back there before the exception is handed on (and again before the next
//   read when that seek itself is interrupted);
// - one that can tell but not seek is asked its place again: when it moved,
//   the bytes are lost and the next read fails with a clear error that ends
//   the source, instead of going on short;
// - a URL the system opened that cannot seek, and a text wrapper over a pipe
//   or a socket, end the same way at their first failed read(), since
//   nothing tells what that read took;
// - an object that tells nothing is read on as it is.
// A byte reader whose place counts bytes (the io module's binary objects, and
// those that can seek) is also watched between reads: when it is not where
// the previous read left it, something else read or moved it (a forked child
// sharing the open file, other code holding the object), and the source ends
// with a clear error instead of going on from the new place.
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

    // Reads up to `n` bytes (or characters) from `obj` with the interpreter
    // lock held: its answer, or the error the call ends with. A read that
    // raised gives the error carrying its exception (retryable), the object
    // undone as far as it allows; a call may also end before the object is
    // read, with an interrupt met while settling an earlier failure
    // (retryable), or with the source's end because bytes were lost or the
    // object was moved.
    Result<Ref, IoError> read(PyObject* obj, Py_ssize_t n);

private:
    enum class Mode : uint8_t {
        Unknown,        // not asked yet: decided at the first read
        Untracked,      // tells nothing, or a text object whose reads take nothing
        Watch,          // the io module's binary objects: tell() before each read, to see it was not moved
        Seek,           // tell() before each read, seek() back after a failed one
        Tell,           // tell() before and after a failed read: lost when it moved
        EndOnFailure,   // nothing tells what a failed read took: lost at the first failure
    };
    enum class Call : uint8_t {
        Read,
        Read1,          // at most one operating-system read
        Read1Builtin,   // the same, on an io module's buffered reader over a descriptor
        Recv,           // recv() of the socket under a socket's file whose buffer is empty
    };
    enum class Settled : uint8_t { Done, Interrupted };

    // The place of each read is asked.
    bool tracked() const { return mode_ == Mode::Watch || mode_ == Mode::Seek || mode_ == Mode::Tell; }
    // Settles a read that raised before and notes where this one starts; an
    // error means the object must not be read.
    std::optional<IoError> before_read(PyObject* obj);
    // Takes the exception the read raised and undoes the read.
    IoError after_failure(PyObject* obj);
    // Notes where a read that gave `result` left the object.
    void after_success(PyObject* result);
    // Calls read() or read1() as chosen.
    Ref call(PyObject* obj, Py_ssize_t n);
    // Chooses the mode and the call. Interrupted (the exception set) when
    // seekable() was interrupted: nothing is decided, the next read asks
    // again.
    Settled decide(PyObject* obj);
    // Puts the object back (Seek) or checks that it did not move (Tell)
    // after a read that raised. Interrupted (the exception set) leaves it
    // pending; an error other than an interrupt loses the source.
    Settled settle(PyObject* obj);

    AnyThreadRef start_;  // tell() before the read under way
    AnyThreadRef unsupported_;  // io.UnsupportedOperation, a read1() that refuses (Read1)
    AnyThreadRef socket_;       // the plain socket under a socket's file
    // Where the previous read left the object, when its place counts bytes.
    std::optional<long long> expected_;
    Mode mode_ = Mode::Unknown;
    Call call_ = Call::Read;
    bool opened_here_;
    bool pending_ = false;  // a read raised and is not undone yet
    // Set once bytes were lost: every later read fails with it.
    std::optional<IoError> lost_;
};

}  // namespace jorvane::py
