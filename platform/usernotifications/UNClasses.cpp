#include "platform/usernotifications/UNClasses.hpp"

#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/usernotifications/UNNotificationServiceExtension.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <mutex>

namespace plat {

// Reaches the centre's bodies that the runtime methods stand for.
class UNCenterAccess {
public:
    using C = UNUserNotificationCenter;
    static void setDelegate(C& c, rt::ObjectPtr d) { c.setDelegateDirect(std::move(d)); }
    static void requestAuthorization(C& c, uint64_t o, UNAuthorizationHandler h) {
        c.requestAuthorizationDirect(o, std::move(h));
    }
    static void getSettings(C& c, UNSettingsHandler h) { c.getSettingsDirect(std::move(h)); }
    static void setCategories(C& c, std::vector<UNNotificationCategory> v) {
        c.setCategoriesDirect(std::move(v));
    }
    static void getCategories(C& c, UNCategoriesHandler h) { c.getCategoriesDirect(std::move(h)); }
    static void addRequest(C& c, const rt::ObjectPtr& r, UNErrorHandler h) {
        c.addRequestDirect(std::dynamic_pointer_cast<UNNotificationRequest>(r), std::move(h));
    }
    static void getPending(C& c, UNRequestsHandler h) { c.getPendingDirect(std::move(h)); }
    static void removePending(C& c, const std::vector<std::string>* ids) { c.removePendingDirect(ids); }
    static void getDelivered(C& c, UNNotificationsHandler h) { c.getDeliveredDirect(std::move(h)); }
    static void removeDelivered(C& c, const std::vector<std::string>* ids) { c.removeDeliveredDirect(ids); }
};

namespace {

using Center = UNUserNotificationCenter;
using A = UNCenterAccess;

void addCenterMethods(rt::Class* cls) {
    rt::addMethod(cls, "setDelegate:", [](Center& c, rt::ObjectPtr d) { A::setDelegate(c, std::move(d)); });
    rt::addMethod(cls, "delegate", [](Center& c) -> rt::ObjectPtr { return c.delegate(); });
    rt::addMethod(cls, "requestAuthorizationWithOptions:completionHandler:",
                  [](Center& c, uint64_t options, UNAuthorizationHandler h) {
                      A::requestAuthorization(c, options, std::move(h));
                  });
    rt::addMethod(cls, "getNotificationSettingsWithCompletionHandler:", [](Center& c, UNSettingsHandler h) {
        A::getSettings(c, std::move(h));
    });
    rt::addMethod(cls, "setNotificationCategories:", [](Center& c, std::vector<UNNotificationCategory> v) {
        A::setCategories(c, std::move(v));
    });
    rt::addMethod(cls, "getNotificationCategoriesWithCompletionHandler:",
                  [](Center& c, UNCategoriesHandler h) { A::getCategories(c, std::move(h)); });
    rt::addMethod(cls, "addNotificationRequest:withCompletionHandler:",
                  [](Center& c, rt::ObjectPtr r, UNErrorHandler h) { A::addRequest(c, r, std::move(h)); });
    rt::addMethod(cls, "getPendingNotificationRequestsWithCompletionHandler:",
                  [](Center& c, UNRequestsHandler h) { A::getPending(c, std::move(h)); });
    rt::addMethod(cls, "removePendingNotificationRequestsWithIdentifiers:",
                  [](Center& c, std::vector<std::string> ids) { A::removePending(c, &ids); });
    rt::addMethod(cls, "removeAllPendingNotificationRequests",
                  [](Center& c) { A::removePending(c, nullptr); });
    rt::addMethod(cls, "getDeliveredNotificationsWithCompletionHandler:",
                  [](Center& c, UNNotificationsHandler h) { A::getDelivered(c, std::move(h)); });
    rt::addMethod(cls, "removeDeliveredNotificationsWithIdentifiers:",
                  [](Center& c, std::vector<std::string> ids) { A::removeDelivered(c, &ids); });
    rt::addMethod(cls, "removeAllDeliveredNotifications", [](Center& c) { A::removeDelivered(c, nullptr); });
    rt::addMethod(rt::metaclass(cls), "currentNotificationCenter",
                  [](rt::Object&) -> rt::ObjectPtr { return Center::currentNotificationCenter(); });
}

UNClasses registerAll() {
    UNClasses c{};
    c.center = rt::registerClass<Center>("UNUserNotificationCenter");
    c.notification = rt::registerClass<UNNotification>("UNNotification");
    c.request = rt::registerClass<UNNotificationRequest>("UNNotificationRequest");
    c.content = rt::registerClass<UNNotificationContent>("UNNotificationContent");
    c.mutableContent =
        rt::registerClass<UNMutableNotificationContent>("UNMutableNotificationContent", c.content);
    c.response = rt::registerClass<UNNotificationResponse>("UNNotificationResponse");
    c.textInputResponse =
        rt::registerClass<UNTextInputNotificationResponse>("UNTextInputNotificationResponse", c.response);
    c.trigger = rt::registerClass<UNNotificationTrigger>("UNNotificationTrigger");
    c.pushTrigger = rt::registerClass<UNPushNotificationTrigger>("UNPushNotificationTrigger", c.trigger);
    c.timeIntervalTrigger =
        rt::registerClass<UNTimeIntervalNotificationTrigger>("UNTimeIntervalNotificationTrigger", c.trigger);
    c.settings = rt::registerClass("UNNotificationSettings");
    c.category = rt::registerClass("UNNotificationCategory");
    c.action = rt::registerClass("UNNotificationAction");
    c.textInputAction = rt::registerClass("UNTextInputNotificationAction", c.action);
    c.attachment = rt::registerClass("UNNotificationAttachment");
    c.sound = rt::registerClass("UNNotificationSound");
    c.serviceExtension = rt::registerClass<UNNotificationServiceExtension>("UNNotificationServiceExtension");
    // The base shows the content unchanged; it has nothing to do when time runs out.
    rt::addMethod(c.serviceExtension, kDidReceiveNotificationRequestSelector,
                  [](rt::Object&, rt::ObjectPtr request, UNContentHandler handler) {
                      auto r = std::dynamic_pointer_cast<UNNotificationRequest>(request);
                      handler(r ? rt::ObjectPtr(r->content()) : rt::ObjectPtr());
                  });
    rt::addMethod(c.serviceExtension, kServiceExtensionTimeWillExpireSelector, [](rt::Object&) {});
    addCenterMethods(c.center);
    return c;
}

} // namespace

rt::Class* UNNotificationServiceExtension::runtimeClass() {
    return unClasses().serviceExtension;
}

const UNClasses& unClasses() {
    static std::once_flag once;
    static NeverDestroyed<UNClasses> classes;
    std::call_once(once, [] { *classes = registerAll(); });
    return *classes;
}

} // namespace plat
