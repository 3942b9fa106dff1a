#include "core/DAVConfiguration.hpp"

#include "core/DAVLogger.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/UserDefaults.hpp"

std::shared_ptr<DAVAnalyticsConfiguration> DAVAnalyticsConfiguration::sharedInstance() {
    static plat::NeverDestroyed<std::shared_ptr<DAVAnalyticsConfiguration>> shared(
        std::make_shared<DAVAnalyticsConfiguration>());
    return *shared;
}

void DAVAnalyticsConfiguration::setMinimumSessionInterval(double seconds) {
    postNotificationName(kSetMinimumSessionIntervalNotification, plat::Value(seconds));
}

void DAVAnalyticsConfiguration::setSessionTimeoutInterval(double seconds) {
    postNotificationName(kSetSessionTimeoutIntervalNotification, plat::Value(seconds));
}

void DAVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
    setAnalyticsCollectionEnabled(enabled, true);
}

void DAVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
    if (persistSetting) {
        auto& defaults = plat::UserDefaults::standardUserDefaults();
        defaults.setInteger(kMeasurementEnabledStateKey, enabled ? 1 : 2);
        defaults.synchronize();
    }
    postNotificationName(kSetEnabledNotification, plat::Value(enabled));
}

void DAVAnalyticsConfiguration::postNotificationName(const std::string& name,
                                                     const std::optional<plat::Value>& value) {
    if (name.empty() || !value || value->isNull()) {
        return;
    }
    plat::NotificationCenter::defaultCenter().post(name, this, plat::Dictionary{{name, *value}});
}

std::shared_ptr<DAVConfiguration> DAVConfiguration::sharedInstance() {
    static plat::NeverDestroyed<std::shared_ptr<DAVConfiguration>> shared(std::make_shared<DAVConfiguration>());
    return *shared;
}

DAVConfiguration::DAVConfiguration() : analyticsConfiguration_(DAVAnalyticsConfiguration::sharedInstance()) {}

void DAVConfiguration::setLoggerLevel(long level) {
    DAVLoggerChangeLevel(level);
}

std::shared_ptr<DAVAnalyticsConfiguration> DAVConfiguration::analyticsConfiguration() const {
    std::lock_guard lock(mutex_);
    return analyticsConfiguration_;
}

void DAVConfiguration::setAnalyticsConfiguration(std::shared_ptr<DAVAnalyticsConfiguration> configuration) {
    std::lock_guard lock(mutex_);
    analyticsConfiguration_ = std::move(configuration);
}
