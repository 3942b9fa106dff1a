#include "app/AppDelegate.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "app/Strings.hpp"
#include "app/ViewController.hpp"
#include "core/DAVApp.hpp"
#include "crash/Vuzidorazav.hpp"
#include "kit_host/Zuvadu.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIResponder.hpp"
#include "platform/uikit/UIStoryboard.hpp"

#include <string>

namespace rt = plat::rt;

namespace {

constexpr double kRequestTimeout = 60;

plat::URLRequest screenRequest(const std::optional<plat::URL>& url) {
    return plat::URLRequest(url, plat::URLRequestCachePolicy::useProtocolCachePolicy, kRequestTimeout);
}

} // namespace

AppDelegate::AppDelegate(rt::Class* cls) : rt::Object(cls), configService_(&ASConfigService::shared()) {}

rt::Class* AppDelegate::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass<AppDelegate>(kClassName, plat::UIResponder::runtimeClass(),
                                                      {"UIApplicationDelegate"});
        rt::replaceMethod(c, "application:didFinishLaunchingWithOptions:",
                          [](AppDelegate& self, rt::ObjectPtr, const plat::Value& options) -> bool {
                              return self.application_didFinishLaunchingWithOptions(options);
                          });
        rt::replaceMethod(c, "application:continueUserActivity:restorationHandler:",
                          [](AppDelegate& self, rt::ObjectPtr, rt::ObjectPtr activity,
                             const plat::RestorationHandler&) -> bool {
                              auto userActivity = std::dynamic_pointer_cast<plat::NSUserActivity>(activity);
                              if (!userActivity) {
                                  return true;
                              }
                              return self.application_continueUserActivity(*userActivity);
                          });
        for (const char* lifecycle : {"applicationWillResignActive:", "applicationDidEnterBackground:",
                                      "applicationWillEnterForeground:", "applicationDidBecomeActive:",
                                      "applicationWillTerminate:"}) {
            rt::replaceMethod(c, lifecycle, [](AppDelegate&, rt::ObjectPtr) {});
        }
        rt::replaceMethod(c, "window", [](AppDelegate& self) -> rt::ObjectPtr { return self.window(); });
        rt::replaceMethod(c, "setWindow:", [](AppDelegate& self, rt::ObjectPtr window) {
            self.setWindow(std::dynamic_pointer_cast<plat::UIWindow>(window));
        });
        return c;
    }();
    return cls;
}

bool AppDelegate::application_didFinishLaunchingWithOptions(const plat::Value& launchOptions) {
    Zuvadu::with({Vuzidorazav::runtimeClass()});
    DAVApp::configure();
    setUpPushNotifications(launchOptions);
    return true;
}

void AppDelegate::setUpPushNotifications(const plat::Value& launchOptions) {
    // Start-up itself must not prompt: the prompt below comes with the answer handler.
    const plat::Dictionary settings{{kOSSettingsKeyAutoPrompt, plat::Value(false)}};
    auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
    RadIrivoz::initWithLaunchOptions(
        launchOptions.isDictionary() ? launchOptions : plat::Value(), std::string(Strings::RadIrivoz::appId),
        [self](std::shared_ptr<const RINotification> notification) {
            self->handleNotificationReceived(notification);
        },
        [self](std::shared_ptr<const RINotificationOpenedResult> result) {
            self->handleNotificationOpened(result);
        },
        settings);
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    RadIrivoz::promptForPushNotificationsWithUserResponse(&AppDelegate::handlePermissionAnswer);
}

void AppDelegate::handleNotificationReceived(const std::shared_ptr<const RINotification>& notification) {
    if (notification) {
        plat::debugPrint("New notification received");
    }
}

void AppDelegate::handlePermissionAnswer(bool accepted) {
    plat::print(std::string("User accepted notifications: ") + (accepted ? "true" : "false"));
}

void AppDelegate::handleNotificationOpened(const std::shared_ptr<const RINotificationOpenedResult>& result) {
    plat::debugPrint("Notification tapped");
    std::optional<plat::Dictionary> additionalData;
    if (result && result->notification() && result->notification()->payload()) {
        additionalData = result->notification()->payload()->additionalData();
    }
    const plat::Value* target = additionalData ? additionalData->find("targetUrl") : nullptr;
    if (target && target->isString()) {
        plat::debugPrint("Target url string: " + target->asString());
        openTargetURL(plat::URL::parse(target->asString()));
        return;
    }
    plat::debugPrint("Target url not found. Default URL will be used.");
}

void AppDelegate::openTargetURL(const std::optional<plat::URL>& url) {
    if (!url) {
        plat::debugPrint("The url parameter is not valid. Open url failed.");
        return;
    }
    installScreen(screenRequest(url));
}

bool AppDelegate::application_continueUserActivity(const plat::NSUserActivity& activity) {
    handleUniversalLink(activity);
    return true;
}

void AppDelegate::handleUniversalLink(const plat::NSUserActivity& activity) {
    plat::debugPrint("universal link tapped");
    // Any non-empty type is taken, not only the browsing-web type.
    if (activity.activityType().empty()) {
        return;
    }
    auto address = plat::URL::parse(activity.webpageURL());
    if (activity.webpageURL().empty() || !address) {
        // Nothing to show; clearing the base URL here would leave every screen blank until a restart.
        return;
    }
    universalLinkURL_ = address;
    configService_->setBaseURL(address);
    showUniversalLinkScreen();
}

void AppDelegate::showUniversalLinkScreen() {
    installScreen(screenRequest(universalLinkURL_));
}

void AppDelegate::installScreen(plat::URLRequest request) {
    auto screen =
        plat::UIStoryboard::storyboardWithName(std::string(Strings::Storyboard::main))
            ->instantiateViewControllerWithIdentifier(std::string(Strings::ViewController::identifier));
    auto viewController = std::dynamic_pointer_cast<ViewController>(screen);
    if (viewController) {
        viewController->setRequest(std::move(request));
        viewController->setShouldHideNavBar(true);
    }
    if (!window_) {
        return;
    }
    // A scene of another class gets no request, and the window is left without a root.
    window_->setRootViewController(viewController);
    window_->makeKeyAndVisible();
}
