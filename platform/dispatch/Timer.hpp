#pragma once
// A handle on one delayed work item (asyncAfter, asyncAt); cancel() from any thread stops it from
// running unless it has already begun.

#include <memory>

namespace plat {

namespace detail {
struct TimerState;
}

class Timer {
public:
    Timer() = default;
    explicit Timer(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}

    void cancel() const;
    bool isCancelled() const;
    // True while the work has neither run nor been cancelled.
    bool isPending() const;
    explicit operator bool() const { return state_ != nullptr; }

private:
    std::shared_ptr<detail::TimerState> state_;
};

} // namespace plat
