#pragma once
// UNUserNotificationCenter (runtime class "UNUserNotificationCenter"): the app's notification centre with its
// delegate, authorization, settings, categories, scheduled requests and delivered notifications. The
// member functions send their selectors through the runtime, so hooks installed on the class see every call.
// Every completion runs on the centre's own serial queue, never inline and never on the main queue; the
// delegate is called on the main queue.
//
// clang-format off
// Runtime methods (receiver the centre):
//   setDelegate:                                      (rt::ObjectPtr) ; delegate () -> rt::ObjectPtr
//   requestAuthorizationWithOptions:completionHandler: (uint64_t options, UNAuthorizationHandler)
//   getNotificationSettingsWithCompletionHandler:     (UNSettingsHandler)
//   setNotificationCategories:                        (std::vector<UNNotificationCategory>)
//   getNotificationCategoriesWithCompletionHandler:   (UNCategoriesHandler)
//   addNotificationRequest:withCompletionHandler:     (rt::ObjectPtr request, UNErrorHandler)
//   getPendingNotificationRequestsWithCompletionHandler: (UNRequestsHandler)
//   removePendingNotificationRequestsWithIdentifiers: (std::vector<std::string>) ; removeAllPendingNotificationRequests ()
//   getDeliveredNotificationsWithCompletionHandler:   (UNNotificationsHandler)
//   removeDeliveredNotificationsWithIdentifiers:      (std::vector<std::string>) ; removeAllDeliveredNotifications ()
// Class method currentNotificationCenter () -> rt::ObjectPtr.
// clang-format on

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationCategory.hpp"
#include "platform/usernotifications/UNNotificationSettings.hpp"

namespace plat {

using UNAuthorizationHandler = std::function<void(bool granted, std::optional<Error> error)>;
using UNSettingsHandler = std::function<void(UNNotificationSettings)>;
using UNCategoriesHandler = std::function<void(std::vector<UNNotificationCategory>)>;
using UNErrorHandler = std::function<void(std::optional<Error>)>;
using UNRequestsHandler = std::function<void(std::vector<std::shared_ptr<UNNotificationRequest>>)>;
using UNNotificationsHandler = std::function<void(std::vector<std::shared_ptr<UNNotification>>)>;
// What the centre delegate's will-present method hands back: the presentation options.
using UNPresentationHandler = std::function<void(uint64_t options)>;

namespace sim {
class Notifications;
}
class UNCenterAccess;

class UNUserNotificationCenter final : public rt::Object {
public:
    explicit UNUserNotificationCenter(rt::Class* cls);
    ~UNUserNotificationCenter() override;
    // The one centre of the process, made on first use and never destroyed.
    static std::shared_ptr<UNUserNotificationCenter> currentNotificationCenter();
    static rt::Class* runtimeClass();

    // Held weakly, as on the device.
    rt::ObjectPtr delegate() const;
    void setDelegate(const rt::ObjectPtr& delegate);

    void requestAuthorizationWithOptions(uint64_t options, UNAuthorizationHandler handler);
    void getNotificationSettingsWithCompletionHandler(UNSettingsHandler handler);
    // Replaces the registered categories; a later category with an identifier already given wins.
    void setNotificationCategories(std::vector<UNNotificationCategory> categories);
    void getNotificationCategoriesWithCompletionHandler(UNCategoriesHandler handler);
    // Schedules the request (replacing a pending one of the same identifier); the handler may be empty. Fails
    // with UNErrorDomain 1 while the app may not post notifications.
    void addNotificationRequest(const std::shared_ptr<UNNotificationRequest>& request,
                                UNErrorHandler handler = {});
    void getPendingNotificationRequestsWithCompletionHandler(UNRequestsHandler handler);
    void removePendingNotificationRequestsWithIdentifiers(std::vector<std::string> identifiers);
    void removeAllPendingNotificationRequests();
    void getDeliveredNotificationsWithCompletionHandler(UNNotificationsHandler handler);
    void removeDeliveredNotificationsWithIdentifiers(std::vector<std::string> identifiers);
    void removeAllDeliveredNotifications();

    // The serial queue every completion runs on.
    const DispatchQueuePtr& queue() const { return queue_; }

    Value valueForKey(std::string_view key) override;

    // The state shared with the driver (UNCenterState.hpp, internal to this folder).
    struct State;

private:
    friend class UNCenterAccess;
    friend class sim::Notifications;

    // The bodies behind the runtime methods.
    void setDelegateDirect(rt::ObjectPtr delegate);
    void requestAuthorizationDirect(uint64_t options, UNAuthorizationHandler handler);
    void getSettingsDirect(UNSettingsHandler handler);
    void setCategoriesDirect(std::vector<UNNotificationCategory> categories);
    void getCategoriesDirect(UNCategoriesHandler handler);
    void addRequestDirect(std::shared_ptr<UNNotificationRequest> request, UNErrorHandler handler);
    void getPendingDirect(UNRequestsHandler handler);
    void removePendingDirect(const std::vector<std::string>* identifiers);
    void getDeliveredDirect(UNNotificationsHandler handler);
    void removeDeliveredDirect(const std::vector<std::string>* identifiers);

    // Work queued for later keeps the centre alive.
    std::shared_ptr<UNUserNotificationCenter> strong();
    // Completion on the centre's queue, after `delay` seconds when above 0.
    void complete(std::function<void()> fn, double delay = 0);
    void answerAuthorization(uint64_t options, bool granted, std::optional<Error> error,
                             UNAuthorizationHandler handler);
    void scheduleRequest(const std::shared_ptr<UNNotificationRequest>& request);
    void fire(const std::string& identifier, uint64_t generation);

    DispatchQueuePtr queue_;
    std::unique_ptr<State> state_;
};

} // namespace plat
