#include "RadIrivozSDK/Source/RadIrivozAppDelegate.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozLocation.hpp"
#include "RadIrivozSDK/Source/RadIrivozTracker.hpp"
#include "RadIrivozSDK/Source/RadIrivozNotificationServiceExtensionHandler.hpp"
#include "RadIrivozSDK/Source/RadIrivozSelectorHelpers.hpp"
#include "RadIrivozSDK/Source/RadIrivozUNUserNotificationCenter.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/uikit/UIApplication.hpp"

#include <mutex>

namespace rt = plat::rt;

namespace {

struct DelegateHooks {
    std::mutex mutex;
    rt::Class* delegateClass = nullptr;
    std::vector<rt::Class*> subclasses;
};

DelegateHooks& delegateHooks() {
    static plat::NeverDestroyed<DelegateHooks> hooks;
    return *hooks;
}

void hookLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

void verbose(const char* text) {
    hookLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, text);
}

bool configured() {
    return RadIrivoz::app_id().has_value();
}

bool applicationIsActive(const rt::ObjectPtr& application) {
    auto app = std::dynamic_pointer_cast<plat::UIApplication>(application);
    return app && app->applicationState() == plat::UIApplicationState::active;
}

// Calls the app's own implementation, kept under the push client's selector, when there is one.
template <class... A> void callOriginal(rt::Object& self, const char* selector, A&&... args) {
    if (rt::respondsTo(self, rt::Sel(selector))) {
        rt::msgSend<void>(self, rt::Sel(selector), std::forward<A>(args)...);
    }
}

using LocalActionCompletion = std::function<void()>;

void addDelegateHooks(rt::Class* cls) {
    using Application = rt::ObjectPtr;
    rt::addMethod(cls, "radIrivozDidRegisterForRemoteNotifications:deviceToken:",
                  [](rt::Object& self, Application app, const plat::Data& token) {
                      verbose("radIrivozDidRegisterForRemoteNotifications:deviceToken:");
                      RadIrivoz::didRegisterForRemoteNotifications(
                          std::dynamic_pointer_cast<plat::UIApplication>(app), token);
                      callOriginal(self, "radIrivozDidRegisterForRemoteNotifications:deviceToken:", app, token);
                  });
    rt::addMethod(cls, "radIrivozDidFailRegisterForRemoteNotification:error:",
                  [](rt::Object& self, Application app, const plat::Error& error) {
                      verbose("radIrivozDidFailRegisterForRemoteNotification:error:");
                      if (configured()) {
                          RadIrivoz::handleDidFailRegisterForRemoteNotification(error);
                      }
                      callOriginal(self, "radIrivozDidFailRegisterForRemoteNotification:error:", app, error);
                  });
    rt::addMethod(cls, "radIrivozDidRegisterUserNotifications:settings:",
                  [](rt::Object& self, Application app, const plat::UIUserNotificationSettings& settings) {
                      verbose("radIrivozDidRegisterUserNotifications:settings:");
                      if (configured()) {
                          RadIrivoz::updateNotificationTypes(static_cast<int32_t>(settings.types));
                      }
                      callOriginal(self, "radIrivozDidRegisterUserNotifications:settings:", app, settings);
                  });
    rt::addMethod(cls, "radIrivozReceivedRemoteNotification:userInfo:",
                  [](rt::Object& self, Application app, const plat::Value& userInfo) {
                      verbose("radIrivozReceivedRemoteNotification:userInfo:");
                      if (const plat::Dictionary* info = userInfo.ifDictionary(); info && configured()) {
                          RadIrivoz::notificationReceived(*info, applicationIsActive(app), true);
                      }
                      callOriginal(self, "radIrivozReceivedRemoteNotification:userInfo:", app, userInfo);
                  });
    rt::addMethod(cls, "radIrivozLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:"
                       "completionHandler:",
                  [](rt::Object& self, Application app, const std::string& identifier,
                     const plat::UILocalNotification& notification, const LocalActionCompletion& completion) {
                      verbose("radIrivozLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:"
                              "completionHandler:");
                      if (configured()) {
                          RadIrivoz::processLocalActionBasedNotification(notification, identifier);
                      }
                      callOriginal(self,
                                   "radIrivozLocalNotificationOpened:handleActionWithIdentifier:"
                                   "forLocalNotification:completionHandler:",
                                   app, identifier, notification, LocalActionCompletion([] {}));
                      if (completion) {
                          completion();
                      }
                  });
    rt::addMethod(cls, "radIrivozLocalNotificationOpened:notification:",
                  [](rt::Object& self, Application app, const plat::UILocalNotification& notification) {
                      verbose("radIrivozLocalNotificationOpened:notification:");
                      if (configured()) {
                          RadIrivoz::processLocalActionBasedNotification(notification, "__DEFAULT__");
                      }
                      callOriginal(self, "radIrivozLocalNotificationOpened:notification:", app, notification);
                  });
    rt::addMethod(cls, "radIrivozApplicationWillResignActive:", [](rt::Object& self, Application app) {
        verbose("radIrivozApplicationWillResignActive");
        if (configured()) {
            RadIrivozTracker::onFocus(true);
        }
        callOriginal(self, "radIrivozApplicationWillResignActive:", app);
    });
    rt::addMethod(cls, "radIrivozApplicationDidEnterBackground:", [](rt::Object& self, Application app) {
        verbose("radIrivozApplicationDidEnterBackground");
        if (configured()) {
            RadIrivozLocation::onfocus(false);
        }
        callOriginal(self, "radIrivozApplicationDidEnterBackground:", app);
    });
    rt::addMethod(cls, "radIrivozApplicationDidBecomeActive:", [](rt::Object& self, Application app) {
        verbose("radIrivozApplicationDidBecomeActive");
        if (configured()) {
            RadIrivozTracker::onFocus(false);
            RadIrivozLocation::onfocus(true);
        }
        callOriginal(self, "radIrivozApplicationDidBecomeActive:", app);
    });
    rt::addMethod(cls, "radIrivozApplicationWillTerminate:", [](rt::Object& self, Application app) {
        if (configured()) {
            RadIrivozTracker::onFocus(true);
        }
        callOriginal(self, "radIrivozApplicationWillTerminate:", app);
    });
    rt::addMethod(
        cls, "radIrivozRemoteSilentNotification:UserInfo:fetchCompletionHandler:",
        [](rt::Object& self, Application app, const plat::Value& userInfo,
           const plat::FetchCompletionHandler& completion) {
            verbose("radIrivozRemoteSilentNotification:UserInfo:fetchCompletionHandler:");
            const rt::Sel own = "radIrivozRemoteSilentNotification:UserInfo:fetchCompletionHandler:";
            const bool appHandles = rt::respondsTo(self, own);
            const plat::Dictionary* info = userInfo.ifDictionary();
            bool handled = false;
            if (configured() && info) {
                if (applicationIsActive(app) && userInfo["aps"].contains("alert")) {
                    // A visible notification arriving in the foreground.
                    RadIrivoz::notificationReceived(*info, true, false);
                } else {
                    handled = RadIrivoz::remoteSilentNotification(std::dynamic_pointer_cast<plat::UIApplication>(app),
                                                                  *info, appHandles ? nullptr : completion);
                }
            }
            if (appHandles) {
                // The app calls the handler.
                rt::msgSend<void>(self, own, app, userInfo, completion);
                return;
            }
            if (rt::respondsTo(self, rt::Sel("radIrivozReceivedRemoteNotification:userInfo:")) &&
                !RadIrivoz::coldStartFromTapOnNotification()) {
                rt::msgSend<void>(self, rt::Sel("radIrivozReceivedRemoteNotification:userInfo:"), app, userInfo);
            }
            if (!handled && completion) {
                completion(plat::UIBackgroundFetchResult::newData);
            }
        });
}

void injectDelegateHooks(rt::Class* objectClass) {
    rt::Class* source = RadIrivozAppDelegate::runtimeClass();
    rt::Class* delegateClass = nullptr;
    std::vector<rt::Class*> chain;
    {
        std::lock_guard lock(delegateHooks().mutex);
        if (delegateHooks().delegateClass) {
            return;
        }
        delegateClass = classConformingInHierarchy(objectClass, "UIApplicationDelegate");
        if (!delegateClass) {
            return;
        }
        chain = delegateClassChain(objectClass, delegateClass);
        delegateHooks().delegateClass = delegateClass;
        delegateHooks().subclasses = chain;
    }
    auto inject = [&](const char* newSel, const char* hookedSel) {
        injectIntoOverridingClass(newSel, hookedSel, chain, source, delegateClass);
    };
    const bool belowTen = plat::DeviceProfile::floatVersion() < 10.0f;
    inject("radIrivozRemoteSilentNotification:UserInfo:fetchCompletionHandler:",
           "application:didReceiveRemoteNotification:fetchCompletionHandler:");
    if (belowTen) {
        inject("radIrivozLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:completionHandler:",
               "application:handleActionWithIdentifier:forLocalNotification:completionHandler:");
        inject("radIrivozDidRegisterUserNotifications:settings:", "application:didRegisterUserNotificationSettings:");
    }
    inject("radIrivozDidFailRegisterForRemoteNotification:error:",
           "application:didFailToRegisterForRemoteNotificationsWithError:");
    if (rt::getClass("CoronaAppDelegate")) {
        return;
    }
    inject("radIrivozDidRegisterForRemoteNotifications:deviceToken:",
           "application:didRegisterForRemoteNotificationsWithDeviceToken:");
    if (belowTen) {
        inject("radIrivozReceivedRemoteNotification:userInfo:", "application:didReceiveRemoteNotification:");
        inject("radIrivozLocalNotificationOpened:notification:", "application:didReceiveLocalNotification:");
    }
    inject("radIrivozApplicationWillResignActive:", "applicationWillResignActive:");
    inject("radIrivozApplicationDidEnterBackground:", "applicationDidEnterBackground:");
    inject("radIrivozApplicationDidBecomeActive:", "applicationDidBecomeActive:");
    inject("radIrivozApplicationWillTerminate:", "applicationWillTerminate:");
}

bool laterThanSeven() {
    const plat::OperatingSystemVersion v = plat::DeviceProfile::osVersion();
    return v.majorVersion > 7 || (v.majorVersion == 7 && (v.minorVersion > 0 || v.patchVersion > 0));
}

} // namespace

rt::Class* RadIrivozAppDelegate::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("RadIrivozAppDelegate");
        addDelegateHooks(c);
        rt::addMethod(c, "setRadIrivozDelegate:", [](rt::Object& self, rt::ObjectPtr delegate) {
            hookLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE,
                    "RADIRIVOZ setRadIrivozDelegate CALLED: " + (delegate ? rt::describe(*delegate) : "(null)"));
            if (delegate) {
                injectDelegateHooks(rt::object_getClass(*delegate));
            }
            // Now the application's own setDelegate:, which caches what the delegate answers to.
            rt::msgSend<void>(self, rt::Sel("setRadIrivozDelegate:"), delegate);
        });
        rt::addMethod(c, "radirivozSetApplicationIconBadgeNumber:", [](rt::Object& self, int64_t number) {
            // The service extension adds its increments to what the app shows.
            RadIrivozExtensionBadgeHandler::updateCachedBadgeValue(number);
            rt::msgSend<void>(self, rt::Sel("radirivozSetApplicationIconBadgeNumber:"), number);
        });
        return c;
    }();
    return cls;
}

rt::Class* RadIrivozAppDelegate::delegateClass() {
    std::lock_guard lock(delegateHooks().mutex);
    return delegateHooks().delegateClass;
}

void RadIrivozAppDelegate::load() {
    hookLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "UIApplication(RadIrivoz) LOADED!");
    const std::string process = plat::ProcessInfo::processInfo().processName();
    if (process == "IBDesignablesAgentCocoaTouch" || process == "IBDesignablesAgent-iOS") {
        return;
    }
    if (!laterThanSeven()) {
        return;
    }
    rt::Class* source = runtimeClass();
    rt::Class* application = plat::UIApplication::runtimeClass();
    if (injectMethod(source, "radIrivozLoadedTagSelector:", application, "radIrivozLoadedTagSelector:")) {
        hookLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "Already swizzled UIApplication.setDelegate. Make sure the RadIrivoz "
                                                "library wasn't loaded into the runtime twice!");
        return;
    }
    injectIntoOverridingClass("setRadIrivozDelegate:", "setDelegate:", {}, source, application);
    injectIntoOverridingClass("radirivozSetApplicationIconBadgeNumber:", "setApplicationIconBadgeNumber:", {}, source,
                              application);
    // From OS 10 notifications arrive through the notification centre instead of the delegate.
    if (rt::getClass("UNUserNotificationCenter")) {
        RadIrivozUNUserNotificationCenter::swizzleSelectors();
        RadIrivozHelper::registerAsUNNotificationCenterDelegate();
    }
}
