// The shortest round-trip digits come from std::to_chars in scientific form
// (d.ddddde±x); they are then laid out without an exponent, padding with
// zeros on either side as the exponent requires.
#include "util/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace jorvane {

std::string float_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    if (ec != std::errc()) return "NaN";
    std::string_view sci(buf, static_cast<size_t>(end - buf));
    std::string out;
    if (!sci.empty() && sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    // Value = 0.digits * 10^(exponent + 1): `point` digits go before the point.
    const long point = static_cast<long>(exponent) + 1;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out += '.';
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

}  // namespace jorvane
