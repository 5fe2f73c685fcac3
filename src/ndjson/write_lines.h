// The write loop of write_ndjson: every line of an emitter, each followed by
// "\n", into a sink, staged in about 1 MiB pieces.
#pragma once

#include <cstdint>

#include "ndjson/emitter.h"
#include "ndjson/sink.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "util/result.h"

namespace jorvane::ndjson {

// Writes every line, then flushes and finishes the sink; gives the number
// of lines. On the first error (of the scan or of the sink) the lines still
// staged are dropped and the sink is left unfinished for the caller to drop
// (see NdjsonSink for what the file then holds). `interrupt` goes to the
// emitter: a stop ends the write as a failed read does.
Result<uint64_t, JorvaneError> write_lines(NdjsonEmitter& emitter, NdjsonSink& sink,
                                           run::Interrupt* interrupt = nullptr);

}  // namespace jorvane::ndjson
