#pragma once
// Constants of the notification centre: authorization, settings, options, action identifiers and errors,
// with the platform's values and texts.

#include <cstdint>

namespace plat {

enum class UNAuthorizationStatus : int64_t { notDetermined = 0, denied = 1, authorized = 2, provisional = 3 };

enum class UNNotificationSetting : int64_t { notSupported = 0, disabled = 1, enabled = 2 };

// Authorization options (a bit set).
inline constexpr uint64_t UNAuthorizationOptionNone = 0;
inline constexpr uint64_t UNAuthorizationOptionBadge = 1;
inline constexpr uint64_t UNAuthorizationOptionSound = 2;
inline constexpr uint64_t UNAuthorizationOptionAlert = 4;
inline constexpr uint64_t UNAuthorizationOptionCarPlay = 8;
inline constexpr uint64_t UNAuthorizationOptionCriticalAlert = 16;
inline constexpr uint64_t UNAuthorizationOptionProvidesAppNotificationSettings = 32;
inline constexpr uint64_t UNAuthorizationOptionProvisional = 64;

// Presentation options a centre delegate hands back for a notification arriving in the foreground.
inline constexpr uint64_t UNNotificationPresentationOptionNone = 0;
inline constexpr uint64_t UNNotificationPresentationOptionBadge = 1;
inline constexpr uint64_t UNNotificationPresentationOptionSound = 2;
inline constexpr uint64_t UNNotificationPresentationOptionAlert = 4;

inline constexpr uint64_t UNNotificationActionOptionNone = 0;
inline constexpr uint64_t UNNotificationActionOptionAuthenticationRequired = 1;
inline constexpr uint64_t UNNotificationActionOptionDestructive = 2;
inline constexpr uint64_t UNNotificationActionOptionForeground = 4;

inline constexpr uint64_t UNNotificationCategoryOptionNone = 0;
inline constexpr uint64_t UNNotificationCategoryOptionCustomDismissAction = 1;

inline constexpr const char* UNNotificationDefaultActionIdentifier =
    "com.apple.UNNotificationDefaultActionIdentifier";
inline constexpr const char* UNNotificationDismissActionIdentifier =
    "com.apple.UNNotificationDismissActionIdentifier";

// Codes of UNErrorDomain (the domain itself is in foundation's Error.hpp).
inline constexpr int64_t UNErrorCodeNotificationsNotAllowed = 1;
inline constexpr int64_t UNErrorCodeAttachmentInvalidURL = 100;
inline constexpr int64_t UNErrorCodeAttachmentUnrecognizedType = 101;

// The centre's delegate protocol and the selectors of its methods:
//   willPresent: (rt::ObjectPtr center, rt::ObjectPtr notification, std::function<void(uint64_t options)>)
//   didReceive:  (rt::ObjectPtr center, rt::ObjectPtr response, std::function<void()>)
inline constexpr const char* UNUserNotificationCenterDelegateProtocol = "UNUserNotificationCenterDelegate";
inline constexpr const char* kWillPresentNotificationSelector =
    "userNotificationCenter:willPresentNotification:withCompletionHandler:";
inline constexpr const char* kDidReceiveNotificationResponseSelector =
    "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

} // namespace plat
