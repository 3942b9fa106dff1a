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
    // The waiter may return, and drop the last copy of the semaphore, as soon as the count moves; the
    // notification below must not touch a condition variable that is already gone.
    const std::shared_ptr<State> state = state_;
    {
        std::lock_guard lock(state->m);
        ++state->value;
    }
    detail::executor().notify(state->cv);
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
