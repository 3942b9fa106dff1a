#pragma once
// The worker queue every piece of measurement work runs on, and named one-shot alarms. Blocks carry an ID
// naming their call site ("DMSMeasurement:2097") for the log lines; exceptions thrown by a block are caught
// and reported, never propagated out of the queue.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Date.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DMSScheduler {
public:
    // A serial queue of that label, targeting the background global queue.
    explicit DMSScheduler(const std::string& workerQueueLabel);

    const plat::DispatchQueuePtr& workerQueue() const { return workerQueue_; }
    void scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block);
    // Must not be called from the worker queue itself.
    void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const std::function<void()>& block);
    // YES off the main thread; on it, reports the method (30001) and answers NO.
    static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

private:
    plat::DispatchQueuePtr workerQueue_;
};

// A named one-shot timer on a queue. Scheduled and cancelled on that queue, where its block also runs. A
// pending alarm keeps itself alive until it fires or is cancelled; it is idle again when its block runs, so
// the block may schedule it anew.
class DMSAlarm : public std::enable_shared_from_this<DMSAlarm> {
public:
    // An empty name becomes "Timer".
    static std::shared_ptr<DMSAlarm> initWithDispatchQueue(plat::DispatchQueuePtr queue, const std::string& name);
    ~DMSAlarm();
    DMSAlarm(const DMSAlarm&) = delete;
    DMSAlarm& operator=(const DMSAlarm&) = delete;

    // Replaces a scheduled run; fires at wall-clock now + delay.
    void runAfterDelay(double delay, std::function<void()> block);
    void cancel();
    bool hasActiveTimer() const;
    std::optional<plat::Date> scheduledTimestamp() const;
    const std::string& name() const { return name_; }

    DMSAlarm(plat::DispatchQueuePtr queue, std::string name);

private:
    plat::DispatchQueuePtr queue_;
    std::string name_;
    mutable std::mutex mutex_;
    std::optional<plat::Timer> timer_;
    std::optional<plat::Date> scheduledTimestamp_;
};
