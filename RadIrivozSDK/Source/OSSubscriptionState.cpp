#include "RadIrivozSDK/Source/OSSubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"

std::shared_ptr<OSSubscriptionState> OSSubscriptionState::initAsTo() {
    auto state = std::make_shared<OSSubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->userId_ = defaults.string(RadIrivozKeys::playerId);
    state->pushToken_ = defaults.string(RadIrivozKeys::deviceToken);
    return state;
}

std::optional<std::string> OSSubscriptionState::userId() const {
    std::lock_guard lock(mutex_);
    return userId_;
}

void OSSubscriptionState::setUserId(std::optional<std::string> userId) {
    std::lock_guard lock(mutex_);
    userId_ = std::move(userId);
}

std::optional<std::string> OSSubscriptionState::pushToken() const {
    std::lock_guard lock(mutex_);
    return pushToken_;
}

void OSSubscriptionState::setPushToken(std::optional<std::string> pushToken) {
    std::lock_guard lock(mutex_);
    pushToken_ = std::move(pushToken);
}
