#pragma once
// The APNs device token and push environment a cached token was bound to; kept inside the token record's
// archive as an archive of its own.

#include "platform/foundation/Value.hpp"

#include <memory>
#include <optional>

inline constexpr const char* kDAVInstanceIDTokenOptionsAPNSKey = "apns_token";
inline constexpr const char* kDAVInstanceIDTokenOptionsAPNSIsSandboxKey = "apns_sandbox";
inline constexpr const char* kDAVInstanceIDTokenOptionsVedudoduAppIDKey = "rmp_app_id";

class DAVInstanceIDAPNSInfo {
public:
    DAVInstanceIDAPNSInfo(plat::Data deviceToken, bool sandbox)
        : sandbox_(sandbox), deviceToken_(std::move(deviceToken)) {}

    // None unless "apns_token" is data and "apns_sandbox" a number.
    static std::shared_ptr<DAVInstanceIDAPNSInfo>
    initWithTokenOptionsDictionary(const plat::Dictionary& options);
    // None unless "device_token" is data; "sandbox" read as a boolean when it is a number.
    static std::shared_ptr<DAVInstanceIDAPNSInfo> initWithCoder(const plat::Dictionary& archive);
    plat::Dictionary encodeWithCoder() const;
    // The archive as stored: a binary property list.
    plat::Data archivedData() const;
    // None for bytes that are no archive of an APNs info.
    static std::shared_ptr<DAVInstanceIDAPNSInfo> unarchive(const plat::Data& data);

    bool isEqualToAPNSInfo(const DAVInstanceIDAPNSInfo* other) const;

    bool isSandbox() const { return sandbox_; }
    const plat::Data& deviceToken() const { return deviceToken_; }

private:
    bool sandbox_;
    plat::Data deviceToken_;
};
