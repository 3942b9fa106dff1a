#pragma once
// Every tunable limit, interval and switch of the measurement engine, answered from the server's settings
// with a default and an allowed range (a value out of range or unreadable gives the default, never the nearer
// bound), and the per-event answers (blacklisted, custom conversion, sampling rate) of the server's event
// configurations. Also the configuration object's own life: the default instance, loading the stored
// configuration, applying a new one, expiry and reset.

#include "core/DVUMutableDictionary.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The fields of a measurement configuration this object reads; the message layer fills them from the stored
// or fetched configuration.
struct DMSConfigSetting {
    std::string name;
    std::optional<std::string> value;
};
struct DMSEventConfigFields {
    std::string name;
    std::optional<bool> blacklisted;
    std::optional<bool> customConversion;
    std::optional<int64_t> samplingRate;
};
struct DMSMeasurementConfigFields {
    std::optional<int64_t> version;
    std::optional<std::string> appID;
    std::optional<std::string> adnetAppID;
    // None: the configuration carries no settings list.
    std::optional<std::vector<DMSConfigSetting>> settings;
    std::vector<DMSEventConfigFields> eventConfigs;
};

// Where the configuration in force is stored (the measurement database).
class DMSMeasurementConfigStorage {
public:
    virtual ~DMSMeasurementConfigStorage() = default;
    // None with the error unset: nothing stored.
    virtual std::optional<DMSMeasurementConfigFields> queryMeasurementConfig(plat::Error* error) = 0;
    virtual bool updateRemoteConfig(const DMSMeasurementConfigFields& config, plat::Error* error) = 0;
    // None with an error on failure.
    virtual std::optional<double> lastRemoteConfigUpdateTimestamp(plat::Error* error) = 0;
};

// property, type, reading, key, default, maximum, minimum
#define DMS_REMOTE_SETTINGS(X)                                                                                     \
    X(uploadingBackoffInterval, double, Time, "measurement.upload.backoff_period", 43200, 604800, 3600)            \
    X(isSearchAdReporterEnabled, bool, Flag, "measurement.search_ad_enabled", 1, 1, 0)                              \
    X(maxAudienceCount, int32_t, Int, "measurement.audience.max_count", 50, 500, 0)                                 \
    X(maxFiltersPerAudience, int32_t, Int, "measurement.audience.filter_max_count_per_audience", 10, 100, 0)        \
    X(maxFilterResultCount, int32_t, Int, "measurement.audience.filter_result_max_count", 200, 2000, 0)             \
    X(maxParametersPerFilter, int32_t, Int, "measurement.audience.parameter_max_count_filter", 25, 250, 0)          \
    X(isAudienceDynamicFiltersEnabled, bool, Flag, "measurement.audience.dynamic_filters", 1, 1, 0)                 \
    X(databaseDeleteStaleBundlesInterval, double, Time, "measurement.upload.stale_data_deletion_interval", 86400,    \
      604800, 3600)                                                                                                 \
    X(maxQueueTime, double, Time, "measurement.upload.max_queue_time", 2419200, 7862400, 604800)                   \
    X(adIDCacheTime, double, Time, "measurement.ad_id_cache_time", 1, 86400, 0)                                    \
    X(isIdentifierForVendorCollectionEnabled, bool, Flag,                                                          \
      "measurement.identity.identifier_for_vendor_collection_enabled", 1, 1, 0)                                    \
    X(isIAPSubscriptionNonConsumableReportEnabled, bool, Flag,                                                     \
      "measurement.event.beta_iap_subscription_nonconsumable_report", 1, 1, 0)                                     \
    X(isIAPIntroductoryOfferEnabled, bool, Flag, "measurement.event.alpha_iap_introductory_offer_enabled", 1, 1, 0) \
    X(monitoringSamplePeriod, double, Time, "measurement.monitoring.sample_period_millis", 86400, 604800, 0)        \
    X(isNetworkBackgroundSessionEnabled, bool, Flag, "measurement.network.background_session_enabled", 0, 1, 0)     \
    X(networkTimeout, double, Time, "measurement.network.network_timeout", 60, 3600, 30)                           \
    X(sessionDefaultMinimumInterval, double, Time, "measurement.session.default_minimum_interval", 10, 86400, 0)   \
    X(sessionDefaultTimeoutInterval, double, Time, "measurement.session.default_timeout_interval", 1800, 86400, 0) \
    X(sessionEventUserEngagementInterval, double, Time, "measurement.session.event_user_engagement_interval",      \
      3600, 86400, 0)                                                                                               \
    X(sessionIDEnabled, bool, Flag, "measurement.sessions.session_id_enabled", 0, 1, 0)                            \
    X(sessionImmediateStartEnabled, bool, Flag, "measurement.sessions.immediate_start_enabled", 0, 1, 0)           \
    X(sessionBackgroundEnabled, bool, Flag, "measurement.sessions.background_sessions_enabled", 0, 1, 0)           \
    X(sessionNumberEnabled, bool, Flag, "measurement.sessions.session_number_enabled", 0, 1, 0)                    \
    X(efficientEngagementReportingEnabled, bool, Flag,                                                             \
      "measurement.collection.efficient_engagement_reporting_enabled", 0, 1, 0)                                    \
    X(redundantEngagementRemovalEnabled, bool, Flag, "measurement.collection.redundant_engagement_removal_enabled", \
      0, 1, 0)                                                                                                      \
    X(uploadWhenAppInBackgroundEnabled, bool, Flag, "measurement.upload.upload_when_app_in_background_enabled", 1,  \
      1, 0)                                                                                                         \
    X(parsePurchaseDataEnabled, bool, Flag, "measurement.upload.beta_parse_purchase_data_enabled", 1, 1, 0)        \
    X(dedupePurchasesEnabled, bool, Flag, "measurement.upload.dedupe_purchases_enabled", 1, 1, 0)                  \
    X(maxConversionsPerDay, int32_t, Int, "measurement.upload.max_conversions_per_day", 500, 1000000, 0)           \
    X(maxEventsPerDay, int32_t, Int, "measurement.upload.max_events_per_day", 100000, 1000000, 0)                  \
    X(maxPublicEventsPerDay, int32_t, Int, "measurement.upload.max_public_events_per_day", 50000, 1000000, 0)      \
    X(maxErrorEventsPerDay, int32_t, Int, "measurement.upload.max_error_events_per_day", 1000, 1000000, 0)         \
    X(maxTrackedCurrencies, int32_t, Int, "measurement.lifetimevalue.max_currency_tracked", 4, 100, 1)             \
    X(maxEventsStored, int32_t, Int, "measurement.store.max_stored_events_per_app", 100000, 1000000, 0)            \
    X(uploadingInterval, double, Time, "measurement.upload.interval", 3600, 86400, 15)                             \
    X(uploadingInitialDelayInterval, double, Time, "measurement.upload.initial_upload_delay_time", 15, 86400, 1)   \
    X(uploadMaxBundlesLimit, int64_t, Int64, "measurement.upload.max_bundles", 100, 10000, 1)                      \
    X(uploadMaxEventsPerBundle, int64_t, Int64, "measurement.upload.max_events_per_bundle", 1000, 1000000, 1)      \
    X(uploadMaxSizeLimitBytes, int64_t, Int64, "measurement.upload.max_batch_size", 65536, 10485760, 0)            \
    X(uploadingRetryCount, int32_t, Int, "measurement.upload.retry_count", 6, 24, 1)                               \
    X(uploadingRetryInterval, double, Time, "measurement.upload.retry_time", 1800, 86400, 60)                      \
    X(maxBundlesCreatedPerIteration, int64_t, TimeTruncated, "measurement.upload.max_bundles_created_per_iteration", \
      100, 10000, 1)                                                                                                \
    X(maxRealtimeEventCountPerDay, int32_t, Int, "measurement.upload.max_realtime_events_per_day", 10, 10, 0)      \
    X(uploadingDebugModeInterval, double, Time, "measurement.upload.debug_upload_interval", 1, 15, 1)              \
    X(uploadingRealTimeInterval, double, Time, "measurement.upload.realtime_upload_interval", 10, 15, 10)          \
    X(blacklistInternal, bool, Flag, "measurement.upload.blacklist_internal", 0, 1, 0)                             \
    X(blacklistPublic, bool, Flag, "measurement.upload.blacklist_public", 0, 1, 0)                                 \
    X(isEventSamplingEnabled, bool, Flag, "measurement.event_sampling_enabled", 0, 1, 0)                           \
    X(isTimeZoneOffsetEnabled, bool, Flag, "measurement.sampling.time_zone_offset_enabled", 1, 1, 0)               \
    X(analyticsAccountTimeZoneOffsetMinutes, int32_t, Int, "measurement.account.time_zone_offset_minutes", 0, 900,  \
      -900)                                                                                                         \
    X(remoteConfigCacheTimeInterval, double, Time, "measurement.config.cache_time", 3600, 86400, 60)               \
    X(isResetAnalyticsDataEnabled, bool, Flag, "measurement.api.reset_analytics_data", 1, 1, 0)                    \
    X(isScreenViewReporterDelegateEnabled, bool, Flag, "measurement.screen.vedudodu_performance_delegate", 1, 1, 0)

class DMSRemoteConfig {
public:
    // Made once; answers only defaults.
    static DMSRemoteConfig& defaultInstance();
    // None for an empty app ID (29000) or no storage (29001).
    static std::unique_ptr<DMSRemoteConfig> initWithAppID(std::string_view appID,
                                                          DMSMeasurementConfigStorage* database);
    // Both empty makes a default instance. A given configuration is applied; otherwise the stored one is
    // loaded. `database` must outlive the object.
    static std::unique_ptr<DMSRemoteConfig> initWithAppID(std::string_view appID,
                                                          DMSMeasurementConfigStorage* database,
                                                          const std::optional<DMSMeasurementConfigFields>& config);
    DMSRemoteConfig(const DMSRemoteConfig&) = delete;
    DMSRemoteConfig& operator=(const DMSRemoteConfig&) = delete;

    bool isDefaultInstance() const { return isDefaultInstance_; }
    std::optional<DMSMeasurementConfigFields> measurementConfigFromDatabase();
    bool updateMeasurementConfig(const std::optional<DMSMeasurementConfigFields>& config);
    void reset();
    int64_t version() const;
    double lastRemoteConfigUpdateTimestamp();
    bool isExpired();

#define DMS_REMOTE_SETTING_ACCESSOR(property, type, reading, key, def, max, min) type property();
    DMS_REMOTE_SETTINGS(DMS_REMOTE_SETTING_ACCESSOR)
#undef DMS_REMOTE_SETTING_ACCESSOR

    // Settings by key. Maximum and minimum may be absent; the block converts the parsed number.
    using NumberBlock = std::function<std::optional<plat::Value>(const plat::Value&)>;
    std::optional<plat::Value> numberFromCacheWithKey(std::string_view key, const plat::Value& defaultValue,
                                                      const std::optional<plat::Value>& maxValue,
                                                      const std::optional<plat::Value>& minValue,
                                                      const NumberBlock& block = nullptr);
    double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue, double maxValue,
                                                 double minValue);
    int32_t intValueFromCacheWithKey(std::string_view key, int32_t defaultValue, int32_t maxValue, int32_t minValue);
    int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue, int64_t maxValue,
                                       int64_t minValue);
    int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue);
    // The same text means the same number on every device, whatever its locale.
    static std::optional<plat::Value> numberFromString(const plat::Value& text);
    std::optional<plat::Value> cacheValue(const std::optional<plat::Value>& value, std::string_view key);

    void parseRemoteConfigFromMeasurementConfig(const DMSMeasurementConfigFields& config);

    // Event configurations, filed under the internal short names.
    std::optional<DMSEventConfigFields> eventConfigWithName(std::string_view name);
    bool isEventBlacklisted(std::string_view name);
    bool isEventCustomConversion(std::string_view name);
    bool eventHasSamplingRate(std::string_view name);
    int64_t samplingRateForEvent(std::string_view name);

private:
    DMSRemoteConfig(std::string appID, DMSMeasurementConfigStorage* database);

    bool isDefaultInstance_ = false;
    std::string appID_;
    DMSMeasurementConfigStorage* database_ = nullptr;
    DVUMutableDictionary cachedValueByRemoteConfigKeys_;
    DVUMutableDictionary cachedEventConfigByEventName_;
    std::optional<DMSMeasurementConfigFields> remoteConfigProto_;
};
