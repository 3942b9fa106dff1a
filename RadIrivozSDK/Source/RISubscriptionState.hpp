#pragma once
// The device's standing with the push service: the subscriber (player) id the service assigned and the
// device token. The current state is loaded from the standard user defaults, where registration keeps them.

#include "RadIrivozSDK/Source/RIEmailSubscriptionState.hpp"
#include "RadIrivozSDK/Source/RIPermissionState.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RISubscriptionState {
public:
    // The current state: "RV_PLAYER_ID" and "RV_DEVICE_TOKEN" as stored now.
    static std::shared_ptr<RISubscriptionState> initAsTo();
    // The same, with the permission's answer mirrored.
    static std::shared_ptr<RISubscriptionState> initAsToWithPermision(bool accepted);

    // None until the device is registered with the push service.
    std::optional<std::string> userId() const;
    void setUserId(std::optional<std::string> userId);
    std::optional<std::string> pushToken() const;
    void setPushToken(std::optional<std::string> pushToken);
    bool userSubscriptionSetting() const;
    bool accpeted() const;
    void setAccpeted(bool accepted);
    // A player id, a token, the user's own switch on and the permission granted.
    bool subscribed() const;

    // {"userId", "pushToken", "userSubscriptionSetting", "subscribed"}; a missing string is null.
    plat::Dictionary toDictionary() const;
    std::string description() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> userId_;
    std::optional<std::string> pushToken_;
    bool userSubscriptionSetting_ = true;
    bool accpeted_ = false;
};

// A snapshot of the client's states for the app. The objects are the live states, not copies.
class RIPermissionSubscriptionState {
public:
    RIPermissionSubscriptionState(std::shared_ptr<RIPermissionState> permissionStatus,
                                  std::shared_ptr<RISubscriptionState> subscriptionStatus,
                                  std::shared_ptr<RIEmailSubscriptionState> emailSubscriptionStatus)
        : permissionStatus_(std::move(permissionStatus)), subscriptionStatus_(std::move(subscriptionStatus)),
          emailSubscriptionStatus_(std::move(emailSubscriptionStatus)) {}

    const std::shared_ptr<RIPermissionState>& permissionStatus() const { return permissionStatus_; }
    const std::shared_ptr<RISubscriptionState>& subscriptionStatus() const { return subscriptionStatus_; }
    const std::shared_ptr<RIEmailSubscriptionState>& emailSubscriptionStatus() const {
        return emailSubscriptionStatus_;
    }

    // {"permissionStatus", "subscriptionStatus", "emailSubscriptionStatus"}, each that state's dictionary.
    plat::Dictionary toDictionary() const;
    // The permission and subscription parts only.
    std::string description() const;

private:
    std::shared_ptr<RIPermissionState> permissionStatus_;
    std::shared_ptr<RISubscriptionState> subscriptionStatus_;
    std::shared_ptr<RIEmailSubscriptionState> emailSubscriptionStatus_;
};
