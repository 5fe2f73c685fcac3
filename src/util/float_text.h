// Floats as the text forms of reprs show them.
#pragma once

#include <string>

namespace jorvane {

// The shortest decimal text that reads back as the same double, written
// without an exponent and without a trailing ".0" (2.0 -> "2", 1e21 -> "1"
// followed by 21 zeros, 1e-7 -> "0.0000001"); NaN -> "NaN", infinities ->
// "inf" and "-inf".
std::string float_text(double v);

}  // namespace jorvane
