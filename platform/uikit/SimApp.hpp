#pragma once
// The driver of the simulated application (what the user and the OS do: launch, lifecycle changes, URL
// opens, alert taps, pull-to-refresh) and access to what it recorded. Everything here runs on the main
// queue's thread.

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Value.hpp"
#include "platform/runtime/LoadHooks.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIRecorder.hpp"

namespace plat {
class UIApplication;
class UIAlertView;
class UIBarButtonItem;
class UIRefreshControl;
class UIView;
class RemoteNotificationRegistrar;
} // namespace plat

namespace plat::sim {

class App {
public:
    // Launch steps 1-4 without the main loop: load hooks, application object (principal class), delegate
    // by class name, didFinishLaunching + notification, the main storyboard's first screen as the key
    // window's root (unless the delegate showed a window itself), then active. A delegate class that does
    // not exist raises NSInternalInconsistencyException.
    static std::shared_ptr<UIApplication> launch(std::string_view delegateClassName, Value launchOptions = {},
                                                 std::span<const rt::LoadHook> loadHooks = {},
                                                 std::string_view principalClassName = "UIApplication");
    // The options UIApplicationMain launches with.
    static void setLaunchOptions(Value options);
    static Value launchOptions();

    // Lifecycle, in the device order: state change, delegate method, notification.
    static void resignActive();
    static void enterBackground();
    static void enterForeground();
    // The same, running `whileInactive` after the will-enter-foreground notification and before the app
    // becomes active (how a tap on a notification brings the app back on older OS versions).
    static void enterForeground(const std::function<void()>& whileInactive);
    static void becomeActive();
    // Ends with the main loop stopped.
    static void terminate();
    static void memoryWarning();

    // The OS hands the app a URL (e.g. another app opened one of its schemes).
    static void openURL(const std::string& url, const std::string& sourceApplication = {});
    // A universal link arrives: application:continueUserActivity:restorationHandler: with an activity of
    // the type (browsing-web by default) and the URL; false when the delegate does not take it.
    static bool openUniversalLink(const std::string& url,
                                  const std::string& activityType = "NSUserActivityTypeBrowsingWeb");
    // The system relaunches the app for a background URL session's events: the delegate's
    // application:handleEventsForBackgroundURLSession:completionHandler:, then, when the app has a live
    // session of that identifier, its URLSessionDidFinishEventsForBackgroundURLSession: on its queue.
    // `completion` runs when the app calls the handler it was given.
    static void backgroundURLSessionEvents(const std::string& identifier,
                                           std::function<void()> completion = {});

    // Delivery of notifications as OS 9 and earlier do it (the device routes pushes and taps here).
    // A remote notification: the delegate's fetch method (its result is recorded and passed to onResult),
    // else the plain one; false when the delegate has neither.
    static bool receiveRemoteNotification(const Value& userInfo,
                                          std::function<void(UIBackgroundFetchResult)> onResult = {});
    static bool receiveLocalNotification(const UILocalNotification& notification);
    // The user picked an action of a notification: the delegate's method with response info when it has
    // one, else the one without; `done` runs when the app calls its completion handler. False when the
    // delegate has neither.
    static bool handleActionForRemoteNotification(const std::string& identifier, const Value& userInfo,
                                                  const Value& responseInfo = {},
                                                  std::function<void()> done = {});
    static bool handleActionForLocalNotification(const std::string& identifier,
                                                 const UILocalNotification& notification,
                                                 const Value& responseInfo = {},
                                                 std::function<void()> done = {});
    // The device turns: the orientation changes, the device notification is posted, the screen's bounds
    // turn with it (landscape is wider than tall) and the app's windows are resized and laid out, then the
    // status-bar notification is posted.
    static void rotate(UIInterfaceOrientation orientation);
    // Every live expiration handler, once, on the main queue.
    static void expireBackgroundTasks();
    // A notification that arrives puts its badge number on the app icon: the OS sets it itself, not through the
    // app's setter, so hooks on the setter do not run. Negative numbers are not shown; before a launch there
    // is no icon state to change.
    static void showNotificationBadge(int64_t value);

    // Taps the action with this title on the alert controller on screen, else the button with this title of the
    // legacy alert view on screen; false when there is none.
    static bool tapAlertAction(std::string_view title);
    // Taps the bar button item: its action to its target, the item as sender. False without a target or action.
    static bool tapBarButtonItem(const std::shared_ptr<UIBarButtonItem>& item);
    // Taps a button of the legacy alert view on screen (else of the alert controller on screen), by index.
    static bool tapAlertButton(int64_t index);
    // Pulls the most recently made refresh control that is alive; false when none.
    static bool pullToRefresh();
    // The user taps the control (a button): its touch-up-inside actions. False, with nothing sent, when the
    // view is not a control, is disabled, or it or a view it is in is hidden (the user cannot see it).
    static bool tapButton(const std::shared_ptr<UIView>& view);

    // Test and device controls.
    static void setCanOpenURL(const std::string& scheme, bool answer);
    static std::optional<bool> canOpenAnswer(const std::string& scheme);
    static void setRemoteNotificationRegistrar(std::shared_ptr<RemoteNotificationRegistrar> registrar);
    static std::shared_ptr<RemoteNotificationRegistrar> remoteNotificationRegistrar();
    static void setLegacyNotificationPrompt(LegacyNotificationPrompt prompt);
    static LegacyNotificationPrompt legacyNotificationPrompt();

    static UIRecorder& recorder() { return UIRecorder::shared(); }
    // The window's screens, for the `state` command.
    static std::string state();

    // Used by the stand-ins.
    static std::shared_ptr<UIApplication> sharedInstance(std::string_view principalClassName);
    static void alertViewShown(std::shared_ptr<UIAlertView> alert);
    static void alertViewHidden(const UIAlertView& alert);
    static void refreshControlCreated(const std::shared_ptr<UIRefreshControl>& control);
};

} // namespace plat::sim
