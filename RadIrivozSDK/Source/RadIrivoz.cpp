#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozDialogController.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozLocation.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackIAP.hpp"
#include "RadIrivozSDK/Source/RadIrivozTrackVedudoduAnalytics.hpp"
#include "RadIrivozSDK/Source/RadIrivozRequests.hpp"
#include "RadIrivozSDK/Source/RadIrivozState.hpp"
#include "deployment/Deployment.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <mutex>

RadIrivozClassState& radIrivozClassState() {
    static plat::NeverDestroyed<RadIrivozClassState> s;
    return *s;
}

namespace {

constexpr const char* kConsentGranted = "GDPR_CONSENT_GRANTED";
constexpr const char* kInAppLaunchURL = "RADIRIVOZ_INAPP_LAUNCH_URL";
constexpr const char* kPromptBeforeOpeningPushURL = "PROMPT_BEFORE_OPENING_PUSH_URL";
constexpr const char* kUsesProvisionalAuthorization = "RADIRIVOZ_USES_PROVISIONAL_PUSH_AUTHORIZATION";
constexpr const char* kRegisteredWithApple = "RV_REGISTERED_WITH_APPLE";

template <class F> auto locked(F&& fn) {
    return withRadIrivozClassState(std::forward<F>(fn));
}

const char* prefix(ONE_S_LOG_LEVEL level) {
    switch (level) {
    case ONE_S_LOG_LEVEL::ONE_S_LL_FATAL:
        return "FATAL: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_ERROR:
        return "ERROR: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_WARN:
        return "WARNING: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_INFO:
        return "INFO: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG:
        return "DEBUG: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE:
        return "VERBOSE: ";
    case ONE_S_LOG_LEVEL::ONE_S_LL_NONE:
        break;
    }
    return "";
}

void facadeLog(ONE_S_LOG_LEVEL level, const std::string& message) {
    RadIrivoz::radirivoz_Log(level, message);
}

std::optional<std::string> infoString(std::string_view key) {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey(key);
    if (value && value->isString()) {
        return value->asString();
    }
    return std::nullopt;
}

// The identifier start-up works with: the argument, else the Info.plist keys, newer first.
std::optional<std::string> configuredAppId(const std::optional<std::string>& appId) {
    if (appId) {
        return appId;
    }
    if (auto id = infoString(RadIrivozKeys::infoAppId)) {
        return id;
    }
    return infoString(RadIrivozKeys::infoAppIdLegacy);
}

bool isValidAppId(const std::optional<std::string>& appId) {
    return appId && plat::UUID::parse(*appId).has_value();
}

const plat::Value* number(const plat::Dictionary& settings, std::string_view key) {
    const plat::Value* value = settings.find(key);
    return value && value->isNumber() ? value : nullptr;
}

plat::Dictionary defaultSettings() {
    return plat::Dictionary{{"kOSSettingsKeyAutoPrompt", plat::Value(true)},
                            {"kOSSettingsKeyInAppAlerts", plat::Value(true)},
                            {"kOSSettingsKeyInAppLaunchURL", plat::Value(true)},
                            {"kOSSSettingsKeyPromptBeforeOpeningPushURL", plat::Value(false)}};
}

} // namespace

void RadIrivoz::initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId) {
    initWithLaunchOptions(launchOptions, std::move(appId), nullptr, nullptr, defaultSettings());
}

void RadIrivoz::initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationActionBlock action) {
    initWithLaunchOptions(launchOptions, std::move(appId), nullptr, std::move(action), defaultSettings());
}

void RadIrivoz::initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationActionBlock action, const plat::Dictionary& settings) {
    initWithLaunchOptions(launchOptions, std::move(appId), nullptr, std::move(action), settings);
}

void RadIrivoz::initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationReceivedBlock received,
                                      RIHandleNotificationActionBlock action,
                                      const plat::Dictionary& settings) {
    facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Called init with app ID: " + appId.value_or("(null)"));
    locked([](RadIrivozClassState& s) { s.initializationTime = plat::Date::now(); });

    // The parameters are asked for with the identifier start-up resolves to, once per process, and before
    // the consent gate: a GET passes it.
    if (!locked([](RadIrivozClassState& s) { return s.iosParamsRequested; })) {
        std::optional<std::string> resolved = configuredAppId(appId);
        if (!resolved) {
            resolved = plat::UserDefaults::standardUserDefaults().string(RadIrivozKeys::appId);
        }
        if (isValidAppId(resolved)) {
            downloadIOSParamsWithAppId(*resolved);
        }
    }

    if (requiresUserPrivacyConsent()) {
        locked([&](RadIrivozClassState& s) {
            s.delayedForConsent = true;
            s.delayedParameters = DelayedInitializationParameters{launchOptions, appId, received, action, settings};
        });
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Delayed initialization of the RadIrivoz SDK until the user "
                                               "provides privacy consent using the consentGranted() method");
        return;
    }

    auto& defaults = plat::UserDefaults::standardUserDefaults();
    if (!initAppId(appId, defaults, settings)) {
        return;
    }
    if (appId && locked([](RadIrivozClassState& s) { return s.locationShared; })) {
        RadIrivozLocation::getLocation(false);
    }
    checkIfApplicationImplementsDeprecatedMethods();
    RadIrivozHelper::notificationBlocks(std::move(received), std::move(action));

    bool registered = false;
    if (plat::DeviceProfile::floatVersion() >= 8.0f) {
        registered = currentPermissionState()->accepted();
    } else {
        registered = currentSubscriptionState()->pushToken().has_value() ||
                     (defaults.object(kRegisteredWithApple) &&
                      defaults.object(kRegisteredWithApple)->boolValue());
    }

    if (const plat::Value* launchURL = number(settings, "kOSSettingsKeyInAppLaunchURL")) {
        enableInAppLaunchURL(launchURL->boolValue());
    } else if (!defaults.object(kInAppLaunchURL)) {
        enableInAppLaunchURL(true);
    }

    std::optional<bool> promptToShowURL;
    if (const plat::Value* prompt = number(settings, "kOSSSettingsKeyPromptBeforeOpeningPushURL")) {
        promptToShowURL = prompt->boolValue();
        defaults.set(kPromptBeforeOpeningPushURL, *prompt);
        defaults.synchronize();
    } else if (auto stored = defaults.object(kPromptBeforeOpeningPushURL)) {
        promptToShowURL = stored->boolValue();
    }

    bool autoPrompt = true;
    if (const plat::Value* value = number(settings, "kOSSettingsKeyAutoPrompt")) {
        autoPrompt = value->boolValue();
    }
    std::optional<bool> providesSettings;
    if (const plat::Value* value = number(settings, "kOSSettingsKeyProvidesAppNotificationSettings");
        value && plat::DeviceProfile::floatVersion() >= 12.0f) {
        providesSettings = value->boolValue();
    }
    locked([&](RadIrivozClassState& s) {
        s.registeredWithApns = registered;
        if (promptToShowURL) {
            s.promptToShowURL = *promptToShowURL;
        }
        s.autoPrompt = autoPrompt;
        if (providesSettings) {
            s.providesAppNotificationSettings = *providesSettings;
        }
    });

    if (autoPrompt || registered) {
        registerForPushNotifications();
    } else {
        checkProvisionalAuthorizationStatus();
        registerForAPNsToken();
    }

    const plat::Value* inAppAlerts = settings.find("kOSSettingsKeyInAppAlerts");
    const plat::Value* displayOption = settings.find("kOSSettingsKeyInFocusDisplayOption");
    const bool alertsValid = inAppAlerts && inAppAlerts->integerValue() >= 0 && inAppAlerts->integerValue() <= 1;
    const bool optionValid =
        displayOption && displayOption->integerValue() >= 0 && displayOption->integerValue() <= 2;
    if (optionValid) {
        setInFocusDisplayType(static_cast<RIInFocusDisplayType>(displayOption->integerValue()));
    } else if (alertsValid) {
        setInFocusDisplayType(static_cast<RIInFocusDisplayType>(inAppAlerts->integerValue()));
    }

    if (currentSubscriptionState()->userId()) {
        registerUser();
    } else {
        osNotificationSettings()->getNotificationPermissionState([](const std::shared_ptr<RIPermissionState>& p) {
            if (p->answeredPrompt()) {
                registerUser();
            } else {
                registerUserAfterDelay();
            }
        });
    }

    if (const plat::Dictionary* options = launchOptions.ifDictionary();
        options && options->contains(plat::UIApplicationLaunchOptionsRemoteNotificationKey)) {
        locked([](RadIrivozClassState& s) { s.coldStartFromTap = true; });
    }
    clearBadgeCount(false);
    if (!locked([](RadIrivozClassState& s) { return s.purchaseTracker != nullptr; }) && RadIrivozTrackIAP::canTrack()) {
        auto tracker = RadIrivozTrackIAP::init();
        locked([&](RadIrivozClassState& s) { s.purchaseTracker = std::move(tracker); });
    }
    if (plat::rt::getClass("UNUserNotificationCenter")) {
        RadIrivozHelper::clearCachedMedia();
    }
    if (RadIrivozTrackVedudoduAnalytics::needsRemoteParams()) {
        RadIrivozTrackVedudoduAnalytics::init();
    }
}

bool RadIrivoz::initAppId(std::optional<std::string> appId, plat::UserDefaults& defaults,
                          const plat::Dictionary& settings) {
    std::optional<std::string> resolved = configuredAppId(appId);
    const bool configured = resolved.has_value();
    if (!configured) {
        resolved = defaults.string(RadIrivozKeys::appId);
        const plat::Value* omit = settings.find("kOSSettingsKeyInOmitNoAppIdLogging");
        if (omit && omit->boolValue()) {
            locked([&](RadIrivozClassState& s) { s.appId = resolved; });
            return true;
        }
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_FATAL, "RadIrivoz AppId never set!");
    }
    // Checked before anything is stored: an invalid identifier must not cost the device its subscriber id.
    if (!isValidAppId(resolved)) {
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_FATAL,
            std::string("RadIrivoz AppId format is invalid.\nExample: '") + kExampleAppId + "'\n");
        return false;
    }
    if (configured && defaults.string(RadIrivozKeys::appId) != resolved) {
        // The subscriber id belongs to the application identifier it was registered under.
        defaults.set(RadIrivozKeys::appId, plat::Value(*resolved));
        defaults.remove(RadIrivozKeys::playerId);
        defaults.synchronize();
        auto subscription = locked([](RadIrivozClassState& s) { return s.currentSubscriptionState; });
        if (subscription) {
            subscription->setUserId(std::nullopt);
        }
    }
    locked([&](RadIrivozClassState& s) { s.appId = resolved; });
    if (appId && (*appId == kExampleAppId || *appId == kExampleAppId2)) {
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
            "RadIrivoz Example AppID detected, please update to your app's id found on " +
                std::string(deployment::kPushServiceSite));
    }
    return true;
}

std::optional<std::string> RadIrivoz::app_id() {
    return locked([](RadIrivozClassState& s) { return s.appId; });
}

void RadIrivoz::clearStatics() {
    locked([](RadIrivozClassState& s) {
        s.appId.reset();
        s.currentPermissionState.reset();
        s.currentSubscriptionState.reset();
        s.currentEmailSubscriptionState.reset();
        s.osNotificationSettings.reset();
        s.lastPermissionState.reset();
        s.lastSubscriptionState.reset();
        s.lastEmailSubscriptionState.reset();
        s.permissionStateChangesObserver.reset();
        s.lastNotificationTypes = -1;
        s.waitingForApnsResponse = false;
        s.iosParamsRequested = false;
        s.iosParamsFailed = false;
        s.autoPrompt = false;
        s.provisionalRequested = false;
        s.apnsWait = 25.0;
        s.registrationDelay = 30.0;
    });
}

void RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType type) {
    if (type == RIInFocusDisplayType::RIInFocusDisplayNotification &&
        plat::DeviceProfile::floatVersion() < 10.0f) {
        type = RIInFocusDisplayType::RIInFocusDisplayInAppAlert;
    }
    locked([&](RadIrivozClassState& s) { s.inFocusDisplayType = type; });
}

RIInFocusDisplayType RadIrivoz::inFocusDisplayType() {
    return locked([](RadIrivozClassState& s) { return s.inFocusDisplayType; });
}

void RadIrivoz::setRequiresUserPrivacyConsent(bool required) {
    locked([&](RadIrivozClassState& s) { s.requiresConsent = required; });
}

bool RadIrivoz::requiresUserPrivacyConsent() {
    auto info = plat::Bundle::main()->objectForInfoDictionaryKey("RadIrivoz_require_privacy_consent");
    const bool required =
        (info && info->boolValue()) || locked([](RadIrivozClassState& s) { return s.requiresConsent; });
    if (!required) {
        return false;
    }
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    auto granted = defaults.object(kConsentGranted);
    if (!granted) {
        defaults.set(kConsentGranted, plat::Value(0));
        defaults.synchronize();
        return true;
    }
    return !granted->boolValue();
}

void RadIrivoz::consentGranted(bool granted) {
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set(kConsentGranted, plat::Value(granted ? 1 : 0));
    defaults.synchronize();
    if (!granted) {
        return;
    }
    // Taken out before the replay, so a consent given again from inside start-up cannot run it twice.
    auto delayed = locked([](RadIrivozClassState& s) {
        std::optional<DelayedInitializationParameters> taken;
        if (s.delayedForConsent && s.delayedParameters) {
            taken = std::move(s.delayedParameters);
        }
        s.delayedParameters.reset();
        if (taken) {
            s.delayedForConsent = false;
        }
        return taken;
    });
    if (delayed) {
        initWithLaunchOptions(delayed->launchOptions, delayed->appId, std::move(delayed->receivedBlock),
                              std::move(delayed->actionBlock), delayed->settings);
    }
}

bool RadIrivoz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string> methodName) {
    if (!requiresUserPrivacyConsent()) {
        return false;
    }
    if (methodName) {
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
            "Your application has called " + *methodName +
                " before the user granted privacy permission. Please call `consentGranted(bool)` in order to "
                "provide user privacy consent");
    }
    return true;
}

void RadIrivoz::downloadIOSParamsWithAppId(const std::string& appId) {
    facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG, "Downloading iOS parameters for this application");
    locked([](RadIrivozClassState& s) {
        s.iosParamsRequested = true;
        s.iosParamsFailed = false;
    });
    // A player id registered under another application identifier is not this app's player.
    std::optional<std::string> playerId = currentSubscriptionState()->userId();
    if (plat::UserDefaults::standardUserDefaults().string(RadIrivozKeys::appId) != appId) {
        playerId.reset();
    }
    auto request = RIRequestGetIosParams::withUserId(playerId, appId);
    RadIrivozClient::sharedClient().executeRequest(
        request,
        [](const std::optional<plat::Value>& reply) {
            const plat::Dictionary* params = reply ? reply->ifDictionary() : nullptr;
            if (!params) {
                // Not the object the parameters come in: as good as a failed request.
                locked([](RadIrivozClassState& s) { s.iosParamsFailed = true; });
                return;
            }
            if (const plat::Value* emailAuth = params->find("require_email_auth")) {
                currentEmailSubscriptionState()->setRequiresEmailAuth(emailAuth->boolValue());
            }
            const bool autoPrompt = locked([](RadIrivozClassState& s) { return s.autoPrompt; });
            const plat::Value* provisional = params->find("uses_provisional_auth");
            if (!autoPrompt && provisional && !provisional->isNull() && provisional->boolValue()) {
                auto& defaults = plat::UserDefaults::standardUserDefaults();
                defaults.set(kUsesProvisionalAuthorization, plat::Value(1));
                defaults.synchronize();
                checkProvisionalAuthorizationStatus();
            }
            RadIrivozTrackVedudoduAnalytics::updateFromDownloadParams(*params);
            locked([&](RadIrivozClassState& s) {
                s.iosParams = *params;
                s.iosParamsDownloaded = true;
            });
            // After the flag: a replay that found it unset would park itself again.
            if (params->contains("require_email_auth") && currentSubscriptionState()->userId()) {
                replayPendingEmail();
            }
        },
        [](const plat::Error&) { locked([](RadIrivozClassState& s) { s.iosParamsFailed = true; }); });
}

void RadIrivoz::onRegistrationSucceeded() {
    const bool retry = locked([](RadIrivozClassState& s) {
        const bool again = s.iosParamsFailed && !s.iosParamsDownloaded;
        s.iosParamsFailed = false;
        return again;
    });
    if (!retry) {
        return;
    }
    if (auto appId = app_id(); isValidAppId(appId)) {
        downloadIOSParamsWithAppId(*appId);
    }
}

bool RadIrivoz::iosParamsDownloaded() {
    return locked([](RadIrivozClassState& s) { return s.iosParamsDownloaded; });
}

std::optional<plat::Dictionary> RadIrivoz::iosParams() {
    return locked([](RadIrivozClassState& s) { return s.iosParams; });
}

void RadIrivoz::checkProvisionalAuthorizationStatus() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) {
        return;
    }
    auto stored = plat::UserDefaults::standardUserDefaults().object(kUsesProvisionalAuthorization);
    if (!stored || !stored->boolValue()) {
        return;
    }
    const bool first = locked([](RadIrivozClassState& s) { return !std::exchange(s.provisionalRequested, true); });
    if (first) {
        registerForProvisionalAuthorization(nullptr);
    }
}

void RadIrivoz::registerForProvisionalAuthorization(std::function<void(bool accepted)> completion) {
    if (plat::DeviceProfile::floatVersion() < 12.0f) {
        facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "registerForProvisionalAuthorization is only available in iOS 12+.");
        return;
    }
    osNotificationSettings()->registerForProvisionalAuthorization(std::move(completion));
}

void RadIrivoz::checkIfApplicationImplementsDeprecatedMethods() {
    plat::DispatchQueue::main()->async([] {
        auto application = plat::UIApplication::sharedApplication();
        auto delegate = application ? application->delegate() : nullptr;
        if (!delegate) {
            return;
        }
        for (const char* selector :
             {"application:didReceiveLocalNotification:",
              "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
              "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:completionHandler:"}) {
            if (plat::rt::respondsTo(delegate, plat::rt::Sel(selector))) {
                facadeLog(ONE_S_LOG_LEVEL::ONE_S_LL_WARN,
                    std::string("RadIrivoz has detected that your application delegate implements a deprecated "
                                "method (") +
                        selector +
                        "). Please note that this method has been officially deprecated and the RadIrivoz SDK "
                        "will no longer call it. You should use UNUserNotificationCenter instead");
            }
        }
    });
}

void RadIrivoz::enableInAppLaunchURL(bool enable) {
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    defaults.set(kInAppLaunchURL, plat::Value(enable));
    defaults.synchronize();
}

std::optional<std::string> RadIrivoz::mUserId() {
    return currentSubscriptionState()->userId();
}

bool RadIrivoz::coldStartFromTapOnNotification() {
    return locked([](RadIrivozClassState& s) { return std::exchange(s.coldStartFromTap, false); });
}

bool RadIrivoz::shouldPromptToShowURL() {
    return locked([](RadIrivozClassState& s) { return s.promptToShowURL; });
}

bool RadIrivoz::providesAppNotificationSettings() {
    return locked([](RadIrivozClassState& s) { return s.providesAppNotificationSettings; });
}

void RadIrivoz::setDelayIntervals(double apnsWait, double registrationDelay) {
    locked([&](RadIrivozClassState& s) {
        s.apnsWait = apnsWait;
        s.registrationDelay = registrationDelay;
    });
}

std::string RadIrivoz::sdk_version_raw() {
    return "020809";
}

void RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL logLevel, ONE_S_LOG_LEVEL visualLevel) {
    locked([&](RadIrivozClassState& s) {
        s.logLevel = logLevel;
        s.visualLogLevel = visualLevel;
    });
}

void RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL level, const std::string& message) {
    const auto [logLevel, visualLevel] =
        locked([](RadIrivozClassState& s) { return std::pair(s.logLevel, s.visualLogLevel); });
    if (static_cast<uint64_t>(level) <= static_cast<uint64_t>(logLevel)) {
        plat::NSLogText(std::string(prefix(level)) + message);
    }
    if (level != ONE_S_LOG_LEVEL::ONE_S_LL_NONE &&
        static_cast<uint64_t>(level) <= static_cast<uint64_t>(visualLevel)) {
        RadIrivozDialogController::sharedInstance()->presentDialogWithTitle(
            prefix(level), message, std::nullopt, plat::Bundle::main()->localizedString("Close", "", ""), nullptr);
    }
}

bool RadIrivoz::isLogged(ONE_S_LOG_LEVEL level) {
    const ONE_S_LOG_LEVEL logLevel = locked([](RadIrivozClassState& s) { return s.logLevel; });
    return static_cast<uint64_t>(level) <= static_cast<uint64_t>(logLevel);
}
