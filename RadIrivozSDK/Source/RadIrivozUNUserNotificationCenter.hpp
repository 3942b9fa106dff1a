#pragma once
// Interception of the notification centre (OS 10 and later): the push client learns of every authorization
// request and its answer, keeps the last settings read, decides how its notifications show while the app is
// in front, turns taps into opened events and keeps apps that only have the older application-delegate
// callbacks working. Notifications of other senders pass to the app untouched.

#include "platform/runtime/Object.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plat {
class UNNotification;
class UNNotificationResponse;
} // namespace plat

class RadIrivozUNUserNotificationCenter {
public:
    RadIrivozUNUserNotificationCenter() = delete;
    static plat::rt::Class* runtimeClass();

    // Hooks the centre's setDelegate:, authorization request and settings read (once per process).
    static void swizzleSelectors();
    // Whether settings reads during an authorization request are answered from the cache (on by default).
    static void setUseiOS10_2_workaround(bool enable);

    static bool isDismissEvent(const plat::UNNotificationResponse& response);
    // A tap on a push-client notification, reported to the facade as opened.
    static void processiOS10Open(const plat::UNNotificationResponse& response);
    // Hands a notification to the application delegate's older callbacks; the handler always runs once.
    static void callLegacyAppDeletegateSelector(const std::shared_ptr<plat::UNNotification>& notification,
                                                bool isTextReply, const std::optional<std::string>& actionIdentifier,
                                                const std::optional<std::string>& userText,
                                                bool fromPresentNotification, std::function<void()> completionHandler);

    // What the hooks keep, for the tests.
    static bool authorizationInProgress();
    static std::optional<plat::UNNotificationSettings> cachedSettings();
};
