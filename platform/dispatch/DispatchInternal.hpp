#pragma once
// Internals shared by the dispatch sources: queue state, the per-thread queue stack, and the
// interface both backends implement. Not for use outside platform/dispatch.

#include "platform/dispatch/DispatchQueue.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace plat::detail {

using Task = std::function<void()>;

[[noreturn]] void fatal(const std::string& message);

// Holds a process-wide object that is never destroyed, so threads still running at exit never
// touch a destroyed singleton.
template <class T> class Immortal {
public:
    template <class... A> explicit Immortal(A&&... args) {
        ::new (static_cast<void*>(buf_)) T(std::forward<A>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(buf_)); }

private:
    alignas(T) unsigned char buf_[sizeof(T)];
};

enum class QueueKind { main, serial, global };

struct QueueCore {
    QueueCore(std::string l, QueueKind k, QoS q) : label(std::move(l)), kind(k), qos(q) {}

    const std::string label;
    const QueueKind kind;
    const QoS qos;
    DispatchQueuePtr target; // stored only

    std::mutex m; // guards everything below
    std::condition_variable cv;
    struct Item {
        Task fn;
        std::uint64_t seq;
    };
    std::deque<Item> items;
    int suspendCount = 0;
    // threaded serial queues
    bool workerStarted = false;
    bool closing = false;
    bool workerIdle = false;    // the worker waits on cv; only then does new work need a wake-up
    bool workerRunning = false; // the worker is running an item outside the lock
    bool syncHeld = false;      // a sync caller runs its block on its own thread; the worker waits
    // virtual backend: work of this queue in progress on the stack
    int busy = 0;
    bool listed = false;
};
using CorePtr = std::shared_ptr<QueueCore>;

struct TimerState {
    std::mutex m;
    Task fn;
    bool cancelled = false;
    bool done = false;
    DispatchQueuePtr queue;
    double deadline = 0; // uptime, or wall time when wall is set
    bool wall = false;
    std::uint64_t seq = 0;
    // Takes the work for running unless cancelled; afterwards the timer is no longer pending.
    Task take();
};

// What the calling thread is running: one frame per queue entered, by running its work or by sync.
struct Frame {
    QueueCore* queue;
    bool held;    // a serial queue that cannot run anything else meanwhile
    bool viaSync; // entered through sync on the same thread
};
std::vector<Frame>& frames();

class FrameScope {
public:
    FrameScope(QueueCore* q, bool held, bool viaSync);
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

// Fatal when target is on the caller's chain of held queues.
void checkSyncTarget(const QueueCore& target);

std::thread::id mainThreadId();
// True on the main thread; when no backend was selected explicitly, the first caller becomes it.
bool claimMainThread();

class Executor {
public:
    virtual ~Executor() = default;
    virtual void async(const CorePtr& q, Task&& fn) = 0;
    virtual void sync(const CorePtr& q, const std::function<void()>& fn) = 0;
    virtual void resumed(const CorePtr& q) = 0;
    virtual void released(const CorePtr& q) = 0;
    virtual void addTimer(const std::shared_ptr<TimerState>& t) = 0;
    // Waits until tryUnderLock (called with m held) returns true, or timeoutSeconds pass.
    virtual bool wait(std::mutex& m, std::condition_variable& cv, const std::function<bool()>& tryUnderLock,
                      double timeoutSeconds) = 0;
    // After a waiter's condition changed (state updated under its mutex).
    virtual void notify(std::condition_variable& cv) = 0;
    // Uptime that timers run on; always known.
    virtual double uptime() = 0;
    // Uptime as Clock reports it (-1 when made unknown).
    virtual double reportedUptime() { return uptime(); }
    virtual double wallNow() = 0;
    // The skippable clock (Backend.hpp, ClockSkip): the earliest pending timer's uptime deadline, and a jump
    // forward that hands the timers it makes due to their queues.
    virtual std::optional<double> nextTimerDeadline() = 0;
    virtual void skipClockTo(double uptime) = 0;
    virtual double skippedSeconds() { return 0; }
    virtual bool isMainThread() = 0;
    virtual void runMain() = 0;
    virtual void stopMain() = 0;
    virtual bool runMainUntil(const std::function<bool()>& predicate, double timeoutSeconds) = 0;
    virtual std::size_t drainMainOnce() = 0;

protected:
    // Queues fn on q and blocks this thread until it ran there; rethrows what fn threw.
    void asyncAndWait(const CorePtr& q, const std::function<void()>& fn);
};

Executor& executor();
Executor& threadedExecutor();
Executor& virtualExecutor();
const CorePtr& mainCore();

// Label for a pthread name (the kernel keeps 15 characters).
void nameCurrentThread(const std::string& label);

} // namespace plat::detail
