#pragma once
// Process-wide settings of the core: the logger level and the analytics collection settings, which reach
// the measurement engine as notifications posted by the shared DAVAnalyticsConfiguration.

#include "platform/foundation/Value.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class DAVAnalyticsConfiguration {
public:
    static constexpr const char* kSetEnabledNotification = "DAVAnalyticsConfigurationSetEnabledNotification";
    static constexpr const char* kSetMinimumSessionIntervalNotification =
        "DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification";
    static constexpr const char* kSetSessionTimeoutIntervalNotification =
        "DAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification";
    // Standard user defaults: 1 collection enabled, 2 disabled.
    static constexpr const char* kMeasurementEnabledStateKey = "/razoza/measurement/measurement_enabled_state";

    static std::shared_ptr<DAVAnalyticsConfiguration> sharedInstance();

    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    // Persists the setting.
    void setAnalyticsCollectionEnabled(bool enabled);
    void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
    // Posts {name: value} with this object as sender; nothing for an empty name or no value.
    void postNotificationName(const std::string& name, const std::optional<plat::Value>& value);
};

class DAVConfiguration {
public:
    static std::shared_ptr<DAVConfiguration> sharedInstance();
    DAVConfiguration();

    // Hands the level to the core logger; levels outside 3..7 are reported there and ignored.
    void setLoggerLevel(long level);
    std::shared_ptr<DAVAnalyticsConfiguration> analyticsConfiguration() const;
    void setAnalyticsConfiguration(std::shared_ptr<DAVAnalyticsConfiguration> configuration);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<DAVAnalyticsConfiguration> analyticsConfiguration_;
};
