// Byte sources over Python file-like objects. Each call into Python (one
// read(), one close()) takes the interpreter lock for that call only, from
// whichever thread reads the source, so a scan can run with the lock
// released. An exception raised by read() travels out as a CarriedPyErr
// inside the I/O error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "python/py.h"
#include "python/read_rewind.h"
#include "source/byte_reader.h"
#include "source/read_source.h"
#include "source/source.h"

namespace jorvane::py {

// Size of each read() asked of an uncompressed file-like. (A decoder reads
// a compressed one to fill its own input buffer, kDecoderInputLen.)
inline constexpr size_t kPyReadLen = 1048576;

// An uncompressed file-like: one read(1048576) per buffer; bytes are taken as
// they are and str as its UTF-8 encoding. A read() that raised is undone as
// far as the object allows (python/read_rewind.h).
class PyReadSource final : public Source {
public:
    // `obj` is taken with the lock held. `keep_open`: the caller supplied
    // the object, so it is never closed.
    PyReadSource(Ref obj, bool keep_open);

    BufferResult next_buffer() override;
    // Closes an object the system opened itself, at most once.
    void abandon() override;
    bool reads_on_freely() const override { return false; }

private:
    std::vector<uint8_t> buf_;
    AnyThreadRef obj_;
    ReadRewind rewind_;
    bool closed_ = false;
    bool keep_open_;
};

// A file-like as the byte reader under a decoder: read(n) must give bytes,
// at most n of them. A read() that raised is undone as above.
class PyReadAdapter final : public ByteReader {
public:
    // `keep_open`: the caller supplied the object (else the system opened it).
    PyReadAdapter(Ref obj, bool keep_open) : obj_(std::move(obj)), rewind_(!keep_open) {}
    Result<size_t, IoError> read(std::span<uint8_t> dest) override;

private:
    AnyThreadRef obj_;
    ReadRewind rewind_;
};

// A compressed file-like: buffers of the buffer length from a decoder whose
// input is a PyReadAdapter.
class DecodedReaderSource final : public Source {
public:
    DecodedReaderSource(std::unique_ptr<ByteReader> decoder, size_t buffer_len, Ref obj, bool keep_open);

    BufferResult next_buffer() override;
    void abandon() override;
    bool reads_on_freely() const override { return false; }

private:
    std::unique_ptr<ByteReader> decoder_;
    std::vector<uint8_t> buf_;
    BufferFill fill_;
    AnyThreadRef obj_;
    bool closed_ = false;
    bool keep_open_;
};

}  // namespace jorvane::py
