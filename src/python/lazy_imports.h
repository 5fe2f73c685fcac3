// Python objects imported on first use and kept for the life of the process:
// the classes decimal.Decimal and decimal.InvalidOperation and the module
// jorvane._errors. A failed import
// is raised to the caller and tried again on the next use. Optional packages
// are imported through import_optional or import_or_refuse: only a package
// that is not installed is answered as such; any other failure of its import
// (an ImportError from inside an installed package, a KeyboardInterrupt) is
// raised as it is.
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
// Whether the exception being raised is the ModuleNotFoundError of the
// module `name` itself or of a package it sits in ("pyarrow" for
// "pyarrow.parquet"): that module is not installed. A module missing from
// inside an installed package is no such answer.
bool not_installed(const char* name);
// The module `name` of an optional package. Null with no exception set when
// it is not installed; null with the import's own exception set when the
// import failed for any other reason.
Ref import_optional(const char* name);
// The module `name`, or null with ImportError(`refusal`) set when it is not
// installed; any other failure of the import is raised as it is.
Ref import_or_refuse(const char* name, const char* refusal);

}  // namespace jorvane::py
