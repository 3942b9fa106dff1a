#include "platform/dispatch/Once.hpp"

namespace plat {

void ResettableOnce::call(const std::function<void()>& fn) {
    std::lock_guard lock(mutex_);
    if (done_) {
        return;
    }
    fn();
    done_ = true;
}

void ResettableOnce::reset() {
    std::lock_guard lock(mutex_);
    done_ = false;
}

bool ResettableOnce::hasRun() const {
    std::lock_guard lock(mutex_);
    return done_;
}

} // namespace plat
