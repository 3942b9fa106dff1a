#pragma once
// The e-mail player: its id, the address the app set, the auth hash, and whether the push service asks
// for that hash. Current and last state read and write the same keys of the standard user defaults.

#include "RadIrivozSDK/Source/RIObservable.hpp"
#include "RadIrivozSDK/Source/RIStateChanges.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class RIEmailSubscriptionState;

class RIEmailSubscriptionStateObserver {
public:
    virtual ~RIEmailSubscriptionStateObserver() = default;
    virtual void onChanged(const std::shared_ptr<RIEmailSubscriptionState>& state) = 0;
};

class RIEmailSubscriptionState : public std::enable_shared_from_this<RIEmailSubscriptionState> {
public:
    using Observable = RIObservable<RIEmailSubscriptionStateObserver, std::shared_ptr<RIEmailSubscriptionState>>;

    // Loaded from "EMAIL_ADDRESS", "RV_REQUIRE_EMAIL_AUTH", "RV_EMAIL_AUTH_CODE" and "RV_EMAIL_PLAYER_ID".
    static std::shared_ptr<RIEmailSubscriptionState> init();
    // Writes the same keys (a missing text removes its key).
    void persist() const;
    std::shared_ptr<RIEmailSubscriptionState> copy() const;
    // True when the address or the e-mail player id differ (missing = empty text).
    bool compare(const RIEmailSubscriptionState& other) const;

    bool requiresEmailAuth() const;
    void setRequiresEmailAuth(bool value);
    std::optional<std::string> emailUserId() const;
    // Observers are told when the text changes.
    void setEmailUserId(std::optional<std::string> value);
    std::optional<std::string> emailAddress() const;
    void setEmailAddress(std::optional<std::string> value);
    std::optional<std::string> emailAuthCode() const;
    void setEmailAuthCode(std::optional<std::string> value);
    bool subscribed() const;

    // {"emailUserId", "emailAddress"}; a missing string is null.
    plat::Dictionary toDictionary() const;
    std::string description() const;

    Observable& observable() { return observable_; }

private:
    mutable std::mutex mutex_;
    bool requiresEmailAuth_ = false;
    std::optional<std::string> emailUserId_;
    std::optional<std::string> emailAddress_;
    std::optional<std::string> emailAuthCode_;
    Observable observable_;
};

class RIEmailSubscriptionStateChanges final : public RIStateChanges<RIEmailSubscriptionState> {
public:
    RIEmailSubscriptionStateChanges(std::shared_ptr<const RIEmailSubscriptionState> from,
                                    std::shared_ptr<const RIEmailSubscriptionState> to)
        : RIStateChanges(std::move(from), std::move(to), "RIEmailSubscriptionStateChanges") {}
};

class RIEmailSubscriptionObserver {
public:
    virtual ~RIEmailSubscriptionObserver() = default;
    virtual void
    onOSEmailSubscriptionChanged(const std::shared_ptr<RIEmailSubscriptionStateChanges>& stateChanges) = 0;
};

class RIEmailSubscriptionChangedInternalObserver final : public RIEmailSubscriptionStateObserver {
public:
    void onChanged(const std::shared_ptr<RIEmailSubscriptionState>& state) override { fireChangesObserver(state); }
    static void fireChangesObserver(const std::shared_ptr<RIEmailSubscriptionState>& state);
};
