#include "platform/dispatch/Backend.hpp"

#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/Thread.hpp"

#include <atomic>
#include <future>

namespace plat {

void detail::Executor::asyncAndWait(const CorePtr& q, const std::function<void()>& fn) {
    std::promise<void> done;
    auto finished = done.get_future();
    async(q, Task([&] {
              try {
                  fn();
                  done.set_value();
              } catch (...) {
                  done.set_exception(std::current_exception());
              }
          }));
    finished.get();
}

namespace {

struct Selection {
    std::atomic<int> kind{-1};
    std::atomic<bool> used{false};
    std::atomic<std::thread::id> mainThread{};
    std::atomic<detail::Executor*> executor{nullptr}; // fixed at first use
};

Selection& selection() {
    static detail::Immortal<Selection> s;
    return s.get();
}

} // namespace

void Backend::select(BackendKind kind) {
    Selection& s = selection();
    int want = static_cast<int>(kind);
    int was = s.kind.load();
    if (was != -1 && was != want && s.used.load()) {
        detail::fatal("the dispatch backend was chosen after queues were already in use");
    }
    s.kind.store(want);
    s.mainThread.store(std::this_thread::get_id());
    // The thread that selects the backend is the main thread and is running main-queue work.
    auto& stack = detail::frames();
    if (stack.empty()) {
        stack.push_back(detail::Frame{detail::mainCore().get(), true, false});
        ThreadLabels::setCurrent(detail::mainCore()->label.c_str());
        if (kind == BackendKind::virtualTime) {
            std::lock_guard lock(detail::mainCore()->m);
            detail::mainCore()->busy = 1;
        }
    }
}

BackendKind Backend::kind() {
    Selection& s = selection();
    int k = s.kind.load();
    if (k == -1) {
        int expected = -1;
        s.kind.compare_exchange_strong(expected, static_cast<int>(BackendKind::threaded));
        k = s.kind.load();
    }
    return static_cast<BackendKind>(k);
}

std::optional<double> ClockSkip::nextDeadline() {
    return detail::executor().nextTimerDeadline();
}

void ClockSkip::skipTo(double uptime) {
    detail::executor().skipClockTo(uptime);
}

void ClockSkip::skipBy(double seconds) {
    if (seconds > 0) {
        skipTo(detail::executor().uptime() + seconds);
    }
}

double ClockSkip::skipped() {
    return detail::executor().skippedSeconds();
}

namespace detail {

Executor& executor() {
    Selection& s = selection();
    if (Executor* e = s.executor.load(std::memory_order_acquire)) {
        return *e;
    }
    s.used.store(true);
    Executor* chosen = Backend::kind() == BackendKind::virtualTime ? &virtualExecutor() : &threadedExecutor();
    s.executor.store(chosen, std::memory_order_release);
    return *chosen;
}

std::thread::id mainThreadId() {
    return selection().mainThread.load();
}

bool claimMainThread() {
    std::thread::id none{};
    auto self = std::this_thread::get_id();
    selection().mainThread.compare_exchange_strong(none, self);
    return selection().mainThread.load() == self;
}

const CorePtr& mainCore() {
    static Immortal<CorePtr> core(std::make_shared<QueueCore>("main", QueueKind::main, QoS::userInteractive));
    return core.get();
}

} // namespace detail
} // namespace plat
