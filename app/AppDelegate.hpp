#pragma once
// The application delegate (runtime class "AppDelegate"): at launch it starts the service clients (kit host
// with the crash reporter, app-services core, push client) and asks for the notification permission; later it
// shows the target of an opened notification and the address of a universal link in a new root screen.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "app/ASConfigService.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/UIWindow.hpp"

#include <memory>
#include <optional>

class AppDelegate : public plat::rt::Object {
public:
    static constexpr const char* kClassName = "AppDelegate";

    // The window none, the shared configuration (read now, on first use), no universal link yet.
    explicit AppDelegate(plat::rt::Class* cls);
    // The runtime class with the delegate's selectors, registered on first use.
    static plat::rt::Class* runtimeClass();

    std::shared_ptr<plat::UIWindow> window() const { return window_; }
    void setWindow(std::shared_ptr<plat::UIWindow> window) { window_ = std::move(window); }
    ASConfigService& configService() const { return *configService_; }
    const std::optional<plat::URL>& universalLinkURL() const { return universalLinkURL_; }

    // "application:didFinishLaunchingWithOptions:"; always true.
    bool application_didFinishLaunchingWithOptions(const plat::Value& launchOptions);
    // "application:continueUserActivity:restorationHandler:"; always true, the handler is never called.
    bool application_continueUserActivity(const plat::NSUserActivity& activity);

    void setUpPushNotifications(const plat::Value& launchOptions);
    void handleNotificationReceived(const std::shared_ptr<const RINotification>& notification);
    void handleNotificationOpened(const std::shared_ptr<const RINotificationOpenedResult>& result);
    static void handlePermissionAnswer(bool accepted);
    // A new root screen loading the URL; none prints a failure and changes nothing.
    void openTargetURL(const std::optional<plat::URL>& url);
    void handleUniversalLink(const plat::NSUserActivity& activity);
    void showUniversalLinkScreen();

private:
    // The storyboard's web-view screen with the request, as the window's new root.
    void installScreen(plat::URLRequest request);

    std::shared_ptr<plat::UIWindow> window_;
    ASConfigService* configService_;
    std::optional<plat::URL> universalLinkURL_;
};
