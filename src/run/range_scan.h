// One engine's scan over consecutive ranges of the input, as a walker or the
// merge runs it: buffers cut on the grid a one-engine scan of the whole input
// uses, so that an error is found at the same offset, with the same context,
// as that scan would report.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "engine/parse_error.h"
#include "run/range_cutter.h"
#include "source/io_error.h"

namespace jorvane {
class MappedFile;
}

namespace jorvane::run {

// What a scan of ranges reads besides the ranges.
struct RangeInput {
    const MappedFile* file;  // null: ranges are copies of sequential input
    size_t grid;             // the one-engine scan's buffer length
};

// A stretch: one engine's scan over consecutive bytes of the input, a range
// and then perhaps the ranges after it that did not start at top level.
struct Stretch {
    uint64_t begin = 0;  // the input offset of the engine's first byte
    uint64_t end = 0;    // scanned up to here
    Range range;         // the range it started with
    std::unique_ptr<engine::Engine> engine;  // null: the walker failed
    std::optional<engine::ParseError> error;
    std::optional<IoError> read_error;
    // Sequential input: the bytes just before `begin`, from the margin of
    // the range the stretch began with (an error's context reaches them).
    std::vector<uint8_t> before;
    bool top_level = false;
    bool cancelled = false;
    // The caller's per-buffer step asked to stop here.
    bool stopped = false;

    bool ended() const { return error || read_error || cancelled || stopped; }
};

// Called after each buffer of a range the scan trusts (with an error, the
// buffer that held it) with the buffer's end offset in the input and what
// its scan did; false stops the stretch there.
using AfterBuffer = std::function<bool(uint64_t end, const engine::BufferScan& scan)>;

// Scans `range` with the stretch's engine, in buffers on the grid, and
// records whether the stretch then ends at top level. Stops at an error
// (located as a one-engine scan reports it), a read failure, or when
// `cancel` is raised. `spare` is scratch space for file windows; `after`, if
// set, sees every buffer scanned.
void scan_range(Stretch& stretch, const RangeInput& in, const Range& range, std::vector<uint8_t>& spare,
                const std::atomic<bool>& cancel, const AfterBuffer& after = {});

}  // namespace jorvane::run
