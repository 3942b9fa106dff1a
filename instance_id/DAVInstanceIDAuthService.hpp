#pragma once
// Keeps the device's check-in credentials valid: one check-in at a time through the check-in service, its
// result handed to every caller that waited and stored, and, when asked, a retry timer with back-off.

#include "instance_id/DAVInstanceIDCheckinService.hpp"
#include "instance_id/DAVInstanceIDStore.hpp"
#include "platform/dispatch/MainLoop.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

inline constexpr const char* kDAVInstanceIDCheckinFetchedNotification =
    "com.razoza.rcm.notif-checkin-fetched";

class DAVInstanceIDAuthService : public std::enable_shared_from_this<DAVInstanceIDAuthService> {
public:
    using Handler =
        std::function<void(std::shared_ptr<DAVInstanceIDCheckinPreferences>, std::optional<plat::Error>)>;

    explicit DAVInstanceIDAuthService(std::shared_ptr<DAVInstanceIDStore> store);
    DAVInstanceIDAuthService(std::shared_ptr<DAVInstanceIDCheckinService> checkinService,
                             std::shared_ptr<DAVInstanceIDStore> store);
    ~DAVInstanceIDAuthService();
    DAVInstanceIDAuthService(const DAVInstanceIDAuthService&) = delete;
    DAVInstanceIDAuthService& operator=(const DAVInstanceIDAuthService&) = delete;

    // A valid check-in is answered at once on the calling thread; otherwise the handler waits for the one
    // outstanding check-in.
    void fetchCheckinInfoWithHandler(Handler handler);
    // Answers every waiting handler in arrival order, outside the lock.
    void notifyCheckinHandlersWithCheckin(std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin,
                                          std::optional<plat::Error> error);
    bool hasValidCheckinInfo() const;
    bool cachedCheckinMatchesCheckin(const DAVInstanceIDCheckinPreferences& checkin) const;

    void scheduleCheckin(bool immediately);
    void startCheckinTimerWithDuration(double seconds);
    void clearScheduledCheckinTimer();
    void performScheduledCheckin();
    std::int64_t calculateNextCheckinRetryIntervalInSeconds() const;

    bool resetCheckin(DAVInstanceIDErrorSlot* error);
    void stopCheckinRequest();

    bool isCheckinInProgress() const;
    std::int32_t checkinRetryCount() const { return checkinRetryCount_.load(); }
    void setCheckinRetryCount(std::int32_t count) { checkinRetryCount_.store(count); }
    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkinPreferences() const;
    std::shared_ptr<plat::RunLoopTimer> scheduledCheckinTimer() const;
    const std::shared_ptr<DAVInstanceIDStore>& store() const { return store_; }
    const std::shared_ptr<DAVInstanceIDCheckinService>& checkinService() const { return checkinService_; }

private:
    void checkinDidComplete(std::shared_ptr<DAVInstanceIDCheckinPreferences> checkin,
                            std::optional<plat::Error> error);

    mutable std::recursive_mutex mutex_; // guards the fields below
    bool isCheckinInProgress_ = false;
    std::shared_ptr<DAVInstanceIDCheckinPreferences> checkinPreferences_;
    std::vector<Handler> checkinHandlers_;
    std::shared_ptr<plat::RunLoopTimer> scheduledCheckinTimer_;

    std::atomic<std::int32_t> checkinRetryCount_{0};
    std::shared_ptr<DAVInstanceIDStore> store_;
    std::shared_ptr<DAVInstanceIDCheckinService> checkinService_;
};
