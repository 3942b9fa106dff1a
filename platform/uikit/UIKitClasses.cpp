#include "platform/uikit/UIKitClasses.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIPageViewController.hpp"
#include "platform/uikit/UIScrollView.hpp"
#include "platform/uikit/UITabBarController.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat {

rt::Class* UIResponder::runtimeClass() {
    return uikitClasses().responder;
}

// Reaches the private setters that the runtime methods stand for.
class UIKitClassesAccess {
public:
    static void setDelegate(UIApplication& app, rt::ObjectPtr d) { app.setDelegateDirect(std::move(d)); }
    static void setBadge(UIApplication& app, int64_t value) { app.setBadgeDirect(value); }
    static void registerSettings(UIApplication& app, UIUserNotificationSettings settings) {
        app.registerUserNotificationSettingsDirect(std::move(settings));
    }
};

namespace {

UIKitClasses registerAll() {
    UIKitClasses c{};
    c.responder = rt::registerClass<UIResponder>("UIResponder");
    c.view = rt::registerClass<UIView>("UIView", c.responder);
    c.window = rt::registerClass<UIWindow>("UIWindow", c.view);
    c.viewController = rt::registerClass<UIViewController>("UIViewController", c.responder);
    c.navigationController =
        rt::registerClass<UINavigationController>("UINavigationController", c.viewController);
    c.alertController = rt::registerClass<UIAlertController>("UIAlertController", c.viewController);
    c.alertView = rt::registerClass<UIAlertView>("UIAlertView", c.view);
    c.application = rt::registerClass<UIApplication>("UIApplication", c.responder);
    c.control = rt::registerClass<UIControl>("UIControl", c.view);
    c.button = rt::registerClass<UIButton>("UIButton", c.control);
    c.refreshControl = rt::registerClass<UIRefreshControl>("UIRefreshControl", c.control);
    c.scrollView = rt::registerClass<UIScrollView>("UIScrollView", c.view);
    c.tabBarController = rt::registerClass<UITabBarController>("UITabBarController", c.viewController);
    c.pageViewController = rt::registerClass<UIPageViewController>("UIPageViewController", c.viewController);
    c.activityIndicator = rt::registerClass<UIActivityIndicatorView>("UIActivityIndicatorView", c.view);
    for (rt::Class* own : {c.responder, c.view, c.window, c.viewController, c.navigationController,
                           c.alertController, c.alertView, c.application, c.control, c.button, c.refreshControl,
                           c.scrollView, c.tabBarController, c.pageViewController, c.activityIndicator}) {
        Bundle::registerSystemClass(own->name());
    }

    // Appearance and loading go through the runtime so that hooks see them; the bodies are the virtuals.
    rt::Class* vc = c.viewController;
    rt::addMethod(
        vc, "viewDidLoad", [](UIViewController& self) { self.viewDidLoad(); }, "v16@0:8");
    rt::addMethod(
        vc, "viewWillAppear:", [](UIViewController& self, bool a) { self.viewWillAppear(a); }, "v20@0:8B16");
    rt::addMethod(
        vc, "viewDidAppear:", [](UIViewController& self, bool a) { self.viewDidAppear(a); }, "v20@0:8B16");
    rt::addMethod(
        vc, "viewWillDisappear:", [](UIViewController& self, bool a) { self.viewWillDisappear(a); },
        "v20@0:8B16");
    rt::addMethod(
        vc, "viewDidDisappear:", [](UIViewController& self, bool a) { self.viewDidDisappear(a); },
        "v20@0:8B16");
    rt::addMethod(
        vc, "viewDidLayoutSubviews", [](UIViewController& self) { self.viewDidLayoutSubviews(); }, "v16@0:8");
    rt::addMethod(
        vc, "view", [](UIViewController& self) -> rt::ObjectPtr { return self.view(); }, "@16@0:8");
    rt::addMethod(
        vc, "isViewLoaded", [](UIViewController& self) { return self.isViewLoaded(); }, "B16@0:8");

    rt::Class* app = c.application;
    rt::addMethod(
        app, "setDelegate:",
        [](UIApplication& self, rt::ObjectPtr d) { UIKitClassesAccess::setDelegate(self, std::move(d)); },
        "v24@0:8@16");
    rt::addMethod(
        app, "delegate", [](UIApplication& self) { return self.delegate(); }, "@16@0:8");
    rt::addMethod(
        app, "setApplicationIconBadgeNumber:",
        [](UIApplication& self, int64_t n) { UIKitClassesAccess::setBadge(self, n); }, "v24@0:8q16");
    rt::addMethod(
        app, "applicationIconBadgeNumber",
        [](UIApplication& self) { return self.applicationIconBadgeNumber(); }, "q16@0:8");
    // Present so that the OS profile can take them away below the version that has them.
    rt::addMethod(
        app, "registerUserNotificationSettings:",
        [](UIApplication& self, UIUserNotificationSettings settings) {
            UIKitClassesAccess::registerSettings(self, std::move(settings));
        },
        "v24@0:8@16");
    rt::addMethod(
        app, "currentUserNotificationSettings",
        [](UIApplication& self) { return self.currentUserNotificationSettings(); }, "@16@0:8");
    rt::addMethod(
        app, "registerForRemoteNotifications",
        [](UIApplication& self) { self.registerForRemoteNotifications(); }, "v16@0:8");
    rt::addMethod(
        app, "isRegisteredForRemoteNotifications",
        [](UIApplication& self) { return self.isRegisteredForRemoteNotifications(); }, "B16@0:8");
    rt::addMethod(
        rt::metaclass(app), "sharedApplication",
        [](rt::Object&) -> rt::ObjectPtr { return UIApplication::sharedApplication(); }, "@16@0:8");
    return c;
}

} // namespace

const UIKitClasses& uikitClasses() {
    static NeverDestroyed<UIKitClasses> classes(registerAll());
    return *classes;
}

} // namespace plat
