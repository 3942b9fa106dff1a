#pragma once
// The driver of a notification service extension process: the device starts the extension's principal
// class, hands it a push request, and later may tell it that its time is up. What the extension hands back
// is recorded. Run it in a process booted with the extension bundle (main thread).

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/usernotifications/UNNotification.hpp"

namespace plat::sim {

struct ServiceDelivery {
    std::string identifier;
    bool handled = false; // the extension called its content handler
    // What it handed back; null when it handed back nothing (the original is shown) or has not answered.
    std::shared_ptr<UNNotificationContent> content;
};

class ServiceExtension {
public:
    // Makes the extension object: the class named, else the main bundle's NSExtension /
    // NSExtensionPrincipalClass. Null when there is no such class or it does not descend from
    // UNNotificationServiceExtension.
    static rt::ObjectPtr start(std::string_view principalClassName = {});
    static rt::ObjectPtr instance();

    // A push arrives: the extension's didReceiveNotificationRequest:withContentHandler:. False when no
    // extension was started.
    static bool deliver(const std::shared_ptr<UNNotificationRequest>& request);
    // The same for a push payload (as the device makes the request for it).
    static bool deliver(const Value& userInfo);
    // The time the device gives the extension is up: serviceExtensionTimeWillExpire.
    static bool timeWillExpire();

    static std::vector<ServiceDelivery> deliveries();
};

} // namespace plat::sim
