#include "platform/dispatch/DispatchGroup.hpp"

#include "platform/dispatch/DispatchInternal.hpp"

#include <utility>
#include <vector>

namespace plat {

struct DispatchGroup::State {
    std::mutex m;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<DispatchQueuePtr, std::function<void()>>> notifies;

    void leave() {
        std::vector<std::pair<DispatchQueuePtr, std::function<void()>>> due;
        {
            std::lock_guard lock(m);
            if (count == 0) {
                detail::fatal("DispatchGroup::leave without a matching enter");
            }
            if (--count == 0) {
                due.swap(notifies);
            }
        }
        for (auto& [queue, fn] : due) {
            queue->async(std::move(fn));
        }
        detail::executor().notify(cv);
    }
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
    std::lock_guard lock(state_->m);
    ++state_->count;
}

void DispatchGroup::leave() {
    state_->leave();
}

void DispatchGroup::async(const DispatchQueuePtr& queue, std::function<void()> fn) {
    enter();
    queue->async([state = state_, fn = std::move(fn)] {
        struct Leave {
            State& s;
            ~Leave() { s.leave(); }
        } leave{*state};
        fn();
    });
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, std::function<void()> fn) {
    {
        std::lock_guard lock(state_->m);
        if (state_->count > 0) {
            state_->notifies.emplace_back(queue, std::move(fn));
            return;
        }
    }
    queue->async(std::move(fn));
}

bool DispatchGroup::wait(double timeoutSeconds) const {
    State& s = *state_;
    return detail::executor().wait(
        s.m, s.cv, [&s] { return s.count == 0; }, timeoutSeconds);
}

} // namespace plat
