#include "python/py_reader_source.h"

#include <cstring>
#include <string>

#include "source/read_source.h"

namespace jorvane::py {
namespace {

// Calls obj.close() once, discarding any exception.
void close_once(const AnyThreadRef& obj, bool keep_open, bool& closed) {
    if (closed || keep_open || !obj) return;
    closed = true;  // before the call: a close that raises is not retried
    Gil gil;
    Ref result = Ref::steal(PyObject_CallMethod(obj.get(), "close", nullptr));
    if (!result) PyErr_Clear();
}

}  // namespace

PyReadSource::PyReadSource(Ref obj, bool keep_open)
    : obj_(std::move(obj)), rewind_(!keep_open), keep_open_(keep_open) {}

BufferResult PyReadSource::next_buffer() {
    {
        Gil gil;
        auto read = rewind_.read(obj_.get(), static_cast<Py_ssize_t>(kPyReadLen));
        if (!read) return make_err(std::move(read).error());
        const Ref result = std::move(read).value();
        buf_.clear();
        const char* data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_Check(result.get())) {
            char* p = nullptr;
            if (PyBytes_AsStringAndSize(result.get(), &p, &n) == 0) data = p;
        } else if (PyUnicode_Check(result.get())) {
            data = PyUnicode_AsUTF8AndSize(result.get(), &n);
        }
        if (!data) {
            PyErr_Clear();
            return make_err(IoError::custom(IoErrorKind::Other, "file-like read() must return bytes or str"));
        }
        buf_.assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + n);
    }
    if (buf_.empty()) return std::optional<ByteView>();
    return std::optional<ByteView>(ByteView(buf_.data(), buf_.size()));
}

void PyReadSource::abandon() { close_once(obj_, keep_open_, closed_); }

Result<size_t, IoError> PyReadAdapter::read(std::span<uint8_t> dest) {
    Gil gil;
    const size_t asked = dest.size();
    auto read = rewind_.read(obj_.get(), static_cast<Py_ssize_t>(asked));
    if (!read) return make_err(std::move(read).error());
    const Ref result = std::move(read).value();
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (!PyBytes_Check(result.get()) || PyBytes_AsStringAndSize(result.get(), &p, &n) != 0) {
        PyErr_Clear();
        return make_err(IoError::custom(
            IoErrorKind::Other, "a compressed file-like source's read() must return bytes (open it in binary mode)"));
    }
    const size_t got = static_cast<size_t>(n);
    if (got > asked) {
        return make_err(IoError::custom(IoErrorKind::Other, "file-like read(" + std::to_string(asked) + ") returned " +
                                                                std::to_string(got) + " bytes \u2014 more than asked"));
    }
    if (got) std::memcpy(dest.data(), p, got);
    return got;
}

DecodedReaderSource::DecodedReaderSource(std::unique_ptr<ByteReader> decoder, size_t buffer_len, Ref obj,
                                         bool keep_open)
    : decoder_(std::move(decoder)), buf_(buffer_len, 0), obj_(std::move(obj)), keep_open_(keep_open) {}

BufferResult DecodedReaderSource::next_buffer() {
    if (buf_.empty()) return std::optional<ByteView>();
    auto filled = fill_.fill(*decoder_, buf_);
    if (!filled) return make_err(std::move(filled).error());
    if (*filled == 0) return std::optional<ByteView>();
    return std::optional<ByteView>(ByteView(buf_.data(), *filled));
}

void DecodedReaderSource::abandon() { close_once(obj_, keep_open_, closed_); }

}  // namespace jorvane::py
