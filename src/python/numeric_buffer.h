// NumericBuffer: the floats a numeric=True into= binding gathered, handed to
// Python as one bytes object of native-endian doubles (which array libraries
// can wrap without another copy) plus the count of non-numeric values skipped.
#pragma once

#include <cstdint>
#include <vector>

#include "python/py.h"

namespace jorvane::py {

struct NumericBufferData {
    Ref buffer;  // bytes, 8 per value
    uint64_t skipped = 0;
    uint64_t len = 0;
};

// The NumericBuffer type object (created on first use, kept for the process).
PyObject* numeric_buffer_type();

// A new NumericBuffer holding `values` (one copy into a bytes object).
Ref make_numeric_buffer(const std::vector<double>& values, uint64_t skipped);

}  // namespace jorvane::py
