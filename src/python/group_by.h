// group_by(): grouped aggregation over one source, returned as a Table.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The module function group_by.
PyMethodDef* group_by_function();

}  // namespace jorvane::py
