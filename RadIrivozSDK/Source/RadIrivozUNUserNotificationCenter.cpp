#include "RadIrivozSDK/Source/RadIrivozUNUserNotificationCenter.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozSelectorHelpers.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"
#include "platform/usernotifications/UNConstants.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"
#include "platform/usernotifications/UNNotificationTrigger.hpp"

#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace rt = plat::rt;

namespace {

constexpr const char* kWillPresentHook = "radirivozUserNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kDidReceiveHook =
    "radirivozUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";
constexpr const char* kDismissAction = "com.apple.UNNotificationDismissActionIdentifier";

struct CenterHookState {
    std::mutex mutex;
    bool authorizationInProgress = false;
    std::optional<plat::UNNotificationSettings> cachedSettings;
    bool useWorkaround = true;
    rt::WeakObjectPtr lastDelegate;
    // Exchanging a pair a second time would swap the app's implementation back in place of the hook.
    std::set<std::pair<rt::Class*, std::string>> hooked;
};

CenterHookState& centerHookState() {
    static plat::NeverDestroyed<CenterHookState> s;
    return *s;
}

void centerLog(const std::string& text) {
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, text);
}

plat::Dictionary userInfoOf(const plat::UNNotification* notification) {
    plat::Value info = notification ? notification->userInfo() : plat::Value();
    const plat::Dictionary* d = info.ifDictionary();
    return d ? *d : plat::Dictionary{};
}

bool isPushClientNotification(const plat::UNNotification* notification) {
    return RadIrivozHelper::isRadIrivozPayload(userInfoOf(notification));
}

bool consentMissing() {
    return RadIrivoz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt);
}

// The class injectIntoOverridingClass would pick.
rt::Class* injectionTarget(rt::Sel hookedSel, const std::vector<rt::Class*>& candidates, rt::Class* delegateClass) {
    for (rt::Class* candidate : candidates) {
        if (overridesSelector(candidate, hookedSel)) {
            return candidate;
        }
    }
    return delegateClass;
}

void injectOnce(const char* newSel, const char* hookedSel, const std::vector<rt::Class*>& candidates,
                rt::Class* delegateClass) {
    rt::Class* target = injectionTarget(hookedSel, candidates, delegateClass);
    {
        std::lock_guard lock(centerHookState().mutex);
        if (!centerHookState().hooked.emplace(target, hookedSel).second) {
            return;
        }
    }
    injectIntoOverridingClass(newSel, hookedSel, candidates, RadIrivozUNUserNotificationCenter::runtimeClass(),
                              delegateClass);
}

uint64_t presentationOptions(RIInFocusDisplayType type) {
    switch (type) {
    case RIInFocusDisplayType::RIInFocusDisplayNone:
        return 0;
    case RIInFocusDisplayType::RIInFocusDisplayInAppAlert:
        return 3;
    case RIInFocusDisplayType::RIInFocusDisplayNotification:
        return 7;
    }
    return 0;
}

// The platform holds the app to calling a presentation handler once; the push client calls it after the
// app's own will-present, which may have called it already. The first call counts.
plat::UNPresentationHandler onceOnly(plat::UNPresentationHandler handler) {
    auto called = std::make_shared<std::atomic<bool>>(false);
    return [called, handler = std::move(handler)](uint64_t options) {
        if (!called->exchange(true) && handler) {
            handler(options);
        }
    };
}

void setDelegateHook(rt::Object& center, rt::ObjectPtr delegate) {
    bool changed = false;
    {
        std::lock_guard lock(centerHookState().mutex);
        rt::ObjectPtr last = centerHookState().lastDelegate.lock();
        changed = last != delegate;
        if (changed) {
            centerHookState().lastDelegate = delegate;
        }
    }
    if (changed && delegate) {
        centerLog("RadIrivozUNUserNotificationCenter setRadIrivozUNDelegate Fired!");
        rt::Class* objectClass = rt::object_getClass(*delegate);
        rt::Class* delegateClass = classConformingInHierarchy(objectClass, "UNUserNotificationCenterDelegate");
        if (delegateClass) {
            const std::vector<rt::Class*> chain = delegateClassChain(objectClass, delegateClass);
            injectOnce(kWillPresentHook, plat::kWillPresentNotificationSelector, chain, delegateClass);
            injectOnce(kDidReceiveHook, plat::kDidReceiveNotificationResponseSelector, chain, delegateClass);
        }
    }
    rt::msgSend<void>(center, rt::Sel("setRadIrivozUNDelegate:"), delegate);
}

void requestAuthorizationHook(rt::Object& center, uint64_t options, plat::UNAuthorizationHandler handler) {
    // The provisional option alone asks nobody.
    const bool notProvisional = options != 64;
    if (notProvisional) {
        RadIrivoz::currentPermissionState()->setHasPrompted(true);
    }
    {
        std::lock_guard lock(centerHookState().mutex);
        centerHookState().authorizationInProgress = true;
    }
    plat::UNAuthorizationHandler wrapped = [notProvisional, handler = std::move(handler)](
                                               bool granted, std::optional<plat::Error> error) {
        {
            std::lock_guard lock(centerHookState().mutex);
            centerHookState().authorizationInProgress = false;
        }
        if (notProvisional) {
            auto permission = RadIrivoz::currentPermissionState();
            permission->setAccepted(granted);
            permission->setAnsweredPrompt(true);
        }
        if (handler) {
            handler(granted, std::move(error));
        }
    };
    rt::msgSend<void>(center, rt::Sel("radirivozRequestAuthorizationWithOptions:completionHandler:"), options,
                      std::move(wrapped));
}

void getSettingsHook(rt::Object& center, plat::UNSettingsHandler handler) {
    std::optional<plat::UNNotificationSettings> cached;
    {
        std::lock_guard lock(centerHookState().mutex);
        const CenterHookState& s = centerHookState();
        if (s.authorizationInProgress && s.cachedSettings && s.useWorkaround) {
            cached = s.cachedSettings;
        }
    }
    if (cached) {
        if (handler) {
            handler(*cached);
        }
        return;
    }
    plat::UNSettingsHandler wrapped = [handler = std::move(handler)](plat::UNNotificationSettings settings) {
        {
            std::lock_guard lock(centerHookState().mutex);
            centerHookState().cachedSettings = settings;
        }
        if (handler) {
            handler(std::move(settings));
        }
    };
    rt::msgSend<void>(center, rt::Sel("radirivozGetNotificationSettingsWithCompletionHandler:"), std::move(wrapped));
}

void willPresentHook(rt::Object& self, rt::ObjectPtr center, rt::ObjectPtr notificationObject,
                     plat::UNPresentationHandler handler) {
    auto notification = std::dynamic_pointer_cast<plat::UNNotification>(notificationObject);
    const bool appImplements = rt::respondsTo(self, rt::Sel(kWillPresentHook));
    if (consentMissing() || !isPushClientNotification(notification.get())) {
        if (appImplements) {
            rt::msgSend<void>(self, rt::Sel(kWillPresentHook), center, notificationObject, std::move(handler));
        } else if (handler) {
            handler(7);
        }
        return;
    }
    centerLog("radirivozUserNotificationCenter:willPresentNotification:withCompletionHandler: Fired!");
    const RIInFocusDisplayType displayType = RadIrivoz::inFocusDisplayType();
    const uint64_t options = presentationOptions(displayType);
    const auto& content = notification->request() ? notification->request()->content() : nullptr;
    const bool wasOpened =
        displayType == RIInFocusDisplayType::RIInFocusDisplayNone && content && !content->body().empty();
    if (RadIrivoz::app_id()) {
        RadIrivoz::notificationReceived(userInfoOf(notification.get()), true, wasOpened);
    }
    plat::UNPresentationHandler once = onceOnly(std::move(handler));
    if (appImplements) {
        rt::msgSend<void>(self, rt::Sel(kWillPresentHook), center, notificationObject, once);
    } else {
        RadIrivozUNUserNotificationCenter::callLegacyAppDeletegateSelector(notification, false, std::nullopt,
                                                                           std::nullopt, true, [] {});
    }
    once(options);
}

void didReceiveHook(rt::Object& self, rt::ObjectPtr center, rt::ObjectPtr responseObject,
                    std::function<void()> handler) {
    auto response = std::dynamic_pointer_cast<plat::UNNotificationResponse>(responseObject);
    const bool appImplements = rt::respondsTo(self, rt::Sel(kDidReceiveHook));
    if (consentMissing() || !response || !isPushClientNotification(response->notification().get())) {
        if (appImplements) {
            rt::msgSend<void>(self, rt::Sel(kDidReceiveHook), center, responseObject, std::move(handler));
        } else if (handler) {
            handler();
        }
        return;
    }
    centerLog("radirivozUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler: Fired!");
    RadIrivozUNUserNotificationCenter::processiOS10Open(*response);
    if (appImplements) {
        rt::msgSend<void>(self, rt::Sel(kDidReceiveHook), center, responseObject, std::move(handler));
        return;
    }
    if (RadIrivozUNUserNotificationCenter::isDismissEvent(*response)) {
        if (handler) {
            handler();
        }
        return;
    }
    rt::Class* textClass = rt::getClass("UNTextInputNotificationResponse");
    const bool isTextReply = textClass && rt::isKindOf(*response, textClass);
    std::optional<std::string> userText;
    if (isTextReply) {
        plat::Value text = response->valueForKey("userText");
        if (text.isString()) {
            userText = text.asString();
        }
    }
    RadIrivozUNUserNotificationCenter::callLegacyAppDeletegateSelector(
        response->notification(), isTextReply, response->actionIdentifier(), userText, false, std::move(handler));
}

} // namespace

rt::Class* RadIrivozUNUserNotificationCenter::runtimeClass() {
    static rt::Class* const cls = [] {
        rt::Class* c = rt::registerClass("RadIrivozUNUserNotificationCenter");
        rt::addMethod(c, "setRadIrivozUNDelegate:", &setDelegateHook);
        rt::addMethod(c, "radirivozRequestAuthorizationWithOptions:completionHandler:", &requestAuthorizationHook);
        rt::addMethod(c, "radirivozGetNotificationSettingsWithCompletionHandler:", &getSettingsHook);
        rt::addMethod(c, kWillPresentHook, &willPresentHook);
        rt::addMethod(c, kDidReceiveHook, &didReceiveHook);
        return c;
    }();
    return cls;
}

void RadIrivozUNUserNotificationCenter::swizzleSelectors() {
    rt::Class* center = rt::getClass("UNUserNotificationCenter");
    if (!center) {
        return;
    }
    rt::Class* source = runtimeClass();
    injectIntoOverridingClass("setRadIrivozUNDelegate:", "setDelegate:", {}, source, center);
    injectIntoOverridingClass("radirivozRequestAuthorizationWithOptions:completionHandler:",
                              "requestAuthorizationWithOptions:completionHandler:", {}, source, center);
    injectIntoOverridingClass("radirivozGetNotificationSettingsWithCompletionHandler:",
                              "getNotificationSettingsWithCompletionHandler:", {}, source, center);
}

void RadIrivozUNUserNotificationCenter::setUseiOS10_2_workaround(bool enable) {
    std::lock_guard lock(centerHookState().mutex);
    centerHookState().useWorkaround = enable;
}

bool RadIrivozUNUserNotificationCenter::isDismissEvent(const plat::UNNotificationResponse& response) {
    return response.actionIdentifier() == kDismissAction;
}

void RadIrivozUNUserNotificationCenter::processiOS10Open(const plat::UNNotificationResponse& response) {
    if (!RadIrivoz::app_id() || isDismissEvent(response) || !isPushClientNotification(response.notification().get())) {
        return;
    }
    auto application = plat::UIApplication::sharedApplication();
    const bool isActive = application && application->applicationState() == plat::UIApplicationState::active &&
                          RadIrivoz::inFocusDisplayType() != RIInFocusDisplayType::RIInFocusDisplayNotification;
    auto formatted = RadIrivozHelper::formatApsPayloadIntoStandard(userInfoOf(response.notification().get()),
                                                                   response.actionIdentifier());
    if (formatted) {
        RadIrivoz::notificationReceived(*formatted, isActive, true);
    }
}

void RadIrivozUNUserNotificationCenter::callLegacyAppDeletegateSelector(
    const std::shared_ptr<plat::UNNotification>& notification, bool isTextReply,
    const std::optional<std::string>& actionIdentifier, const std::optional<std::string>& userText,
    bool fromPresentNotification, std::function<void()> completionHandler) {
    centerLog("callLegacyAppDeletegateSelector:withCompletionHandler: Fired!");
    auto done = [completionHandler] {
        if (completionHandler) {
            completionHandler();
        }
    };
    const bool customAction = actionIdentifier && *actionIdentifier != plat::UNNotificationDefaultActionIdentifier;
    const auto& trigger = notification && notification->request() ? notification->request()->trigger() : nullptr;
    rt::Class* pushTrigger = rt::getClass("UNPushNotificationTrigger");
    if (!trigger || !pushTrigger || !rt::isKindOf(*trigger, pushTrigger)) {
        done();
        return;
    }
    const plat::Value userInfo = notification->userInfo();
    auto application = plat::UIApplication::sharedApplication();
    rt::ObjectPtr delegate = application ? application->delegate() : nullptr;
    if (!delegate) {
        done();
        return;
    }
    const rt::ObjectPtr app = application;
    constexpr const char* kWithResponseInfo =
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:";
    constexpr const char* kWithIdentifier = "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:";
    constexpr const char* kFetch = "application:didReceiveRemoteNotification:fetchCompletionHandler:";
    if (isTextReply && rt::respondsTo(delegate, rt::Sel(kWithResponseInfo))) {
        const plat::Value responseInfo(
            plat::Dictionary{{plat::UIUserNotificationActionResponseTypedTextKey, plat::Value(userText.value_or(""))}});
        rt::msgSend<void>(delegate, rt::Sel(kWithResponseInfo), app, *actionIdentifier, userInfo, responseInfo,
                          std::function<void()>(done));
        return;
    }
    if (customAction && rt::respondsTo(delegate, rt::Sel(kWithIdentifier))) {
        rt::msgSend<void>(delegate, rt::Sel(kWithIdentifier), app, *actionIdentifier, userInfo,
                          std::function<void()>(done));
        return;
    }
    const bool contentAvailable = trigger->valueForKey("_isContentAvailable").boolValue();
    if (rt::respondsTo(delegate, rt::Sel(kFetch)) && (!fromPresentNotification || !contentAvailable)) {
        rt::msgSend<void>(delegate, rt::Sel(kFetch), app, userInfo,
                          plat::FetchCompletionHandler([done](plat::UIBackgroundFetchResult) { done(); }));
        return;
    }
    done();
}

bool RadIrivozUNUserNotificationCenter::authorizationInProgress() {
    std::lock_guard lock(centerHookState().mutex);
    return centerHookState().authorizationInProgress;
}

std::optional<plat::UNNotificationSettings> RadIrivozUNUserNotificationCenter::cachedSettings() {
    std::lock_guard lock(centerHookState().mutex);
    return centerHookState().cachedSettings;
}
