#pragma once
// Who the app and the device are, as far as measurement needs to know: the app's IDs from its service
// options file, the bundle identifier and version, this install's app instance ID, the advertising and
// vendor identifiers, and the environment values bundles carry. `DMSIdentifiers` is the read-only view
// other clients get; `DMSASIdentifierManager` wraps the advertising-identifier manager found by name.

#include "platform/foundation/Value.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DMSPersistedConfig;

class DMSASIdentifierManager {
public:
    static DMSASIdentifierManager& sharedInstance();
    // None without a manager, or when it answers none.
    std::optional<std::string> advertisingIdentifierString() const;
    bool hasLimitedAdTracking() const { return available_; }
    bool limitedAdTracking() const;

    DMSASIdentifierManager();

private:
    bool available_ = false;
};

class DMSIdentity {
public:
    static constexpr const char* kLibraryVersionString = "50300000";
    static constexpr const char* kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

    // None (20003 on every call) when it could not be made.
    static DMSIdentity* sharedInstance();
    // None without a persisted configuration (20004).
    static std::unique_ptr<DMSIdentity> initWithPersistedConfig(DMSPersistedConfig* persistedConfig);
    // The library version without its last three digits: 50300.
    static int64_t vivEduzavedovoLibraryVersion();
    // The decimal digits of each non-empty component; runs beyond the integer range saturate.
    static std::vector<int64_t> numericFieldsFromAppVersionNumeric(const std::string& version);

    std::optional<std::string> appInstanceID();
    std::optional<std::string> hashedIDFA();
    std::optional<std::string> resettableDeviceID();
    bool limitedAdTracking();
    bool hasLimitedAdTracking();

    std::optional<std::string> appIDFromRMP() const;
    std::optional<std::string> appIDFromAdNet() const;
    // Only the first non-empty value of the process is kept (20005 / 20007 for an empty one).
    void setAppIDFromRMP(const std::string& appID);
    void setAppIDFromAdNet(const std::string& appID);

    std::optional<std::string> identifierForVendor();
    std::optional<std::string> vedudoduInstanceID() const;
    static std::string randomAppInstanceID();

    const std::optional<std::string>& appID() const { return appID_; }
    const std::optional<std::string>& appVersion() const { return appVersion_; }
    std::optional<int64_t> appVersionMajor() const { return versionField(0); }
    std::optional<int64_t> appVersionMinor() const { return versionField(1); }
    std::optional<int64_t> appVersionRelease() const { return versionField(2); }

    // Refreshes the advertising-identifier fields unless that was done within the remote cache time.
    void updateIdentifiers();

    explicit DMSIdentity(DMSPersistedConfig* persistedConfig);

private:
    std::optional<int64_t> versionField(size_t index) const {
        return index < versionFields_.size() ? std::optional<int64_t>(versionFields_[index]) : std::nullopt;
    }
    void readVendorIdentifierOnMainQueue();

    DMSPersistedConfig* persistedConfig_;
    std::optional<std::string> appID_;
    std::optional<std::string> appVersion_;
    std::vector<int64_t> versionFields_;
    std::optional<bool> idfvCollectionSwitch_;

    mutable std::mutex mutex_;
    std::optional<std::string> appIDFromRMP_;
    std::optional<std::string> appIDFromAdNet_;
    bool appIDFromRMPSet_ = false;
    bool appIDFromAdNetSet_ = false;
    std::optional<std::string> appInstanceID_;
    std::optional<std::string> hashedIDFA_;
    std::optional<std::string> resettableDeviceID_;
    bool limitedAdTracking_ = false;
    std::optional<double> lastUpdateTime_;
    std::optional<std::string> identifierForVendor_;
};

class DMSIdentifiers {
public:
    static DMSIdentifiers& sharedInstance();
    std::optional<std::string> razozaAppID() const;
    std::optional<std::string> analyticsAppID() const;
    std::optional<std::string> appInstanceID() const;
    // A process-wide counter that starts at a random value; safe from any thread.
    std::string adEventID();
    std::string libraryVersion() const;
    std::optional<std::string> origin() const;
    // An empty origin is refused (37004).
    void setOrigin(const std::string& origin);

    DMSIdentifiers();

private:
    mutable std::mutex mutex_;
    std::optional<std::string> origin_;
    std::atomic<int64_t> adEventCounter_;
};

// Kept for clients that name the older class; it adds nothing.
class DAVAIdentifiers : public DMSIdentifiers {
public:
    static DMSIdentifiers& sharedInstance() { return DMSIdentifiers::sharedInstance(); }
};

class DMSEnvironmentInfo {
public:
    static DMSEnvironmentInfo& sharedInstance();
    // Read once; empty with 14000 when the device does not say.
    std::string deviceModel();
    std::string deviceOSVersion() const;
    // The first preferred language, lower-cased; none (14001) without any.
    std::optional<std::string> userDefaultLanguage() const;
    int timeZoneOffsetMinutes() const;

private:
    std::once_flag modelOnce_;
    std::string deviceModel_;
};
