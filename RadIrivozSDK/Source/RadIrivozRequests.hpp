#pragma once
// Every call the push client makes to the push service, one request class each, made by class factories
// that fill the parameters, the method and the path and send nothing. Identifiers that go into a path are
// percent-encoded as one segment; an empty one marks the request so the client refuses it.
//
// Two ways of leaving a value out occur: an optional key is absent for a missing value; a null key is
// always present, with JSON null for a missing value.

#include "RadIrivozSDK/Source/RadIrivozRequest.hpp"

#include <memory>
#include <optional>
#include <string>

// The last location the device reported: the coordinate, then the vertical and horizontal accuracy.
struct os_location_coordinate {
    double latitude = 0;
    double longitude = 0;
};
struct os_last_location {
    os_location_coordinate cords;
    double verticalAccuracy = 0;
    double horizontalAccuracy = 0;
};

using OptionalString = std::optional<std::string>;

#define RI_REQUEST_CLASS(Name)                                                                                  \
    std::string className() const override {                                                                    \
        return #Name;                                                                                           \
    }

class RIRequestGetTags : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestGetTags)
    static std::shared_ptr<RIRequestGetTags> withUserId(const OptionalString& userId, const OptionalString& appId);
};

// The app's remote parameters. Its application identifier travels in the path, so it is never refused
// for missing one.
class RIRequestGetIosParams : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestGetIosParams)
    static std::shared_ptr<RIRequestGetIosParams> withUserId(const OptionalString& userId,
                                                             const OptionalString& appId);
    bool missingAppId() const override { return false; }
};

class RIRequestSendTagsToServer : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestSendTagsToServer)
    static std::shared_ptr<RIRequestSendTagsToServer> withUserId(const OptionalString& userId,
                                                                 const OptionalString& appId,
                                                                 const plat::Value& tags,
                                                                 const plat::Value& networkType,
                                                                 const OptionalString& emailAuthHashToken);
};

class RIRequestPostNotification : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestPostNotification)
    // The dictionary is the body; its own "app_id" wins over the argument.
    static std::shared_ptr<RIRequestPostNotification> withAppId(const OptionalString& appId, plat::Dictionary json);
};

class RIRequestUpdateDeviceToken : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestUpdateDeviceToken)
    static std::shared_ptr<RIRequestUpdateDeviceToken>
    withUserId(const OptionalString& userId, const OptionalString& appId, const OptionalString& deviceToken,
               const plat::Value& notificationTypes, const OptionalString& parentId,
               const OptionalString& emailAuthToken, const OptionalString& email);
};

class RIRequestCreateDevice : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestCreateDevice)
    static std::shared_ptr<RIRequestCreateDevice> withAppId(const OptionalString& appId,
                                                            const plat::Value& deviceType,
                                                            const OptionalString& email,
                                                            const OptionalString& playerId,
                                                            const OptionalString& emailAuthHash);
};

class RIRequestLogoutEmail : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestLogoutEmail)
    static std::shared_ptr<RIRequestLogoutEmail> withAppId(const OptionalString& appId,
                                                           const OptionalString& emailPlayerId,
                                                           const OptionalString& devicePlayerId,
                                                           const OptionalString& emailAuthHash);
};

class RIRequestUpdateNotificationTypes : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestUpdateNotificationTypes)
    static std::shared_ptr<RIRequestUpdateNotificationTypes>
    withUserId(const OptionalString& userId, const OptionalString& appId, const plat::Value& notificationTypes);
};

class RIRequestSendPurchases : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestSendPurchases)
    // The push player's purchases.
    static std::shared_ptr<RIRequestSendPurchases> withUserId(const OptionalString& userId,
                                                              const OptionalString& appId,
                                                              const plat::Array& purchases);
    // The e-mail player's purchases, with its auth hash.
    static std::shared_ptr<RIRequestSendPurchases> withUserId(const OptionalString& userId,
                                                              const OptionalString& emailAuthToken,
                                                              const OptionalString& appId,
                                                              const plat::Array& purchases);
};

class RIRequestSubmitNotificationOpened : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestSubmitNotificationOpened)
    static std::shared_ptr<RIRequestSubmitNotificationOpened> withUserId(const OptionalString& userId,
                                                                         const OptionalString& appId,
                                                                         bool wasOpened,
                                                                         const OptionalString& messageId);
};

class RIRequestRegisterUser : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestRegisterUser)
    // A new player without a user id, a session of the known one with it.
    static std::shared_ptr<RIRequestRegisterUser> withData(plat::Dictionary registrationData,
                                                           const OptionalString& userId);
};

class RIRequestSyncHashedEmail : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestSyncHashedEmail)
    // Sends only the digests of the lower-cased address, never the address.
    static std::shared_ptr<RIRequestSyncHashedEmail> withUserId(const OptionalString& userId,
                                                                const OptionalString& appId,
                                                                const std::string& email,
                                                                const plat::Value& networkType);
};

class RIRequestSendLocation : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestSendLocation)
    static std::shared_ptr<RIRequestSendLocation> withUserId(const OptionalString& userId,
                                                             const OptionalString& appId,
                                                             const os_last_location& location,
                                                             const plat::Value& networkType,
                                                             bool backgroundState,
                                                             const OptionalString& emailAuthHashToken);
};

class RIRequestOnFocus : public RadIrivozRequest {
public:
    RI_REQUEST_CLASS(RIRequestOnFocus)
    // The badge count on coming to the foreground.
    static std::shared_ptr<RIRequestOnFocus> withUserId(const OptionalString& userId, const OptionalString& appId,
                                                        const plat::Value& badgeCount,
                                                        const OptionalString& emailAuthToken);
    // The time spent in the foreground.
    static std::shared_ptr<RIRequestOnFocus> withUserId(const OptionalString& userId, const OptionalString& appId,
                                                        const plat::Value& state, const plat::Value& type,
                                                        const plat::Value& activeTime, const plat::Value& netType,
                                                        const OptionalString& emailAuthToken);
};

#undef RI_REQUEST_CLASS
