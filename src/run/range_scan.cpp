// A range of sequential input keeps a margin of the bytes around it, so the
// context of an error near a range's edge is put together from the
// ranges the stretch scanned last; a file's is read from the file.
#include "run/range_scan.h"

#include <algorithm>
#include <string>
#include <utility>

#include "source/mapped_file.h"
#include "util/text.h"

namespace jorvane::run {
namespace {

// The error as one engine scanning the whole input reports it: its offset,
// and the context taken from the grid buffer that held `buffer_start` (the
// scan met the error in that buffer). `recent` are the ranges of sequential
// input the stretch scanned last, the current one last.
engine::ParseError locate(engine::ParseError e, uint64_t base, uint64_t buffer_start, const std::deque<Range>& recent,
                          const RangeInput& in) {
    e.offset += base;
    const uint64_t g0 = buffer_start - buffer_start % in.grid;
    uint64_t g1 = g0 + in.grid;
    if (!in.file) {
        // The bytes the context shows, as far as the recent ranges and
        // their margins reach (they reach back past the grid buffer's start).
        if (recent.empty()) return e;
        uint64_t a = g0, b = std::min<uint64_t>(g1, g0 + 64);
        if (e.offset >= g0) {
            a = std::max<uint64_t>(g0, e.offset >= 64 ? e.offset - 64 : 0);
            b = std::min<uint64_t>(g1, e.offset + 64);
        }
        const Range& first = recent.front();
        const Range& last = recent.back();
        a = std::clamp(a, first.begin - first.copy->before.size(), last.end + last.copy->after.size());
        b = std::clamp(b, a, last.end + last.copy->after.size());
        std::string shown;
        for (uint64_t i = a; i < b; ++i) {
            uint8_t byte = 0;
            if (i < first.begin) {
                byte = first.copy->before[first.copy->before.size() - static_cast<size_t>(first.begin - i)];
            } else if (i >= last.end) {
                byte = last.copy->after[static_cast<size_t>(i - last.end)];
            } else {
                for (const Range& r : recent)
                    if (i >= r.begin && i < r.end) byte = r.copy->bytes[static_cast<size_t>(i - r.begin)];
            }
            shown.push_back(static_cast<char>(byte));
        }
        e.context = lossy_utf8(shown);
        return e;
    }
    auto size = in.file->size();
    if (!size) return e;
    g1 = std::min<uint64_t>(g1, *size);
    if (g1 <= g0) return e;
    std::vector<uint8_t> spare;
    auto w = in.file->window(g0, static_cast<size_t>(g1 - g0), spare);
    if (!w) return e;
    e.context = engine::make_parse_error(e.kind, e.offset, g0, w->bytes()).context;
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
    if (range.copy) {
        stretch.recent.push_back(range);
        while (stretch.recent.size() > 1 && stretch.recent[1].begin + in.grid + kRangeMargin < range.begin)
            stretch.recent.pop_front();
    }
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
            stretch.error = locate(std::move(*scan.error), stretch.begin, pos, stretch.recent, in);
            return;
        }
        pos = next;
        stretch.end = pos;
    }
    stretch.top_level = stretch.engine->at_top_level();
}

}  // namespace jorvane::run
