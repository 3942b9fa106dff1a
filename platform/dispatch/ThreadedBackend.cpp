// The production backend: a thread per serial queue, a fixed pool for the global queues, one timer
// thread, and the main queue drained by whichever thread runs the main loop.

#include "platform/dispatch/DispatchInternal.hpp"
#include "platform/dispatch/Thread.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <queue>

namespace plat::detail {
namespace {

double readClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime steadyAfter(double seconds) {
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(std::max(0.0, seconds)));
}

// Runs a task as work of q and destroys it before returning, outside any lock.
void runAs(QueueCore* q, bool held, Task fn) {
    FrameScope scope(q, held, false);
    fn();
    fn = nullptr;
}

class ThreadedExecutor final : public Executor {
public:
    void async(const CorePtr& q, Task&& fn) override {
        switch (q->kind) {
        case QueueKind::global:
            poolAsync(q, std::move(fn));
            return;
        case QueueKind::main: {
            {
                std::lock_guard lock(q->m);
                q->items.push_back({std::move(fn), 0});
            }
            q->cv.notify_all(); // unlocked, so the main loop does not wake into a held lock
            return;
        }
        case QueueKind::serial: {
            std::lock_guard lock(q->m);
            enqueueSerialLocked(q, std::move(fn));
            return;
        }
        }
    }

    void sync(const CorePtr& q, const std::function<void()>& fn) override {
        if (q->kind == QueueKind::global) {
            FrameScope scope(q.get(), false, true);
            fn();
            return;
        }
        checkSyncTarget(*q);
        if (q->kind == QueueKind::main) {
            syncOntoMain(q, fn);
            return;
        }
        syncOntoSerial(q, fn);
    }

    void resumed(const CorePtr& q) override {
        std::lock_guard lock(q->m);
        q->cv.notify_all();
    }

    void released(const CorePtr& q) override {
        std::lock_guard lock(q->m);
        q->closing = true;
        q->cv.notify_all();
    }

    void addTimer(const std::shared_ptr<TimerState>& t) override {
        std::lock_guard lock(timers_.m);
        t->seq = ++timers_.seq;
        if (t->wall) {
            timers_.wall.push_back(t);
        } else {
            timers_.heap.push(t);
        }
        if (!timers_.started) {
            timers_.started = true;
            spawnThread("timer", [this] { timerLoop(); }).detach();
        }
        timers_.cv.notify_one();
    }

    bool wait(std::mutex& m, std::condition_variable& cv, const std::function<bool()>& tryUnderLock,
              double timeoutSeconds) override {
        std::unique_lock lock(m);
        if (timeoutSeconds == kWaitForever) {
            cv.wait(lock, tryUnderLock);
            return true;
        }
        return cv.wait_until(lock, steadyAfter(timeoutSeconds), tryUnderLock);
    }

    void notify(std::condition_variable& cv) override {
        cv.notify_all();
        kickMain();
    }

    double uptime() override { return readClock(CLOCK_BOOTTIME) + skipped_.load(); }
    double wallNow() override { return readClock(CLOCK_REALTIME) + skipped_.load(); }
    double skippedSeconds() override { return skipped_.load(); }

    std::optional<double> nextTimerDeadline() override {
        std::lock_guard lock(timers_.m);
        // Cancelled timers stay in the heap until due; they no longer count.
        while (!timers_.heap.empty() && !isPending(*timers_.heap.top())) {
            timers_.heap.pop();
        }
        std::optional<double> next;
        if (!timers_.heap.empty()) {
            next = timers_.heap.top()->deadline;
        }
        const double wallOffset = wallNow() - uptime();
        for (const auto& t : timers_.wall) {
            if (isPending(*t) && (!next || t->deadline - wallOffset < *next)) {
                next = t->deadline - wallOffset;
            }
        }
        return next;
    }

    // Changed under the timers' lock, so the timer thread sees the new time and its due timers in one look.
    void skipClockTo(double target) override {
        {
            std::lock_guard lock(timers_.m);
            const double ahead = target - uptime();
            if (ahead <= 0) {
                return;
            }
            skipped_.store(skipped_.load() + ahead);
        }
        timers_.cv.notify_all();
    }
    bool isMainThread() override { return std::this_thread::get_id() == mainThreadId(); }

    void runMain() override {
        requireMainThread("MainLoop::run");
        const CorePtr& q = mainCore();
        for (;;) {
            Task fn;
            {
                std::unique_lock lock(q->m);
                q->cv.wait(lock, [&] { return !q->items.empty() || stop_.load(); });
                if (stop_.exchange(false)) {
                    return;
                }
                fn = std::move(q->items.front().fn);
                q->items.pop_front();
            }
            runAs(q.get(), true, std::move(fn));
        }
    }

    void stopMain() override {
        const CorePtr& q = mainCore();
        std::lock_guard lock(q->m);
        stop_.store(true);
        q->cv.notify_all();
    }

    bool runMainUntil(const std::function<bool()>& predicate, double timeoutSeconds) override {
        requireMainThread("MainLoop::runUntil");
        const CorePtr& q = mainCore();
        auto deadline = steadyAfter(timeoutSeconds);
        struct Waiting {
            std::atomic<int>& n;
            explicit Waiting(std::atomic<int>& c) : n(c) { ++n; }
            ~Waiting() { --n; }
        } waiting(mainWaiters_);
        for (;;) {
            std::uint64_t seen;
            {
                std::lock_guard lock(q->m);
                seen = kicks_;
            }
            while (runOneMain()) {
                if (predicate()) {
                    return true;
                }
            }
            if (predicate()) {
                return true;
            }
            std::unique_lock lock(q->m);
            bool woke = q->cv.wait_until(lock, deadline, [&] { return !q->items.empty() || kicks_ != seen; });
            if (!woke) {
                lock.unlock();
                return predicate();
            }
        }
    }

    std::size_t drainMainOnce() override {
        requireMainThread("MainLoop::drainOnce");
        std::size_t n;
        {
            std::lock_guard lock(mainCore()->m);
            n = mainCore()->items.size();
        }
        std::size_t ran = 0;
        while (ran < n && runOneMain()) {
            ++ran;
        }
        return ran;
    }

private:
    // Called with q->m held.
    static void enqueueSerialLocked(const CorePtr& q, Task&& fn) {
        q->items.push_back({std::move(fn), 0});
        if (!q->workerStarted) {
            q->workerStarted = true;
            spawnThread(q->label, [q] { serialWorker(q); }).detach();
        } else if (q->workerIdle && !q->syncHeld) {
            q->cv.notify_one();
        }
    }

    // The block runs on the calling thread while the queue is held: its worker runs nothing else until
    // the block returns, so work submitted later waits behind it. An idle queue is taken at once, without
    // waking its worker; a busy one first drains what was submitted before, and then its worker hands the
    // queue over and waits.
    void syncOntoSerial(const CorePtr& q, const std::function<void()>& fn) {
        {
            std::unique_lock lock(q->m);
            if (q->items.empty() && !q->workerRunning && !q->syncHeld && q->suspendCount == 0) {
                q->syncHeld = true;
            } else {
                struct Grant {
                    std::mutex m;
                    std::condition_variable cv;
                    bool granted = false;
                };
                auto grant = std::make_shared<Grant>();
                enqueueSerialLocked(q, Task([core = q.get(), grant] {
                                        {
                                            std::lock_guard held(core->m);
                                            core->syncHeld = true;
                                        }
                                        std::lock_guard g(grant->m);
                                        grant->granted = true;
                                        grant->cv.notify_one();
                                    }));
                lock.unlock();
                std::unique_lock g(grant->m);
                grant->cv.wait(g, [&] { return grant->granted; });
            }
        }
        struct Release {
            ThreadedExecutor& e;
            QueueCore& q;
            ~Release() {
                {
                    std::lock_guard lock(q.m);
                    q.syncHeld = false;
                    if (q.workerIdle && (!q.items.empty() || q.closing)) {
                        q.cv.notify_one();
                    }
                }
                e.kickMain(); // as after any work of a queue, a waiting main loop re-checks
            }
        } release{*this, *q};
        FrameScope scope(q.get(), true, true);
        fn();
    }

    // The main queue belongs to the main thread, so fn runs there while the caller waits.
    void syncOntoMain(const CorePtr& q, const std::function<void()>& fn) {
        if (isMainThread()) {
            fatal("sync onto queue \"" + q->label +
                  "\" from the main thread outside its main loop would deadlock");
        }
        asyncAndWait(q, fn);
    }

    static void requireMainThread(const char* what) {
        if (!claimMainThread()) {
            fatal(std::string(what) + " called off the main thread");
        }
    }

    bool runOneMain() {
        const CorePtr& q = mainCore();
        Task fn;
        {
            std::lock_guard lock(q->m);
            if (q->items.empty()) {
                return false;
            }
            fn = std::move(q->items.front().fn);
            q->items.pop_front();
        }
        runAs(q.get(), true, std::move(fn));
        return true;
    }

    // Wakes a main loop waiting in runUntil so it re-checks its predicate after work elsewhere.
    void kickMain() {
        if (mainWaiters_.load() == 0) {
            return;
        }
        {
            std::lock_guard lock(mainCore()->m);
            ++kicks_;
        }
        mainCore()->cv.notify_all();
    }

    static void serialWorker(const CorePtr& q);

    void poolAsync(const CorePtr& q, Task&& fn) {
        bool wake = false;
        {
            std::lock_guard lock(pool_.m);
            pool_.work.emplace_back(q, std::move(fn));
            if (!pool_.started) {
                pool_.started = true;
                unsigned n = std::max(2u, std::thread::hardware_concurrency());
                for (unsigned i = 0; i < n; ++i) {
                    spawnThread("global-pool", [this] { poolLoop(); }).detach();
                }
            }
            // Work is left to a worker already woken for it unless there is more work than such workers:
            // waking one more would only find the queue emptied. A busy worker takes work without a wake.
            wake = pool_.sleeping > pool_.woken && pool_.work.size() > pool_.woken;
            if (wake) {
                ++pool_.woken;
            }
        }
        // Notified after unlocking, so the woken worker does not at once block on the pool's lock.
        if (wake) {
            pool_.cv.notify_one();
        }
    }

    void poolLoop() {
        for (;;) {
            CorePtr q;
            Task fn;
            {
                std::unique_lock lock(pool_.m);
                while (pool_.work.empty()) {
                    ++pool_.sleeping;
                    pool_.cv.wait(lock);
                    --pool_.sleeping;
                    if (pool_.woken > 0) {
                        --pool_.woken;
                    }
                }
                q = std::move(pool_.work.front().first);
                fn = std::move(pool_.work.front().second);
                pool_.work.pop_front();
            }
            runAs(q.get(), false, std::move(fn));
            kickMain();
        }
    }

    void timerLoop() {
        std::unique_lock lock(timers_.m);
        for (;;) {
            double now = uptime();
            double wallOffset = wallNow() - now;
            std::shared_ptr<TimerState> next;
            double nextAt = kWaitForever;
            bool fromWall = false;
            if (!timers_.heap.empty()) {
                next = timers_.heap.top();
                nextAt = next->deadline;
            }
            for (const auto& t : timers_.wall) {
                double at = t->deadline - wallOffset;
                if (at < nextAt || (at == nextAt && next && t->seq < next->seq)) {
                    next = t;
                    nextAt = at;
                    fromWall = true;
                }
            }
            if (!next) {
                timers_.cv.wait(lock);
                continue;
            }
            if (nextAt <= now) {
                if (fromWall) {
                    timers_.wall.erase(std::find(timers_.wall.begin(), timers_.wall.end(), next));
                } else {
                    timers_.heap.pop();
                }
                lock.unlock();
                fire(next);
                next.reset();
                lock.lock();
                continue;
            }
            // A wall clock jump moves wall deadlines, so re-check them at least once a second.
            double waitFor = nextAt - now;
            if (!timers_.wall.empty()) {
                waitFor = std::min(waitFor, 1.0);
            }
            timers_.cv.wait_until(lock, steadyAfter(waitFor));
        }
    }

    static bool isPending(TimerState& t) {
        std::lock_guard lock(t.m);
        return !t.cancelled && !t.done;
    }

    static void fire(const std::shared_ptr<TimerState>& t) {
        DispatchQueuePtr q;
        {
            std::lock_guard lock(t->m);
            if (t->cancelled || t->done) {
                return;
            }
            q = t->queue;
        }
        q->async([t] {
            if (Task fn = t->take()) {
                fn();
            }
        });
    }

    struct Pool {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::pair<CorePtr, Task>> work;
        bool started = false;
        std::size_t sleeping = 0; // workers waiting on cv
        std::size_t woken = 0;    // of those, notified and not yet running
    };
    struct Later {
        bool operator()(const std::shared_ptr<TimerState>& a, const std::shared_ptr<TimerState>& b) const {
            return a->deadline != b->deadline ? a->deadline > b->deadline : a->seq > b->seq;
        }
    };
    struct Timers {
        std::mutex m;
        std::condition_variable cv;
        std::priority_queue<std::shared_ptr<TimerState>, std::vector<std::shared_ptr<TimerState>>, Later>
            heap;
        std::vector<std::shared_ptr<TimerState>> wall;
        std::uint64_t seq = 0;
        bool started = false;
    };

    Pool pool_;
    Timers timers_;
    std::atomic<bool> stop_{false};
    // How far the device's clock was skipped ahead of the real one; only ever grows.
    std::atomic<double> skipped_{0};
    std::atomic<int> mainWaiters_{0};
    std::uint64_t kicks_ = 0; // guarded by the main queue's mutex
};

ThreadedExecutor& instance() {
    static Immortal<ThreadedExecutor> e;
    return e.get();
}

void ThreadedExecutor::serialWorker(const CorePtr& q) {
    FrameScope scope(q.get(), true, false); // this thread only ever runs q's work
    std::unique_lock lock(q->m);
    for (;;) {
        // A sync block holding the queue runs on its caller's thread; the worker waits for it even when
        // the queue is being released, since the block may still add work.
        while (q->syncHeld || (!q->closing && (q->items.empty() || q->suspendCount > 0))) {
            q->workerIdle = true;
            q->cv.wait(lock);
            q->workerIdle = false;
        }
        if (q->items.empty() || q->suspendCount > 0) {
            // The queue was released: nothing can resume it, so work still held back is dropped.
            std::deque<QueueCore::Item> dropped;
            dropped.swap(q->items);
            q->workerStarted = false;
            lock.unlock();
            return;
        }
        Task fn = std::move(q->items.front().fn);
        q->items.pop_front();
        q->workerRunning = true;
        lock.unlock();
        fn();
        fn = nullptr; // captures die outside the lock
        instance().kickMain();
        lock.lock();
        q->workerRunning = false;
    }
}

} // namespace

Executor& threadedExecutor() {
    return instance();
}

} // namespace plat::detail
