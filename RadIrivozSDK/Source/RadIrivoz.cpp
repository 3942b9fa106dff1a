#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include <mutex>

namespace {

constexpr const char* kExampleAppId = "c4a1e2d3-0b5f-11e7-9a3c-7f2e1d0c4b6a";
// Badge, sound and alert: the same bits for the legacy types and the authorization options.
constexpr uint64_t kPromptTypes =
    plat::UIUserNotificationTypeBadge | plat::UIUserNotificationTypeSound | plat::UIUserNotificationTypeAlert;

struct ClientState {
    std::mutex mutex;
    std::optional<std::string> appId;
    RIInFocusDisplayType inFocusDisplayType = RIInFocusDisplayType::RIInFocusDisplayInAppAlert;
    std::shared_ptr<RISubscriptionState> currentSubscriptionState;
    ONE_S_LOG_LEVEL logLevel = ONE_S_LOG_LEVEL::ONE_S_LL_WARN;
    ONE_S_LOG_LEVEL visualLogLevel = ONE_S_LOG_LEVEL::ONE_S_LL_NONE;
};

ClientState& state() {
    static plat::NeverDestroyed<ClientState> s;
    return *s;
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

std::optional<std::string> infoString(std::string_view key) {
    auto value = plat::Bundle::main()->objectForInfoDictionaryKey(key);
    if (value && value->isString()) {
        return value->asString();
    }
    return std::nullopt;
}

void answerOnMain(std::function<void(bool)> completion, bool accepted) {
    if (!completion) {
        return;
    }
    plat::DispatchQueue::main()->async(
        [completion = std::move(completion), accepted] { completion(accepted); });
}

} // namespace

void RadIrivoz::initWithLaunchOptions(const plat::Value&, std::optional<std::string> appId,
                                      RIHandleNotificationReceivedBlock received,
                                      RIHandleNotificationActionBlock action,
                                      const plat::Dictionary& settings) {
    radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "Called init with app ID: " + appId.value_or("(null)"));
    if (!initAppId(appId, plat::UserDefaults::standardUserDefaults(), settings)) {
        return;
    }
    RadIrivozHelper::notificationBlocks(std::move(received), std::move(action));

    const plat::Value* autoPrompt = settings.find(kOSSettingsKeyAutoPrompt);
    if (!autoPrompt || autoPrompt->boolValue()) {
        promptForPushNotificationsWithUserResponse(nullptr);
    } else {
        registerForPushToken();
    }
}

bool RadIrivoz::initAppId(std::optional<std::string> appId, plat::UserDefaults& defaults,
                          const plat::Dictionary& settings) {
    std::optional<std::string> resolved = appId;
    if (!resolved) {
        resolved = infoString(RadIrivozKeys::infoAppId);
    }
    if (!resolved) {
        resolved = infoString(RadIrivozKeys::infoAppIdLegacy);
    }
    if (resolved) {
        // The subscriber id belongs to the application identifier it was registered under.
        if (defaults.string(RadIrivozKeys::appId) != resolved) {
            defaults.set(RadIrivozKeys::appId, plat::Value(*resolved));
            defaults.remove(RadIrivozKeys::playerId);
            defaults.synchronize();
        }
    } else {
        resolved = defaults.string(RadIrivozKeys::appId);
        const plat::Value* omit = settings.find("kOSSettingsKeyInOmitNoAppIdLogging");
        if (omit && omit->boolValue()) {
            std::lock_guard lock(state().mutex);
            state().appId = resolved;
            return true;
        }
        radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_FATAL, "RadIrivoz AppId never set!");
    }
    {
        std::lock_guard lock(state().mutex);
        state().appId = resolved;
    }
    if (!resolved || !plat::UUID::parse(*resolved)) {
        radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_FATAL,
                      std::string("RadIrivoz AppId format is invalid.\nExample: '") + kExampleAppId + "'\n");
        return false;
    }
    return true;
}

std::optional<std::string> RadIrivoz::app_id() {
    std::lock_guard lock(state().mutex);
    return state().appId;
}

void RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType type) {
    if (type == RIInFocusDisplayType::RIInFocusDisplayNotification &&
        plat::DeviceProfile::floatVersion() < 10.0f) {
        type = RIInFocusDisplayType::RIInFocusDisplayInAppAlert;
    }
    std::lock_guard lock(state().mutex);
    state().inFocusDisplayType = type;
}

RIInFocusDisplayType RadIrivoz::inFocusDisplayType() {
    std::lock_guard lock(state().mutex);
    return state().inFocusDisplayType;
}

void RadIrivoz::promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion) {
    const float version = plat::DeviceProfile::floatVersion();
    auto application = plat::UIApplication::sharedApplication();
    if (version >= 10.0f) {
        if (plat::rt::getClass("UNUserNotificationCenter")) {
            plat::UNUserNotificationCenter::currentNotificationCenter()->requestAuthorizationWithOptions(
                kPromptTypes, [completion = std::move(completion)](bool granted, std::optional<plat::Error>) {
                    // The centre answers on its own queue; the app's block runs on main.
                    answerOnMain(completion, granted);
                });
        }
    } else if (version >= 8.0f && application) {
        application->registerUserNotificationSettings(
            plat::UIUserNotificationSettings::settingsForTypes(kPromptTypes, {}));
        // The answer reaches the application on the main queue; this runs after it.
        plat::DispatchQueue::main()->async([application, completion = std::move(completion)] {
            answerOnMain(completion, application->currentUserNotificationSettings().types != 0);
        });
    } else if (application) {
        application->registerForRemoteNotificationTypes(kPromptTypes);
        answerOnMain(std::move(completion), true);
    }
    registerForPushToken();
}

void RadIrivoz::registerForPushToken() {
    auto application = plat::UIApplication::sharedApplication();
    if (application && plat::DeviceProfile::floatVersion() >= 8.0f) {
        application->registerForRemoteNotifications();
    }
}

std::shared_ptr<RISubscriptionState> RadIrivoz::currentSubscriptionState() {
    std::lock_guard lock(state().mutex);
    if (!state().currentSubscriptionState) {
        state().currentSubscriptionState = RISubscriptionState::initAsTo();
    }
    return state().currentSubscriptionState;
}

std::shared_ptr<RIPermissionSubscriptionState> RadIrivoz::getPermissionSubscriptionState() {
    return std::make_shared<RIPermissionSubscriptionState>(currentSubscriptionState());
}

void RadIrivoz::notificationReceived(const plat::Dictionary& userInfo, RIInFocusDisplayType displayType) {
    if (!RadIrivozHelper::isRadIrivozPayload(userInfo)) {
        return;
    }
    RadIrivozHelper::lastMessageReceived(userInfo);
    RadIrivozHelper::handleNotificationReceived(displayType);
}

void RadIrivoz::handleNotificationOpened(const plat::Dictionary& userInfo, RIOpenedActionType actionType,
                                         std::optional<std::string> actionID,
                                         RIInFocusDisplayType displayType) {
    if (!RadIrivozHelper::isRadIrivozPayload(userInfo)) {
        return;
    }
    RadIrivozHelper::lastMessageReceived(userInfo);
    RadIrivozHelper::handleNotificationAction(actionType, std::move(actionID), displayType);
}

void RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL logLevel, ONE_S_LOG_LEVEL visualLevel) {
    std::lock_guard lock(state().mutex);
    state().logLevel = logLevel;
    state().visualLogLevel = visualLevel;
}

void RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL level, const std::string& message) {
    ONE_S_LOG_LEVEL logLevel;
    {
        std::lock_guard lock(state().mutex);
        logLevel = state().logLevel;
    }
    if (static_cast<uint64_t>(level) <= static_cast<uint64_t>(logLevel)) {
        plat::NSLogText(std::string(prefix(level)) + message);
    }
}
