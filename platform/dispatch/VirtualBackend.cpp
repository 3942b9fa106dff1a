// The test backend: one scheduler on the main thread runs every queue's work in submission order,
// keeping each serial queue's FIFO and suspension, with a virtual clock that only moves when asked
// (or when a wait would otherwise block until its deadline).

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/Thread.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace plat::detail {
namespace {

// How long a wait with nothing left to run blocks for work from real threads before it is reported.
constexpr double kStallSeconds = 30.0;

class VirtualExecutor final : public Executor {
public:
    VirtualExecutor() {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        wallOffset_ = static_cast<double>(ts.tv_sec) - uptime_;
    }

    void async(const CorePtr& q, Task&& fn) override {
        std::lock_guard lock(m_);
        {
            std::lock_guard ql(q->m);
            q->items.push_back({std::move(fn), ++seq_});
            if (!q->listed) {
                q->listed = true;
                listed_.push_back(q);
            }
        }
        ++generation_;
        cv_.notify_all();
    }

    void sync(const CorePtr& q, const std::function<void()>& fn) override {
        if (!onDriver()) {
            syncFromRealThread(q, fn);
            return;
        }
        if (q->kind == QueueKind::global) {
            FrameScope scope(q.get(), false, true);
            fn();
            return;
        }
        checkSyncTarget(*q);
        std::uint64_t mine;
        {
            std::lock_guard lock(m_);
            mine = ++seq_;
        }
        // Earlier work of q runs first (and whatever else is ready meanwhile); later work waits for fn.
        waitOnDriver(
            [&] {
                std::lock_guard ql(q->m);
                return q->suspendCount == 0 && q->busy == 0 &&
                       (q->items.empty() || q->items.front().seq > mine);
            },
            kWaitForever, "sync onto queue \"" + q->label + "\"");
        {
            std::lock_guard ql(q->m);
            ++q->busy;
        }
        struct Unbusy {
            QueueCore& q;
            ~Unbusy() {
                std::lock_guard ql(q.m);
                --q.busy;
            }
        } unbusy{*q};
        // Work synced onto the main queue runs on the main thread, not on the caller's.
        FrameScope scope(q.get(), true, q->kind != QueueKind::main);
        fn();
    }

    void resumed(const CorePtr&) override { wake(); }
    void released(const CorePtr&) override {}

    void addTimer(const std::shared_ptr<TimerState>& t) override {
        std::lock_guard lock(m_);
        t->seq = ++seq_;
        timers_.push_back(t);
        ++generation_;
        cv_.notify_all();
    }

    bool wait(std::mutex& m, std::condition_variable& cv, const std::function<bool()>& tryUnderLock,
              double timeoutSeconds) override {
        if (!onDriver()) {
            std::unique_lock lock(m);
            if (timeoutSeconds == kWaitForever) {
                cv.wait(lock, tryUnderLock);
                return true;
            }
            return cv.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                               tryUnderLock);
        }
        return waitOnDriver(
            [&] {
                std::lock_guard lock(m);
                return tryUnderLock();
            },
            timeoutSeconds, "wait");
    }

    void notify(std::condition_variable& cv) override {
        cv.notify_all();
        wake();
    }

    double uptime() override { return currentUptime(); }
    double reportedUptime() override {
        std::lock_guard lock(m_);
        return uptimeUnknown_ ? -1 : uptime_;
    }
    double wallNow() override {
        std::lock_guard lock(m_);
        return uptime_ + wallOffset_;
    }

    bool isMainThread() override {
        if (!onDriver()) {
            return false;
        }
        // Work of other queues stands for other threads; work entered through sync stays on the caller's.
        const auto& f = frames();
        for (auto it = f.rbegin(); it != f.rend(); ++it) {
            if (!it->viaSync) {
                return it->queue->kind == QueueKind::main;
            }
        }
        return true;
    }

    void runMain() override {
        requireDriver("MainLoop::run");
        DriveScope drive;
        for (;;) {
            if (stop_.exchange(false)) {
                return;
            }
            std::uint64_t seen = generation();
            if (runOne() || awaitExternal(seen) || fireNext(kWaitForever)) {
                continue;
            }
            if (stop_.exchange(false)) {
                return;
            }
            blockForRealWork(seen, "MainLoop::run with no work and no timers");
        }
    }

    void stopMain() override {
        stop_.store(true);
        wake();
    }

    bool runMainUntil(const std::function<bool()>& predicate, double timeoutSeconds) override {
        requireDriver("MainLoop::runUntil");
        DriveScope drive;
        double deadline = timeoutSeconds == kWaitForever ? kWaitForever : currentUptime() + timeoutSeconds;
        return driveUntil(predicate, deadline,
                          [] { return "MainLoop::runUntil with no work and no timers"; });
    }

    std::size_t drainMainOnce() override {
        requireDriver("MainLoop::drainOnce");
        DriveScope drive;
        std::size_t n = 0;
        {
            std::lock_guard lock(m_);
            for (const auto& q : listed_) {
                std::lock_guard ql(q->m);
                n += q->items.size();
            }
        }
        std::size_t ran = 0;
        while (ran < n && runOne()) {
            ++ran;
        }
        return ran;
    }

    // Public controls.

    std::size_t runUntilIdle() {
        requireDriver("Virtual::runUntilIdle");
        DriveScope drive;
        std::size_t ran = 0;
        while (runOne()) {
            ++ran;
        }
        return ran;
    }

    void advanceTo(double target) {
        requireDriver("Virtual::advanceTo");
        DriveScope drive;
        for (;;) {
            while (runOne()) {
            }
            if (!fireNext(target)) {
                break;
            }
        }
        moveTo(target);
        while (runOne()) {
        }
    }

    double currentUptime() {
        std::lock_guard lock(m_);
        return uptime_;
    }

    std::vector<PendingTimer> pendingTimers() {
        std::vector<std::pair<std::pair<double, std::uint64_t>, PendingTimer>> found;
        {
            std::lock_guard lock(m_);
            for (const auto& t : timers_) {
                std::lock_guard tl(t->m);
                if (t->cancelled || t->done) {
                    continue;
                }
                double at = effectiveDeadline(*t);
                found.push_back({{at, t->seq}, PendingTimer{t->queue->label(), at}});
            }
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<PendingTimer> out;
        for (auto& f : found) {
            out.push_back(std::move(f.second));
        }
        return out;
    }

    bool runUntilReal(const std::function<bool()>& predicate, double realTimeoutSeconds) {
        requireDriver("Virtual::runUntil");
        DriveScope drive;
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(realTimeoutSeconds));
        for (;;) {
            std::uint64_t seen;
            {
                std::lock_guard lock(m_);
                seen = generation_;
            }
            while (runOne()) {
            }
            if (predicate()) {
                return true;
            }
            std::unique_lock lock(m_);
            if (!cv_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
                lock.unlock();
                return predicate();
            }
        }
    }

    void setWall(double wall) {
        {
            std::lock_guard lock(m_);
            wallOffset_ = wall - uptime_;
        }
        // Wall-deadline timers the jump made due are queued now, in deadline order.
        while (fireNext(currentUptime())) {
        }
    }

    std::optional<double> nextTimerDeadline() override {
        auto pending = pendingTimers();
        return pending.empty() ? std::nullopt : std::optional<double>(pending.front().deadline);
    }

    // Unlike advanceTo, runs nothing: the timers made due wait on their queues for the loop that runs them.
    void skipClockTo(double target) override {
        while (fireNext(target)) {
        }
        moveTo(target);
    }

    void setUptimeUnknown() {
        std::lock_guard lock(m_);
        uptimeUnknown_ = true;
    }

    bool onDriver() const { return std::this_thread::get_id() == mainThreadId(); }

private:
    // While the main loop is driven from main-queue work (a test body or a main-queue task), the main
    // queue is free to run its other work.
    class DriveScope {
    public:
        DriveScope() {
            auto& f = frames();
            if (!f.empty() && f.back().queue == mainCore().get() && f.back().held) {
                index_ = f.size() - 1;
                f.back().held = false;
                std::lock_guard ql(mainCore()->m);
                --mainCore()->busy;
            }
        }
        ~DriveScope() {
            if (index_ != kNone) {
                frames()[index_].held = true;
                std::lock_guard ql(mainCore()->m);
                ++mainCore()->busy;
            }
        }
        DriveScope(const DriveScope&) = delete;
        DriveScope& operator=(const DriveScope&) = delete;

    private:
        static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
        std::size_t index_ = kNone; // frames may reallocate while work runs
    };

    void requireDriver(const char* what) const {
        if (!onDriver()) {
            fatal(std::string(what) + " called off the main thread of the virtual backend");
        }
    }

    void wake() {
        std::lock_guard lock(m_);
        ++generation_;
        cv_.notify_all();
    }

    double effectiveDeadline(const TimerState& t) const {
        return t.wall ? t.deadline - wallOffset_ : t.deadline;
    }

    // Runs the earliest submitted work item whose queue may run now.
    bool runOne() {
        CorePtr best;
        Task fn;
        {
            std::lock_guard lock(m_);
            std::uint64_t bestSeq = UINT64_MAX;
            for (auto it = listed_.begin(); it != listed_.end();) {
                // Unlisting may drop the last reference to a released queue while its mutex is held.
                CorePtr keep = *it;
                QueueCore& q = *keep;
                std::lock_guard ql(q.m);
                if (q.items.empty()) {
                    q.listed = false;
                    it = listed_.erase(it);
                    continue;
                }
                bool eligible = q.kind == QueueKind::global || (q.suspendCount == 0 && q.busy == 0);
                if (eligible && q.items.front().seq < bestSeq) {
                    bestSeq = q.items.front().seq;
                    best = *it;
                }
                ++it;
            }
            if (!best) {
                return false;
            }
            std::lock_guard ql(best->m);
            fn = std::move(best->items.front().fn);
            best->items.pop_front();
            if (best->kind != QueueKind::global) {
                ++best->busy;
            }
        }
        bool held = best->kind != QueueKind::global;
        struct Unbusy {
            QueueCore& q;
            bool held;
            ~Unbusy() {
                if (held) {
                    std::lock_guard ql(q.m);
                    --q.busy;
                }
            }
        } unbusy{*best, held};
        FrameScope scope(best.get(), held, false);
        fn();
        fn = nullptr;
        return true;
    }

    // Moves the clock to the earliest timer due by limit and queues its work; false when none is.
    bool fireNext(double limit) {
        std::shared_ptr<TimerState> next;
        {
            std::lock_guard lock(m_);
            double nextAt = kWaitForever;
            std::uint64_t nextSeq = UINT64_MAX;
            for (auto it = timers_.begin(); it != timers_.end();) {
                bool dead;
                {
                    std::lock_guard tl((*it)->m);
                    dead = (*it)->cancelled || (*it)->done;
                }
                if (dead) {
                    it = timers_.erase(it);
                    continue;
                }
                double at = effectiveDeadline(**it);
                if (at < nextAt || (at == nextAt && (*it)->seq < nextSeq)) {
                    next = *it;
                    nextAt = at;
                    nextSeq = (*it)->seq;
                }
                ++it;
            }
            if (!next || nextAt > limit) {
                return false;
            }
            timers_.erase(std::find(timers_.begin(), timers_.end(), next));
            uptime_ = std::max(uptime_, nextAt);
        }
        DispatchQueuePtr q;
        {
            std::lock_guard tl(next->m);
            q = next->queue;
        }
        async(q->core(), Task([next] {
                  if (Task fn = next->take()) {
                      fn();
                  }
              }));
        return true;
    }

    void moveTo(double target) {
        std::lock_guard lock(m_);
        uptime_ = std::max(uptime_, target);
    }

    // The wait loop of the main thread: run other ready work, then fire timers up to the deadline,
    // then jump to the deadline. With no deadline and nothing to do, only real threads can help.
    bool waitOnDriver(const std::function<bool()>& ready, double timeoutSeconds, const std::string& what) {
        double deadline =
            timeoutSeconds == kWaitForever ? kWaitForever : currentUptime() + std::max(0.0, timeoutSeconds);
        return driveUntil(ready, deadline, [&] {
            return what + " can never finish: no work is ready and no timer is pending";
        });
    }

    // Runs ready work and due timers on this thread until ready() holds or the deadline (uptime) passes;
    // stall() gives the fatal message for when, without a deadline, nothing can ever make progress.
    template <class Stall>
    bool driveUntil(const std::function<bool()>& ready, double deadline, Stall&& stall) {
        for (;;) {
            std::uint64_t seen = generation();
            if (ready()) {
                return true;
            }
            if (runOne() || awaitExternal(seen) || fireNext(deadline)) {
                continue;
            }
            if (deadline != kWaitForever) {
                moveTo(deadline);
                return ready();
            }
            blockForRealWork(seen, stall());
        }
    }

    std::uint64_t generation() {
        std::lock_guard lock(m_);
        return generation_;
    }

    // While real threads have work in flight, their results come before virtual time moves on.
    // False when none is in flight, or when nothing arrived within the stall limit.
    bool awaitExternal(std::uint64_t seen) {
        if (external_.load() == 0) {
            return false;
        }
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::duration<double>(kStallSeconds),
                            [&] { return generation_ != seen; });
    }

    void blockForRealWork(std::uint64_t seen, const std::string& stall) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, std::chrono::duration<double>(kStallSeconds),
                          [&] { return generation_ != seen; })) {
            lock.unlock();
            fatal(stall + " (virtual backend)");
        }
    }

    void syncFromRealThread(const CorePtr& q, const std::function<void()>& fn) {
        // Only the main thread runs work here, so a real thread's sync runs fn there and waits for it.
        asyncAndWait(q, fn);
    }

    std::mutex m_; // lock order: m_, then a queue's mutex, then a timer's mutex
    std::condition_variable cv_;
    std::uint64_t generation_ = 0; // changes whenever work, a timer or a wake-up arrives
    std::uint64_t seq_ = 0;
    std::vector<CorePtr> listed_; // queues that hold work
    std::vector<std::shared_ptr<TimerState>> timers_;
    double uptime_ = 100000.0;
    double wallOffset_ = 0;
    bool uptimeUnknown_ = false;
    std::atomic<bool> stop_{false};

public:
    std::atomic<int> external_{0};
    void wakeAll() { wake(); }
};

VirtualExecutor& virtualInstance() {
    static Immortal<VirtualExecutor> e;
    return e.get();
}

VirtualExecutor& controls(const char* what) {
    if (!Backend::isVirtual()) {
        fatal(std::string(what) + " needs the virtual dispatch backend");
    }
    return virtualInstance();
}

} // namespace

Executor& virtualExecutor() {
    return virtualInstance();
}

} // namespace plat::detail

namespace plat {

std::size_t Virtual::runUntilIdle() {
    return detail::controls("Virtual::runUntilIdle").runUntilIdle();
}

void Virtual::advanceBy(double seconds) {
    auto& v = detail::controls("Virtual::advanceBy");
    v.advanceTo(v.currentUptime() + std::max(0.0, seconds));
}

void Virtual::advanceTo(double uptime) {
    detail::controls("Virtual::advanceTo").advanceTo(uptime);
}

std::vector<PendingTimer> Virtual::pendingTimers() {
    return detail::controls("Virtual::pendingTimers").pendingTimers();
}

void Virtual::post(std::function<void()> fn) {
    DispatchQueue::main()->async(std::move(fn));
}

bool Virtual::runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds) {
    if (!Backend::isVirtual()) {
        return detail::executor().runMainUntil(predicate, realTimeoutSeconds);
    }
    return detail::virtualInstance().runUntilReal(predicate, realTimeoutSeconds);
}

void Virtual::setWall(double secondsSince1970) {
    detail::controls("Virtual::setWall").setWall(secondsSince1970);
}

void Virtual::setUptimeUnknown() {
    detail::controls("Virtual::setUptimeUnknown").setUptimeUnknown();
}

ExternalActivity::ExternalActivity() {
    if (Backend::isVirtual()) {
        active_ = true;
        ++detail::virtualInstance().external_;
    }
}

ExternalActivity::~ExternalActivity() {
    if (active_) {
        --detail::virtualInstance().external_;
        detail::virtualInstance().wakeAll();
    }
}

double Virtual::uptime() {
    return detail::controls("Virtual::uptime").currentUptime();
}

} // namespace plat
