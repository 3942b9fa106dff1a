#include "measurement/engine/DMSRemoteConfig.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <charconv>
#include <cmath>

namespace {

DMSMonitor& remoteConfigMonitor() {
    return DMSMeasurement::monitor();
}

// Longer texts are no setting the server means; they read as unreadable.
constexpr size_t kRemoteConfigMaxNumberText = 64;

plat::Value remoteConfigEventValue(const DMSEventConfigFields& config) {
    plat::Value value = plat::Value::emptyDictionary();
    value["name"] = config.name;
    if (config.blacklisted) {
        value["blacklisted"] = *config.blacklisted;
    }
    if (config.customConversion) {
        value["custom_conversion"] = *config.customConversion;
    }
    if (config.samplingRate) {
        value["sampling_rate"] = *config.samplingRate;
    }
    return value;
}

DMSEventConfigFields remoteConfigEventFields(const plat::Value& value) {
    DMSEventConfigFields fields;
    if (const plat::Value* name = value.find("name"); name && name->isString()) {
        fields.name = name->asString();
    }
    if (const plat::Value* v = value.find("blacklisted")) {
        fields.blacklisted = v->boolValue();
    }
    if (const plat::Value* v = value.find("custom_conversion")) {
        fields.customConversion = v->boolValue();
    }
    if (const plat::Value* v = value.find("sampling_rate")) {
        fields.samplingRate = v->integerValue();
    }
    return fields;
}

} // namespace

DMSRemoteConfig::DMSRemoteConfig(std::string appID, DMSMeasurementConfigStorage* database)
    : isDefaultInstance_(appID.empty() && database == nullptr), appID_(std::move(appID)), database_(database) {}

DMSRemoteConfig& DMSRemoteConfig::defaultInstance() {
    static plat::NeverDestroyed<std::unique_ptr<DMSRemoteConfig>> shared(initWithAppID("", nullptr, std::nullopt));
    return **shared;
}

std::unique_ptr<DMSRemoteConfig> DMSRemoteConfig::initWithAppID(std::string_view appID,
                                                                DMSMeasurementConfigStorage* database) {
    if (appID.empty()) {
        remoteConfigMonitor().logWithLevel(1, 29000, "Cannot init remote configuration without valid Razoza App ID");
        return nullptr;
    }
    if (!database) {
        remoteConfigMonitor().logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
        return nullptr;
    }
    return initWithAppID(appID, database, std::nullopt);
}

std::unique_ptr<DMSRemoteConfig> DMSRemoteConfig::initWithAppID(
    std::string_view appID, DMSMeasurementConfigStorage* database,
    const std::optional<DMSMeasurementConfigFields>& config) {
    std::unique_ptr<DMSRemoteConfig> remoteConfig(new DMSRemoteConfig(std::string(appID), database));
    if (remoteConfig->isDefaultInstance_) {
        return remoteConfig;
    }
    if (config) {
        remoteConfig->updateMeasurementConfig(config);
    } else if (auto stored = remoteConfig->measurementConfigFromDatabase()) {
        remoteConfig->remoteConfigProto_ = stored;
        remoteConfig->parseRemoteConfigFromMeasurementConfig(*stored);
    }
    return remoteConfig;
}

std::optional<DMSMeasurementConfigFields> DMSRemoteConfig::measurementConfigFromDatabase() {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
    if (isDefaultInstance_ || !database_) {
        remoteConfigMonitor().logWithLevel(
            1, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
        return std::nullopt;
    }
    plat::Error error;
    auto config = database_->queryMeasurementConfig(&error);
    if (!config) {
        if (error.code != 0) {
            remoteConfigMonitor().logWithLevel(1, 29016, "Cannot retrieve configuration data from database. Error",
                                               error);
        } else {
            remoteConfigMonitor().logWithLevel(7, 29017,
                                               "Configuration was not found in database. The configuration will be "
                                               "fetched from the network when necessary");
        }
    }
    return config;
}

bool DMSRemoteConfig::updateMeasurementConfig(const std::optional<DMSMeasurementConfigFields>& config) {
    DMSScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
    if (isDefaultInstance_ || !database_) {
        remoteConfigMonitor().logWithLevel(1, 29002, "Cannot update the default measurement configuration");
        return false;
    }
    if (!config) {
        remoteConfigMonitor().logWithLevel(4, 29003, "Cannot set empty measurement config to database");
        return false;
    }
    // The "am" origin's extra check on the ad-network app ID waits for the identifiers' data-collection
    // origin; until then no origin is "am".
    if (config->appID.value_or("") != appID_) {
        remoteConfigMonitor().logWithLevel(1, 29004, "Cannot set measurement config when Razoza App ID does not match");
        return false;
    }
    plat::Error error;
    if (!database_->updateRemoteConfig(*config, &error)) {
        remoteConfigMonitor().logWithLevel(1, 29005, "Cannot store config into the database", error);
        return false;
    }
    remoteConfigProto_ = config;
    parseRemoteConfigFromMeasurementConfig(*config);
    return true;
}

void DMSRemoteConfig::reset() {
    cachedValueByRemoteConfigKeys_.removeAllObjects();
    cachedEventConfigByEventName_.removeAllObjects();
    if (!isDefaultInstance_) {
        remoteConfigProto_.reset();
    }
}

int64_t DMSRemoteConfig::version() const {
    return remoteConfigProto_ && remoteConfigProto_->version ? *remoteConfigProto_->version : -1;
}

double DMSRemoteConfig::lastRemoteConfigUpdateTimestamp() {
    if (isDefaultInstance_ || !database_) {
        remoteConfigMonitor().logWithLevel(1, 29008,
                                           "Cannot fetch the last configuration update timestamp from the default "
                                           "instance");
        return 0;
    }
    plat::Error error;
    auto timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
    if (!timestamp) {
        if (error.code != 0) {
            remoteConfigMonitor().logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                                               error);
        }
        return 0;
    }
    return *timestamp;
}

bool DMSRemoteConfig::isExpired() {
    if (isDefaultInstance_ || !database_) {
        remoteConfigMonitor().logWithLevel(1, 29007, "Cannot fetch the last update timestamp from the default "
                                                     "configuration");
        return false;
    }
    return remoteConfigCacheTimeInterval() <= std::fabs(plat::Clock::now() - lastRemoteConfigUpdateTimestamp());
}

// Settings.

std::optional<plat::Value> DMSRemoteConfig::numberFromString(const plat::Value& text) {
    const std::string* string = text.ifString();
    if (!string) {
        remoteConfigMonitor().logWithLevel(1, 29018, "Cannot parse number from non-string");
        return std::nullopt;
    }
    std::string_view digits(*string);
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) {
        digits.remove_prefix(1);
    }
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) {
        digits.remove_suffix(1);
    }
    if (digits.empty() || digits.size() > kRemoteConfigMaxNumberText) {
        return std::nullopt;
    }
    if (digits.front() == '+') {
        digits.remove_prefix(1);
    }
    const char* end = digits.data() + digits.size();
    int64_t integer = 0;
    auto [intEnd, intError] = std::from_chars(digits.data(), end, integer);
    if (intError == std::errc() && intEnd == end) {
        return plat::Value(integer);
    }
    double real = 0;
    auto [realEnd, realError] = std::from_chars(digits.data(), end, real, std::chars_format::fixed);
    if (realError == std::errc() && realEnd == end && std::isfinite(real)) {
        return plat::Value(real);
    }
    return std::nullopt;
}

std::optional<plat::Value> DMSRemoteConfig::cacheValue(const std::optional<plat::Value>& value,
                                                       std::string_view key) {
    if (!value || key.empty()) {
        remoteConfigMonitor().logWithLevel(4, 29019, "Cannot cache empty configuration value");
        return std::nullopt;
    }
    cachedValueByRemoteConfigKeys_.setObject(*value, std::string(key));
    return value;
}

std::optional<plat::Value> DMSRemoteConfig::numberFromCacheWithKey(std::string_view key,
                                                                   const plat::Value& defaultValue,
                                                                   const std::optional<plat::Value>& maxValue,
                                                                   const std::optional<plat::Value>& minValue,
                                                                   const NumberBlock& block) {
    if (key.empty()) {
        remoteConfigMonitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
        return std::nullopt;
    }
    auto cached = cachedValueByRemoteConfigKeys_.objectForKey(key);
    if (!cached) {
        return cacheValue(defaultValue, key);
    }
    if (cached->isNumber()) {
        return cached;
    }
    auto number = cached->isString() ? numberFromString(*cached) : std::nullopt;
    if (number && block) {
        number = block(*number);
    }
    if (!number || (minValue && number->doubleValue() < minValue->doubleValue()) ||
        (maxValue && number->doubleValue() > maxValue->doubleValue())) {
        number = defaultValue;
    }
    return cacheValue(number, key);
}

double DMSRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                                              double maxValue, double minValue) {
    auto number = numberFromCacheWithKey(key, plat::Value(defaultValue), plat::Value(maxValue), plat::Value(minValue),
                                         [](const plat::Value& millis) {
                                             return std::optional<plat::Value>(
                                                 plat::Value(static_cast<double>(millis.longLongValue() / 1000)));
                                         });
    return number ? number->doubleValue() : defaultValue;
}

int32_t DMSRemoteConfig::intValueFromCacheWithKey(std::string_view key, int32_t defaultValue, int32_t maxValue,
                                                  int32_t minValue) {
    auto number = numberFromCacheWithKey(key, plat::Value(defaultValue), plat::Value(maxValue), plat::Value(minValue));
    return number ? number->intValue() : defaultValue;
}

int64_t DMSRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue, int64_t maxValue,
                                                    int64_t minValue) {
    auto number = numberFromCacheWithKey(key, plat::Value(defaultValue), plat::Value(maxValue), plat::Value(minValue));
    return number ? number->longLongValue() : defaultValue;
}

int64_t DMSRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue) {
    auto number = numberFromCacheWithKey(key, plat::Value(defaultValue), std::nullopt, std::nullopt);
    return number ? number->longLongValue() : defaultValue;
}

// The reading of each kind of setting, for the accessors below.
#define DMS_REMOTE_READ_Time(key, def, max, min) timeIntervalInSecondsFromCacheWithKey(key, def, max, min)
#define DMS_REMOTE_READ_Flag(key, def, max, min) (intValueFromCacheWithKey(key, def, max, min) == 1)
#define DMS_REMOTE_READ_Int(key, def, max, min) intValueFromCacheWithKey(key, def, max, min)
#define DMS_REMOTE_READ_Int64(key, def, max, min) int64ValueFromCacheWithKey(key, def, max, min)
#define DMS_REMOTE_READ_TimeTruncated(key, def, max, min)                                                          \
    static_cast<int64_t>(timeIntervalInSecondsFromCacheWithKey(key, def, max, min))
#define DMS_REMOTE_SETTING_DEFINITION(property, type, reading, key, def, max, min)                                  \
    type DMSRemoteConfig::property() { return DMS_REMOTE_READ_##reading(key, def, max, min); }
DMS_REMOTE_SETTINGS(DMS_REMOTE_SETTING_DEFINITION)
#undef DMS_REMOTE_SETTING_DEFINITION
#undef DMS_REMOTE_READ_Time
#undef DMS_REMOTE_READ_Flag
#undef DMS_REMOTE_READ_Int
#undef DMS_REMOTE_READ_Int64
#undef DMS_REMOTE_READ_TimeTruncated

// Parsing.

void DMSRemoteConfig::parseRemoteConfigFromMeasurementConfig(const DMSMeasurementConfigFields& config) {
    if (!config.settings) {
        remoteConfigMonitor().logWithLevel(1, 29012, "Cannot parse empty measurement config. Using default values");
        return;
    }
    if (config.appID.value_or("") != appID_) {
        return;
    }
    cachedValueByRemoteConfigKeys_.removeAllObjects();
    for (const auto& setting : *config.settings) {
        cacheValue(setting.value ? std::optional<plat::Value>(plat::Value(*setting.value)) : std::nullopt,
                   setting.name);
    }
    cachedEventConfigByEventName_.removeAllObjects();
    const auto& names = DMSEventNameTable();
    for (const auto& eventConfig : config.eventConfigs) {
        if (eventConfig.name.empty()) {
            remoteConfigMonitor().logWithLevel(4, 29013,
                                               "Cannot cache event configuration with an empty configuration name");
            continue;
        }
        auto internal = names.find(eventConfig.name);
        cachedEventConfigByEventName_.setObject(remoteConfigEventValue(eventConfig),
                                                internal == names.end() ? eventConfig.name : internal->second);
    }
    if (config.version) {
        remoteConfigMonitor().logWithLevel(7, 29014, "Successfully parsed a configuration. Version",
                                           plat::Value(*config.version));
    }
}

// Event questions.

std::optional<DMSEventConfigFields> DMSRemoteConfig::eventConfigWithName(std::string_view name) {
    if (name.empty()) {
        remoteConfigMonitor().logWithLevel(4, 29006, "Cannot find event config with empty event name");
        return std::nullopt;
    }
    auto value = cachedEventConfigByEventName_.objectForKey(name);
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return remoteConfigEventFields(*value);
}

bool DMSRemoteConfig::isEventBlacklisted(std::string_view name) {
    auto config = eventConfigWithName(name);
    if (config && config->blacklisted.value_or(false)) {
        return true;
    }
    return DMSIsPublicName(DMSObject(plat::Value(std::string(name)))) ? blacklistPublic() : blacklistInternal();
}

bool DMSRemoteConfig::isEventCustomConversion(std::string_view name) {
    auto config = eventConfigWithName(name);
    return config && config->customConversion.value_or(false);
}

bool DMSRemoteConfig::eventHasSamplingRate(std::string_view name) {
    auto config = eventConfigWithName(name);
    return config && config->samplingRate.has_value();
}

int64_t DMSRemoteConfig::samplingRateForEvent(std::string_view name) {
    auto config = eventConfigWithName(name);
    if (config && config->samplingRate && *config->samplingRate >= 2 && *config->samplingRate <= 65535) {
        return *config->samplingRate;
    }
    return 1;
}
