#pragma once
// The main run loop (which drains the main queue), delayed performs keyed by target, and run-loop timers.

#include <functional>
#include <memory>
#include <string>

namespace plat {

class MainLoop {
public:
    // Runs main-queue work until stop(). Under the virtual backend it also advances virtual time to
    // the next timer whenever nothing is ready.
    static void run();
    // Thread-safe: makes run() return after the work item in progress.
    static void stop();
    // Runs main-queue work until predicate holds or timeoutSeconds pass (real seconds under the
    // threaded backend, virtual seconds under the virtual one). Returns the predicate.
    static bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds);
    // Runs the work that is ready now without waiting; returns how many items ran.
    static std::size_t drainOnce();
};

class RunLoop {
public:
    static RunLoop& main();
    // The main loop on the main thread; elsewhere a loop nobody runs: work given to it never fires
    // (as on the device) and a [device] warning is printed.
    static RunLoop& current();

    bool isMain() const { return isMain_; }

    // Perform-after-delay: fn runs on the main queue after delaySeconds unless cancelled first.
    // Callable from any thread. target is an identity only and is never dereferenced.
    void perform(const void* target, std::string key, double delaySeconds, std::function<void()> fn);
    void cancelPerforms(const void* target);
    void cancelPerforms(const void* target, const std::string& key);
    std::size_t pendingPerforms(const void* target) const;

    struct Impl;
    explicit RunLoop(bool isMain);
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

private:
    bool isMain_;
    std::unique_ptr<Impl> impl_;
};

// A timer on the main run loop; fires on the main queue.
class RunLoopTimer : public std::enable_shared_from_this<RunLoopTimer> {
public:
    using Handler = std::function<void(RunLoopTimer&)>;

    // The run loop keeps a valid timer alive; a non-repeating one is invalidated after it fired.
    static std::shared_ptr<RunLoopTimer> scheduled(double interval, bool repeats, double tolerance,
                                                   Handler fn, bool commonModes = false);

    // Wall time of the next fire.
    double fireDate() const;
    double interval() const { return interval_; }
    double tolerance() const { return tolerance_; }
    bool repeats() const { return repeats_; }
    bool commonModes() const { return commonModes_; }
    // Any thread; the handler does not run after it returns unless it is already running.
    void invalidate();
    bool isValid() const;

    struct State;
    RunLoopTimer(double interval, bool repeats, double tolerance, bool commonModes);
    ~RunLoopTimer();

private:
    void arm(double delay);
    double interval_;
    bool repeats_;
    double tolerance_;
    bool commonModes_;
    std::shared_ptr<State> state_;
};

} // namespace plat
