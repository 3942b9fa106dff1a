#include "platform/dispatch/MainLoop.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Thread.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace plat {

void MainLoop::run() {
    detail::executor().runMain();
}

void MainLoop::stop() {
    detail::executor().stopMain();
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
    return detail::executor().runMainUntil(predicate, timeoutSeconds);
}

std::size_t MainLoop::drainOnce() {
    return detail::executor().drainMainOnce();
}

// RunLoop

struct RunLoop::Impl {
    struct Perform {
        std::uint64_t id;
        const void* target;
        std::string key;
        Timer timer;
    };
    mutable std::mutex m;
    std::vector<Perform> performs;
    std::uint64_t nextId = 1;

    void cancelMatching(const void* target, const std::string* key) {
        std::vector<Timer> cancelled;
        {
            std::lock_guard lock(m);
            auto keep = std::stable_partition(performs.begin(), performs.end(), [&](const Perform& p) {
                return !(p.target == target && (!key || p.key == *key));
            });
            for (auto it = keep; it != performs.end(); ++it) {
                cancelled.push_back(it->timer);
            }
            performs.erase(keep, performs.end());
        }
        for (const Timer& t : cancelled) {
            t.cancel();
        }
    }
};

RunLoop::RunLoop(bool isMain) : isMain_(isMain), impl_(std::make_unique<Impl>()) {}
RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
    static detail::Immortal<RunLoop> loop(true);
    return loop.get();
}

RunLoop& RunLoop::current() {
    if (Thread::isMainThread()) {
        return main();
    }
    static detail::Immortal<RunLoop> idle(false);
    return idle.get();
}

void RunLoop::perform(const void* target, std::string key, double delaySeconds, std::function<void()> fn) {
    if (!isMain_) {
        std::fprintf(
            stderr,
            "[device] warning: \"%s\" was scheduled on the run loop of a thread that does not run it; "
            "it will never fire\n",
            key.c_str());
        return;
    }
    std::lock_guard lock(impl_->m);
    std::uint64_t id = impl_->nextId++;
    Impl* impl = impl_.get(); // the main loop is never destroyed
    Timer timer = DispatchQueue::main()->asyncAfter(delaySeconds, [impl, id, fn = std::move(fn)] {
        {
            std::lock_guard inner(impl->m);
            auto it = std::find_if(impl->performs.begin(), impl->performs.end(),
                                   [id](const Impl::Perform& p) { return p.id == id; });
            if (it != impl->performs.end()) {
                impl->performs.erase(it);
            }
        }
        fn();
    });
    impl_->performs.push_back(Impl::Perform{id, target, std::move(key), timer});
}

void RunLoop::cancelPerforms(const void* target) {
    impl_->cancelMatching(target, nullptr);
}

void RunLoop::cancelPerforms(const void* target, const std::string& key) {
    impl_->cancelMatching(target, &key);
}

std::size_t RunLoop::pendingPerforms(const void* target) const {
    std::lock_guard lock(impl_->m);
    return static_cast<std::size_t>(
        std::count_if(impl_->performs.begin(), impl_->performs.end(),
                      [target](const Impl::Perform& p) { return p.target == target; }));
}

// RunLoopTimer

struct RunLoopTimer::State {
    std::mutex m;
    bool valid = true;
    double nextUptime = 0;
    Handler handler;
    Timer pending;
    std::shared_ptr<RunLoopTimer> keepAlive; // the run loop's reference while valid
};

RunLoopTimer::RunLoopTimer(double interval, bool repeats, double tolerance, bool commonModes)
    : interval_(interval > 0 ? interval : 0.0001), repeats_(repeats), tolerance_(tolerance),
      commonModes_(commonModes), state_(std::make_shared<State>()) {}

RunLoopTimer::~RunLoopTimer() = default;

std::shared_ptr<RunLoopTimer> RunLoopTimer::scheduled(double interval, bool repeats, double tolerance,
                                                      Handler fn, bool commonModes) {
    auto timer = std::make_shared<RunLoopTimer>(interval, repeats, tolerance, commonModes);
    {
        std::lock_guard lock(timer->state_->m);
        timer->state_->handler = std::move(fn);
        timer->state_->keepAlive = timer;
        timer->state_->nextUptime = detail::executor().uptime() + timer->interval_;
    }
    timer->arm(timer->interval_);
    return timer;
}

void RunLoopTimer::arm(double delay) {
    std::weak_ptr<RunLoopTimer> weak = weak_from_this();
    Timer t = DispatchQueue::main()->asyncAfter(delay, [weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        Handler handler;
        double next = 0;
        {
            std::lock_guard lock(self->state_->m);
            if (!self->state_->valid) {
                return;
            }
            handler = self->state_->handler;
            if (self->repeats_) {
                // A late fire skips the missed intervals instead of firing in a burst.
                double now = detail::executor().uptime();
                next = self->state_->nextUptime + self->interval_;
                while (next <= now) {
                    next += self->interval_;
                }
                self->state_->nextUptime = next;
            }
        }
        if (self->repeats_) {
            self->arm(next - detail::executor().uptime());
        }
        if (handler) {
            handler(*self);
        }
        if (!self->repeats_) {
            self->invalidate();
        }
    });
    std::lock_guard lock(state_->m);
    if (state_->valid) {
        state_->pending = t;
    } else {
        t.cancel();
    }
}

double RunLoopTimer::fireDate() const {
    std::lock_guard lock(state_->m);
    return state_->nextUptime - detail::executor().uptime() + Clock::now();
}

void RunLoopTimer::invalidate() {
    std::shared_ptr<RunLoopTimer> release;
    Timer pending;
    Handler handler;
    {
        std::lock_guard lock(state_->m);
        state_->valid = false;
        pending = state_->pending;
        release = std::move(state_->keepAlive);
        handler = std::move(state_->handler);
    }
    pending.cancel();
}

bool RunLoopTimer::isValid() const {
    std::lock_guard lock(state_->m);
    return state_->valid;
}

} // namespace plat
