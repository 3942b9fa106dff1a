#include "platform/uikit/UIApplication.hpp"

#include <algorithm>
#include <mutex>

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/String.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/uikit/UIRecorder.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {
namespace {

// The delegate methods the stand-in may call; their respond-to answers are cached at set time.
const std::vector<rt::Sel>& delegateSelectors() {
    static const std::vector<rt::Sel> selectors = {
        "application:didFinishLaunchingWithOptions:",
        "applicationDidBecomeActive:",
        "applicationWillResignActive:",
        "applicationDidEnterBackground:",
        "applicationWillEnterForeground:",
        "applicationWillTerminate:",
        "applicationDidReceiveMemoryWarning:",
        "application:openURL:options:",
        "application:openURL:sourceApplication:annotation:",
        "application:continueUserActivity:restorationHandler:",
        "application:handleEventsForBackgroundURLSession:completionHandler:",
        "application:didRegisterForRemoteNotificationsWithDeviceToken:",
        "application:didFailToRegisterForRemoteNotificationsWithError:",
        "application:didRegisterUserNotificationSettings:",
        "application:didReceiveRemoteNotification:fetchCompletionHandler:",
        "application:didReceiveRemoteNotification:",
        "application:didReceiveLocalNotification:",
        "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:",
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:",
        "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
        "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:completionHandler:",
    };
    return selectors;
}

std::string schemeOf(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) {
        return {};
    }
    return String::lowercasedASCII(url.substr(0, colon));
}

// The URL schemes the app declares in its Info.plist (CFBundleURLTypes / CFBundleURLSchemes).
bool isOwnScheme(const std::string& scheme) {
    auto types = Bundle::main()->objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types || !types->isArray()) {
        return false;
    }
    for (const Value& type : types->asArray()) {
        const Value& schemes = type["CFBundleURLSchemes"];
        if (!schemes.isArray()) {
            continue;
        }
        for (const Value& s : schemes.asArray()) {
            if (s.isString() && schemeOf(s.asString() + ":") == scheme) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

UIApplication::UIApplication(rt::Class* cls) : UIResponder(cls) {}

rt::Class* UIApplication::runtimeClass() {
    return uikitClasses().application;
}

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
    if (Bundle::main()->isAppExtension()) {
        return nullptr;
    }
    return sim::App::sharedInstance("UIApplication");
}

rt::ObjectPtr UIApplication::delegate() const {
    return delegate_;
}

void UIApplication::setDelegate(const rt::ObjectPtr& delegate) {
    rt::msgSend(*this, "setDelegate:", delegate);
}

void UIApplication::setDelegateDirect(rt::ObjectPtr delegate) {
    requireMainThread("-[UIApplication setDelegate:]");
    willChange("delegate");
    delegate_ = std::move(delegate);
    responds_.clear();
    if (delegate_) {
        for (rt::Sel sel : delegateSelectors()) {
            if (rt::respondsTo(*delegate_, sel)) {
                responds_.insert(sel);
            }
        }
    }
    didChange("delegate");
}

bool UIApplication::delegateResponds(rt::Sel sel) const {
    return responds_.count(sel) > 0;
}

Value UIApplication::valueForKey(std::string_view key) {
    if (key == "delegate") {
        return Value(delegate_);
    }
    if (key == "applicationState") {
        return Value(static_cast<int64_t>(state_));
    }
    if (key == "applicationIconBadgeNumber") {
        return Value(badge_);
    }
    return rt::Object::valueForKey(key);
}

void UIApplication::setApplicationIconBadgeNumber(int64_t value) {
    rt::msgSend(*this, "setApplicationIconBadgeNumber:", value);
}

void UIApplication::setBadgeDirect(int64_t value) {
    requireMainThread("-[UIApplication setApplicationIconBadgeNumber:]");
    badge_ = value;
    sim::UIRecorder::shared().badge(value);
}

// ---- remote notifications --------------------------------------------------------------------------

void UIApplication::registerForRemoteNotifications() {
    requireMainThread("-[UIApplication registerForRemoteNotifications]");
    auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
    auto answer = [self](Result<Data> result) {
        DispatchQueue::main()->async([self, result = std::move(result)] {
            if (result.ok()) {
                self->registered_ = true;
                self->sendToDelegate("application:didRegisterForRemoteNotificationsWithDeviceToken:",
                                     *result);
            } else {
                self->sendToDelegate("application:didFailToRegisterForRemoteNotificationsWithError:",
                                     result.error());
            }
        });
    };
    if (auto registrar = sim::App::remoteNotificationRegistrar()) {
        registrar->registerForRemoteNotifications(std::move(answer));
    } else {
        answer(
            Error(NSCocoaErrorDomain, 3010,
                  Dictionary{{NSLocalizedDescriptionKey, Value("remote notifications are not supported")}}));
    }
}

void UIApplication::registerForRemoteNotificationTypes(uint64_t) {
    registerForRemoteNotifications();
}

// ---- legacy user notifications ---------------------------------------------------------------------

void UIApplication::registerUserNotificationSettings(const UIUserNotificationSettings& settings) {
    rt::msgSend(*this, "registerUserNotificationSettings:", settings);
}

void UIApplication::registerUserNotificationSettingsDirect(UIUserNotificationSettings settings) {
    requireMainThread("-[UIApplication registerUserNotificationSettings:]");
    auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
    DispatchQueue::main()->async([self, settings = std::move(settings)]() mutable {
        const uint64_t requested = settings.types;
        LegacyNotificationPrompt prompt = sim::App::legacyNotificationPrompt();
        settings.types = prompt ? (prompt(requested) & requested) : requested;
        sim::UIRecorder::shared().settingsRegistered(requested, settings);
        self->currentSettings_ = settings;
        self->sendToDelegate("application:didRegisterUserNotificationSettings:", std::move(settings));
    });
}

void UIApplication::scheduleLocalNotification(const UILocalNotification& notification) {
    requireMainThread("-[UIApplication scheduleLocalNotification:]");
    scheduled_.push_back(notification);
    sim::UIRecorder::shared().localNotificationScheduled(notification);
}

void UIApplication::cancelAllLocalNotifications() {
    requireMainThread("-[UIApplication cancelAllLocalNotifications]");
    scheduled_.clear();
    sim::UIRecorder::shared().localNotificationsCancelled();
}

// ---- URLs ------------------------------------------------------------------------------------------

bool UIApplication::canOpenURL(const std::string& url) {
    sim::UIRecorder::shared().canOpenURLAsked(url);
    const std::string scheme = schemeOf(url);
    if (auto answer = sim::App::canOpenAnswer(scheme)) {
        return *answer;
    }
    return scheme == "http" || scheme == "https" || scheme == "mailto" || isOwnScheme(scheme);
}

bool UIApplication::openURL(const std::string& url) {
    requireMainThread("-[UIApplication openURL:]");
    sim::UIRecorder::shared().openedURL(url, true);
    const bool ok = canOpenURL(url);
    if (ok && isOwnScheme(schemeOf(url))) {
        auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
        DispatchQueue::main()->async([self, url] { self->deliverOpenURL(url, {}); });
    }
    return ok;
}

void UIApplication::openURL(const std::string& url, Dictionary, std::function<void(bool)> completion) {
    requireMainThread("-[UIApplication openURL:options:completionHandler:]");
    sim::UIRecorder::shared().openedURL(url, false);
    const bool ok = canOpenURL(url);
    auto self = std::static_pointer_cast<UIApplication>(shared_from_this());
    const bool own = ok && isOwnScheme(schemeOf(url));
    DispatchQueue::main()->async([self, url, ok, own, completion = std::move(completion)] {
        if (own) {
            self->deliverOpenURL(url, {});
        }
        if (completion) {
            completion(ok);
        }
    });
}

void UIApplication::deliverOpenURL(const std::string& url, Dictionary options) {
    if (delegateResponds("application:openURL:options:")) {
        sendToDelegate<bool>("application:openURL:options:", url, Value(std::move(options)));
        return;
    }
    const Value* source = options.find(UIApplicationOpenURLOptionsSourceApplicationKey);
    const Value* annotation = options.find(UIApplicationOpenURLOptionsAnnotationKey);
    sendToDelegate<bool>("application:openURL:sourceApplication:annotation:", url,
                         source && source->isString() ? source->asString() : std::string(),
                         annotation ? *annotation : Value());
}

// ---- background tasks ------------------------------------------------------------------------------

UIBackgroundTaskIdentifier
UIApplication::beginBackgroundTaskWithName(const std::string& name, std::function<void()> expirationHandler) {
    const UIBackgroundTaskIdentifier id = sim::UIRecorder::shared().beginTask(name);
    expirationHandlers_[id] = std::move(expirationHandler);
    return id;
}

UIBackgroundTaskIdentifier
UIApplication::beginBackgroundTaskWithExpirationHandler(std::function<void()> handler) {
    return beginBackgroundTaskWithName("", std::move(handler));
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
    expirationHandlers_.erase(identifier);
    if (!sim::UIRecorder::shared().endTask(identifier)) {
        printDevice("Can't end BackgroundTask: no background task exists with identifier " +
                    std::to_string(identifier) + ", or it may have already been ended.");
    }
}

// ---- windows ---------------------------------------------------------------------------------------

void UIApplication::windowBecameKey(const std::shared_ptr<UIWindow>& window) {
    auto previous = keyWindow_.lock();
    if (previous == window) {
        return;
    }
    if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) {
        windows_.push_back(window);
    }
    keyWindow_ = window;
    if (previous) {
        previous->resignKeyWindow();
    }
}

} // namespace plat
