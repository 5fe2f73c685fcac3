// The write loop of write_ndjson: every line of an emitter, each followed by
// "\n", into the output file, staged in about 1 MiB pieces.
#pragma once

#include <cstdint>

#include "ndjson/emitter.h"
#include "ndjson/output_file.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "util/result.h"

namespace jorvane::ndjson {

// Writes every line, then flushes and finishes the file; gives the number
// of lines. On the first error (of the scan or of the file) the lines still
// staged are dropped and the file is left unfinished for the caller to drop
// (see OutputFile for what the file then holds). `interrupt` goes to the
// emitter: a stop ends the write as a failed read does.
Result<uint64_t, JorvaneError> write_lines(NdjsonEmitter& emitter, OutputFile& file,
                                           run::Interrupt* interrupt = nullptr);

}  // namespace jorvane::ndjson
