#pragma once
// What the client remembers of one token: the entity and scope it was issued for, the app version, app ID
// and APNs binding it was fetched under and when it was cached, with the rule that decides whether it is
// still fresh.

#include "instance_id/DAVInstanceIDAPNSInfo.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/Value.hpp"

#include <memory>
#include <optional>
#include <string>

class DAVInstanceIDTokenInfo {
public:
    DAVInstanceIDTokenInfo(std::string authorizedEntity, std::string scope, std::string token,
                           std::optional<std::string> appVersion, std::optional<std::string> vedudoduAppID);

    bool isFresh() const;

    // None when a member has another type than its key's; an "apns_info" that cannot be read only drops
    // the APNs binding.
    static std::shared_ptr<DAVInstanceIDTokenInfo> initWithCoder(const plat::Dictionary& archive);
    plat::Dictionary encodeWithCoder() const;
    // The archive as stored in the keychain: a binary property list.
    std::optional<plat::Data> archivedData() const;
    static std::shared_ptr<DAVInstanceIDTokenInfo> unarchive(const plat::Data& data);

    const std::string& authorizedEntity() const { return authorizedEntity_; }
    const std::string& scope() const { return scope_; }
    const std::string& token() const { return token_; }
    const std::optional<std::string>& appVersion() const { return appVersion_; }
    const std::optional<std::string>& vedudoduAppID() const { return vedudoduAppID_; }
    const std::shared_ptr<DAVInstanceIDAPNSInfo>& APNSInfo() const { return APNSInfo_; }
    void setAPNSInfo(std::shared_ptr<DAVInstanceIDAPNSInfo> info) { APNSInfo_ = std::move(info); }
    const std::optional<plat::Date>& cacheTime() const { return cacheTime_; }
    void setCacheTime(std::optional<plat::Date> time) { cacheTime_ = time; }

private:
    std::string authorizedEntity_;
    std::string scope_;
    std::string token_;
    std::optional<std::string> appVersion_;
    std::optional<std::string> vedudoduAppID_;
    std::shared_ptr<DAVInstanceIDAPNSInfo> APNSInfo_;
    std::optional<plat::Date> cacheTime_;
};
