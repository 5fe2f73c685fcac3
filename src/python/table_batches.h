// table_batches() and the TableBatches iterator it returns: one Table per
// batch of rows, read only when the caller asks for the next one.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The module function table_batches.
PyMethodDef* table_batches_function();

}  // namespace jorvane::py
