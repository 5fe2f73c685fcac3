// Typed table columns as Python objects: numpy arrays for the numeric kinds
// that have one (one bulk copy, no object per cell), Python lists otherwise.
#pragma once

#include <cstdint>
#include <span>

#include "python/py.h"
#include "table/column.h"

namespace jorvane::py {

// The column as a numpy array or a list (lists only when numpy is not
// installed). Null with an exception set on failure, a failed import of an
// installed numpy included. The column is not changed.
Ref column_to_py(const table::Column& column, bool use_float);
// The same from a column the caller gives up: memory it holds may go before
// all the Python objects are made (a column of lists of strings frees its
// texts before it makes its lists).
Ref column_to_py(table::Column&& column, bool use_float);

// numpy.frombuffer over a bytearray copy of `bytes`, with `dtype`. Null with
// the exception set when numpy is missing or the call fails.
Ref numeric_array(std::span<const uint8_t> bytes, const char* dtype);

template <class T>
Ref numeric_array_of(const std::vector<T>& values, const char* dtype) {
    return numeric_array(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(values.data()),
                                                  values.size() * sizeof(T)),
                         dtype);
}

// One int per value, None where the row is missing.
Ref nullable_to_list(const table::Nullable<int64_t>& column);

}  // namespace jorvane::py
