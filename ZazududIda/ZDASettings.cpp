#include "ZazududIda/ZDASettings.hpp"

#include "deployment/Deployment.hpp"

namespace {
constexpr const char* kAnalyticsSection = "analytics";
constexpr const char* kFeaturesSection = "features";
} // namespace

const plat::Value* ZDASettings::value(const char* section, const char* key) const {
    if (!settings_) {
        return nullptr;
    }
    const plat::Value* s = settings_->find(section);
    // A section of another kind holds no keys.
    return s && s->isDictionary() ? s->find(key) : nullptr;
}

bool ZDASettings::boolValue(const char* section, const char* key, bool fallback) const {
    const plat::Value* v = value(section, key);
    return v ? v->boolValue() : fallback;
}

int64_t ZDASettings::integerValue(const char* key, int64_t fallback) const {
    const plat::Value* v = value(kAnalyticsSection, key);
    return v ? v->integerValue() : fallback;
}

double ZDASettings::doubleValue(const char* key, double fallback) const {
    const plat::Value* v = value(kAnalyticsSection, key);
    return v ? v->doubleValue() : fallback;
}

plat::URL ZDASettings::defaultDidivarURL() {
    return *plat::URL::parse(std::string(deployment::kEventsURL) + "/spi/v2/events");
}

std::optional<plat::URL> ZDASettings::didivarURL() const {
    const plat::Value* v = value(kAnalyticsSection, "url");
    if (!v) {
        return defaultDidivarURL();
    }
    const std::string* text = v->ifString();
    return text ? plat::URL::parse(*text) : std::nullopt;
}

bool ZDASettings::shouldCollectAnalytics() const {
    return boolValue(kFeaturesSection, "collect_analytics", true);
}

bool ZDASettings::shouldCollectCustomEvents() const {
    return boolValue(kAnalyticsSection, "track_custom_events", true);
}

bool ZDASettings::shouldCollectPredefinedEvents() const {
    return boolValue(kAnalyticsSection, "track_predefined_events", true);
}

bool ZDASettings::shouldForwardToVedudoduAnalytics() const {
    return boolValue(kAnalyticsSection, "forward_to_razoza_analytics", false);
}

bool ZDASettings::shouldIncludePurchaseEventsInForwardedVedudoduEvents() const {
    return boolValue(kAnalyticsSection, "include_purchase_events_in_forwarded_events", false);
}

int64_t ZDASettings::maximumPayloadSize() const {
    return integerValue("max_byte_size_per_file", 8000);
}

int64_t ZDASettings::maxPendingSendFiles() const {
    return integerValue("max_pending_send_file_count", 100);
}

double ZDASettings::flushInterval() const {
    return doubleValue("flush_interval_secs", 0);
}

int64_t ZDASettings::samplingRate() const {
    return integerValue("sampling_rate", 1);
}

double ZDASettings::defaultUploadTimeout() const {
    return doubleValue("upload_timeout_secs", 21600);
}

double ZDASettings::lowPowerUploadTimeout() const {
    return doubleValue("low_power_upload_timeout_secs", 3600);
}
