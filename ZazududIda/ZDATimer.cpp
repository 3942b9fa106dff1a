#include "ZazududIda/ZDATimer.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

ZDATimer::ZDATimer(double timeInterval, std::shared_ptr<plat::OperationQueue> queue, std::string timerIdentifier,
                   std::function<void()> block)
    : timerIdentifier_(std::move(timerIdentifier)), timeInterval_(timeInterval), timerBlock_(std::move(block)),
      queue_(std::move(queue)) {}

std::shared_ptr<ZDATimer> ZDATimer::make(double timeInterval, std::shared_ptr<plat::OperationQueue> queue,
                                         std::string timerIdentifier, std::function<void()> block) {
    auto timer = std::make_shared<ZDATimer>(timeInterval, std::move(queue), std::move(timerIdentifier),
                                            std::move(block));
    timer->scheduleTimer();
    return timer;
}

ZDATimer::~ZDATimer() {
    if (timerSource_) {
        timerSource_->cancel();
    }
}

void ZDATimer::scheduleTimer() {
    scheduleDispatchTimer();
}

void ZDATimer::scheduleDispatchTimer() {
    if (timerSource_) {
        timerSource_->cancel();
    }
    timerSource_ = plat::DispatchSource::timer(plat::DispatchQueue::global());
    timerSource_->setTimer(timeInterval_, timeInterval_, tolerance());
    // The source must not keep the timer alive: a fire after the timer is gone does nothing.
    std::weak_ptr<ZDATimer> weak = weak_from_this();
    timerSource_->setEventHandler([weak] {
        if (auto self = weak.lock()) {
            self->executeBlock();
        }
    });
    timerSource_->resume();
}

void ZDATimer::executeBlock() {
    if (queue_ && timerBlock_) {
        queue_->addOperationWithBlock(timerBlock_);
    }
}
