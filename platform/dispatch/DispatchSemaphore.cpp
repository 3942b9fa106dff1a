#include "platform/dispatch/DispatchSemaphore.hpp"

#include "platform/dispatch/DispatchInternal.hpp"

namespace plat {

struct DispatchSemaphore::State {
    std::mutex m;
    std::condition_variable cv;
    long value;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) {
    state_->value = value;
}

void DispatchSemaphore::signal() const {
    {
        std::lock_guard lock(state_->m);
        ++state_->value;
    }
    detail::executor().notify(state_->cv);
}

bool DispatchSemaphore::wait(double timeoutSeconds) const {
    State& s = *state_;
    return detail::executor().wait(
        s.m, s.cv,
        [&s] {
            if (s.value > 0) {
                --s.value;
                return true;
            }
            return false;
        },
        timeoutSeconds);
}

} // namespace plat
