#pragma once
// Registers the device's push token with the portal's REST interface under the configured base URL. Nothing
// in the running app calls it; the outcome is only printed.

#include <string>

class ASPushNotificationsService {
public:
    // POSTs {"device_type": "ios", "device_token": <token>} as JSON to <base URL>/intranet/rest/device/ and
    // prints "registerPushNotificationWithDeviceToken result: " with the reply or the error. Without a
    // usable address nothing is sent and the line names the error.
    void registerPushNotificationWithDeviceToken(const std::string& deviceToken) const;
};
