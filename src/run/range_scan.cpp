// An error's context is what one engine scanning the whole input shows: the
// input from 64 bytes before the error to 64 bytes from it on. A file's is
// read from the file. For sequential input the stretch's engine holds what
// it scanned around the error; the bytes before the stretch come from the
// margin of the range it began with, and those after the error's buffer from
// the rest of the range and the margin after it.
#include "run/range_scan.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "source/mapped_file.h"

namespace jorvane::run {
namespace {

// The error as one engine scanning the whole input reports it: the engine's
// offset (from the stretch's start `base`) made absolute, with its context.
// `range` is the range being scanned.
engine::ParseError locate(engine::ParseError e, const Stretch& stretch, const Range& range, const RangeInput& in) {
    e.offset += stretch.begin;
    e.near.at += stretch.begin;
    e.near_open = false;
    if (!in.file) {
        const std::string held = std::move(e.near.bytes);
        const RangeBytes& now = *range.copy;
        const std::array<engine::KnownBytes, 4> pieces{
            engine::KnownBytes::of(e.near.at, held),
            engine::KnownBytes{stretch.begin - stretch.before.size(), stretch.before},
            engine::KnownBytes{range.begin, now.bytes},
            engine::KnownBytes{range.end, now.after},
        };
        e.near = engine::gather_near(e.offset, pieces);
        return e;
    }
    auto size = in.file->size();
    if (!size) return e;
    const uint64_t from = std::min(engine::near_begin(e.offset), *size);
    const uint64_t to = std::min(engine::near_end(e.offset), *size);
    if (to <= from) return e;
    std::vector<uint8_t> spare;
    auto w = in.file->read_window(from, static_cast<size_t>(to - from), spare);
    if (!w) return e;
    const ByteView bytes = w->bytes();
    e.near = engine::NearBytes{from, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())};
    return e;
}

}  // namespace

void scan_range(Stretch& stretch, const RangeInput& in, const Range& range, std::vector<uint8_t>& spare,
                const std::atomic<bool>& cancel, const AfterBuffer& after) {
    const uint64_t from = range.begin;
    const uint64_t to = range.end;
    if (!range.copy) {
        auto size = in.file->size();
        if (!size) {
            stretch.read_error = std::move(size.error());
            return;
        }
        if (*size < to) {
            stretch.read_error = file_shrank();
            return;
        }
    }
    if (range.copy && from == stretch.begin) stretch.before = range.copy->before;
    // A stretch that begins after a cut does not begin the input: a
    // byte-order mark or a compressed format's magic there is a stray byte,
    // as one engine finds it.
    if (from == stretch.begin && from != 0) stretch.engine->begin_inside_source();
    uint64_t pos = from;
    while (pos < to) {
        if (cancel.load(std::memory_order_relaxed)) {
            stretch.cancelled = true;
            return;
        }
        const uint64_t next = std::min<uint64_t>(to, (pos / in.grid + 1) * in.grid);
        const size_t len = static_cast<size_t>(next - pos);
        FileWindow window;
        ByteView bytes;
        if (range.copy) {
            bytes = ByteView(range.copy->bytes.data() + (pos - range.begin), len);
        } else {
            // Read, not mapped: every mapping and unmapping takes the
            // process's address-space lock and interrupts each core that runs
            // one of its threads, so walkers that map their buffers spend
            // much of their time waiting on one another, while a read copies
            // from the page cache on the walker's own core.
            auto w = in.file->read_window(pos, len, spare);
            if (!w) {
                stretch.read_error = std::move(w.error());
                return;
            }
            window = std::move(*w);
            bytes = window.bytes();
            if (bytes.size() < len) {
                stretch.read_error = file_shrank();
                return;
            }
        }
        engine::BufferScan scan = stretch.engine->scan_buffer(bytes);
        if (after && !after(next, scan) && !scan.error) {
            stretch.end = next;
            stretch.stopped = true;
            return;
        }
        if (scan.error) {
            stretch.error = locate(std::move(*scan.error), stretch, range, in);
            return;
        }
        pos = next;
        stretch.end = pos;
    }
    stretch.top_level = stretch.engine->at_top_level();
}

}  // namespace jorvane::run
