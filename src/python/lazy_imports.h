// Python objects imported on first use and kept for the life of the process:
// the classes decimal.Decimal and decimal.InvalidOperation and the module
// jorvane._errors. A failed import
// is raised to the caller and tried again on the next use. Optional packages
// are imported through import_or_refuse, which says what the call needs.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// A new reference to decimal.Decimal, or null with the import's exception set.
Ref decimal_ctor();
// A new reference to decimal.InvalidOperation, or null with the import's
// exception set.
Ref decimal_invalid_operation();
// A new reference to the module jorvane._errors, or null with the import's
// exception set.
Ref errors_module();
// The module `name`, or null with ImportError(`refusal`) set when it cannot
// be imported (the import's own exception is dropped).
Ref import_or_refuse(const char* name, const char* refusal);

}  // namespace jorvane::py
