#pragma once
// Every clock read of the system goes through here, so the virtual backend can move time for tests.

#include <cstdint>

namespace plat {

class Clock {
public:
    // Wall time, seconds since 1970 (CLOCK_REALTIME, or the virtual wall clock).
    static double now();
    // Seconds since boot (CLOCK_BOOTTIME, or virtual uptime); -1 when unknown.
    static double uptime();
    // A monotonic counter for measuring durations; follows virtual time under the virtual backend.
    static std::int64_t monotonicNanos();
};

} // namespace plat
