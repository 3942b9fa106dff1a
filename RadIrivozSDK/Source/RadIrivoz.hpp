#pragma once
// The push client's facade: class methods only, with process-wide state. The app starts the client at
// launch, sets how notifications show while it is in the foreground, asks for the notification permission
// and reads the subscriber id; the device's notification delivery reaches the app's blocks through it.

#include "RadIrivozSDK/Source/RIEmailSubscriptionState.hpp"
#include "RadIrivozSDK/Source/RINotification.hpp"
#include "RadIrivozSDK/Source/RIPermissionState.hpp"
#include "RadIrivozSDK/Source/RISubscriptionState.hpp"
#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "RadIrivozSDK/Source/RadIrivozKeys.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ONE_S_LOG_LEVEL : uint64_t {
    ONE_S_LL_NONE = 0,
    ONE_S_LL_FATAL = 1,
    ONE_S_LL_ERROR = 2,
    ONE_S_LL_WARN = 3,
    ONE_S_LL_INFO = 4,
    ONE_S_LL_DEBUG = 5,
    ONE_S_LL_VERBOSE = 6,
};

class RadIrivozNotificationSettings;
namespace plat {
class DispatchQueue;
class UIApplication;
class UNMutableNotificationContent;
class UNNotificationRequest;
} // namespace plat

using RIPermissionObservable = RIObservable<RIPermissionObserver, std::shared_ptr<RIPermissionStateChanges>>;
using RISubscriptionObservable = RIObservable<RISubscriptionObserver, std::shared_ptr<RISubscriptionStateChanges>>;
using RIEmailSubscriptionObservable =
    RIObservable<RIEmailSubscriptionObserver, std::shared_ptr<RIEmailSubscriptionStateChanges>>;
// The player id, and the push token when one is usable.
// The blocks of one tag write or read; either may be missing.
struct RIPendingCallbacks {
    RIResultSuccessBlock successBlock;
    RIFailureBlock failureBlock;
};

using RIIdsAvailableBlock =
    std::function<void(const std::string& userId, const std::optional<std::string>& pushToken)>;

// What start-up was called with while the user's privacy consent was missing; replayed once consent comes.
struct DelayedInitializationParameters {
    plat::Value launchOptions;
    std::optional<std::string> appId;
    RIHandleNotificationReceivedBlock receivedBlock;
    RIHandleNotificationActionBlock actionBlock;
    plat::Dictionary settings;
};

class RadIrivoz {
public:
    RadIrivoz() = delete;

    // The two example identifiers of the documentation: accepted with a warning.
    static constexpr const char* kExampleAppId = "c4a1e2d3-0b5f-11e7-9a3c-7f2e1d0c4b6a";
    static constexpr const char* kExampleAppId2 = "9d3f0a12-4c7e-11e6-8b21-3e5a7c9d1f40";

    // Starts the client (the short forms fill in no blocks and the default settings: prompt, in-app
    // alerts, in-app launch URLs, no prompt before opening a URL). Asks for the app's remote parameters
    // once per process, then, unless the privacy consent is missing (start-up then waits for
    // consentGranted), checks the identifier, keeps the blocks, applies the settings and asks for the
    // permission or only for a device token. `launchOptions` is null or the launch-options dictionary.
    static void initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId);
    static void initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationActionBlock action);
    static void initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationActionBlock action, const plat::Dictionary& settings);
    static void initWithLaunchOptions(const plat::Value& launchOptions, std::optional<std::string> appId,
                                      RIHandleNotificationReceivedBlock received,
                                      RIHandleNotificationActionBlock action,
                                      const plat::Dictionary& settings);
    // Resolves the identifier (argument, Info.plist, then what was stored) and checks its form before
    // anything is stored: a valid new identifier replaces the stored one and forgets the subscriber id of
    // the old one; an invalid one changes nothing. False stops start-up.
    static bool initAppId(std::optional<std::string> appId, plat::UserDefaults& defaults,
                          const plat::Dictionary& settings);
    static std::optional<std::string> app_id();
    // Returns the start-up entries of the state to their first values (consent, settings flags and the
    // app-facing observers stay).
    static void clearStatics();

    // Below OS 10 the system notification (2) is not available and becomes the in-app alert (1).
    static void setInFocusDisplayType(RIInFocusDisplayType type);
    static RIInFocusDisplayType inFocusDisplayType();

    // The privacy-consent gate. Every public operation asks it first; the transport asks it (with no
    // name) for every request that is not a GET.
    static void setRequiresUserPrivacyConsent(bool required);
    static bool requiresUserPrivacyConsent();
    static void consentGranted(bool granted);
    // True (with a warning naming the caller, when named) while consent is missing.
    static bool shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string> methodName);

    // Asks the push service for the app's remote parameters; the reply sets the e-mail auth requirement,
    // the provisional authorisation switch and the analytics switch ("fba").
    static void downloadIOSParamsWithAppId(const std::string& appId);
    // Registration calls this when the player registered: parameters that could not be fetched at
    // start-up are asked for once more.
    static void onRegistrationSucceeded();
    static bool iosParamsDownloaded();
    // The last remote parameters received; none before the first reply.
    static std::optional<plat::Dictionary> iosParams();

    static void checkProvisionalAuthorizationStatus();
    // On OS 12 and later asks for quiet (provisional) authorisation; below, a warning and no answer.
    static void registerForProvisionalAuthorization(std::function<void(bool accepted)> completion);
    static void checkIfApplicationImplementsDeprecatedMethods();

    // Marks the permission as prompted and asks the settings object for it; `completion` (may be empty)
    // gets the user's answer. Refused without privacy consent (the block is then never called).
    static void promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion);
    // With `fallbackToSettings`, once the user was asked and notifications are off, no second prompt: the
    // block gets NO at once, on the caller's thread.
    static void promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion,
                                                           bool fallbackToSettings);
    static void registerForPushNotifications();
    // Fires the device-token request when allowed: OS 8 or later, permission granted or the
    // "remote-notification" background mode declared, no fatal registration error stored. True when it fired
    // now or an answer is already awaited.
    static bool registerForAPNsToken();
    static void setWaitingForApnsResponse(bool waiting);
    static bool waitingForApnsResponse();
    // Opens the app's page of the system settings (OS 10 and later).
    static void presentAppSettings();
    // Whether launch URLs open in the in-app web view; persisted under "RADIRIVOZ_INAPP_LAUNCH_URL".
    static void enableInAppLaunchURL(bool enable);

    static std::shared_ptr<RIPermissionSubscriptionState> getPermissionSubscriptionState();
    // The permission object of the OS version, made on first use and kept.
    static std::shared_ptr<RadIrivozNotificationSettings> osNotificationSettings();
    // Each made on first use and kept: the current states with their internal observers, the last states
    // from the user defaults, and the app-facing observer tables.
    static std::shared_ptr<RIPermissionState> currentPermissionState();
    static std::shared_ptr<RISubscriptionState> currentSubscriptionState();
    static std::shared_ptr<RIEmailSubscriptionState> currentEmailSubscriptionState();
    static std::shared_ptr<RIPermissionState> lastPermissionState();
    static void setLastPermissionState(std::shared_ptr<RIPermissionState> state);
    static std::shared_ptr<RISubscriptionState> lastSubscriptionState();
    static void setLastSubscriptionState(std::shared_ptr<RISubscriptionState> state);
    static std::shared_ptr<RIEmailSubscriptionState> lastEmailSubscriptionState();
    static void setLastEmailSubscriptionState(std::shared_ptr<RIEmailSubscriptionState> state);
    static std::shared_ptr<RIPermissionObservable> permissionStateChangesObserver();
    static std::shared_ptr<RISubscriptionObservable> subscriptionStateChangesObserver();
    static std::shared_ptr<RIEmailSubscriptionObservable> emailSubscriptionStateChangesObserver();
    // While set, permission changes do not reach the subscription state (a types update is on its way).
    static bool shouldDelaySubscriptionSettingsUpdate();
    static void setShouldDelaySubscriptionSettingsUpdate(bool value);

    // The app's observers are held weakly and called on the main queue; one added while the current state
    // differs from the last one told is told that change at once.
    static void addPermissionObserver(const std::shared_ptr<RIPermissionObserver>& observer);
    static void removePermissionObserver(const RIPermissionObserver* observer);
    static void addSubscriptionObserver(const std::shared_ptr<RISubscriptionObserver>& observer);
    static void removeSubscriptionObserver(const RISubscriptionObserver* observer);
    static void addEmailSubscriptionObserver(const std::shared_ptr<RIEmailSubscriptionObserver>& observer);
    static void removeEmailSubscriptionObserver(const RIEmailSubscriptionObserver* observer);
    // The block is called on the main queue once a player id exists, again until a call carried a token.
    static void IdsAvailable(RIIdsAvailableBlock block);
    static void fireIdsAvailableCallback();

    // ---- notification types and the device token ----
    // The types sent to the server: the permission's bits, or a negative status.
    static int32_t getNotificationTypes();
    static void setSubscriptionErrorStatus(int32_t status);
    static int32_t subscriptionErrorStatus();
    // The OS answered the permission prompt with these types.
    static void updateNotificationTypes(int32_t notificationTypes);
    // The device token arrived (any bytes; sent as lowercase hexadecimal).
    static void didRegisterForRemoteNotifications(const std::shared_ptr<plat::UIApplication>& application,
                                                  const plat::Data& deviceToken);

    // ---- player registration and session sync ----
    static void registerUser();
    static void registerUserAfterDelay();
    static std::shared_ptr<plat::DispatchQueue> getRegisterQueue();
    static bool shouldRegisterNow();
    static bool isHighPriorityCall();
    static void setNextRegistrationHighPriority(bool value);
    static void updateLastSessionDateTime();
    static void registerUserInternal();
    static void updateDeviceToken(const std::string& deviceToken, RIResultSuccessBlock successBlock,
                                  RIFailureBlock failureBlock);
    static bool sendNotificationTypesUpdate();
    static void sendPurchases(const plat::Array& purchases);
    static void handleDidFailRegisterForRemoteNotification(const plat::Error& error);
    static std::optional<std::string> getUsableDeviceToken();
    static void setSubscription(bool enable);
    // Off also stops the periodic location sends.
    static void setLocationShared(bool enable);
    static void promptLocation();
    static std::optional<std::string> mUserId();

    // True once after a launch from a tap on a notification.
    static bool coldStartFromTapOnNotification();
    static bool shouldPromptToShowURL();
    static bool providesAppNotificationSettings();
    static void setDelayIntervals(double apnsWait, double registrationDelay);
    static std::string sdk_version_raw();

    // ---- receive and open handling ----
    // A notification the interception layers hand over: repeats of the last id per branch are dropped; while
    // active it is presented (in-app alert) or reported to the received block; when opened, the open follows.
    static void notificationReceived(const plat::Dictionary& userInfo, bool isActive, bool wasOpened);
    // "dup" when the layout's data carries `lastMessageId`, else its id (none without one).
    static std::optional<std::string> checkForProcessedDups(const plat::Value& data,
                                                            const std::optional<std::string>& lastMessageId);
    // The user opened it: the opened report (once per message id, also across launches), the launch URL
    // 0.5 s later, badge clearing and the opened block.
    static void handleNotificationOpened(const plat::Dictionary& userInfo, bool isActive, RIOpenedActionType actionType,
                                         RIInFocusDisplayType displayType);
    static void launchWebURL(const std::optional<std::string>& text);
    static void submitNotificationOpened(const std::optional<std::string>& messageId);
    // True when a badge was showing (then it is cleared), unless the app turned badge clearing off.
    static bool clearBadgeCount(bool fromOpen);
    // A background push: local notification for one with buttons or media, else the received or opened
    // path. True when the completion handler was taken over (it is then called by that path).
    static bool remoteSilentNotification(const std::shared_ptr<plat::UIApplication>& application,
                                         const plat::Dictionary& userInfo,
                                         std::function<void(plat::UIBackgroundFetchResult)> completionHandler);
    // An action on a local notification (below OS 10).
    static void processLocalActionBasedNotification(const plat::UILocalNotification& notification,
                                                    const std::string& identifier);
    // ---- tags and notification posting ----
    // Writes are merged and sent together 5 s after the last one (or with the next registration).
    static void sendTag(const std::string& key, const std::optional<plat::Value>& value,
                        RIResultSuccessBlock success = nullptr, RIFailureBlock failure = nullptr);
    static void sendTags(const plat::Value& tags, RIResultSuccessBlock success = nullptr,
                         RIFailureBlock failure = nullptr);
    static void sendTagsWithJsonString(std::string_view json);
    static void sendTagsToServer();
    // The success block gets the player's tags; before a player id only the last read waits.
    static void getTags(RIResultSuccessBlock success, RIFailureBlock failure = nullptr);
    static void deleteTag(const std::string& key, RIResultSuccessBlock success = nullptr,
                          RIFailureBlock failure = nullptr);
    static void deleteTags(const std::vector<std::string>& keys, RIResultSuccessBlock success = nullptr,
                           RIFailureBlock failure = nullptr);
    static void deleteTagsWithJsonString(std::string_view json);
    static void postNotification(const plat::Dictionary& notification, RIResultSuccessBlock success = nullptr,
                                 RIFailureBlock failure = nullptr);
    static void postNotificationWithJsonString(std::string_view json, RIResultSuccessBlock success,
                                               RIFailureBlock failure);
    // Top-level dates as "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in the device's time zone.
    static void convertDatesToISO8061Strings(plat::Dictionary& dictionary);
    static std::string parseNSErrorAsJsonString(const plat::Error& error);
    // What registration takes over: the pending tags (none when nothing waits) and their blocks.
    static std::optional<plat::Dictionary> takePendingTags(std::vector<RIPendingCallbacks>& callbacks);
    // After a successful registration: the waiting tag read, and a send for tags that came meanwhile.
    static void replayPendingTagWork();

    // ---- e-mail subscription ----
    // The address (and the auth hash of the app's backend) as the device's e-mail player; parked until the
    // push player id (and, with a hash, the remote parameters) are there.
    static void setEmail(const std::string& email, const std::optional<std::string>& authHash = std::nullopt,
                         std::function<void()> success = nullptr, RIFailureBlock failure = nullptr);
    static void logoutEmail(std::function<void()> success = nullptr, RIFailureBlock failure = nullptr);
    static void emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId);
    // Replays the parked setEmail call, when there is one.
    static void replayPendingEmail();

    // Sends only the digests of the trimmed, lower-cased address; kept until a player id exists.
    static void syncHashedEmail(const std::optional<std::string>& email);
    static std::shared_ptr<plat::UNMutableNotificationContent>
    didReceiveNotificationExtensionRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                           const std::shared_ptr<plat::UNMutableNotificationContent>& content);
    static std::shared_ptr<plat::UNMutableNotificationContent>
    serviceExtensionTimeWillExpireRequest(const std::shared_ptr<plat::UNNotificationRequest>& request,
                                          const std::shared_ptr<plat::UNMutableNotificationContent>& content);
    static void callFailureBlockOnMainThread(const RIFailureBlock& block, const plat::Error& error);
    static void callSuccessBlockOnMainThread(const std::function<void()>& block);
    static void setLastAppActiveMessageId(std::optional<std::string> messageId);
    static void setLastnonActiveMessageId(std::optional<std::string> messageId);

    static void setLogLevel(ONE_S_LOG_LEVEL logLevel, ONE_S_LOG_LEVEL visualLevel);
    // Writes "<LEVEL>: " + message to the system log when the level is within the log level.
    static void radirivoz_Log(ONE_S_LOG_LEVEL level, const std::string& message);
    // Whether a line of this level would be written: callers skip building costly texts otherwise.
    static bool isLogged(ONE_S_LOG_LEVEL level);
};
