#pragma once
// The device's standing with the push service: the subscriber (player) id the service assigned and the
// device token. The current state is loaded from the standard user defaults, where registration keeps them.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RISubscriptionState {
public:
    // The current state: "RV_PLAYER_ID" and "RV_DEVICE_TOKEN" as stored now.
    static std::shared_ptr<RISubscriptionState> initAsTo();

    // None until the device is registered with the push service.
    std::optional<std::string> userId() const;
    void setUserId(std::optional<std::string> userId);
    std::optional<std::string> pushToken() const;
    void setPushToken(std::optional<std::string> pushToken);

private:
    mutable std::mutex mutex_;
    std::optional<std::string> userId_;
    std::optional<std::string> pushToken_;
};

// A snapshot of the client's states for the app.
class RIPermissionSubscriptionState {
public:
    explicit RIPermissionSubscriptionState(std::shared_ptr<RISubscriptionState> subscriptionStatus)
        : subscriptionStatus_(std::move(subscriptionStatus)) {}

    // Shared with the live state, not a copy.
    const std::shared_ptr<RISubscriptionState>& subscriptionStatus() const { return subscriptionStatus_; }

private:
    std::shared_ptr<RISubscriptionState> subscriptionStatus_;
};
