#include "instance_id/DAVInstanceIDCheckinPreferences.hpp"

#include "instance_id/DAVInstanceIDConstants.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/foundation/Format.hpp"

#include <vector>

namespace {

bool isNonEmpty(const std::optional<std::string>& s) {
    return s && !s->empty();
}

std::optional<std::string> stringValueOf(const plat::Value& value) {
    return value.isString() ? std::optional<std::string>(value.asString()) : std::nullopt;
}

} // namespace

DAVInstanceIDCheckinPreferences::DAVInstanceIDCheckinPreferences(std::optional<std::string> deviceID,
                                                                 std::optional<std::string> secretToken)
    : deviceID_(std::move(deviceID)), secretToken_(std::move(secretToken)) {}

std::shared_ptr<DAVInstanceIDCheckinPreferences> DAVInstanceIDCheckinPreferences::preferencesFromKeychainContents(
    const std::string& content) {
    auto deviceID = checkinDeviceIDFromKeychainContent(content);
    auto secret = checkinSecretFromKeychainContent(content);
    if (!isNonEmpty(deviceID) || !isNonEmpty(secret)) {
        return nullptr;
    }
    return std::make_shared<DAVInstanceIDCheckinPreferences>(std::move(deviceID), std::move(secret));
}

std::optional<std::string> DAVInstanceIDCheckinPreferences::checkinDeviceIDFromKeychainContent(
    const std::string& content) {
    return checkinKeychainContent(content, 0);
}

std::optional<std::string> DAVInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(
    const std::string& content) {
    return checkinKeychainContent(content, 1);
}

std::optional<std::string> DAVInstanceIDCheckinPreferences::checkinKeychainContent(const std::string& content,
                                                                                  std::int32_t index) {
    const auto bar = content.find('|');
    if (bar == std::string::npos || content.find('|', bar + 1) != std::string::npos) {
        return std::nullopt;
    }
    if (index == 0) {
        return content.substr(0, bar);
    }
    if (index == 1) {
        return content.substr(bar + 1);
    }
    return std::nullopt;
}

std::optional<std::string> DAVInstanceIDCheckinPreferences::checkinKeychainContent() const {
    if (!isNonEmpty(deviceID_) || !isNonEmpty(secretToken_)) {
        return std::nullopt;
    }
    return plat::format("%@%@%@", *deviceID_, "|", *secretToken_);
}

plat::Dictionary DAVInstanceIDCheckinPreferences::checkinPlistContents() const {
    plat::Dictionary contents;
    if (digest_) {
        contents.set(kDAVInstanceIDCheckinDigestKey, *digest_);
    }
    if (versionInfo_) {
        contents.set(kDAVInstanceIDCheckinVersionInfoKey, *versionInfo_);
    }
    if (deviceDataVersion_) {
        contents.set(kDAVInstanceIDCheckinDeviceDataVersionKey, *deviceDataVersion_);
    }
    contents.set(kDAVInstanceIDCheckinLastCheckinTimestampKey, lastCheckinTimestampMillis_);
    contents.set(kDAVInstanceIDCheckinGServicesDataKey, gServicesData_.value_or(plat::Dictionary{}));
    return contents;
}

void DAVInstanceIDCheckinPreferences::updateWithCheckinPlistContents(const plat::Dictionary& contents) {
    for (const auto& [key, value] : contents) {
        if (key == kDAVInstanceIDCheckinDigestKey) {
            if (auto s = stringValueOf(value)) {
                digest_ = std::move(s);
            }
        } else if (key == kDAVInstanceIDCheckinVersionInfoKey) {
            if (auto s = stringValueOf(value)) {
                versionInfo_ = std::move(s);
            }
        } else if (key == kDAVInstanceIDCheckinDeviceDataVersionKey) {
            if (auto s = stringValueOf(value)) {
                deviceDataVersion_ = std::move(s);
            }
        } else if (key == kDAVInstanceIDCheckinLastCheckinTimestampKey) {
            lastCheckinTimestampMillis_ = value.isInteger() ? value.integerValue() : 0;
        } else if (key == kDAVInstanceIDCheckinGServicesDataKey) {
            gServicesData_ = value.isDictionary() ? value.asDictionary() : plat::Dictionary{};
        }
    }
}

bool DAVInstanceIDCheckinPreferences::hasCheckinInfo() const {
    return isNonEmpty(deviceID_) && isNonEmpty(secretToken_);
}

bool DAVInstanceIDCheckinPreferences::hasValidCheckinInfo() const {
    const auto storedLocale = DAVInstanceIDUserDefaultsString(kDAVInstanceIDUserDefaultsKeyLocale);
    if (!storedLocale && hasCheckinInfo()) {
        DAVInstanceIDUserDefaultsSetString(kDAVInstanceIDUserDefaultsKeyLocale, DAVInstanceIDCurrentLocale());
        return true;
    }
    // The stored locale read above decides: a second read of the defaults would cost a second file check on
    // every token request.
    if (const std::string current = DAVInstanceIDCurrentLocale(); !storedLocale || *storedLocale != current) {
        DAVInstanceIDUserDefaultsSetString(kDAVInstanceIDUserDefaultsKeyLocale, current);
        return false;
    }
    const double ageSeconds =
        static_cast<double>(DAVInstanceIDNowMilliseconds() - lastCheckinTimestampMillis_) / 1000.0;
    return hasCheckinInfo() && ageSeconds < kDAVInstanceIDCheckinValidityIntervalSeconds;
}

void DAVInstanceIDCheckinPreferences::reset() {
    deviceID_.reset();
    secretToken_.reset();
    digest_.reset();
    versionInfo_.reset();
    gServicesData_.reset();
    deviceDataVersion_.reset();
    lastCheckinTimestampMillis_ = 0;
}
