// write_ndjson() and ndjson_lines(), and the NdjsonLines iterator.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The module functions write_ndjson and ndjson_lines, terminated by an
// empty entry.
PyMethodDef* ndjson_functions();

}  // namespace jorvane::py
