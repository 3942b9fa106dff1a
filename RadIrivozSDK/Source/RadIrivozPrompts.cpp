// The facade's permission side: the settings object of the OS version, the current and last states with
// their observers, the permission prompt and the device-token request, and the ids-available block.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozDialogController.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/uikit/UIApplication.hpp"

namespace {

void promptLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

bool declaresRemoteNotificationBackgroundMode() {
    auto modes = plat::Bundle::main()->objectForInfoDictionaryKey("UIBackgroundModes");
    const plat::Array* list = modes ? modes->ifArray() : nullptr;
    if (!list) {
        return false;
    }
    for (const plat::Value& mode : *list) {
        if (mode.isString() && mode.asString() == "remote-notification") {
            return true;
        }
    }
    return false;
}

} // namespace

std::shared_ptr<RadIrivozNotificationSettings> RadIrivoz::osNotificationSettings() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.osNotificationSettings) {
            const float version = plat::DeviceProfile::floatVersion();
            if (version >= 10.0f) {
                s.osNotificationSettings = std::make_shared<RadIrivozNotificationSettingsIOS10>();
            } else if (version >= 8.0f) {
                s.osNotificationSettings = std::make_shared<RadIrivozNotificationSettingsIOS8>();
            } else {
                s.osNotificationSettings = std::make_shared<RadIrivozNotificationSettingsIOS7>();
            }
        }
        return s.osNotificationSettings;
    });
}

std::shared_ptr<RIPermissionState> RadIrivoz::currentPermissionState() {
    std::shared_ptr<RIPermissionState> made;
    auto current = withRadIrivozClassState([&](RadIrivozClassState& s) {
        if (!s.currentPermissionState) {
            // Published before it is filled: the settings read fills this very object.
            made = RIPermissionState::initAsTo();
            s.currentPermissionState = made;
        }
        return s.currentPermissionState;
    });
    if (made) {
        osNotificationSettings()->getNotificationPermissionState();
        lastPermissionState();
        made->observable().addObserver(std::make_shared<RIPermissionChangedInternalObserver>());
    }
    return current;
}

std::shared_ptr<RISubscriptionState> RadIrivoz::currentSubscriptionState() {
    if (auto existing = withRadIrivozClassState([](RadIrivozClassState& s) { return s.currentSubscriptionState; })) {
        return existing;
    }
    auto permission = currentPermissionState();
    std::shared_ptr<RISubscriptionState> made;
    auto current = withRadIrivozClassState([&](RadIrivozClassState& s) {
        if (!s.currentSubscriptionState) {
            made = RISubscriptionState::initAsToWithPermision(permission->accepted());
            s.currentSubscriptionState = made;
            s.lastNotificationTypes = permission->notificationTypes();
        }
        return s.currentSubscriptionState;
    });
    if (made) {
        permission->observable().addObserver(made);
        made->observable().addObserver(std::make_shared<RISubscriptionChangedInternalObserver>());
    }
    return current;
}

std::shared_ptr<RIEmailSubscriptionState> RadIrivoz::currentEmailSubscriptionState() {
    std::shared_ptr<RIEmailSubscriptionState> made;
    auto current = withRadIrivozClassState([&](RadIrivozClassState& s) {
        if (!s.currentEmailSubscriptionState) {
            made = RIEmailSubscriptionState::init();
            s.currentEmailSubscriptionState = made;
        }
        return s.currentEmailSubscriptionState;
    });
    if (made) {
        made->observable().addObserver(std::make_shared<RIEmailSubscriptionChangedInternalObserver>());
    }
    return current;
}

std::shared_ptr<RIPermissionState> RadIrivoz::lastPermissionState() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.lastPermissionState) {
            s.lastPermissionState = RIPermissionState::initAsFrom();
        }
        return s.lastPermissionState;
    });
}

void RadIrivoz::setLastPermissionState(std::shared_ptr<RIPermissionState> state) {
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.lastPermissionState = std::move(state); });
}

std::shared_ptr<RISubscriptionState> RadIrivoz::lastSubscriptionState() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.lastSubscriptionState) {
            s.lastSubscriptionState = RISubscriptionState::initAsFrom();
        }
        return s.lastSubscriptionState;
    });
}

void RadIrivoz::setLastSubscriptionState(std::shared_ptr<RISubscriptionState> state) {
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.lastSubscriptionState = std::move(state); });
}

std::shared_ptr<RIEmailSubscriptionState> RadIrivoz::lastEmailSubscriptionState() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.lastEmailSubscriptionState) {
            s.lastEmailSubscriptionState = RIEmailSubscriptionState::init();
        }
        return s.lastEmailSubscriptionState;
    });
}

void RadIrivoz::setLastEmailSubscriptionState(std::shared_ptr<RIEmailSubscriptionState> state) {
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.lastEmailSubscriptionState = std::move(state); });
}

std::shared_ptr<RIPermissionObservable> RadIrivoz::permissionStateChangesObserver() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.permissionStateChangesObserver) {
            s.permissionStateChangesObserver = std::make_shared<RIPermissionObservable>(
                [](RIPermissionObserver& o, const std::shared_ptr<RIPermissionStateChanges>& c) {
                    o.onOSPermissionChanged(c);
                });
        }
        return s.permissionStateChangesObserver;
    });
}

std::shared_ptr<RISubscriptionObservable> RadIrivoz::subscriptionStateChangesObserver() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.subscriptionStateChangesObserver) {
            s.subscriptionStateChangesObserver = std::make_shared<RISubscriptionObservable>(
                [](RISubscriptionObserver& o, const std::shared_ptr<RISubscriptionStateChanges>& c) {
                    o.onOSSubscriptionChanged(c);
                });
        }
        return s.subscriptionStateChangesObserver;
    });
}

std::shared_ptr<RIEmailSubscriptionObservable> RadIrivoz::emailSubscriptionStateChangesObserver() {
    return withRadIrivozClassState([](RadIrivozClassState& s) {
        if (!s.emailSubscriptionStateChangesObserver) {
            s.emailSubscriptionStateChangesObserver = std::make_shared<RIEmailSubscriptionObservable>(
                [](RIEmailSubscriptionObserver& o, const std::shared_ptr<RIEmailSubscriptionStateChanges>& c) {
                    o.onOSEmailSubscriptionChanged(c);
                });
        }
        return s.emailSubscriptionStateChangesObserver;
    });
}

bool RadIrivoz::shouldDelaySubscriptionSettingsUpdate() {
    return withRadIrivozClassState([](RadIrivozClassState& s) { return s.shouldDelaySubscriptionSettingsUpdate; });
}

void RadIrivoz::setShouldDelaySubscriptionSettingsUpdate(bool value) {
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.shouldDelaySubscriptionSettingsUpdate = value; });
}

void RadIrivoz::addPermissionObserver(const std::shared_ptr<RIPermissionObserver>& observer) {
    permissionStateChangesObserver()->addObserver(observer);
    auto current = currentPermissionState();
    if (current->compare(*lastPermissionState())) {
        RIPermissionChangedInternalObserver::fireChangesObserver(current);
    }
}

void RadIrivoz::removePermissionObserver(const RIPermissionObserver* observer) {
    permissionStateChangesObserver()->removeObserver(observer);
}

void RadIrivoz::addSubscriptionObserver(const std::shared_ptr<RISubscriptionObserver>& observer) {
    subscriptionStateChangesObserver()->addObserver(observer);
    auto current = currentSubscriptionState();
    if (current->compare(*lastSubscriptionState())) {
        RISubscriptionChangedInternalObserver::fireChangesObserver(current);
    }
}

void RadIrivoz::removeSubscriptionObserver(const RISubscriptionObserver* observer) {
    subscriptionStateChangesObserver()->removeObserver(observer);
}

void RadIrivoz::addEmailSubscriptionObserver(const std::shared_ptr<RIEmailSubscriptionObserver>& observer) {
    emailSubscriptionStateChangesObserver()->addObserver(observer);
    auto current = currentEmailSubscriptionState();
    if (current->compare(*lastEmailSubscriptionState())) {
        RIEmailSubscriptionChangedInternalObserver::fireChangesObserver(current);
    }
}

void RadIrivoz::removeEmailSubscriptionObserver(const RIEmailSubscriptionObserver* observer) {
    emailSubscriptionStateChangesObserver()->removeObserver(observer);
}

std::shared_ptr<RIPermissionSubscriptionState> RadIrivoz::getPermissionSubscriptionState() {
    auto subscription = currentSubscriptionState();
    auto permission = currentPermissionState();
    auto email = currentEmailSubscriptionState();
    return std::make_shared<RIPermissionSubscriptionState>(permission, subscription, email);
}

void RadIrivoz::setWaitingForApnsResponse(bool waiting) {
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.waitingForApnsResponse = waiting; });
}

bool RadIrivoz::waitingForApnsResponse() {
    return withRadIrivozClassState([](RadIrivozClassState& s) { return s.waitingForApnsResponse; });
}

bool RadIrivoz::registerForAPNsToken() {
    if (plat::DeviceProfile::floatVersion() < 8.0f) {
        return false;
    }
    if (waitingForApnsResponse()) {
        return true;
    }
    const bool backgroundMode = declaresRemoteNotificationBackgroundMode();
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.remoteNotificationBackgroundMode = backgroundMode; });
    // An app that may be woken for remote notifications registers before the user accepts.
    if (!osNotificationSettings()->getNotificationPermissionState()->accepted() && !backgroundMode) {
        return false;
    }
    if (subscriptionErrorStatus() < -9) {
        return false;
    }
    promptLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Firing registerForRemoteNotifications");
    setWaitingForApnsResponse(true);
    if (auto application = plat::UIApplication::sharedApplication()) {
        application->registerForRemoteNotifications();
    }
    return true;
}

void RadIrivoz::promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptForPushNotificationsWithUserResponse:")) {
        return;
    }
    promptLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE,
              "registerForPushNotifications Called:waitingForApnsResponse: " +
                  std::to_string(waitingForApnsResponse() ? 1 : 0));
    currentPermissionState()->setHasPrompted(true);
    osNotificationSettings()->promptForNotifications(std::move(completion));
}

void RadIrivoz::promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion,
                                                           bool fallbackToSettings) {
    const bool takeFallback = fallbackToSettings && currentPermissionState()->hasPrompted() &&
                              osNotificationSettings()->getNotificationTypes() == 0;
    if (!takeFallback) {
        promptForPushNotificationsWithUserResponse(std::move(completion));
        return;
    }
    // The user's choice in the settings dialog is not reported to the block.
    if (completion) {
        completion(false);
    }
    auto bundle = plat::Bundle::main();
    auto localized = [&bundle](std::string_view key) { return bundle->localizedString(key, "", ""); };
    std::string message;
    if (auto custom = bundle->objectForInfoDictionaryKey("Radirivoz_settings_fallback_message");
        custom && custom->isString()) {
        message = custom->asString();
    } else {
        message = localized("You currently have notifications turned off for this application. You can open "
                            "Settings to re-enable them");
    }
    RadIrivozDialogController::sharedInstance()->presentDialogWithTitle(
        localized("Open Settings"), message, localized("Open Settings"), localized("Cancel"), [](bool open) {
            if (open) {
                presentAppSettings();
            }
        });
}

void RadIrivoz::registerForPushNotifications() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("registerForPushNotifications:")) {
        return;
    }
    promptForPushNotificationsWithUserResponse(nullptr);
}

void RadIrivoz::presentAppSettings() {
    if (plat::DeviceProfile::floatVersion() < 10.0f) {
        return;
    }
    auto application = plat::UIApplication::sharedApplication();
    const std::string url = plat::UIApplicationOpenSettingsURLString;
    if (application && application->canOpenURL(url)) {
        application->openURL(url, {}, nullptr);
    } else {
        promptLog(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "Unable to open settings for this application");
    }
}

void RadIrivoz::IdsAvailable(RIIdsAvailableBlock block) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("IdsAvailable:")) {
        return;
    }
    withRadIrivozClassState([&](RadIrivozClassState& s) { s.idsAvailableBlock = std::move(block); });
    fireIdsAvailableCallback();
}

void RadIrivoz::fireIdsAvailableCallback() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    if (!withRadIrivozClassState([](RadIrivozClassState& s) { return static_cast<bool>(s.idsAvailableBlock); })) {
        return;
    }
    if (!currentSubscriptionState()->userId()) {
        return;
    }
    plat::DispatchQueue::main()->async([] {
        const std::optional<std::string> token = getUsableDeviceToken();
        auto block = withRadIrivozClassState([&](RadIrivozClassState& s) {
            auto taken = s.idsAvailableBlock;
            // Forgotten once a call carries the token.
            if (token) {
                s.idsAvailableBlock = nullptr;
            }
            return taken;
        });
        auto userId = currentSubscriptionState()->userId();
        if (block && userId) {
            block(*userId, token);
        }
    });
}
