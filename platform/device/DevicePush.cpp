// Push delivery and taps on notifications, as the device routes them per OS version and app state.

#include "platform/device/DeviceProfile.hpp"
#include "platform/device/DeviceState.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/SimNotifications.hpp"

namespace plat::sim {

namespace {

using detail::deviceState;

enum class AppState { notRunning, active, inactive, background };

// The app runs once it has been launched with a delegate; before that the device has nothing to call.
AppState appState() {
    auto app = UIApplication::sharedApplication();
    if (!app || !app->delegate())
        return AppState::notRunning;
    switch (app->applicationState()) {
    case UIApplicationState::active:
        return AppState::active;
    case UIApplicationState::inactive:
        return AppState::inactive;
    case UIApplicationState::background:
        return AppState::background;
    }
    return AppState::notRunning;
}

const Dictionary* apsOf(const Value& userInfo) {
    const Value* aps = userInfo.isDictionary() ? userInfo.asDictionary().find("aps") : nullptr;
    return aps && aps->isDictionary() ? &aps->asDictionary() : nullptr;
}

bool isContentAvailable(const Value& userInfo) {
    const Dictionary* aps = apsOf(userInfo);
    const Value* flag = aps ? aps->find("content-available") : nullptr;
    return flag && flag->isNumber() && flag->integerValue() == 1;
}

// Something for the user to see: a silent push (content-available without alert, badge or sound) is not.
bool isVisible(const Value& userInfo) {
    const Dictionary* aps = apsOf(userInfo);
    if (!aps)
        return true;
    return !isContentAvailable(userInfo) || aps->find("alert") || aps->find("badge") || aps->find("sound");
}

void launchWith(const Value& userInfo) {
    App::setLaunchOptions(Value(Dictionary{{UIApplicationLaunchOptionsRemoteNotificationKey, userInfo}}));
}

std::string receiveWithCenter(const Value& userInfo) {
    auto notification = Notifications::makeRemoteNotification(userInfo);
    const AppState state = appState();
    const bool contentAvailable = isContentAvailable(userInfo);
    if (state == AppState::active) {
        Notifications::presentInForeground(notification);
        if (contentAvailable)
            App::receiveRemoteNotification(userInfo);
        return notification->identifier();
    }
    if (contentAvailable && state != AppState::notRunning)
        App::receiveRemoteNotification(userInfo);
    if (isVisible(userInfo))
        Notifications::deliverToList(notification);
    return notification->identifier();
}

// Out of front, the icon takes the push's badge when the app's registered settings allow badges.
void showLegacyBadge(const Value& userInfo) {
    const Dictionary* aps = apsOf(userInfo);
    const Value* badge = aps ? aps->find("badge") : nullptr;
    auto app = UIApplication::sharedApplication();
    if (badge && badge->isNumber() && app &&
        (app->currentUserNotificationSettings().types & UIUserNotificationTypeBadge) != 0)
        App::showNotificationBadge(badge->integerValue());
}

std::string receiveLegacy(const Value& userInfo) {
    const std::string identifier = UUID::random().uuidString();
    const AppState state = appState();
    if (state == AppState::active) {
        App::receiveRemoteNotification(userInfo);
        return identifier;
    }
    if (isContentAvailable(userInfo) && state != AppState::notRunning)
        App::receiveRemoteNotification(userInfo);
    if (isVisible(userInfo)) {
        {
            std::lock_guard lock(deviceState().mutex);
            deviceState().legacyNotifications[identifier] = userInfo;
        }
        showLegacyBadge(userInfo);
    }
    return identifier;
}

// A tap launches an app that is not running: the launch options carry the notification, and once the launch
// is done (the delegate set by then) the centre's delegate hears of the response.
void respondAfterLaunch(std::shared_ptr<UNNotification> notification, std::string action,
                        std::optional<std::string> userText) {
    launchWith(notification->userInfo());
    static const char owner = 0;
    auto fired = std::make_shared<bool>(false);
    NotificationCenter::defaultCenter().addObserver(
        &owner, std::string(UIApplicationDidFinishLaunchingNotification), nullptr,
        [fired, notification, action, userText](const Notification&) {
            if (*fired)
                return;
            *fired = true;
            DispatchQueue::main()->async([notification, action, userText] {
                NotificationCenter::defaultCenter().removeObserver(&owner);
                Notifications::respond(notification, action, userText);
            });
        });
}

bool isCustomAction(const std::string& action) {
    return !action.empty() && action != UNNotificationDefaultActionIdentifier;
}

// The delegate hears of the tap while the app is inactive, as on the device.
bool deliverLegacyTap(const Value& userInfo, const std::string& action,
                      const std::optional<std::string>& text) {
    bool received = false;
    auto deliver = [&] {
        if (isCustomAction(action)) {
            Value info = text
                             ? Value(Dictionary{{UIUserNotificationActionResponseTypedTextKey, Value(*text)}})
                             : Value(Dictionary{});
            received = App::handleActionForRemoteNotification(action, userInfo, info);
        } else {
            received = App::receiveRemoteNotification(userInfo);
        }
    };
    switch (appState()) {
    case AppState::notRunning:
        launchWith(userInfo);
        return true;
    case AppState::background:
        App::enterForeground(deliver);
        break;
    case AppState::active:
        App::resignActive();
        deliver();
        App::becomeActive();
        break;
    case AppState::inactive:
        deliver();
        break;
    }
    return received;
}

} // namespace

std::string Device::receivePush(const Value& userInfo) {
    requireMainThread("a remote notification");
    return DeviceProfile::hasUserNotificationCenter() ? receiveWithCenter(userInfo) : receiveLegacy(userInfo);
}

bool Device::tapNotification(const std::string& identifier, const std::string& action,
                             std::optional<std::string> userText) {
    requireMainThread("a tap on a notification");
    if (DeviceProfile::hasUserNotificationCenter()) {
        auto notification = Notifications::deliveredNotification(identifier);
        if (!notification)
            return false;
        std::string chosen = action.empty() ? UNNotificationDefaultActionIdentifier : action;
        if (appState() == AppState::notRunning) {
            respondAfterLaunch(notification, std::move(chosen), std::move(userText));
            return true;
        }
        return Notifications::respond(notification, std::move(chosen), std::move(userText));
    }
    Value userInfo;
    {
        std::lock_guard lock(deviceState().mutex);
        auto& held = deviceState().legacyNotifications;
        auto it = held.find(identifier);
        if (it == held.end())
            return false;
        userInfo = std::move(it->second);
        held.erase(it);
    }
    return deliverLegacyTap(userInfo, action, userText);
}

std::optional<std::string> Device::tapPush(const Value& userInfo, const std::string& action,
                                           std::optional<std::string> userText) {
    requireMainThread("a tap on a notification");
    std::string identifier;
    if (DeviceProfile::hasUserNotificationCenter()) {
        auto notification = Notifications::makeRemoteNotification(userInfo);
        Notifications::deliverToList(notification);
        identifier = notification->identifier();
    } else {
        identifier = UUID::random().uuidString();
        std::lock_guard lock(deviceState().mutex);
        deviceState().legacyNotifications[identifier] = userInfo;
    }
    if (!tapNotification(identifier, action, std::move(userText)))
        return std::nullopt;
    return identifier;
}

} // namespace plat::sim
