#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/foundation/String.hpp"

namespace {

// Optional key: left out for a missing value.
void setOptional(plat::Dictionary& parameters, std::string_view key, const OptionalString& value) {
    if (value) {
        parameters.set(key, plat::Value(*value));
    }
}
void setOptional(plat::Dictionary& parameters, std::string_view key, const plat::Value& value) {
    if (!value.isNull()) {
        parameters.set(key, value);
    }
}
// An empty auth hash must never reach the service: it is left out like a missing one.
void setAuthHash(plat::Dictionary& parameters, const OptionalString& hash) {
    if (hash && !hash->empty()) {
        parameters.set("email_auth_hash", plat::Value(*hash));
    }
}

template <class R> std::shared_ptr<R> make(int32_t method, plat::Dictionary parameters) {
    auto request = std::make_shared<R>();
    request->setMethod(method);
    request->setParameters(std::move(parameters));
    return request;
}

// "players/<id>" and the like; the id becomes one encoded segment.
template <class R> void setPlayerPath(R& request, const OptionalString& id, std::string_view tail = {}) {
    std::string path = "players/" + request.pathSegment(id.value_or(""));
    path += tail;
    request.setPath(std::move(path));
}

} // namespace

std::shared_ptr<RIRequestGetTags> RIRequestGetTags::withUserId(const OptionalString& userId,
                                                               const OptionalString& appId) {
    auto request = make<RIRequestGetTags>(HTTPMethodGET, plat::Dictionary{{"app_id", stringOrNull(appId)}});
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestGetIosParams> RIRequestGetIosParams::withUserId(const OptionalString& userId,
                                                                         const OptionalString& appId) {
    plat::Dictionary parameters;
    setOptional(parameters, "player_id", userId);
    auto request = make<RIRequestGetIosParams>(HTTPMethodGET, std::move(parameters));
    request->setDisableLocalCaching(true);
    request->setPath("apps/" + request->pathSegment(appId.value_or("")) + "/ios_params.js");
    return request;
}

std::shared_ptr<RIRequestSendTagsToServer>
RIRequestSendTagsToServer::withUserId(const OptionalString& userId, const OptionalString& appId,
                                      const plat::Value& tags, const plat::Value& networkType,
                                      const OptionalString& emailAuthHashToken) {
    plat::Dictionary parameters{{"app_id", stringOrNull(appId)}, {"tags", tags}, {"net_type", networkType}};
    setAuthHash(parameters, emailAuthHashToken);
    auto request = make<RIRequestSendTagsToServer>(HTTPMethodPUT, std::move(parameters));
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestPostNotification> RIRequestPostNotification::withAppId(const OptionalString& appId,
                                                                                plat::Dictionary json) {
    if (!json.contains("app_id")) {
        json.set("app_id", stringOrNull(appId));
    }
    auto request = make<RIRequestPostNotification>(HTTPMethodPOST, std::move(json));
    request->setPath("notifications");
    return request;
}

std::shared_ptr<RIRequestUpdateDeviceToken>
RIRequestUpdateDeviceToken::withUserId(const OptionalString& userId, const OptionalString& appId,
                                       const OptionalString& deviceToken, const plat::Value& notificationTypes,
                                       const OptionalString& parentId, const OptionalString& emailAuthToken,
                                       const OptionalString& email) {
    plat::Dictionary parameters{{"app_id", stringOrNull(appId)}};
    setOptional(parameters, "email", email);
    setOptional(parameters, "notification_types", notificationTypes);
    setOptional(parameters, "identifier", deviceToken);
    setOptional(parameters, "parent_player_id", parentId);
    setAuthHash(parameters, emailAuthToken);
    auto request = make<RIRequestUpdateDeviceToken>(HTTPMethodPUT, std::move(parameters));
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestCreateDevice> RIRequestCreateDevice::withAppId(const OptionalString& appId,
                                                                        const plat::Value& deviceType,
                                                                        const OptionalString& email,
                                                                        const OptionalString& playerId,
                                                                        const OptionalString& emailAuthHash) {
    auto request = make<RIRequestCreateDevice>(
        HTTPMethodPOST, plat::Dictionary{{"app_id", stringOrNull(appId)},
                                         {"device_type", deviceType},
                                         {"identifier", stringOrNull(email)},
                                         {"email_auth_hash", stringOrNull(emailAuthHash)},
                                         {"device_player_id", stringOrNull(playerId)}});
    request->setPath("players");
    return request;
}

std::shared_ptr<RIRequestLogoutEmail> RIRequestLogoutEmail::withAppId(const OptionalString& appId,
                                                                      const OptionalString& emailPlayerId,
                                                                      const OptionalString& devicePlayerId,
                                                                      const OptionalString& emailAuthHash) {
    auto request = make<RIRequestLogoutEmail>(HTTPMethodPOST,
                                              plat::Dictionary{{"parent_player_id", stringOrNull(emailPlayerId)},
                                                               {"email_auth_hash", stringOrNull(emailAuthHash)},
                                                               {"app_id", stringOrNull(appId)}});
    setPlayerPath(*request, devicePlayerId, "/email_logout");
    return request;
}

std::shared_ptr<RIRequestUpdateNotificationTypes>
RIRequestUpdateNotificationTypes::withUserId(const OptionalString& userId, const OptionalString& appId,
                                             const plat::Value& notificationTypes) {
    auto request = make<RIRequestUpdateNotificationTypes>(
        HTTPMethodPUT,
        plat::Dictionary{{"app_id", stringOrNull(appId)}, {"notification_types", notificationTypes}});
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestSendPurchases> RIRequestSendPurchases::withUserId(const OptionalString& userId,
                                                                           const OptionalString& appId,
                                                                           const plat::Array& purchases) {
    auto request = make<RIRequestSendPurchases>(
        HTTPMethodPOST, plat::Dictionary{{"app_id", stringOrNull(appId)}, {"purchases", plat::Value(purchases)}});
    setPlayerPath(*request, userId, "/on_purchase");
    return request;
}

std::shared_ptr<RIRequestSendPurchases> RIRequestSendPurchases::withUserId(const OptionalString& userId,
                                                                           const OptionalString& emailAuthToken,
                                                                           const OptionalString& appId,
                                                                           const plat::Array& purchases) {
    auto request = make<RIRequestSendPurchases>(HTTPMethodPOST,
                                                plat::Dictionary{{"app_id", stringOrNull(appId)},
                                                                 {"purchases", plat::Value(purchases)},
                                                                 {"email_auth_hash", stringOrNull(emailAuthToken)}});
    setPlayerPath(*request, userId, "/on_purchase");
    return request;
}

std::shared_ptr<RIRequestSubmitNotificationOpened>
RIRequestSubmitNotificationOpened::withUserId(const OptionalString& userId, const OptionalString& appId,
                                              bool wasOpened, const OptionalString& messageId) {
    auto request = make<RIRequestSubmitNotificationOpened>(HTTPMethodPUT,
                                                           plat::Dictionary{{"player_id", stringOrNull(userId)},
                                                                            {"app_id", stringOrNull(appId)},
                                                                            {"opened", plat::Value(wasOpened)}});
    // The id comes from a notification's payload: it is encoded like any other path identifier.
    request->setPath("notifications/" + request->pathSegment(messageId.value_or("")));
    return request;
}

std::shared_ptr<RIRequestRegisterUser> RIRequestRegisterUser::withData(plat::Dictionary registrationData,
                                                                       const OptionalString& userId) {
    auto request = make<RIRequestRegisterUser>(HTTPMethodPOST, std::move(registrationData));
    if (userId) {
        setPlayerPath(*request, userId, "/on_session");
    } else {
        request->setPath("players");
    }
    return request;
}

std::shared_ptr<RIRequestSyncHashedEmail> RIRequestSyncHashedEmail::withUserId(const OptionalString& userId,
                                                                               const OptionalString& appId,
                                                                               const std::string& email,
                                                                               const plat::Value& networkType) {
    const std::string lower = plat::String::lowercased(email);
    const std::string md5 = RadIrivozHelper::hashUsingMD5(lower);
    const std::string sha1 = RadIrivozHelper::hashUsingSha1(lower);
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG, lower + " - MD5: " + md5 + ", SHA1:" + sha1);
    auto request = make<RIRequestSyncHashedEmail>(HTTPMethodPUT, plat::Dictionary{{"app_id", stringOrNull(appId)},
                                                                                  {"em_m", plat::Value(md5)},
                                                                                  {"em_s", plat::Value(sha1)},
                                                                                  {"net_type", networkType}});
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestSendLocation>
RIRequestSendLocation::withUserId(const OptionalString& userId, const OptionalString& appId,
                                  const os_last_location& location, const plat::Value& networkType,
                                  bool backgroundState, const OptionalString& emailAuthHashToken) {
    plat::Dictionary parameters{{"app_id", stringOrNull(appId)},
                                {"lat", plat::Value(location.cords.latitude)},
                                {"long", plat::Value(location.cords.longitude)},
                                {"loc_acc_vert", plat::Value(location.verticalAccuracy)},
                                {"loc_acc", plat::Value(location.horizontalAccuracy)},
                                {"net_type", networkType},
                                {"loc_bg", plat::Value(backgroundState)}};
    setAuthHash(parameters, emailAuthHashToken);
    auto request = make<RIRequestSendLocation>(HTTPMethodPUT, std::move(parameters));
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestOnFocus> RIRequestOnFocus::withUserId(const OptionalString& userId,
                                                               const OptionalString& appId,
                                                               const plat::Value& badgeCount,
                                                               const OptionalString& emailAuthToken) {
    plat::Dictionary parameters{{"app_id", stringOrNull(appId)}, {"badgeCount", badgeCount}};
    setAuthHash(parameters, emailAuthToken);
    auto request = make<RIRequestOnFocus>(HTTPMethodPUT, std::move(parameters));
    setPlayerPath(*request, userId);
    return request;
}

std::shared_ptr<RIRequestOnFocus> RIRequestOnFocus::withUserId(const OptionalString& userId,
                                                               const OptionalString& appId,
                                                               const plat::Value& state, const plat::Value& type,
                                                               const plat::Value& activeTime,
                                                               const plat::Value& netType,
                                                               const OptionalString& emailAuthToken) {
    plat::Dictionary parameters{{"app_id", stringOrNull(appId)}, {"state", state},       {"type", type},
                                {"active_time", activeTime},     {"net_type", netType}};
    setAuthHash(parameters, emailAuthToken);
    auto request = make<RIRequestOnFocus>(HTTPMethodPOST, std::move(parameters));
    setPlayerPath(*request, userId, "/on_focus");
    return request;
}
