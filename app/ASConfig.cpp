#include "app/ASConfig.hpp"

ASConfig::ASConfig(std::optional<plat::URL> baseURL, bool pushNotificationsEnabled,
                   std::optional<std::string> baseUrlHomeHost)
    : baseURL_(std::move(baseURL)), pushNotificationsEnabled_(pushNotificationsEnabled),
      baseUrlHomeHost_(std::move(baseUrlHomeHost)) {}

std::optional<plat::URL> ASConfig::baseURL() const {
    std::lock_guard lock(mutex_);
    return baseURL_;
}

void ASConfig::setBaseURL(std::optional<plat::URL> url) {
    std::lock_guard lock(mutex_);
    baseURL_ = std::move(url);
}

std::optional<bool> ASConfig::pushNotificationsEnabled() const {
    std::lock_guard lock(mutex_);
    return pushNotificationsEnabled_;
}

void ASConfig::setPushNotificationsEnabled(std::optional<bool> enabled) {
    std::lock_guard lock(mutex_);
    pushNotificationsEnabled_ = enabled;
}

std::optional<std::string> ASConfig::baseUrlHomeHost() const {
    std::lock_guard lock(mutex_);
    return baseUrlHomeHost_;
}

void ASConfig::setBaseUrlHomeHost(std::optional<std::string> host) {
    std::lock_guard lock(mutex_);
    baseUrlHomeHost_ = std::move(host);
}
