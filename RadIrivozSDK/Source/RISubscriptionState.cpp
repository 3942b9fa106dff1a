#include "RadIrivozSDK/Source/RISubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"

std::shared_ptr<RISubscriptionState> RISubscriptionState::initAsTo() {
    auto state = std::make_shared<RISubscriptionState>();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    state->userId_ = defaults.string(RadIrivozKeys::playerId);
    state->pushToken_ = defaults.string(RadIrivozKeys::deviceToken);
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
