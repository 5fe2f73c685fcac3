// Interrupt: how a scan that reads many buffers before it returns lets its
// caller end it early. The scan asks before it reads each buffer; when the
// caller says stop, the scan ends as if that read had failed, so it is left
// exactly where it was (nothing of the next buffer was taken) and a scan that
// can be resumed after a failed read can be resumed after an interrupt too.
// The caller knows why it asked to stop and reports that itself. (The
// one-source scan, scan_source, takes its observer's interrupt as an early
// stop instead: the scan ends there and reports how far it got.)
#pragma once

#include <cstdint>

#include "run/jorvane_error.h"
#include "source/io_error.h"

namespace jorvane::run {

class Interrupt {
public:
    virtual ~Interrupt() = default;
    // Asked on the scanning thread before each buffer is read; true ends
    // the scan there. Called once per buffer, so it must be cheap.
    virtual bool requested() = 0;
};

// The error of a scan ended by its caller: a read of source `source_index`
// that was interrupted.
inline JorvaneError interrupted_read(uint64_t source_index = 0) {
    return JorvaneError::read(IoError::simple(IoErrorKind::Interrupted), source_index);
}

// Whether the caller of a scan wants it to end now (no interrupt: never).
inline bool interrupt_requested(Interrupt* interrupt) { return interrupt != nullptr && interrupt->requested(); }

}  // namespace jorvane::run
