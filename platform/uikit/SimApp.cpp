#include "platform/uikit/SimApp.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIBarButtonItem.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UIDevice.hpp"
#include "platform/uikit/UIStoryboard.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat::sim {
namespace {

struct SimState {
    std::mutex mutex;
    std::shared_ptr<UIApplication> app;
    Value launchOptions;
    std::map<std::string, bool> canOpen;
    std::shared_ptr<RemoteNotificationRegistrar> registrar;
    LegacyNotificationPrompt legacyPrompt;
    std::vector<std::shared_ptr<UIAlertView>> alertViews; // on screen, oldest first
    std::vector<std::weak_ptr<UIRefreshControl>> refreshControls;
};

SimState& simState() {
    static NeverDestroyed<SimState> instance;
    return *instance;
}

std::shared_ptr<UIApplication> app() {
    return UIApplication::sharedApplication();
}

void post(const char* name, const Dictionary& userInfo = {}) {
    auto a = app();
    NotificationCenter::defaultCenter().post(name, a.get(), userInfo);
}

std::shared_ptr<UIAlertController> topAlert(const std::shared_ptr<UIViewController>& vc) {
    if (!vc) {
        return nullptr;
    }
    if (auto presented = vc->presentedViewController()) {
        if (auto deeper = topAlert(presented)) {
            return deeper;
        }
        if (auto alert = std::dynamic_pointer_cast<UIAlertController>(presented)) {
            return alert;
        }
    }
    for (const auto& child : vc->childViewControllers()) {
        if (auto alert = topAlert(child)) {
            return alert;
        }
    }
    return nullptr;
}

std::shared_ptr<UIAlertController> alertOnScreen() {
    auto a = app();
    if (!a) {
        return nullptr;
    }
    auto windows = a->windows();
    if (auto key = a->keyWindow()) {
        windows.insert(windows.begin(), key);
    }
    for (const auto& w : windows) {
        if (auto alert = topAlert(w->rootViewController())) {
            return alert;
        }
    }
    return nullptr;
}

void tap(const std::shared_ptr<UIAlertController>& alert, const std::shared_ptr<UIAlertAction>& action) {
    alert->dismissViewControllerAnimated(false);
    if (action->handler()) {
        action->handler()(*action);
    }
}

void describeTree(const std::shared_ptr<UIViewController>& vc, int depth, std::string& out) {
    if (!vc) {
        return;
    }
    out += std::string(static_cast<size_t>(depth) * 2, ' ') + rt::className(*vc);
    if (!vc->title().empty()) {
        out += " \"" + vc->title() + "\"";
    }
    out += vc->isAppeared() ? " (shown)\n" : "\n";
    for (const auto& child : vc->childViewControllers()) {
        describeTree(child, depth + 1, out);
    }
    if (auto presented = vc->presentedViewController()) {
        out += std::string(static_cast<size_t>(depth + 1) * 2, ' ') + "presents:\n";
        describeTree(presented, depth + 2, out);
    }
}

} // namespace

std::shared_ptr<UIApplication> App::sharedInstance(std::string_view principalClassName) {
    rt::Class* fallback = UIApplication::runtimeClass(); // registers the UI classes first
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    if (!s.app) {
        rt::Class* cls = rt::getClass(principalClassName);
        s.app = std::dynamic_pointer_cast<UIApplication>(rt::createInstance(cls ? cls : fallback));
        if (!s.app) {
            s.app = std::make_shared<UIApplication>(fallback);
        }
    }
    return s.app;
}

void App::setLaunchOptions(Value options) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.launchOptions = std::move(options);
}

Value App::launchOptions() {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.launchOptions;
}

std::shared_ptr<UIApplication> App::launch(std::string_view delegateClassName, Value launchOptions,
                                           std::span<const rt::LoadHook> loadHooks,
                                           std::string_view principalClassName) {
    rt::runLoadHooks(loadHooks);
    auto application = sharedInstance(principalClassName);
    rt::Class* delegateClass = rt::getClass(delegateClassName);
    if (!delegateClass) {
        throw Exception(NSInternalInconsistencyException,
                        "Unable to instantiate the UIApplication delegate instance. No class named " +
                            std::string(delegateClassName) + " is loaded.");
    }
    rt::ObjectPtr delegate = rt::createInstance(delegateClass);
    application->setDelegate(delegate);
    application->setState(UIApplicationState::inactive);

    application->sendToDelegate<bool>("application:didFinishLaunchingWithOptions:", launchOptions);
    post(UIApplicationDidFinishLaunchingNotification,
         launchOptions.isDictionary() ? launchOptions.asDictionary() : Dictionary{});

    if (!application->keyWindow()) {
        if (auto name = UIStoryboard::mainStoryboardName()) {
            auto root = UIStoryboard::storyboardWithName(*name)->instantiateInitialViewController();
            auto window = UIWindow::make();
            if (rt::respondsTo(delegate, "setWindow:")) {
                rt::msgSend(delegate, "setWindow:", rt::ObjectPtr(window));
            }
            window->setRootViewController(root);
            window->makeKeyAndVisible();
        }
    }
    becomeActive();
    return application;
}

void App::becomeActive() {
    auto a = app();
    if (!a || a->applicationState() == UIApplicationState::active) {
        return;
    }
    a->setState(UIApplicationState::active);
    a->sendToDelegate("applicationDidBecomeActive:");
    post(UIApplicationDidBecomeActiveNotification);
}

void App::resignActive() {
    auto a = app();
    if (!a || a->applicationState() != UIApplicationState::active) {
        return;
    }
    a->setState(UIApplicationState::inactive);
    a->sendToDelegate("applicationWillResignActive:");
    post(UIApplicationWillResignActiveNotification);
}

void App::enterBackground() {
    auto a = app();
    if (!a || a->applicationState() == UIApplicationState::background) {
        return;
    }
    resignActive();
    a->setState(UIApplicationState::background);
    a->sendToDelegate("applicationDidEnterBackground:");
    post(UIApplicationDidEnterBackgroundNotification);
    UserDefaults::standardUserDefaults().synchronize();
}

void App::enterForeground() {
    enterForeground(std::function<void()>());
}

void App::enterForeground(const std::function<void()>& whileInactive) {
    auto a = app();
    if (!a || a->applicationState() != UIApplicationState::background) {
        return;
    }
    a->setState(UIApplicationState::inactive);
    a->sendToDelegate("applicationWillEnterForeground:");
    post(UIApplicationWillEnterForegroundNotification);
    if (whileInactive) {
        whileInactive();
    }
    becomeActive();
}

void App::terminate() {
    if (auto a = app()) {
        a->sendToDelegate("applicationWillTerminate:");
        post(UIApplicationWillTerminateNotification);
    }
    UserDefaults::standardUserDefaults().synchronize();
    MainLoop::stop();
}

void App::memoryWarning() {
    if (auto a = app()) {
        a->sendToDelegate("applicationDidReceiveMemoryWarning:");
    }
    post(UIApplicationDidReceiveMemoryWarningNotification);
}

void App::openURL(const std::string& url, const std::string& sourceApplication) {
    auto a = app();
    if (!a) {
        return;
    }
    Dictionary options;
    if (!sourceApplication.empty()) {
        options.set(UIApplicationOpenURLOptionsSourceApplicationKey, Value(sourceApplication));
    }
    a->deliverOpenURL(url, std::move(options));
}

bool App::openUniversalLink(const std::string& url, const std::string& activityType) {
    auto a = app();
    if (!a) {
        return false;
    }
    auto activity = NSUserActivity::make(activityType);
    activity->setWebpageURL(url);
    auto handled = a->sendToDelegate<bool>("application:continueUserActivity:restorationHandler:",
                                           rt::ObjectPtr(activity), RestorationHandler([](Array) {}));
    return handled.value_or(false);
}

void App::backgroundURLSessionEvents(const std::string& identifier, std::function<void()> completion) {
    auto a = app();
    if (!a) {
        return;
    }
    const char* sel = "application:handleEventsForBackgroundURLSession:completionHandler:";
    if (a->delegateResponds(sel)) {
        a->sendToDelegate(sel, identifier, CompletionHandlers::wrap(sel, std::move(completion)));
    }
    // The app re-creates its session in the call above; the session then reports that the events are done.
    auto session = URLSession::forBackgroundIdentifier(identifier);
    if (!session) {
        return;
    }
    auto delegate = session->delegate();
    if (!delegate || !delegate->respondsTo(URLSessionSelector::didFinishEventsForBackgroundURLSession)) {
        return;
    }
    session->delegateQueue()->addOperationWithBlock(
        [session, delegate] { delegate->didFinishEventsForBackgroundURLSession(*session); });
}

bool App::receiveRemoteNotification(const Value& userInfo,
                                    std::function<void(UIBackgroundFetchResult)> onResult) {
    auto a = app();
    if (!a) {
        return false;
    }
    const char* fetch = "application:didReceiveRemoteNotification:fetchCompletionHandler:";
    if (a->delegateResponds(fetch)) {
        FetchCompletionHandler record = [onResult = std::move(onResult)](UIBackgroundFetchResult result) {
            UIRecorder::shared().fetchCompleted(result);
            if (onResult) {
                onResult(result);
            }
        };
        a->sendToDelegate(fetch, userInfo, CompletionHandlers::wrap(fetch, std::move(record)));
        return true;
    }
    return a->sendToDelegate("application:didReceiveRemoteNotification:", userInfo).has_value();
}

bool App::receiveLocalNotification(const UILocalNotification& notification) {
    auto a = app();
    return a && a->sendToDelegate("application:didReceiveLocalNotification:", notification).has_value();
}

namespace {

template <class Subject>
bool handleAction(const char* withInfo, const char* plain, const std::string& identifier,
                  const Subject& subject, const Value& responseInfo, std::function<void()> done) {
    auto a = UIApplication::sharedApplication();
    if (!a) {
        return false;
    }
    if (a->delegateResponds(withInfo)) {
        a->sendToDelegate(withInfo, identifier, subject,
                          responseInfo.isNull() ? Value(Dictionary{}) : responseInfo,
                          CompletionHandlers::wrap(withInfo, std::move(done)));
        return true;
    }
    if (a->delegateResponds(plain)) {
        a->sendToDelegate(plain, identifier, subject, CompletionHandlers::wrap(plain, std::move(done)));
        return true;
    }
    return false;
}

} // namespace

bool App::handleActionForRemoteNotification(const std::string& identifier, const Value& userInfo,
                                            const Value& responseInfo, std::function<void()> done) {
    return handleAction(
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:",
        "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:", identifier,
        userInfo, responseInfo, std::move(done));
}

bool App::handleActionForLocalNotification(const std::string& identifier,
                                           const UILocalNotification& notification, const Value& responseInfo,
                                           std::function<void()> done) {
    return handleAction(
        "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:completionHandler:",
        "application:handleActionWithIdentifier:forLocalNotification:completionHandler:", identifier,
        notification, responseInfo, std::move(done));
}

void App::rotate(UIInterfaceOrientation orientation) {
    auto a = app();
    if (!a) {
        return;
    }
    a->orientation_ = orientation;
    NotificationCenter::defaultCenter().post(UIDeviceOrientationDidChangeNotification, nullptr);
    // The interface turns with the device: the screen's bounds change, the windows take them and the
    // screens they show are laid out again, before the status bar reports its new orientation.
    setInterfaceOrientation(orientation);
    auto windows = a->windows();
    if (auto key = a->keyWindow(); key && std::find(windows.begin(), windows.end(), key) == windows.end()) {
        windows.push_back(key);
    }
    for (const auto& w : windows) {
        w->resizeToScreen();
    }
    post(UIApplicationDidChangeStatusBarOrientationNotification);
}

void App::expireBackgroundTasks() {
    auto a = app();
    if (!a) {
        return;
    }
    auto handlers = std::move(a->expirationHandlers_);
    a->expirationHandlers_.clear();
    for (auto& [id, handler] : handlers) {
        UIRecorder::shared().expiredTask(id);
        if (handler) {
            DispatchQueue::main()->async(std::move(handler));
        }
    }
}

void App::showNotificationBadge(int64_t value) {
    auto a = app();
    if (!a || value < 0) {
        return;
    }
    a->setBadgeDirect(value);
}

bool App::tapAlertAction(std::string_view title) {
    if (auto alert = alertOnScreen()) {
        for (const auto& action : alert->actions()) {
            if (action->title() == title && action->isEnabled()) {
                tap(alert, action);
                return true;
            }
        }
        return false;
    }
    std::shared_ptr<UIAlertView> legacy;
    {
        auto& s = simState();
        std::lock_guard lock(s.mutex);
        if (!s.alertViews.empty()) {
            legacy = s.alertViews.back();
        }
    }
    if (!legacy) {
        return false;
    }
    for (int64_t i = 0; i < legacy->numberOfButtons(); ++i) {
        if (legacy->buttonTitleAtIndex(i) == title) {
            legacy->dismissWithClickedButtonIndex(i, true);
            return true;
        }
    }
    return false;
}

bool App::tapBarButtonItem(const std::shared_ptr<UIBarButtonItem>& item) {
    rt::ObjectPtr target = item ? item->target() : nullptr;
    if (!target || item->action().empty()) {
        return false;
    }
    rt::msgSend<void>(target, rt::Sel(item->action()), rt::ObjectPtr(item));
    return true;
}

bool App::tapAlertButton(int64_t index) {
    std::shared_ptr<UIAlertView> legacy;
    {
        auto& s = simState();
        std::lock_guard lock(s.mutex);
        if (!s.alertViews.empty()) {
            legacy = s.alertViews.back();
        }
    }
    if (legacy) {
        if (index < 0 || index >= legacy->numberOfButtons()) {
            return false;
        }
        legacy->dismissWithClickedButtonIndex(index, true);
        return true;
    }
    auto alert = alertOnScreen();
    if (!alert || index < 0 || static_cast<size_t>(index) >= alert->actions().size()) {
        return false;
    }
    tap(alert, alert->actions()[static_cast<size_t>(index)]);
    return true;
}

bool App::pullToRefresh() {
    std::shared_ptr<UIRefreshControl> control;
    {
        auto& s = simState();
        std::lock_guard lock(s.mutex);
        for (auto it = s.refreshControls.rbegin(); it != s.refreshControls.rend() && !control; ++it) {
            control = it->lock();
        }
    }
    if (!control) {
        return false;
    }
    if (!control->isRefreshing()) {
        control->beginRefreshing();
        control->sendActionsForControlEvents(UIControlEventValueChanged);
    }
    return true;
}

void App::setCanOpenURL(const std::string& scheme, bool answer) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.canOpen[scheme] = answer;
}

std::optional<bool> App::canOpenAnswer(const std::string& scheme) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    auto it = s.canOpen.find(scheme);
    return it == s.canOpen.end() ? std::nullopt : std::optional<bool>(it->second);
}

void App::setRemoteNotificationRegistrar(std::shared_ptr<RemoteNotificationRegistrar> registrar) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.registrar = std::move(registrar);
}

std::shared_ptr<RemoteNotificationRegistrar> App::remoteNotificationRegistrar() {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.registrar;
}

void App::setLegacyNotificationPrompt(LegacyNotificationPrompt prompt) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.legacyPrompt = std::move(prompt);
}

LegacyNotificationPrompt App::legacyNotificationPrompt() {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.legacyPrompt;
}

std::string App::state() {
    std::string out;
    auto a = app();
    if (!a) {
        return "no application\n";
    }
    for (const auto& w : a->windows()) {
        out += std::string(w->isKeyWindow() ? "key window" : "window") + ":\n";
        describeTree(w->rootViewController(), 1, out);
    }
    {
        auto& s = simState();
        std::lock_guard lock(s.mutex);
        for (const auto& alert : s.alertViews) {
            out += "alert view: " + alert->title() + "\n";
        }
    }
    return out;
}

void App::alertViewShown(std::shared_ptr<UIAlertView> alert) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.alertViews.push_back(std::move(alert));
}

void App::alertViewHidden(const UIAlertView& alert) {
    std::shared_ptr<UIAlertView> released; // released outside the lock
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    auto it =
        std::find_if(s.alertViews.begin(), s.alertViews.end(), [&](auto& a) { return a.get() == &alert; });
    if (it != s.alertViews.end()) {
        released = std::move(*it);
        s.alertViews.erase(it);
    }
}

void App::refreshControlCreated(const std::shared_ptr<UIRefreshControl>& control) {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    std::erase_if(s.refreshControls, [](auto& w) { return w.expired(); });
    s.refreshControls.push_back(control);
}

} // namespace plat::sim
