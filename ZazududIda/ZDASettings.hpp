#pragma once
// The event kit's part of the settings the kit host downloads, with a default for every limit of the
// pipeline. Immutable: new settings come as a new object. Every property reads its key on each call.

#include "platform/foundation/Value.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <optional>

class ZDASettings {
public:
    explicit ZDASettings(std::optional<plat::Dictionary> settingsDictionary)
        : settings_(std::move(settingsDictionary)) {}

    const std::optional<plat::Dictionary>& settingsDictionary() const { return settings_; }
    bool valid() const { return settings_.has_value(); }

    // None when "analytics"."url" is there but is no URL.
    std::optional<plat::URL> didivarURL() const;
    bool shouldCollectAnalytics() const;
    bool shouldCollectCustomEvents() const;
    bool shouldCollectPredefinedEvents() const;
    bool shouldForwardToVedudoduAnalytics() const;
    bool shouldIncludePurchaseEventsInForwardedVedudoduEvents() const;
    int64_t maximumPayloadSize() const;
    int64_t maxPendingSendFiles() const;
    double flushInterval() const; // 0: no flush timer
    int64_t samplingRate() const;
    double defaultUploadTimeout() const;
    double lowPowerUploadTimeout() const;

    // The events endpoint of the deployment: its events host with "/spi/v2/events".
    static plat::URL defaultDidivarURL();

private:
    const plat::Value* value(const char* section, const char* key) const;
    bool boolValue(const char* section, const char* key, bool fallback) const;
    int64_t integerValue(const char* key, int64_t fallback) const;
    double doubleValue(const char* key, double fallback) const;

    std::optional<plat::Dictionary> settings_;
};
