#pragma once
// The engine's small memory that survives restarts: upload and back-off times, identifiers, session and
// search-ad state, and the install's random day-boundary offset. A typed front end over one preference
// suite; every typed read and write runs on its own serial queue.

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class DMSUserDefaults;

class DMSPersistedConfig {
public:
    static constexpr const char* kSuiteName = "com.razoza.rmp.measurement";

    // None (reported as 27001) when the shared instance could not be made.
    static DMSPersistedConfig* sharedInstance();
    // None for an empty suite name.
    static std::unique_ptr<DMSPersistedConfig> initWithSuiteName(const std::string& suiteName);
    ~DMSPersistedConfig();
    DMSPersistedConfig(const DMSPersistedConfig&) = delete;
    DMSPersistedConfig& operator=(const DMSPersistedConfig&) = delete;

    double lastDeleteStaleBundlesTimestamp();
    void setLastDeleteStaleBundlesTimestamp(double value);
    std::optional<plat::Value> searchAdCampaignValue();
    // Only numbers are kept.
    void setSearchAdCampaignValue(const std::optional<plat::Value>& value);
    double lastSearchAdLookUpTimestamp();
    void setLastSearchAdLookUpTimestamp(double value);
    int64_t searchAdRetryCount();
    void setSearchAdRetryCount(int64_t value);
    std::optional<std::string> appInstanceID();
    void setAppInstanceID(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromRMP();
    void setAppIDFromRMP(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromAdNet();
    void setAppIDFromAdNet(const std::optional<std::string>& value);
    std::optional<std::string> hashedIDFA();
    void setHashedIDFA(const std::optional<std::string>& value);
    // Written by the core's analytics configuration into the application's own preferences.
    int64_t measurementEnabledState();
    double lastBackoffTimestamp();
    void setLastBackoffTimestamp(double value);
    double lastSuccessfulUploadTimestamp();
    void setLastSuccessfulUploadTimestamp(double value);
    double lastFailedUploadTimestamp();
    void setLastFailedUploadTimestamp(double value);
    std::optional<std::string> appVersion();
    void setAppVersion(const std::optional<std::string>& value);
    std::optional<std::string> osVersion();
    void setOSVersion(const std::optional<std::string>& value);
    // Seconds in [0, 86400), drawn once per install.
    double midnightOffset();
    double lastMonitorDataSampledTimestamp();
    void setLastMonitorDataSampledTimestamp(double value);
    int64_t firstOpenTimestampMilliseconds();
    void setFirstOpenTimestampMilliseconds(int64_t value);
    std::optional<plat::Value> configServerLastModifiedString();
    void setConfigServerLastModifiedString(const std::optional<std::string>& value);
    std::optional<plat::Value> deferredAnalyticsCollection();
    void setDeferredAnalyticsCollection(const std::optional<plat::Value>& value);
    std::optional<plat::Value> loadTimestampValue();
    void setLoadTimestampValue(const std::optional<plat::Value>& value);
    bool startNewSession();
    void setStartNewSession(bool value);
    double lastSessionActivityClockTime();
    void setLastSessionActivityClockTime(double value);
    double engagementTimeBeforeSessionStart();
    void setEngagementTimeBeforeSessionStart(double value);
    int64_t sessionNumber();
    void setSessionNumber(int64_t value);

    // Typed primitives, each one synchronous block on the serial queue.
    int64_t int64ForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key, DMSUserDefaults& userDefault);
    double doubleForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    void setInt64(int64_t value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);

    void clearValues();
    void scheduleSynchronizeToDisk();
    void synchronizeToDisk();
    const std::string& name() const { return name_; }

    explicit DMSPersistedConfig(const std::string& suiteName);

private:
    std::optional<plat::Value> objectForKey(const std::string& key);
    void setObject(const std::optional<plat::Value>& value, const std::string& key);

    std::string name_;
    std::unique_ptr<DMSUserDefaults> userDefaults_;
    plat::DispatchQueuePtr serialQueue_;
};
