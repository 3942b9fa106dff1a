#pragma once
// The notification service extension's side of the push client: it adjusts a push's content before the
// system shows it (badge increments, buttons, media), and keeps the badge count in the app group's user
// defaults, which the app and the extension, two processes, share.

#include <cstdint>
#include <memory>
#include <string>

class RINotificationPayload;
namespace plat {
class UNNotificationRequest;
class UNMutableNotificationContent;
} // namespace plat

class RadIrivozNotificationServiceExtensionHandler {
public:
    RadIrivozNotificationServiceExtensionHandler() = delete;

    // A null content means a mutable copy of the request's. The content to deliver.
    static std::shared_ptr<plat::UNMutableNotificationContent>
    didReceiveNotificationExtensionRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                           std::shared_ptr<plat::UNMutableNotificationContent> content);
    // Time is up: buttons only, no badge change and no download.
    static std::shared_ptr<plat::UNMutableNotificationContent>
    serviceExtensionTimeWillExpireRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                          std::shared_ptr<plat::UNMutableNotificationContent> content);
    // The sender's own category wins over generated buttons.
    static void addActionButtonsToExtentionRequest(const plat::UNNotificationRequest& request,
                                                   const RINotificationPayload& payload,
                                                   plat::UNMutableNotificationContent& content);
};

class RadIrivozExtensionBadgeHandler {
public:
    RadIrivozExtensionBadgeHandler() = delete;

    static void handleBadgeCountWithNotificationRequest(const plat::UNNotificationRequest& request,
                                                        const RINotificationPayload& payload,
                                                        plat::UNMutableNotificationContent& content);
    // 0 when nothing is stored.
    static int64_t currentCachedBadgeValue();
    static void updateCachedBadgeValue(int64_t value);
    // Info.plist "RadIrivoz_app_groups_key", else "group.<primary bundle id>.radirivoz"; trimmed.
    static std::string appGroupName();
    // The app's bundle identifier, also when running inside its extension.
    static std::string primaryBundleIdentifier();
};
