#include "RadIrivozSDK/Source/RIEmailSubscriptionState.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"

bool RIEmailSubscriptionState::requiresEmailAuth() const {
    std::lock_guard lock(mutex_);
    return requiresEmailAuth_;
}

void RIEmailSubscriptionState::setRequiresEmailAuth(bool value) {
    std::lock_guard lock(mutex_);
    requiresEmailAuth_ = value;
}

std::optional<std::string> RIEmailSubscriptionState::emailUserId() const {
    std::lock_guard lock(mutex_);
    return emailUserId_;
}

void RIEmailSubscriptionState::setEmailUserId(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    emailUserId_ = std::move(value);
}

std::optional<std::string> RIEmailSubscriptionState::emailAddress() const {
    std::lock_guard lock(mutex_);
    return emailAddress_;
}

void RIEmailSubscriptionState::setEmailAddress(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    emailAddress_ = std::move(value);
}

std::optional<std::string> RIEmailSubscriptionState::emailAuthCode() const {
    std::lock_guard lock(mutex_);
    return emailAuthCode_;
}

void RIEmailSubscriptionState::setEmailAuthCode(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    emailAuthCode_ = std::move(value);
}

bool RIEmailSubscriptionState::subscribed() const {
    std::lock_guard lock(mutex_);
    return emailUserId_.has_value();
}

plat::Dictionary RIEmailSubscriptionState::toDictionary() const {
    std::lock_guard lock(mutex_);
    return plat::Dictionary{{"emailUserId", stringOrNull(emailUserId_)},
                            {"emailAddress", stringOrNull(emailAddress_)}};
}

std::string RIEmailSubscriptionState::description() const {
    std::lock_guard lock(mutex_);
    return "<RIEmailSubscriptionState: emailAddress: " + emailAddress_.value_or("(null)") +
           ", emailUserId: " + emailUserId_.value_or("(null)") + ">";
}
