#include "python/float_text.h"

#include <charconv>
#include <cmath>

namespace jorvane::py {

std::string float_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Fixed notation of the shortest round-trip digits: at most ~330 chars
    // (the smallest subnormal has 324 leading fraction digits).
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    if (ec != std::errc()) return "NaN";
    return std::string(buf, end);
}

}  // namespace jorvane::py
