#pragma once
// The user's notification settings for the app as the centre reports them: the authorization status and,
// per item, whether it is enabled.

#include "platform/usernotifications/UNConstants.hpp"

namespace plat {

struct UNNotificationSettings {
    UNAuthorizationStatus authorizationStatus = UNAuthorizationStatus::notDetermined;
    UNNotificationSetting soundSetting = UNNotificationSetting::notSupported;
    UNNotificationSetting badgeSetting = UNNotificationSetting::notSupported;
    UNNotificationSetting alertSetting = UNNotificationSetting::notSupported;
    UNNotificationSetting notificationCenterSetting = UNNotificationSetting::notSupported;
    UNNotificationSetting lockScreenSetting = UNNotificationSetting::notSupported;
    bool providesAppNotificationSettings = false;

    // What the device reports for a status and the options the user granted: nothing supported before the
    // user was asked; everything disabled when refused; the granted items enabled (lock screen and the list
    // with alerts); provisional delivery goes quietly to the list only.
    static UNNotificationSettings forStatus(UNAuthorizationStatus status, uint64_t grantedOptions);

    friend bool operator==(const UNNotificationSettings&, const UNNotificationSettings&) = default;
};

} // namespace plat
