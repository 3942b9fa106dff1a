#include "platform/foundation/Date.hpp"

#include "platform/dispatch/Clock.hpp"

namespace plat {

Date Date::now() {
    return Date(Clock::now());
}

double Date::timeIntervalSinceNow() const {
    return seconds_ - Clock::now();
}

} // namespace plat
