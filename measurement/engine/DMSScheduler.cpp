#include "measurement/engine/DMSScheduler.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Format.hpp"

DMSScheduler::DMSScheduler(const std::string& workerQueueLabel)
    : workerQueue_(plat::DispatchQueue::makeSerial(
          workerQueueLabel,
          plat::QueueOptions{.target = plat::DispatchQueue::global(plat::QueuePriority::background)})) {}

void DMSScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block) {
    if (!block) {
        DMSMeasurement::monitor().logWithLevel(
            1, 30005, plat::format("Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
        return;
    }
    workerQueue_->async([blockID, block = std::move(block)] {
        try {
            block();
        } catch (...) {
            DMSMeasurement::monitor().logWithLevel(
                1, 30000, plat::format("Exception on worker queue. Block ID=%@. Exception", blockID),
                DMSExceptionInfo::fromCurrentException());
        }
    });
}

void DMSScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const std::function<void()>& block) {
    if (!block) {
        DMSMeasurement::monitor().logWithLevel(
            1, 30002, plat::format("Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID));
        return;
    }
    bool completed = false;
    workerQueue_->sync([&] {
        try {
            block();
            completed = true;
        } catch (...) {
            DMSMeasurement::monitor().logWithLevel(
                1, 30003,
                plat::format("Exception on worker queue when processing sync block. Block ID=%@. Exception", blockID),
                DMSExceptionInfo::fromCurrentException());
        }
    });
    if (!completed) {
        DMSMeasurement::monitor().logWithLevel(4, 30004, plat::format("Synchronous task failed. Block ID=%@", blockID));
    }
}

bool DMSScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
    if (!plat::Thread::isMainThread()) {
        return true;
    }
    DMSMeasurement::monitor().logWithLevel(
        1, 30001,
        plat::format("Method %@ should execute on background thread",
                     methodName.empty() ? std::string("<empty method name>") : methodName),
        nullptr);
    return false;
}

std::shared_ptr<DMSAlarm> DMSAlarm::initWithDispatchQueue(plat::DispatchQueuePtr queue, const std::string& name) {
    return std::make_shared<DMSAlarm>(std::move(queue), name);
}

DMSAlarm::DMSAlarm(plat::DispatchQueuePtr queue, std::string name)
    : queue_(std::move(queue)), name_(name.empty() ? std::string("Timer") : std::move(name)) {}

DMSAlarm::~DMSAlarm() {
    cancel();
}

void DMSAlarm::runAfterDelay(double delay, std::function<void()> block) {
    auto& monitor = DMSMeasurement::monitor();
    if (!block) {
        monitor.logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
        return;
    }
    cancel();
    double now = plat::Clock::now();
    // The pending handler keeps the alarm alive until it runs or is cancelled. An alarm that is not owned
    // through initWithDispatchQueue cannot be kept so: it gets no timer, as when one cannot be made.
    std::shared_ptr<DMSAlarm> self = weak_from_this().lock();
    plat::Timer timer;
    if (self) {
        timer = queue_->asyncAt(now + delay, [self, block = std::move(block)] {
            DMSMeasurement::monitor().logWithLevel(7, 2001, self->name_ + " fired");
            self->cancel();
            block();
        });
    }
    {
        std::lock_guard lock(mutex_);
        scheduledTimestamp_ = plat::Date(now + delay);
        timer_ = timer;
    }
    monitor.logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", delay);
}

void DMSAlarm::cancel() {
    std::optional<plat::Timer> timer;
    {
        std::lock_guard lock(mutex_);
        if (!scheduledTimestamp_) {
            return;
        }
        scheduledTimestamp_.reset();
        timer = timer_;
    }
    auto& monitor = DMSMeasurement::monitor();
    monitor.logWithLevel(7, 2003, name_ + " canceled");
    if (timer && *timer && !timer->isCancelled()) {
        timer->cancel();
    } else {
        monitor.logWithLevel(4, 2004, name_ + " is not active");
    }
}

bool DMSAlarm::hasActiveTimer() const {
    std::lock_guard lock(mutex_);
    return timer_ && *timer_ && !timer_->isCancelled();
}

std::optional<plat::Date> DMSAlarm::scheduledTimestamp() const {
    std::lock_guard lock(mutex_);
    return scheduledTimestamp_;
}
