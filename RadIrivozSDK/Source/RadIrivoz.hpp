#pragma once
// The push client's facade: class methods only, with process-wide state. The app starts the client at
// launch, sets how notifications show while it is in the foreground, asks for the notification permission
// and reads the subscriber id; the device's notification delivery reaches the app's blocks through it.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "RadIrivozSDK/Source/RISubscriptionState.hpp"
#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

enum class ONE_S_LOG_LEVEL : uint64_t {
    ONE_S_LL_NONE = 0,
    ONE_S_LL_FATAL = 1,
    ONE_S_LL_ERROR = 2,
    ONE_S_LL_WARN = 3,
    ONE_S_LL_INFO = 4,
    ONE_S_LL_DEBUG = 5,
    ONE_S_LL_VERBOSE = 6,
};

class RadIrivoz {
public:
    RadIrivoz() = delete;

    // Starts the client: resolves and stores the application identifier (a new identifier forgets the
    // subscriber id of the old one), keeps the blocks, then asks for the permission unless the settings
    // hold kOSSettingsKeyAutoPrompt false, in which case it only registers for a device token.
    // `launchOptions` is null or the launch-options dictionary.
    static void initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationReceivedBlock received,
                                      RIHandleNotificationActionBlock action,
                                      const plat::Dictionary& settings);
    // Resolves the identifier (argument, Info.plist, then what was stored) and checks its form; false stops
    // start-up.
    static bool initAppId(std::optional<std::string> appId, plat::UserDefaults& defaults,
                          const plat::Dictionary& settings);
    static std::optional<std::string> app_id();

    // Below OS 10 the system notification (2) is not available and becomes the in-app alert (1).
    static void setInFocusDisplayType(RIInFocusDisplayType type);
    static RIInFocusDisplayType inFocusDisplayType();

    // Asks the platform for the notification permission and calls `completion` (may be empty) on the main
    // queue with the user's answer; also registers for a device token.
    static void promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion);
    // Hands the device-token request to the platform.
    static void registerForPushToken();

    static std::shared_ptr<RIPermissionSubscriptionState> getPermissionSubscriptionState();
    // Made on first use from what the defaults hold.
    static std::shared_ptr<RISubscriptionState> currentSubscriptionState();

    // The device delivered a remote notification: the received block with it (once per message id).
    static void notificationReceived(const plat::Dictionary& userInfo, RIInFocusDisplayType displayType);
    // The user opened a notification: the opened block (not again for the message id opened last).
    static void handleNotificationOpened(const plat::Dictionary& userInfo, RIOpenedActionType actionType,
                                         std::optional<std::string> actionID,
                                         RIInFocusDisplayType displayType);

    static void setLogLevel(ONE_S_LOG_LEVEL logLevel, ONE_S_LOG_LEVEL visualLevel);
    // Writes "<LEVEL>: " + message to the system log when the level is within the log level.
    static void radirivoz_Log(ONE_S_LOG_LEVEL level, const std::string& message);
};
