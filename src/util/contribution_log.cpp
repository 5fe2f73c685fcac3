#include "util/contribution_log.h"

#include <algorithm>

namespace jorvane {

void ContributionLog::grow() {
    // Doubling keeps appends amortised constant; the first room fits a
    // thousand small integers.
    bytes_.resize(std::max<size_t>(bytes_.size() * 2, 1024));
}

double ContributionLog::add_onto(double total) const {
    for_each([&](double x) { total += x; });
    return total;
}

double ContributionLog::multiply_onto(double total) const {
    for_each([&](double x) { total *= x; });
    return total;
}

}  // namespace jorvane
