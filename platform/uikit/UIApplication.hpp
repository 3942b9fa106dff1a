#pragma once
// UIApplication (runtime class "UIApplication"): the shared application object with its state, delegate,
// badge, URL opening, background tasks and remote-notification registration. The delegate is set through
// the runtime ("setDelegate:"), and its respond-to answers are cached at that moment, as on the device; the
// stand-in calls delegate methods only through those answers and rt::msgSend.
//
// clang-format off
// Delegate method signatures: the application as rt::ObjectPtr first, then
//   application:didFinishLaunchingWithOptions:                       (Value options) -> bool [null or a dictionary]
//   applicationDidBecomeActive: and the other lifecycle ones          () -> void
//   application:openURL:options:                                      (std::string url, Value options) -> bool
//   application:openURL:sourceApplication:annotation:                 (std::string url, std::string source, Value) -> bool
//   application:continueUserActivity:restorationHandler:              (rt::ObjectPtr activity, RestorationHandler) -> bool
//   application:handleEventsForBackgroundURLSession:completionHandler: (std::string id, std::function<void()>)
//   application:didRegisterForRemoteNotificationsWithDeviceToken:     (Data token)
//   application:didFailToRegisterForRemoteNotificationsWithError:     (Error error)
//   application:didReceiveRemoteNotification:fetchCompletionHandler:  (Value userInfo, FetchCompletionHandler)
//   application:didReceiveRemoteNotification:                         (Value userInfo)
//   application:didRegisterUserNotificationSettings:                  (UIUserNotificationSettings)
//   application:didReceiveLocalNotification:                          (UILocalNotification)
//   application:handleActionWithIdentifier:forRemoteNotification:completionHandler:
//       (std::string identifier, Value userInfo, std::function<void()>)
//   application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:
//       (std::string identifier, Value userInfo, Value responseInfo, std::function<void()>)
//   application:handleActionWithIdentifier:forLocalNotification:[withResponseInfo:]completionHandler:
//       the same with UILocalNotification in place of the user info
// clang-format on
// Every completion handler handed over is checked to be called exactly once (sim::CompletionHandlers).

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"
#include "platform/uikit/UIResponder.hpp"

namespace plat {

class UIWindow;
namespace sim {
class App;
}

using FetchCompletionHandler = std::function<void(UIBackgroundFetchResult)>;
using RestorationHandler = std::function<void(Array)>;

// The push service the device registers with; the device layer provides it.
class RemoteNotificationRegistrar {
public:
    virtual ~RemoteNotificationRegistrar() = default;
    // Asks for a device token; calls done exactly once, on any thread, with the token or the error.
    virtual void registerForRemoteNotifications(std::function<void(Result<Data>)> done) = 0;
};

// The user's answer to the notification prompt of OS 8-9: of the types asked for, those allowed (0 =
// refused). The device installs it (sim::App::setLegacyNotificationPrompt); without one every type asked for
// is allowed.
using LegacyNotificationPrompt = std::function<uint64_t(uint64_t requestedTypes)>;

class UIApplication : public UIResponder {
public:
    explicit UIApplication(rt::Class* cls);
    static rt::Class* runtimeClass();
    // Made on first use (of the class UIApplicationMain names, else UIApplication); null in an app extension.
    static std::shared_ptr<UIApplication> sharedApplication();

    rt::ObjectPtr delegate() const;
    // Sends "setDelegate:", so hooks on it run.
    void setDelegate(const rt::ObjectPtr& delegate);
    // The cached respond-to answer for a delegate method.
    bool delegateResponds(rt::Sel sel) const;
    // Calls a delegate method when the delegate responded to it at set time; the application is passed first.
    template <class R = void, class... A>
    std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> sendToDelegate(rt::Sel sel, A&&... args) {
        rt::ObjectPtr d = delegate();
        if (!d || !delegateResponds(sel)) {
            return std::nullopt;
        }
        if constexpr (std::is_void_v<R>) {
            rt::msgSend<void>(d, sel, selfPtr(), std::forward<A>(args)...);
            return true;
        } else {
            return rt::msgSend<R>(d, sel, selfPtr(), std::forward<A>(args)...);
        }
    }

    UIApplicationState applicationState() const { return state_; }
    int64_t applicationIconBadgeNumber() const { return badge_; }
    // Sends "setApplicationIconBadgeNumber:", so hooks on it run.
    void setApplicationIconBadgeNumber(int64_t value);

    // The answer arrives later on the main queue through the delegate.
    void registerForRemoteNotifications();
    void registerForRemoteNotificationTypes(uint64_t types);
    bool isRegisteredForRemoteNotifications() const { return registered_; }

    // OS 8-9. Sends "registerUserNotificationSettings:" (absent below OS 8, so it raises there as on the
    // device); the user's answer reaches application:didRegisterUserNotificationSettings: later on the main
    // queue, and currentUserNotificationSettings from then on.
    void registerUserNotificationSettings(const UIUserNotificationSettings& settings);
    UIUserNotificationSettings currentUserNotificationSettings() const { return currentSettings_; }
    void scheduleLocalNotification(const UILocalNotification& notification);
    void cancelAllLocalNotifications();
    std::vector<UILocalNotification> scheduledLocalNotifications() const { return scheduled_; }

    // Legacy form; returns whether the URL could be opened.
    bool openURL(const std::string& url);
    void openURL(const std::string& url, Dictionary options, std::function<void(bool)> completion);
    bool canOpenURL(const std::string& url);

    UIBackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                           std::function<void()> expirationHandler);
    UIBackgroundTaskIdentifier
    beginBackgroundTaskWithExpirationHandler(std::function<void()> expirationHandler);
    void endBackgroundTask(UIBackgroundTaskIdentifier identifier);

    bool isMultitaskingSupported() const { return true; }
    UIInterfaceOrientation statusBarOrientation() const { return orientation_; }
    bool isNetworkActivityIndicatorVisible() const { return networkIndicator_; }
    void setNetworkActivityIndicatorVisible(bool visible) { networkIndicator_ = visible; }
    std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }
    std::vector<std::shared_ptr<UIWindow>> windows() const { return windows_; }

    Value valueForKey(std::string_view key) override;

    // Used by UIWindow.
    void windowBecameKey(const std::shared_ptr<UIWindow>& window);

private:
    friend class UIKitClassesAccess;
    friend class sim::App;

    rt::ObjectPtr selfPtr() { return shared_from_this(); }
    void setDelegateDirect(rt::ObjectPtr delegate);
    void setBadgeDirect(int64_t value);
    void deliverOpenURL(const std::string& url, Dictionary options);
    void setState(UIApplicationState state) { state_ = state; }
    void registerUserNotificationSettingsDirect(UIUserNotificationSettings settings);

    rt::ObjectPtr delegate_;
    std::unordered_set<rt::Sel> responds_;
    UIApplicationState state_ = UIApplicationState::inactive;
    int64_t badge_ = 0;
    bool registered_ = false;
    bool networkIndicator_ = false;
    UIInterfaceOrientation orientation_ = UIInterfaceOrientation::portrait;
    std::weak_ptr<UIWindow> keyWindow_;
    std::vector<std::shared_ptr<UIWindow>> windows_;
    std::map<UIBackgroundTaskIdentifier, std::function<void()>> expirationHandlers_;
    UIUserNotificationSettings currentSettings_;
    std::vector<UILocalNotification> scheduled_;
};

} // namespace plat
