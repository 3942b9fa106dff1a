#include "RadIrivozSDK/Source/RISubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"


std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsTo() {
    auto state = std::make_shared<RISubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->userId_ = defaults.string(RadIrivozKeys::playerId);
    state->pushToken_ = defaults.string(RadIrivozKeys::deviceToken);
    return state;
}

std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsToWithPermision(bool accepted) {
    auto state = initAsTo();
    state->accpeted_ = accepted;
    return state;
}

std::optional<std::string> RISubscriptionState::userId() const {
    std::lock_guard lock(mutex_);
    return userId_;
}

void RISubscriptionState::setUserId(std::optional<std::string> userId) {
    std::lock_guard lock(mutex_);
    userId_ = std::move(userId);
}

std::optional<std::string> RISubscriptionState::pushToken() const {
    std::lock_guard lock(mutex_);
    return pushToken_;
}

void RISubscriptionState::setPushToken(std::optional<std::string> pushToken) {
    std::lock_guard lock(mutex_);
    pushToken_ = std::move(pushToken);
}

bool RISubscriptionState::userSubscriptionSetting() const {
    std::lock_guard lock(mutex_);
    return userSubscriptionSetting_;
}

bool RISubscriptionState::accpeted() const {
    std::lock_guard lock(mutex_);
    return accpeted_;
}

void RISubscriptionState::setAccpeted(bool accepted) {
    std::lock_guard lock(mutex_);
    accpeted_ = accepted;
}

bool RISubscriptionState::subscribed() const {
    std::lock_guard lock(mutex_);
    return userId_ && pushToken_ && userSubscriptionSetting_ && accpeted_;
}

plat::Dictionary RISubscriptionState::toDictionary() const {
    const bool isSubscribed = subscribed();
    std::lock_guard lock(mutex_);
    return plat::Dictionary{{"userId", stringOrNull(userId_)},
                            {"pushToken", stringOrNull(pushToken_)},
                            {"userSubscriptionSetting", plat::Value(userSubscriptionSetting_)},
                            {"subscribed", plat::Value(isSubscribed)}};
}

std::string RISubscriptionState::description() const {
    const bool isSubscribed = subscribed();
    std::lock_guard lock(mutex_);
    return "<RISubscriptionState: userId: " + userId_.value_or("(null)") +
           ", pushToken: " + pushToken_.value_or("(null)") +
           ", userSubscriptionSetting: " + (userSubscriptionSetting_ ? "1" : "0") +
           ", subscribed: " + (isSubscribed ? "1" : "0") + ">";
}

plat::Dictionary RIPermissionSubscriptionState::toDictionary() const {
    auto part = [](const auto& state) { return state ? plat::Value(state->toDictionary()) : plat::Value(); };
    return plat::Dictionary{{"permissionStatus", part(permissionStatus_)},
                            {"subscriptionStatus", part(subscriptionStatus_)},
                            {"emailSubscriptionStatus", part(emailSubscriptionStatus_)}};
}

std::string RIPermissionSubscriptionState::description() const {
    return "<RIPermissionSubscriptionState:\npermissionStatus: " +
           (permissionStatus_ ? permissionStatus_->description() : std::string("(null)")) +
           ",\nsubscriptionStatus: " +
           (subscriptionStatus_ ? subscriptionStatus_->description() : std::string("(null)")) + "\n>";
}
