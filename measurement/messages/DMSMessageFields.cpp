#include "measurement/messages/DMSMessageFields.hpp"

#include <cmath>
#include <limits>

int64_t DMSMillisecondsFromSeconds(double seconds) {
    double millis = seconds * 1000;
    if (std::isnan(millis)) {
        return 0;
    }
    // 2^63 is exactly representable; everything at or above it (and at or below -2^63) saturates.
    constexpr double kLimit = 9223372036854775808.0;
    if (millis >= kLimit) {
        return std::numeric_limits<int64_t>::max();
    }
    if (millis <= -kLimit) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(millis);
}
