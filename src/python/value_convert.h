// The one conversion of an engine Value into a Python object.
#pragma once

#include "engine/values/value.h"
#include "python/py.h"

namespace jorvane::py {

// null -> None, booleans -> bool, integers -> exact int, other numbers ->
// decimal.Decimal of the literal (or float with use_float; an exponent beyond
// Decimal's reach gives the limit a float reading takes, whatever the
// caller's decimal context, whose flags stay untouched), strings -> str,
// arrays -> list, objects -> dict (a repeated key keeps its first position and
// its last value). Null with an exception set on failure.
Ref value_to_py(const engine::Value& value, bool use_float);

}  // namespace jorvane::py
