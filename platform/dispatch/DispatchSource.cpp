#include "platform/dispatch/DispatchSource.hpp"

#include "platform/dispatch/DispatchInternal.hpp"

namespace plat {

struct DispatchSource::State : std::enable_shared_from_this<DispatchSource::State> {
    std::mutex m;
    DispatchQueuePtr queue;
    std::function<void()> handler;
    double start = 0;
    double interval = 0;
    double leeway = 0;
    bool configured = false;
    bool resumed = false;
    bool cancelled = false;
    double nextUptime = 0;
    std::uint64_t generation = 0; // a new setTimer makes fires scheduled under the old one stale
    Timer pending;

    // Called with m held.
    void armLocked(double delay) {
        std::uint64_t gen = generation;
        auto self = shared_from_this(); // an armed source stays alive until it fires or is cancelled
        pending = queue->asyncAfter(delay, [self, gen] { self->fire(gen); });
    }

    void fire(std::uint64_t gen) {
        std::function<void()> fn;
        {
            std::lock_guard lock(m);
            if (cancelled || gen != generation) {
                return;
            }
            fn = handler;
            if (interval > 0) {
                double now = detail::executor().uptime();
                double next = nextUptime + interval;
                while (next <= now) {
                    next += interval;
                }
                nextUptime = next;
                armLocked(next - now);
            }
        }
        if (fn) {
            fn();
        }
    }
};

DispatchSource::DispatchSource(DispatchQueuePtr queue) : state_(std::make_shared<State>()) {
    state_->queue = std::move(queue);
}

// Dropping the last handle stops the timer, so a forgotten source cannot fire forever.
DispatchSource::~DispatchSource() {
    cancel();
}

std::shared_ptr<DispatchSource> DispatchSource::timer(DispatchQueuePtr queue) {
    return std::make_shared<DispatchSource>(std::move(queue));
}

void DispatchSource::setTimer(double startSeconds, double intervalSeconds, double leewaySeconds) {
    Timer old;
    {
        std::lock_guard lock(state_->m);
        state_->start = startSeconds > 0 ? startSeconds : 0;
        state_->interval = intervalSeconds;
        state_->leeway = leewaySeconds;
        state_->configured = true;
        ++state_->generation;
        old = state_->pending;
        if (state_->resumed && !state_->cancelled) {
            state_->nextUptime = detail::executor().uptime() + state_->start;
            state_->armLocked(state_->start);
        }
    }
    old.cancel();
}

void DispatchSource::setEventHandler(std::function<void()> fn) {
    std::lock_guard lock(state_->m);
    state_->handler = std::move(fn);
}

void DispatchSource::resume() {
    std::lock_guard lock(state_->m);
    if (state_->resumed || state_->cancelled) {
        return;
    }
    state_->resumed = true;
    if (state_->configured) {
        state_->nextUptime = detail::executor().uptime() + state_->start;
        state_->armLocked(state_->start);
    }
}

void DispatchSource::cancel() {
    Timer pending;
    std::function<void()> handler;
    {
        std::lock_guard lock(state_->m);
        state_->cancelled = true;
        pending = state_->pending;
        handler = std::move(state_->handler);
    }
    pending.cancel();
}

bool DispatchSource::isCancelled() const {
    std::lock_guard lock(state_->m);
    return state_->cancelled;
}

} // namespace plat
