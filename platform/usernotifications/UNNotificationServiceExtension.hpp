#pragma once
// UNNotificationServiceExtension (runtime class "UNNotificationServiceExtension"): the base of a notification
// service extension, the separate process the device starts to change a push's content before it is shown.
// The extension's principal class (Info NSExtension / NSExtensionPrincipalClass) subclasses it and overrides,
// through the runtime:
//   didReceiveNotificationRequest:withContentHandler: (rt::ObjectPtr request, UNContentHandler)
//   serviceExtensionTimeWillExpire                    ()
// The device calls them through rt::msgSend, so hooks on the subclass apply.

#include <functional>
#include <memory>

#include "platform/runtime/Object.hpp"

namespace plat {

// The content to show (a UNNotificationContent); the device shows the original for a null one.
using UNContentHandler = std::function<void(rt::ObjectPtr content)>;

inline constexpr const char* kDidReceiveNotificationRequestSelector =
    "didReceiveNotificationRequest:withContentHandler:";
inline constexpr const char* kServiceExtensionTimeWillExpireSelector = "serviceExtensionTimeWillExpire";

class UNNotificationServiceExtension : public rt::Object {
public:
    explicit UNNotificationServiceExtension(rt::Class* cls) : rt::Object(cls) {}
    static rt::Class* runtimeClass();
};

} // namespace plat
