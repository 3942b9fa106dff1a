#include "RadIrivozSDK/Source/RISubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"

namespace {

constexpr const char* kSubscription = "RADIRIVOZ_SUBSCRIPTION";
constexpr const char* kPlayerIdLast = "RV_PLAYER_ID_LAST";
constexpr const char* kDeviceTokenLast = "RV_DEVICE_TOKEN_LAST";
constexpr const char* kSubscriptionLast = "RADIRIVOZ_SUBSCRIPTION_LAST";
constexpr const char* kSubscriptionAcceptedLast = "RADIRIVOZ_PERMISSION_ACCEPTED_LAST";

} // namespace

std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsTo() {
    auto state = std::make_shared<RISubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->fields_.userId = defaults.string(RadIrivozKeys::playerId);
    state->fields_.pushToken = defaults.string(RadIrivozKeys::deviceToken);
    state->fields_.userSubscriptionSetting = !defaults.object(kSubscription);
    return state;
}

std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsToWithPermision(bool accepted) {
    auto state = initAsTo();
    state->fields_.accpeted = accepted;
    return state;
}

std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsFrom() {
    auto state = std::make_shared<RISubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->fields_.userId = defaults.string(kPlayerIdLast);
    state->fields_.pushToken = defaults.string(kDeviceTokenLast);
    state->fields_.userSubscriptionSetting = !defaults.object(kSubscriptionLast);
    auto accepted = defaults.object(kSubscriptionAcceptedLast);
    state->fields_.accpeted = accepted && accepted->boolValue();
    return state;
}

void RISubscriptionState::persistAsFrom() const {
    const Fields f = fields();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    storeTextOrRemove(defaults, kPlayerIdLast, f.userId);
    storeTextOrRemove(defaults, kDeviceTokenLast, f.pushToken);
    storeTextOrRemove(defaults, kSubscriptionLast,
                      f.userSubscriptionSetting ? std::nullopt : std::optional<std::string>("no"));
    defaults.set(kSubscriptionAcceptedLast, plat::Value(f.accpeted));
    defaults.synchronize();
}

std::shared_ptr<RISubscriptionState> RISubscriptionState::copy() const {
    auto other = std::make_shared<RISubscriptionState>();
    other->fields_ = fields();
    other->fields_.delayedObserverUpdate = false;
    return other;
}

bool RISubscriptionState::compare(const RISubscriptionState& other) const {
    const Fields a = fields();
    const Fields b = other.fields();
    return a.userId.value_or("") != b.userId.value_or("") || a.pushToken.value_or("") != b.pushToken.value_or("") ||
           a.userSubscriptionSetting != b.userSubscriptionSetting || a.accpeted != b.accpeted;
}

RISubscriptionState::Fields RISubscriptionState::fields() const {
    std::lock_guard lock(mutex_);
    return fields_;
}

void RISubscriptionState::notify() {
    observable_.notifyChange(shared_from_this());
}

std::optional<std::string> RISubscriptionState::userId() const {
    return fields().userId;
}

void RISubscriptionState::setUserId(std::optional<std::string> userId) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = fields_.userId != userId;
        fields_.userId = std::move(userId);
    }
    if (changed) {
        notify();
    }
}

std::optional<std::string> RISubscriptionState::pushToken() const {
    return fields().pushToken;
}

void RISubscriptionState::setPushToken(std::optional<std::string> pushToken) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = fields_.pushToken != pushToken;
        fields_.pushToken = pushToken;
    }
    if (!changed) {
        return;
    }
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    storeTextOrRemove(defaults, RadIrivozKeys::deviceToken, pushToken);
    defaults.synchronize();
    notify();
}

bool RISubscriptionState::userSubscriptionSetting() const {
    return fields().userSubscriptionSetting;
}

void RISubscriptionState::setUserSubscriptionSetting(bool value) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = fields_.userSubscriptionSetting != value;
        fields_.userSubscriptionSetting = value;
    }
    if (changed) {
        notify();
    }
}

bool RISubscriptionState::accpeted() const {
    return fields().accpeted;
}

void RISubscriptionState::setAccpeted(bool accepted) {
    std::lock_guard lock(mutex_);
    fields_.accpeted = accepted;
}

void RISubscriptionState::setAccepted(bool accepted) {
    if (RadIrivoz::shouldDelaySubscriptionSettingsUpdate()) {
        std::lock_guard lock(mutex_);
        fields_.delayedObserverUpdate = true;
        return;
    }
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        const bool before = isSubscribed(fields_);
        fields_.accpeted = accepted;
        changed = before != isSubscribed(fields_);
    }
    if (changed) {
        notify();
    }
}

bool RISubscriptionState::delayedObserverUpdate() const {
    return fields().delayedObserverUpdate;
}

void RISubscriptionState::setDelayedObserverUpdate(bool value) {
    std::lock_guard lock(mutex_);
    fields_.delayedObserverUpdate = value;
}

bool RISubscriptionState::subscribed() const {
    return isSubscribed(fields());
}

void RISubscriptionState::onChanged(const std::shared_ptr<RIPermissionState>& permission) {
    setAccepted(permission->accepted());
}

plat::Dictionary RISubscriptionState::toDictionary() const {
    const Fields f = fields();
    return plat::Dictionary{{"userId", stringOrNull(f.userId)},
                            {"pushToken", stringOrNull(f.pushToken)},
                            {"userSubscriptionSetting", plat::Value(f.userSubscriptionSetting)},
                            {"subscribed", plat::Value(isSubscribed(f))}};
}

std::string RISubscriptionState::description() const {
    const Fields f = fields();
    return "<RISubscriptionState: userId: " + f.userId.value_or("(null)") +
           ", pushToken: " + f.pushToken.value_or("(null)") +
           ", userSubscriptionSetting: " + (f.userSubscriptionSetting ? "1" : "0") +
           ", subscribed: " + (isSubscribed(f) ? "1" : "0") + ">";
}

void RISubscriptionChangedInternalObserver::fireChangesObserver(const std::shared_ptr<RISubscriptionState>& state) {
    deliverStateChanges<RISubscriptionStateChanges>(state, RadIrivoz::lastSubscriptionState(),
                                                    *RadIrivoz::subscriptionStateChangesObserver(),
                                                    [](std::shared_ptr<RISubscriptionState> last) {
                                                        last->persistAsFrom();
                                                        RadIrivoz::setLastSubscriptionState(std::move(last));
                                                    });
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
