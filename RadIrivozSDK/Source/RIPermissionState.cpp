#include "RadIrivozSDK/Source/RIPermissionState.hpp"

std::shared_ptr<RIPermissionState> RIPermissionState::initAsTo() {
    return std::make_shared<RIPermissionState>();
}

bool RIPermissionState::hasPrompted() const {
    std::lock_guard lock(mutex_);
    return accepted_ || answeredPrompt_ || hasPrompted_;
}

void RIPermissionState::setHasPrompted(bool value) {
    std::lock_guard lock(mutex_);
    hasPrompted_ = value;
}

bool RIPermissionState::answeredPrompt() const {
    std::lock_guard lock(mutex_);
    return accepted_ || answeredPrompt_;
}

void RIPermissionState::setAnsweredPrompt(bool value) {
    std::lock_guard lock(mutex_);
    answeredPrompt_ = value;
}

bool RIPermissionState::accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

void RIPermissionState::setAccepted(bool value) {
    std::lock_guard lock(mutex_);
    accepted_ = value;
}

bool RIPermissionState::provisional() const {
    std::lock_guard lock(mutex_);
    return provisional_;
}

void RIPermissionState::setProvisional(bool value) {
    std::lock_guard lock(mutex_);
    provisional_ = value;
}

int32_t RIPermissionState::notificationTypes() const {
    std::lock_guard lock(mutex_);
    return notificationTypes_;
}

void RIPermissionState::setNotificationTypes(int32_t types) {
    std::lock_guard lock(mutex_);
    notificationTypes_ = types;
}

int64_t RIPermissionState::status() const {
    if (accepted()) {
        return 2;
    }
    if (answeredPrompt()) {
        return 1;
    }
    return provisional() ? 3 : 0;
}

std::string RIPermissionState::statusAsString() const {
    switch (status()) {
    case 1:
        return "Denied";
    case 2:
        return "Authorized";
    case 3:
        return "Provisional";
    default:
        return "NotDetermined";
    }
}

plat::Dictionary RIPermissionState::toDictionary() const {
    return plat::Dictionary{{"hasPrompted", plat::Value(hasPrompted())},
                            {"status", plat::Value(status())},
                            {"provisional", plat::Value(provisional())}};
}

std::string RIPermissionState::description() const {
    return "<RIPermissionState: hasPrompted: " + std::string(hasPrompted() ? "1" : "0") +
           ", status: " + statusAsString() + ", provisional: " + (provisional() ? "1" : "0") + ">";
}
