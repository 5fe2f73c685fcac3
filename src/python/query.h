// The Python class Query: checks its arguments, resolves and opens the
// sources, runs every query over every source in one pass per source (on the
// calling thread for one source, on worker threads for several), delivers
// into= values, and keeps per source either its QueryResult objects or the
// failure that `result()` raises again.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The Query type object (created on first use, kept for the process).
PyObject* query_type();

}  // namespace jorvane::py
