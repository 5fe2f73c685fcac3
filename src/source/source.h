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

#include "source/io_error.h"
#include "util/result.h"

namespace jorvane {

using ByteView = std::span<const uint8_t>;

// A buffer, or nothing at end of input, or an error.
using BufferResult = Result<std::optional<ByteView>, IoError>;

class MappedFile;

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
};

}  // namespace jorvane
