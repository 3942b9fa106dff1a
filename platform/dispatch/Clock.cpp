#include "platform/dispatch/Clock.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchInternal.hpp"

#include <ctime>

namespace plat {

double Clock::now() {
    return detail::executor().wallNow();
}

double Clock::uptime() {
    return detail::executor().reportedUptime();
}

std::int64_t Clock::monotonicNanos() {
    if (Backend::isVirtual()) {
        return static_cast<std::int64_t>(Virtual::uptime() * 1e9);
    }
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec +
           static_cast<std::int64_t>(detail::executor().skippedSeconds() * 1e9);
}

} // namespace plat
