// The facts of an input that decide whether one source is cut into ranges
// (SplitFacts::input and size): how its source hands the input out. They are
// known before the source is opened, from what opening it will build, and
// once it is open, from the source itself. A run's mode is chosen from the
// first and its ranges are cut by the second, so the two must agree.
#pragma once

#include <string>

#include "run/run_policy.h"
#include "source/compression.h"
#include "source/source.h"

namespace jorvane::run {

// The facts of the input `source` reads: no buffer grid (Other), a plain
// file mapped in place (PlainFile, with its size), or buffers on a grid read
// in order (Sequential). The other fields of `facts` are kept.
SplitFacts input_facts(const Source& source, SplitFacts facts = {});

// The same facts of the file `path` before open_file_source opens it with
// `compression`.
SplitFacts file_input_facts(const std::string& path, Compression compression, SplitFacts facts = {});

// The same facts of bytes in memory before open_bytes_source opens them with
// `compression`.
SplitFacts bytes_input_facts(Compression compression, SplitFacts facts = {});

}  // namespace jorvane::run
