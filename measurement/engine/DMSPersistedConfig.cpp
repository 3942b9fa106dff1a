#include "measurement/engine/DMSPersistedConfig.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/storage/DMSUserDefaults.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/Random.hpp"

namespace {

constexpr const char* kDMSConfigLastDeleteStale = "/razoza/measurement/last_delete_stale";
constexpr const char* kDMSConfigSearchAdCampaign = "/razoza/measurement/is_search_ad_campaign";
constexpr const char* kDMSConfigSearchAdLastAttempt = "/razoza/measurement/search_ad_last_attempt_timestamp";
constexpr const char* kDMSConfigSearchAdRetries = "/razoza/measurement/search_ad_number_of_retries";
constexpr const char* kDMSConfigAppInstanceID = "/razoza/measurement/app_instance_id";
constexpr const char* kDMSConfigRMPAppID = "/razoza/measurement/rmp_app_id";
constexpr const char* kDMSConfigAdNetAppID = "/razoza/measurement/adnet_app_id";
constexpr const char* kDMSConfigHashedIDFA = "/razoza/measurement/hashed_idfa";
constexpr const char* kDMSConfigMeasurementEnabledState = "/razoza/measurement/measurement_enabled_state";
constexpr const char* kDMSConfigLastBackoff = "/razoza/measurement/last_backoff";
constexpr const char* kDMSConfigLastSuccessfulUpload = "/razoza/measurement/last_successful_upload";
constexpr const char* kDMSConfigLastFailedUpload = "/razoza/measurement/last_failed_upload";
constexpr const char* kDMSConfigAppVersion = "/razoza/measurement/app_version";
constexpr const char* kDMSConfigOSVersion = "/razoza/measurement/os_version";
constexpr const char* kDMSConfigMidnightOffset = "/razoza/measurement/midnight_offset";
constexpr const char* kDMSConfigLastMonitorSampled = "/razoza/measurement/last_monitor_data_sampled_timestamp";
constexpr const char* kDMSConfigFirstOpenMs = "/razoza/measurement/first_open_timestamp_ms";
constexpr const char* kDMSConfigLastModified = "/razoza/measurement/last_modified_since_key";
constexpr const char* kDMSConfigDeferredCollection = "/razoza/measurement/deferred_analytics_collection";
constexpr const char* kDMSConfigLoadTimestamp = "/razoza/measurement/load_timestamp";
constexpr const char* kDMSConfigStartNewSession = "/razoza/measurement/start_new_session";
constexpr const char* kDMSConfigLastEngagementEnd = "/razoza/measurement/last_engagement_end";
constexpr const char* kDMSConfigEngagementBeforeSession = "/razoza/measurement/et_before_session_start";
constexpr const char* kDMSConfigSessionNumber = "/razoza/measurement/session_number";

} // namespace

DMSPersistedConfig* DMSPersistedConfig::sharedInstance() {
    static plat::NeverDestroyed<std::unique_ptr<DMSPersistedConfig>> shared(initWithSuiteName(kSuiteName));
    if (!*shared) {
        DMSMeasurement::monitor().logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
    }
    return shared->get();
}

std::unique_ptr<DMSPersistedConfig> DMSPersistedConfig::initWithSuiteName(const std::string& suiteName) {
    if (suiteName.empty()) {
        return nullptr;
    }
    return std::make_unique<DMSPersistedConfig>(suiteName);
}

DMSPersistedConfig::DMSPersistedConfig(const std::string& suiteName)
    : name_(suiteName), userDefaults_(std::make_unique<DMSUserDefaults>(suiteName)),
      serialQueue_(plat::DispatchQueue::makeSerial("DMSPersistedConfig")) {}

// The store flushes what is still pending when it goes away.
DMSPersistedConfig::~DMSPersistedConfig() = default;

std::optional<plat::Value> DMSPersistedConfig::objectForKey(const std::string& key) {
    return serialQueue_->sync([&] { return userDefaults_->objectForKey(key); });
}

void DMSPersistedConfig::setObject(const std::optional<plat::Value>& value, const std::string& key) {
    serialQueue_->sync([&] { userDefaults_->setObject(value, key); });
}

int64_t DMSPersistedConfig::int64ForKey(const std::string& key) {
    return int64ForKey(key, *userDefaults_);
}

int64_t DMSPersistedConfig::int64ForKey(const std::string& key, DMSUserDefaults& userDefault) {
    if (key.empty()) {
        return 0;
    }
    return serialQueue_->sync([&]() -> int64_t {
        auto value = userDefault.objectForKey(key);
        return value && value->isNumber() ? value->integerValue() : 0;
    });
}

double DMSPersistedConfig::doubleForKey(const std::string& key) {
    if (key.empty()) {
        return 0;
    }
    return serialQueue_->sync([&] { return userDefaults_->doubleForKey(key); });
}

std::optional<std::string> DMSPersistedConfig::stringForKey(const std::string& key) {
    if (key.empty()) {
        return std::nullopt;
    }
    return serialQueue_->sync([&] { return userDefaults_->stringForKey(key); });
}

void DMSPersistedConfig::setInt64(int64_t value, const std::string& key) {
    serialQueue_->sync([&] { userDefaults_->setObject(plat::Value(value), key); });
    scheduleSynchronizeToDisk();
}

void DMSPersistedConfig::setDouble(double value, const std::string& key) {
    serialQueue_->sync([&] { userDefaults_->setDouble(value, key); });
    scheduleSynchronizeToDisk();
}

void DMSPersistedConfig::setString(const std::optional<std::string>& value, const std::string& key) {
    serialQueue_->sync([&] {
        userDefaults_->setObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, key);
    });
    scheduleSynchronizeToDisk();
}

void DMSPersistedConfig::clearValues() {
    serialQueue_->sync([this] { userDefaults_->clearAllData(); });
}

void DMSPersistedConfig::scheduleSynchronizeToDisk() {
    // The store's own coalesced flush runs on a timer independent of the calling thread.
    serialQueue_->sync([this] { userDefaults_->scheduleSynchronize(); });
}

void DMSPersistedConfig::synchronizeToDisk() {
    serialQueue_->sync([this] { userDefaults_->synchronize(); });
}

double DMSPersistedConfig::midnightOffset() {
    return serialQueue_->sync([this] {
        auto stored = userDefaults_->objectForKey(kDMSConfigMidnightOffset);
        if (stored && stored->isNumber()) {
            return stored->doubleValue();
        }
        double offset = plat::Random::uniform(86400000) / 1000.0;
        userDefaults_->setDouble(offset, kDMSConfigMidnightOffset);
        return offset;
    });
}

int64_t DMSPersistedConfig::measurementEnabledState() {
    return int64ForKey(kDMSConfigMeasurementEnabledState, DMSUserDefaults::standardUserDefaults());
}

std::optional<plat::Value> DMSPersistedConfig::searchAdCampaignValue() {
    return userDefaults_->objectForKey(kDMSConfigSearchAdCampaign);
}

void DMSPersistedConfig::setSearchAdCampaignValue(const std::optional<plat::Value>& value) {
    if (value && value->isNumber()) {
        userDefaults_->setObject(value, kDMSConfigSearchAdCampaign);
    }
}

std::optional<plat::Value> DMSPersistedConfig::configServerLastModifiedString() {
    return objectForKey(kDMSConfigLastModified);
}

void DMSPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& value) {
    setObject(value ? std::optional<plat::Value>(plat::Value(*value)) : std::nullopt, kDMSConfigLastModified);
}

std::optional<plat::Value> DMSPersistedConfig::deferredAnalyticsCollection() {
    return objectForKey(kDMSConfigDeferredCollection);
}

void DMSPersistedConfig::setDeferredAnalyticsCollection(const std::optional<plat::Value>& value) {
    setObject(value, kDMSConfigDeferredCollection);
}

std::optional<plat::Value> DMSPersistedConfig::loadTimestampValue() {
    return objectForKey(kDMSConfigLoadTimestamp);
}

void DMSPersistedConfig::setLoadTimestampValue(const std::optional<plat::Value>& value) {
    setObject(value, kDMSConfigLoadTimestamp);
}

bool DMSPersistedConfig::startNewSession() {
    return serialQueue_->sync([this] { return userDefaults_->boolForKey(kDMSConfigStartNewSession); });
}

void DMSPersistedConfig::setStartNewSession(bool value) {
    serialQueue_->sync([&] { userDefaults_->setBool(value, kDMSConfigStartNewSession); });
}

#define DMS_CONFIG_DOUBLE(getter, setter, key)                                                                   \
    double DMSPersistedConfig::getter() { return doubleForKey(key); }                                             \
    void DMSPersistedConfig::setter(double value) { setDouble(value, key); }
#define DMS_CONFIG_INT64(getter, setter, key)                                                                    \
    int64_t DMSPersistedConfig::getter() { return int64ForKey(key); }                                             \
    void DMSPersistedConfig::setter(int64_t value) { setInt64(value, key); }
#define DMS_CONFIG_STRING(getter, setter, key)                                                                   \
    std::optional<std::string> DMSPersistedConfig::getter() { return stringForKey(key); }                         \
    void DMSPersistedConfig::setter(const std::optional<std::string>& value) { setString(value, key); }

DMS_CONFIG_DOUBLE(lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp, kDMSConfigLastDeleteStale)
DMS_CONFIG_DOUBLE(lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp, kDMSConfigSearchAdLastAttempt)
DMS_CONFIG_INT64(searchAdRetryCount, setSearchAdRetryCount, kDMSConfigSearchAdRetries)
DMS_CONFIG_STRING(appInstanceID, setAppInstanceID, kDMSConfigAppInstanceID)
DMS_CONFIG_STRING(appIDFromRMP, setAppIDFromRMP, kDMSConfigRMPAppID)
DMS_CONFIG_STRING(appIDFromAdNet, setAppIDFromAdNet, kDMSConfigAdNetAppID)
DMS_CONFIG_STRING(hashedIDFA, setHashedIDFA, kDMSConfigHashedIDFA)
DMS_CONFIG_DOUBLE(lastBackoffTimestamp, setLastBackoffTimestamp, kDMSConfigLastBackoff)
DMS_CONFIG_DOUBLE(lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp, kDMSConfigLastSuccessfulUpload)
DMS_CONFIG_DOUBLE(lastFailedUploadTimestamp, setLastFailedUploadTimestamp, kDMSConfigLastFailedUpload)
DMS_CONFIG_STRING(appVersion, setAppVersion, kDMSConfigAppVersion)
DMS_CONFIG_STRING(osVersion, setOSVersion, kDMSConfigOSVersion)
DMS_CONFIG_DOUBLE(lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp, kDMSConfigLastMonitorSampled)
DMS_CONFIG_INT64(firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds, kDMSConfigFirstOpenMs)
DMS_CONFIG_DOUBLE(lastSessionActivityClockTime, setLastSessionActivityClockTime, kDMSConfigLastEngagementEnd)
DMS_CONFIG_DOUBLE(engagementTimeBeforeSessionStart, setEngagementTimeBeforeSessionStart,
                  kDMSConfigEngagementBeforeSession)
DMS_CONFIG_INT64(sessionNumber, setSessionNumber, kDMSConfigSessionNumber)
