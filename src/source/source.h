// Source: the one pull interface through which input bytes reach the engine.
//
// The consumer asks for the next buffer, scans it, and asks again until the
// source reports end of input or an error. A buffer is a non-empty span owned by
// the source, valid until the next call on the same source or its
// destruction. A source may move between threads between calls but is used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "source/io_error.h"
#include "util/result.h"

namespace jorvane {

using ByteView = std::span<const uint8_t>;

// A buffer, or nothing at end of input, or an error.
using BufferResult = Result<std::optional<ByteView>, IoError>;

class MappedFile;

// A buffer a source hands over to its caller for good, with what one
// next_buffer call would have returned in it: bytes[at, at + len). The `at`
// bytes before them are room the caller may write into (to put bytes of its
// own just ahead of the input's).
struct HandedBuffer {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    size_t len = 0;
};

// A handed buffer, or nothing at end of input, or an error.
using HandedResult = Result<std::optional<HandedBuffer>, IoError>;

class Source {
public:
    virtual ~Source() = default;
    // Never returns an empty buffer: end of input is always nullopt.
    virtual BufferResult next_buffer() = 0;
    // The consumer stops before the end. Accepted at any point, any number of
    // times; never fails. The default does nothing.
    virtual void abandon() {}
    // Asked after the last buffer handed out was scanned: the read failure
    // to report instead of whatever that scan found, when the buffer did not
    // hold what the input held (a mapped file that shrank under it).
    virtual std::optional<IoError> lost_buffer() const { return std::nullopt; }
    // The plain file this source maps, for a loop that scans ranges of it
    // at once (null for every other source).
    virtual const MappedFile* mapped_file() const { return nullptr; }
    // The length of every buffer but the last when buffers are cut at its
    // multiples from the start of the input; 0 when they vary.
    virtual size_t buffer_grid() const { return 0; }
    // Whether a consumer may read buffers it will not scan (the bytes just
    // after an error, for its context): the bytes are in memory, or come
    // from files and decoders over them. Not where each read runs the
    // caller's own code (a Python file-like, whose read() may wait for
    // input that is not on its way yet, or raise).
    virtual bool reads_on_freely() const { return true; }
    // Whether next_handed works: the source fills buffers that can change
    // owner (a decoder filling buffers on a thread of its own), so a caller
    // that keeps the bytes gets them without a copy.
    virtual bool hands_buffers() const { return false; }
    // Instead of next_buffer, where hands_buffers(): the next buffer, the
    // caller's from now on, holding the same bytes and ending the same way
    // (end of input, an error once). `back` (a buffer handed out earlier
    // that the caller is done with, or an empty vector) takes its place in
    // the source, which fills it in turn; so the source's read-ahead stays
    // what it was. The default hands nothing over: end of input.
    virtual HandedResult next_handed(std::vector<uint8_t> back) {
        (void)back;
        return std::optional<HandedBuffer>();
    }
    // Whether the source holds a thread it started (a decoder reading ahead)
    // and joins when it goes: a copy of it in a forked process, which has
    // none of the threads, must be neither read nor destroyed there.
    virtual bool holds_threads() const { return false; }
};

}  // namespace jorvane
