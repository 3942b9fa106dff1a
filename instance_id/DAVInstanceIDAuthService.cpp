#include "instance_id/DAVInstanceIDAuthService.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <algorithm>

namespace {

constexpr std::int64_t kAuthServiceCheckinSaveFailedCode = 6;
constexpr std::int64_t kAuthServiceMaxRetryInterval = 32;
constexpr double kAuthServiceTimerTolerance = 0.5;

} // namespace

DAVInstanceIDAuthService::DAVInstanceIDAuthService(std::shared_ptr<DAVInstanceIDStore> store)
    : DAVInstanceIDAuthService(std::make_shared<DAVInstanceIDCheckinService>(), std::move(store)) {}

DAVInstanceIDAuthService::DAVInstanceIDAuthService(
    std::shared_ptr<DAVInstanceIDCheckinService> checkinService, std::shared_ptr<DAVInstanceIDStore> store)
    : store_(std::move(store)), checkinService_(std::move(checkinService)) {
    checkinPreferences_ = store_->cachedCheckinPreferences();
}

DAVInstanceIDAuthService::~DAVInstanceIDAuthService() {
    if (scheduledCheckinTimer_) {
        scheduledCheckinTimer_->invalidate();
    }
}

void DAVInstanceIDAuthService::fetchCheckinInfoWithHandler(Handler handler) {
    std::shared_ptr<DAVInstanceIDCheckinPreferences> current;
    bool valid = false;
    {
        // The flag is checked and set in the same critical section as the append, so two callers can never
        // both start a check-in. The validity test runs once: it stores the locale as a side effect.
        std::lock_guard lock(mutex_);
        checkinHandlers_.push_back(std::move(handler));
        if (isCheckinInProgress_) {
            return;
        }
        current = checkinPreferences_;
        valid = current && current->hasValidCheckinInfo();
        isCheckinInProgress_ = !valid;
    }
    if (valid) {
        notifyCheckinHandlersWithCheckin(current, std::nullopt);
        return;
    }
    auto self = shared_from_this();
    checkinService_->checkinWithExistingCheckin(
        current,
        [self](std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin, std::optional<plat::Error> error) {
            self->checkinDidComplete(std::move(checkin), std::move(error));
        });
}

void DAVInstanceIDAuthService::checkinDidComplete(std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin,
                                                  std::optional<plat::Error> error) {
    {
        std::lock_guard lock(mutex_);
        isCheckinInProgress_ = false;
    }
    if (error || !checkin) {
        DAVInstanceIDLoggerDebug(5003, "Failed to checkin device %@",
                                 error ? error->description() : "(null)");
        notifyCheckinHandlersWithCheckin(nullptr, error);
        return;
    }
    DAVInstanceIDLoggerDebug(5004, "Successfully got checkin credentials");
    const bool same = cachedCheckinMatchesCheckin(*checkin);
    checkin->setHasPreCachedAuthCredentials(same);
    {
        std::lock_guard lock(mutex_);
        checkinPreferences_ = checkin;
    }
    DAVInstanceIDErrorSlot saveError;
    const bool saved = store_->saveCheckinPreferences(*checkin, &saveError);
    if (same || saved) {
        notifyCheckinHandlersWithCheckin(checkin, std::nullopt);
        if (!same) {
            plat::DispatchQueue::main()->async([] {
                plat::NotificationCenter::defaultCenter().post(kDAVInstanceIDCheckinFetchedNotification);
            });
        }
        return;
    }
    DAVInstanceIDLoggerError(7004, "Unable to save checkin info, resetting checkin preferences in memory.");
    // Readers on other threads may hold the record just handed in; an emptied copy takes its place instead
    // of clearing it under their feet.
    auto emptied = std::make_shared<DAVInstanceIDCheckinPreferences>(*checkin);
    emptied->reset();
    {
        std::lock_guard lock(mutex_);
        checkinPreferences_ = std::move(emptied);
    }
    plat::Dictionary userInfo;
    std::shared_ptr<const plat::Error> underlying;
    if (saveError) {
        underlying = std::make_shared<const plat::Error>(*saveError);
    }
    notifyCheckinHandlersWithCheckin(nullptr,
                                     plat::Error(kDAVInstanceIDDomain, kAuthServiceCheckinSaveFailedCode,
                                                 std::move(userInfo), underlying));
}

void DAVInstanceIDAuthService::notifyCheckinHandlersWithCheckin(
    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin, std::optional<plat::Error> error) {
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(mutex_);
        handlers.swap(checkinHandlers_);
    }
    // Outside the lock: a handler may ask for check-in info again, which appends to a fresh list.
    for (auto& handler : handlers) {
        if (handler) {
            handler(checkin, error);
        }
    }
}

bool DAVInstanceIDAuthService::hasValidCheckinInfo() const {
    const auto current = checkinPreferences();
    return current && current->hasValidCheckinInfo();
}

bool DAVInstanceIDAuthService::cachedCheckinMatchesCheckin(
    const DAVInstanceIDCheckinPreferences& checkin) const {
    const auto current = checkinPreferences();
    return current && current->deviceID() == checkin.deviceID() &&
           current->secretToken() == checkin.secretToken();
}

void DAVInstanceIDAuthService::scheduleCheckin(bool immediately) {
    if (hasValidCheckinInfo()) {
        return;
    }
    if (immediately) {
        performScheduledCheckin();
        return;
    }
    const auto timer = scheduledCheckinTimer();
    if (timer && timer->isValid()) {
        DAVInstanceIDLoggerDebug(5000, "Checkin sync already scheduled. Will not schedule.");
        return;
    }
    startCheckinTimerWithDuration(static_cast<double>(calculateNextCheckinRetryIntervalInSeconds()));
}

void DAVInstanceIDAuthService::startCheckinTimerWithDuration(double seconds) {
    std::weak_ptr<DAVInstanceIDAuthService> weak = weak_from_this();
    auto timer = plat::RunLoopTimer::scheduled(seconds, false, kAuthServiceTimerTolerance,
                                               [weak](plat::RunLoopTimer&) {
                                                   if (auto self = weak.lock()) {
                                                       self->performScheduledCheckin();
                                                   }
                                               });
    std::lock_guard lock(mutex_);
    scheduledCheckinTimer_ = std::move(timer);
}

void DAVInstanceIDAuthService::clearScheduledCheckinTimer() {
    std::shared_ptr<plat::RunLoopTimer> timer;
    {
        std::lock_guard lock(mutex_);
        timer.swap(scheduledCheckinTimer_);
    }
    if (timer) {
        timer->invalidate();
    }
}

void DAVInstanceIDAuthService::performScheduledCheckin() {
    clearScheduledCheckinTimer();
    if (hasValidCheckinInfo()) {
        return;
    }
    std::weak_ptr<DAVInstanceIDAuthService> weak = weak_from_this();
    fetchCheckinInfoWithHandler(
        [weak](std::shared_ptr<DAVInstanceIDCheckinPreferences>, std::optional<plat::Error> error) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->checkinRetryCount_.fetch_add(1);
            if (error) {
                DAVInstanceIDLoggerDebug(5001, "Checkin error %@.", error->description());
                plat::DispatchQueue::main()->async([weak] {
                    if (auto service = weak.lock()) {
                        service->scheduleCheckin(false);
                    }
                });
            } else {
                DAVInstanceIDLoggerDebug(5002, "Checkin success.");
            }
        });
}

std::int64_t DAVInstanceIDAuthService::calculateNextCheckinRetryIntervalInSeconds() const {
    const std::int32_t count = checkinRetryCount_.load();
    if (count > 9) {
        return kAuthServiceMaxRetryInterval;
    }
    return std::min<std::int64_t>(std::int64_t{1} << std::max(count, 0), kAuthServiceMaxRetryInterval);
}

bool DAVInstanceIDAuthService::resetCheckin(DAVInstanceIDErrorSlot* error) {
    if (!store_->removeCheckinPreferences(error)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    checkinPreferences_.reset();
    return true;
}

void DAVInstanceIDAuthService::stopCheckinRequest() {
    checkinService_->stopFetching();
}

bool DAVInstanceIDAuthService::isCheckinInProgress() const {
    std::lock_guard lock(mutex_);
    return isCheckinInProgress_;
}

std::shared_ptr<DAVInstanceIDCheckinPreferences> DAVInstanceIDAuthService::checkinPreferences() const {
    std::lock_guard lock(mutex_);
    return checkinPreferences_;
}

std::shared_ptr<plat::RunLoopTimer> DAVInstanceIDAuthService::scheduledCheckinTimer() const {
    std::lock_guard lock(mutex_);
    return scheduledCheckinTimer_;
}
