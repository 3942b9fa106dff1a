#pragma once
// A repeating timer of the event kit: a dispatch timer source on the default global queue that, every
// interval, adds its block to an operation queue, where the work runs. The first fire is one interval after
// creation; the leeway is a tenth of the interval. A destroyed timer runs nothing, even on a late fire.

#include "platform/dispatch/DispatchSource.hpp"
#include "platform/dispatch/OperationQueue.hpp"

#include <functional>
#include <memory>
#include <string>

class ZDATimer : public std::enable_shared_from_this<ZDATimer> {
public:
    // Schedules at once.
    static std::shared_ptr<ZDATimer> make(double timeInterval, std::shared_ptr<plat::OperationQueue> queue,
                                          std::string timerIdentifier, std::function<void()> block);
    ~ZDATimer();

    const std::string& timerIdentifier() const { return timerIdentifier_; }
    double timeInterval() const { return timeInterval_; }
    double tolerance() const { return timeInterval_ / 10; }
    const std::shared_ptr<plat::OperationQueue>& queue() const { return queue_; }

    void scheduleTimer();
    void executeBlock();

    ZDATimer(double timeInterval, std::shared_ptr<plat::OperationQueue> queue, std::string timerIdentifier,
             std::function<void()> block);
    ZDATimer(const ZDATimer&) = delete;
    ZDATimer& operator=(const ZDATimer&) = delete;

private:
    void scheduleDispatchTimer();

    std::string timerIdentifier_;
    double timeInterval_;
    std::function<void()> timerBlock_;
    std::shared_ptr<plat::OperationQueue> queue_;
    std::shared_ptr<plat::DispatchSource> timerSource_;
};
