// Range cutting: one input cut into consecutive ranges for walkers that scan
// them at once, each range ending just after a newline byte about a range
// length after the previous cut (or where the input ends). A plain file is
// cut in place and its ranges are read from the file; it ends where it ended
// when the first range was cut, and a file found shorter than that later
// fails with "the file shrank while it was being read". Any other input with
// a buffer grid (a decoder, say) is read on the calling thread in slabs
// that its ranges share: a source that hands its buffers over
// (Source::hands_buffers, a decoder on a thread of its own) decodes straight
// into them; any other is copied into them. A range keeps a margin of bytes
// on either side for an error's context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "source/io_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::run {

// Bytes kept on either side of a range of sequential input: an error's
// context reaches 64 bytes either way.
inline constexpr size_t kRangeMargin = 64;

// The bytes of a range of sequential input, with up to kRangeMargin bytes of
// the input on either side.
struct RangeBytes {
    std::shared_ptr<const void> slab;  // holds `bytes`
    ByteView bytes;
    std::vector<uint8_t> before;
    std::vector<uint8_t> after;
};

struct Range {
    size_t index = 0;   // ranges are numbered from 0 in input order
    uint64_t begin = 0;
    uint64_t end = 0;
    std::shared_ptr<const RangeBytes> copy;  // null: read from the file
};

// Cuts the input into ranges on demand.
class RangeCutter {
public:
    virtual ~RangeCutter() = default;
    // The next range, nothing after the last, or the read failure that
    // follows the ranges cut so far.
    virtual Result<std::optional<Range>, IoError> next() = 0;
};

// The cutter for `source`: in place over its mapped file when it has one,
// else in slabs of what it reads (sequential input on a buffer grid).
// `range_len` is the length a range aims at.
std::unique_ptr<RangeCutter> cut_ranges(Source& source, uint64_t range_len);

// The ranges of `source` as the calling thread takes them in order, with
// what taking them found: how many were cut, where the last one ends, and
// whether they ended, at the input's end or at a read failure that is kept
// for the consumer to report.
class RangeFeed {
public:
    RangeFeed(Source& source, uint64_t range_len) : cutter_(cut_ranges(source, range_len)) {}

    // The next range; nothing once the ranges ended.
    std::optional<Range> next();
    bool done() const { return done_; }
    size_t count() const { return count_; }
    uint64_t end() const { return end_; }
    // The read failure that ended the ranges, if any, taken out.
    std::optional<IoError> take_error() { return std::exchange(error_, std::nullopt); }

private:
    std::unique_ptr<RangeCutter> cutter_;
    std::optional<IoError> error_;
    size_t count_ = 0;  // ranges cut
    uint64_t end_ = 0;  // where the last range cut ends
    bool done_ = false;
};

}  // namespace jorvane::run
