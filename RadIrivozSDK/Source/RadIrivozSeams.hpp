#pragma once
// Where the receive and open paths hand work to the local notifications for background pushes with buttons or
// media, the notification service extension, and the analytics bridge's open event. Each is one replaceable
// function, so that tests can stand in for it without touching the callers.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "RadIrivozSDK/Source/RINotificationPayload.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace plat {
class UNNotificationRequest;
class UNMutableNotificationContent;
} // namespace plat

struct RadIrivozSeams {
    using FetchHandler = std::function<void(plat::UIBackgroundFetchResult)>;
    using AddNotificationRequest =
        std::function<void(std::shared_ptr<const RINotificationPayload>, FetchHandler)>;
    using PrepareLocalNotification =
        std::function<std::optional<plat::UILocalNotification>(std::shared_ptr<const RINotificationPayload>)>;
    using ExtensionEntry = std::function<std::shared_ptr<plat::UNMutableNotificationContent>(
        const std::shared_ptr<plat::UNNotificationRequest>&,
        const std::shared_ptr<plat::UNMutableNotificationContent>&)>;
    using OpenEventTracker = std::function<void(const RINotificationOpenedResult&)>;

    // OS 10 and later: schedule a notification request for the payload, then call the handler (which may be
    // empty).
    static void addNotificationRequest(std::shared_ptr<const RINotificationPayload> payload, FetchHandler handler);
    // Below OS 10: the local notification for the payload.
    static std::optional<plat::UILocalNotification>
    prepareUILocalNotification(std::shared_ptr<const RINotificationPayload> payload);
    // The service extension's two entry points.
    static std::shared_ptr<plat::UNMutableNotificationContent>
    didReceiveNotificationExtensionRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                           const std::shared_ptr<plat::UNMutableNotificationContent>& content);
    static std::shared_ptr<plat::UNMutableNotificationContent>
    serviceExtensionTimeWillExpireRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                          const std::shared_ptr<plat::UNMutableNotificationContent>& content);
    // The analytics open event of a delivered open.
    static void trackOpenEvent(const RINotificationOpenedResult& result);

    // Installing an implementation (an empty function restores the default).
    static void setAddNotificationRequest(AddNotificationRequest fn);
    static void setPrepareUILocalNotification(PrepareLocalNotification fn);
    static void setExtensionEntries(ExtensionEntry didReceive, ExtensionEntry willExpire);
    static void setOpenEventTracker(OpenEventTracker fn);
};
