#pragma once
// Chooses, once per process, which backend runs every queue, timer and delayed call, and holds the
// controls of the virtual (deterministic, single-threaded) backend that tests drive.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plat {

enum class BackendKind { threaded, virtualTime };

class Backend {
public:
    // Must run before the first queue is used; the calling thread becomes the main thread.
    // Selecting a different backend after dispatch was used is fatal.
    static void select(BackendKind kind);
    // The selected backend; selects the threaded one when nothing was selected yet.
    static BackendKind kind();
    static bool isVirtual() { return kind() == BackendKind::virtualTime; }
};

struct PendingTimer {
    std::string label; // label of the queue the timer fires on
    double deadline;   // virtual uptime at which it fires
};

// Controls of the virtual backend. All of them must be called from the main thread except post(),
// which any thread may call. Calling them under the threaded backend is fatal, except post() and
// runUntil(), which then work on the real main queue.
class Virtual {
public:
    // Runs ready work (all queues, in submission order, honouring suspension) until none is left.
    // Returns the number of work items run.
    static std::size_t runUntilIdle();
    // Moves wall and uptime forward, firing due timers in deadline order, each after the ready work.
    static void advanceBy(double seconds);
    // Same, up to an absolute virtual uptime.
    static void advanceTo(double uptime);
    // Timers not yet fired nor cancelled, earliest first.
    static std::vector<PendingTimer> pendingTimers();
    // Thread-safe: adds fn to the main queue and wakes a waiting runUntil().
    static void post(std::function<void()> fn);
    // Runs ready work and admits work posted from real threads (I/O completions) until predicate holds
    // or realTimeoutSeconds of real time pass. Virtual time does not move. Returns the predicate.
    static bool runUntil(const std::function<bool()>& predicate, double realTimeoutSeconds);
    // Jumps the wall clock only; wall-deadline timers that became due are queued.
    static void setWall(double secondsSince1970);
    // From now on Clock::uptime() reports -1.
    static void setUptimeUnknown();
    // Current virtual uptime (also while Clock::uptime() reports unknown).
    static double uptime();
};

// The device's clock can be skipped ahead (portal-app's `wait`): wall time, uptime and the monotonic counter,
// as every Clock read, timer and delayed block sees them, jump forward together, and the timers that fall due
// are handed to their queues in deadline order. Real waits (network I/O, semaphore and group time-outs) stay
// in real time. Under the virtual backend the jump moves the virtual clock without running anything.
class ClockSkip {
public:
    // The uptime deadline of the earliest timer or delayed block neither fired nor cancelled (wall-deadline
    // ones converted), or none.
    static std::optional<double> nextDeadline();
    // Moves the clock forward until Clock::uptime() reads `uptime`; never back.
    static void skipTo(double uptime);
    static void skipBy(double seconds);
    // Seconds the threaded backend's clock runs ahead of the real one.
    static double skipped();
};

// Marks real work in flight on another thread (a transfer on an I/O thread, a loopback request)
// whose result will be posted to a queue. While any is alive, a virtual wait or main loop with nothing
// ready waits (in real time, up to a stall limit) for that result before it moves virtual time, so
// time-outs do not fire ahead of answers that are on their way. No effect under the threaded backend.
class ExternalActivity {
public:
    ExternalActivity();
    ~ExternalActivity();
    ExternalActivity(const ExternalActivity&) = delete;
    ExternalActivity& operator=(const ExternalActivity&) = delete;

private:
    bool active_ = false;
};

} // namespace plat
