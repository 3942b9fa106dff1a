#include "platform/dispatch/Wait.hpp"

#include "platform/dispatch/DispatchInternal.hpp"

namespace plat {

bool waitFor(std::mutex& m, std::condition_variable& cv, const std::function<bool()>& ready,
             double timeoutSeconds) {
    return detail::executor().wait(m, cv, ready, timeoutSeconds);
}

void notifyWaiters(std::condition_variable& cv) {
    detail::executor().notify(cv);
}

} // namespace plat
