#include "instance_id/DAVInstanceIDTokenInfo.hpp"

#include "instance_id/DAVInstanceIDLogger.hpp"
#include "instance_id/DAVInstanceIDUtilities.hpp"
#include "platform/foundation/PropertyList.hpp"

namespace {

constexpr const char* kTokenInfoAuthorizedEntityKey = "authorized_entity";
constexpr const char* kTokenInfoScopeKey = "scope";
constexpr const char* kTokenInfoTokenKey = "token";
constexpr const char* kTokenInfoAppVersionKey = "app_version";
constexpr const char* kTokenInfoVedudoduAppIDKey = "vedudodu_app_id";
constexpr const char* kTokenInfoAPNSInfoKey = "apns_info";
constexpr const char* kTokenInfoCacheTimeKey = "cache_time";

constexpr double kTokenInfoFreshnessSeconds = 604800;

// Absent stays absent; a present member of another type makes the whole record unreadable.
bool tokenInfoOptionalString(const plat::Dictionary& archive, const char* key,
                             std::optional<std::string>& out) {
    const auto* value = archive.find(key);
    if (!value) {
        return true;
    }
    if (!value->isString()) {
        return false;
    }
    out = value->asString();
    return true;
}

} // namespace

DAVInstanceIDTokenInfo::DAVInstanceIDTokenInfo(std::string authorizedEntity, std::string scope,
                                               std::string token, std::optional<std::string> appVersion,
                                               std::optional<std::string> vedudoduAppID)
    : authorizedEntity_(std::move(authorizedEntity)), scope_(std::move(scope)), token_(std::move(token)),
      appVersion_(std::move(appVersion)), vedudoduAppID_(std::move(vedudoduAppID)) {}

bool DAVInstanceIDTokenInfo::isFresh() const {
    if (!cacheTime_) {
        return false;
    }
    if (!appVersion_ || *appVersion_ != DAVInstanceIDAppVersion()) {
        DAVInstanceIDLoggerDebug(14004, "Invalidating cached token for %@ (%@) due to app version change.",
                                 authorizedEntity_, scope_);
        return false;
    }
    const auto currentAppID = DAVInstanceIDDefaultVedudoduAppID();
    if (!vedudoduAppID_ || vedudoduAppID_ != currentAppID) {
        DAVInstanceIDLoggerDebug(22001,
                                 "Invalidating cached token due to Vedudodu App IID change from %@ to %@",
                                 vedudoduAppID_.value_or("(null)"), currentAppID.value_or("(null)"));
        return false;
    }
    if (DAVInstanceIDLocaleDidChange()) {
        DAVInstanceIDLoggerDebug(22002, "Invalidating cached token due to locale change");
        return false;
    }
    const double age = static_cast<double>(DAVInstanceIDNowSeconds()) - cacheTime_->timeIntervalSince1970();
    return age < kTokenInfoFreshnessSeconds;
}

std::shared_ptr<DAVInstanceIDTokenInfo>
DAVInstanceIDTokenInfo::initWithCoder(const plat::Dictionary& archive) {
    const auto* entity = archive.find(kTokenInfoAuthorizedEntityKey);
    const auto* scope = archive.find(kTokenInfoScopeKey);
    const auto* token = archive.find(kTokenInfoTokenKey);
    if (!entity || !entity->isString() || !scope || !scope->isString() || !token || !token->isString()) {
        return nullptr;
    }
    std::optional<std::string> appVersion;
    std::optional<std::string> appID;
    if (!tokenInfoOptionalString(archive, kTokenInfoAppVersionKey, appVersion) ||
        !tokenInfoOptionalString(archive, kTokenInfoVedudoduAppIDKey, appID)) {
        return nullptr;
    }
    std::shared_ptr<DAVInstanceIDAPNSInfo> apnsInfo;
    if (const auto* raw = archive.find(kTokenInfoAPNSInfoKey)) {
        if (!raw->isData()) {
            return nullptr;
        }
        apnsInfo = DAVInstanceIDAPNSInfo::unarchive(raw->asData());
        if (!apnsInfo) {
            DAVInstanceIDLoggerInfo(22000,
                                    "Could not parse raw APNS Info while parsing archived token info.");
        }
    }
    std::optional<plat::Date> cacheTime;
    if (const auto* time = archive.find(kTokenInfoCacheTimeKey)) {
        if (!time->isDate()) {
            return nullptr;
        }
        cacheTime = time->asDate();
    }
    auto info = std::make_shared<DAVInstanceIDTokenInfo>(
        entity->asString(), scope->asString(), token->asString(), std::move(appVersion), std::move(appID));
    info->APNSInfo_ = std::move(apnsInfo);
    info->cacheTime_ = cacheTime;
    return info;
}

plat::Dictionary DAVInstanceIDTokenInfo::encodeWithCoder() const {
    plat::Dictionary archive{{kTokenInfoAuthorizedEntityKey, plat::Value(authorizedEntity_)},
                             {kTokenInfoScopeKey, plat::Value(scope_)},
                             {kTokenInfoTokenKey, plat::Value(token_)}};
    if (appVersion_) {
        archive.set(kTokenInfoAppVersionKey, plat::Value(*appVersion_));
    }
    if (vedudoduAppID_) {
        archive.set(kTokenInfoVedudoduAppIDKey, plat::Value(*vedudoduAppID_));
    }
    if (APNSInfo_) {
        archive.set(kTokenInfoAPNSInfoKey, plat::Value(APNSInfo_->archivedData()));
    }
    if (cacheTime_) {
        archive.set(kTokenInfoCacheTimeKey, plat::Value(*cacheTime_));
    }
    return archive;
}

std::optional<plat::Data> DAVInstanceIDTokenInfo::archivedData() const {
    auto data = plat::PropertyListSerialization::data(plat::Value(encodeWithCoder()),
                                                      plat::PropertyListSerialization::Format::Binary);
    if (!data) {
        return std::nullopt;
    }
    return std::move(*data);
}

std::shared_ptr<DAVInstanceIDTokenInfo> DAVInstanceIDTokenInfo::unarchive(const plat::Data& data) {
    auto archive = plat::PropertyListSerialization::dictionary(std::span<const std::uint8_t>(data));
    return archive ? initWithCoder(*archive) : nullptr;
}
