#pragma once
// The centre's state behind UNUserNotificationCenter and sim::Notifications (internal to this folder). One
// mutex guards it; no app code runs while it is held.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/Timer.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

namespace plat {

struct UNUserNotificationCenter::State {
    struct Scheduled {
        std::shared_ptr<UNNotificationRequest> request;
        Timer timer;
        double deadline = 0; // uptime
        uint64_t generation = 0;
    };
    struct WaitingPrompt {
        uint64_t options = 0;
        UNAuthorizationHandler handler;
    };

    std::mutex mutex;
    rt::WeakObjectPtr delegate;
    UNAuthorizationStatus status = UNAuthorizationStatus::notDetermined;
    uint64_t grantedOptions = 0;
    std::vector<UNNotificationCategory> categories;
    std::vector<Scheduled> scheduled; // in the order added
    std::vector<std::shared_ptr<UNNotification>> delivered;
    uint64_t nextGeneration = 1;

    // Driver settings.
    std::function<sim::AuthorizationAnswer(uint64_t)> promptSource;
    sim::PromptDelivery promptDelivery;
    std::optional<sim::AuthorizationAnswer> answer;
    bool pendingMode = false;
    std::deque<WaitingPrompt> waiting;
    std::optional<UNNotificationSettings> settingsOverride;
    double settingsDelay = 0;

    // Records.
    std::vector<uint64_t> authorizationRequests;
    std::size_t promptsShown = 0;
    std::size_t settingsRequests = 0;
    std::vector<sim::PresentationRecord> presentations;
    std::vector<sim::ResponseRecord> responses;
    std::vector<std::shared_ptr<UNNotificationRequest>> added;
};

} // namespace plat
