#pragma once
// The device's standing with the push service: the subscriber (player) id the service assigned, the device
// token, the user's own switch and the permission mirrored from the permission state. The current state is
// loaded from the standard user defaults, where registration keeps them; the last one from the "_LAST" keys.

#include "RadIrivozSDK/Source/RIEmailSubscriptionState.hpp"
#include "RadIrivozSDK/Source/RIObservable.hpp"
#include "RadIrivozSDK/Source/RIStateChanges.hpp"
#include "RadIrivozSDK/Source/RIPermissionState.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RISubscriptionState;

class RISubscriptionStateObserver {
public:
    virtual ~RISubscriptionStateObserver() = default;
    virtual void onChanged(const std::shared_ptr<RISubscriptionState>& state) = 0;
};

class RISubscriptionState final : public RIPermissionStateObserver,
                                  public std::enable_shared_from_this<RISubscriptionState> {
public:
    using Observable = RIObservable<RISubscriptionStateObserver, std::shared_ptr<RISubscriptionState>>;

    // The current state: "RV_PLAYER_ID", "RV_DEVICE_TOKEN" and "RADIRIVOZ_SUBSCRIPTION" as stored now.
    static std::shared_ptr<RISubscriptionState> initAsTo();
    // The same, with the permission's answer mirrored.
    static std::shared_ptr<RISubscriptionState> initAsToWithPermision(bool accepted);
    // The last state told to the app.
    static std::shared_ptr<RISubscriptionState> initAsFrom();
    void persistAsFrom() const;
    // A value copy without observers and without the delayed-update mark.
    std::shared_ptr<RISubscriptionState> copy() const;
    // True when they differ in userId, pushToken (missing = empty text), the switch or the permission.
    bool compare(const RISubscriptionState& other) const;

    // None until the device is registered with the push service. Observers are told when the text changes.
    std::optional<std::string> userId() const;
    void setUserId(std::optional<std::string> userId);
    std::optional<std::string> pushToken() const;
    // A changed token is also stored under "RV_DEVICE_TOKEN".
    void setPushToken(std::optional<std::string> pushToken);
    bool userSubscriptionSetting() const;
    void setUserSubscriptionSetting(bool value);
    bool accpeted() const;
    void setAccpeted(bool accepted);
    // The permission changed: held back (delayedObserverUpdate) while the facade waits for a subscription
    // update of the server, else stored, and observers told when `subscribed` changed.
    void setAccepted(bool accepted);
    bool delayedObserverUpdate() const;
    void setDelayedObserverUpdate(bool value);
    // A player id, a token, the user's own switch on and the permission granted.
    bool subscribed() const;

    void onChanged(const std::shared_ptr<RIPermissionState>& permission) override;

    // {"userId", "pushToken", "userSubscriptionSetting", "subscribed"}; a missing string is null.
    plat::Dictionary toDictionary() const;
    std::string description() const;

    Observable& observable() { return observable_; }

private:
    struct Fields {
        std::optional<std::string> userId;
        std::optional<std::string> pushToken;
        bool userSubscriptionSetting = true;
        bool accpeted = false;
        bool delayedObserverUpdate = false;
    };
    Fields fields() const;
    static bool isSubscribed(const Fields& f) {
        return f.userId && f.pushToken && f.userSubscriptionSetting && f.accpeted;
    }
    void notify();

    mutable std::mutex mutex_;
    Fields fields_;
    Observable observable_;
};

class RISubscriptionStateChanges final : public RIStateChanges<RISubscriptionState> {
public:
    RISubscriptionStateChanges(std::shared_ptr<const RISubscriptionState> from,
                               std::shared_ptr<const RISubscriptionState> to)
        : RIStateChanges(std::move(from), std::move(to), "RISubscriptionStateChanges") {}
};

class RISubscriptionObserver {
public:
    virtual ~RISubscriptionObserver() = default;
    virtual void onOSSubscriptionChanged(const std::shared_ptr<RISubscriptionStateChanges>& stateChanges) = 0;
};

class RISubscriptionChangedInternalObserver final : public RISubscriptionStateObserver {
public:
    void onChanged(const std::shared_ptr<RISubscriptionState>& state) override { fireChangesObserver(state); }
    static void fireChangesObserver(const std::shared_ptr<RISubscriptionState>& state);
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
