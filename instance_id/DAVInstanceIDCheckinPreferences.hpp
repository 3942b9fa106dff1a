#pragma once
// The device's check-in as held in memory: the credentials (device ID and secret) and what came with them,
// with the rule that decides whether the check-in is still valid.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

inline constexpr const char* kDAVInstanceIDCheckinDigestKey = "VUREzodevevUDDigestKey";
inline constexpr const char* kDAVInstanceIDCheckinVersionInfoKey = "VUREzodevevUDVersionInfo";
inline constexpr const char* kDAVInstanceIDCheckinDeviceDataVersionKey = "VUREzodevevUDDeviceDataVersion";
inline constexpr const char* kDAVInstanceIDCheckinLastCheckinTimestampKey = "VUREzodevevUDLastCheckinTimestampKey";
inline constexpr const char* kDAVInstanceIDCheckinGServicesDataKey = "VUREzodevevUDGServicesData";
// An older layout kept the credentials in the plist too; they are read, never written.
inline constexpr const char* kDAVInstanceIDCheckinOldDeviceIDKey = "VUREzodevevUDDeviceAuthIdKey";
inline constexpr const char* kDAVInstanceIDCheckinOldSecretTokenKey = "VUREzodevevUDSecretTokenKey";

// Seven days.
inline constexpr double kDAVInstanceIDCheckinValidityIntervalSeconds = 604800;

class DAVInstanceIDCheckinPreferences {
public:
    DAVInstanceIDCheckinPreferences(std::optional<std::string> deviceID, std::optional<std::string> secretToken);

    // None unless the content is exactly two non-empty "|"-separated parts.
    static std::shared_ptr<DAVInstanceIDCheckinPreferences> preferencesFromKeychainContents(
        const std::string& content);
    static std::optional<std::string> checkinDeviceIDFromKeychainContent(const std::string& content);
    static std::optional<std::string> checkinSecretFromKeychainContent(const std::string& content);
    static std::optional<std::string> checkinKeychainContent(const std::string& content, std::int32_t index);

    std::optional<std::string> checkinKeychainContent() const;
    plat::Dictionary checkinPlistContents() const;
    // Values of another type than their key's are not taken; a timestamp that is no integer reads 0 and
    // settings that are no dictionary read empty.
    void updateWithCheckinPlistContents(const plat::Dictionary& contents);

    bool hasCheckinInfo() const;
    // Stores the current locale when none is stored or it changed (the user-defaults key shared with the
    // locale-change test).
    bool hasValidCheckinInfo() const;
    void reset();

    bool hasPreCachedAuthCredentials() const { return hasPreCachedAuthCredentials_; }
    void setHasPreCachedAuthCredentials(bool v) { hasPreCachedAuthCredentials_ = v; }
    const std::optional<std::string>& deviceID() const { return deviceID_; }
    const std::optional<std::string>& secretToken() const { return secretToken_; }
    const std::optional<std::string>& deviceDataVersion() const { return deviceDataVersion_; }
    void setDeviceDataVersion(std::optional<std::string> v) { deviceDataVersion_ = std::move(v); }
    const std::optional<std::string>& digest() const { return digest_; }
    void setDigest(std::optional<std::string> v) { digest_ = std::move(v); }
    const std::optional<std::string>& versionInfo() const { return versionInfo_; }
    void setVersionInfo(std::optional<std::string> v) { versionInfo_ = std::move(v); }
    const std::optional<plat::Dictionary>& gServicesData() const { return gServicesData_; }
    void setGServicesData(std::optional<plat::Dictionary> v) { gServicesData_ = std::move(v); }
    std::int64_t lastCheckinTimestampMillis() const { return lastCheckinTimestampMillis_; }
    void setLastCheckinTimestampMillis(std::int64_t v) { lastCheckinTimestampMillis_ = v; }

private:
    bool hasPreCachedAuthCredentials_ = false;
    std::optional<std::string> deviceID_;
    std::optional<std::string> secretToken_;
    std::optional<std::string> deviceDataVersion_;
    std::optional<std::string> digest_;
    std::optional<std::string> versionInfo_;
    std::optional<plat::Dictionary> gServicesData_;
    std::int64_t lastCheckinTimestampMillis_ = 0;
};
