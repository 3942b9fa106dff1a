#pragma once
// The push client's toolbox: it tells push-service payloads and silent ones apart, rewrites a payload opened
// through an action into the layout the rest of the client reads, delivers notifications to the app's blocks
// (once per message id), decides where a launch URL opens, and offers main-queue, OS-version, random-string,
// e-mail and hashing helpers.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UILegacyNotifications.hpp"
#include "platform/usernotifications/UNNotificationCategory.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class RadIrivozWebView;
class RINotificationPayload;
namespace plat {
class URL;
class UNMutableNotificationContent;
class UNNotificationRequest;
} // namespace plat

// The name of the category that carries a notification's own buttons.
inline constexpr const char* kRadIrivozDynamicCategory = "__dynamic__";

// Text helpers of the media step and the version string.
// The text after the first occurrence of `marker`, or the whole text when it does not occur.
std::string one_substringAfter(std::string_view text, std::string_view marker);
// Two digits without one leading "0" ("05" -> "5", "00" -> "0", "12" -> "12").
std::string one_getVersionForRange(std::string_view twoDigits);
// A six-digit version as three dotted numbers ("020809" -> "2.8.9"); other texts unchanged.
std::string one_getSemanticVersion(std::string_view version);
// The part after the last "." when it is a media extension the notifications can show.
std::optional<std::string> supportedFileExtension(std::string_view name);
// The media extension of an exactly spelled MIME type.
std::optional<std::string> fileExtensionForMimeType(std::string_view mimeType);
// The value of the first query item of exactly that name.
std::optional<std::string> valueFromQueryParameter(const plat::URL& url, std::string_view name);

// A text as a value, or the platform's null when there is none: how the push client's records and requests
// write a missing text.
inline plat::Value stringOrNull(const std::optional<std::string>& text) {
    return text ? plat::Value(*text) : plat::Value();
}

// Stores the text under the key of the user defaults, or removes the key when there is none.
inline void storeTextOrRemove(plat::UserDefaults& defaults, std::string_view key,
                              const std::optional<std::string>& text) {
    if (text) {
        defaults.set(key, plat::Value(*text));
    } else {
        defaults.remove(key);
    }
}

class RadIrivozHelper {
public:
    RadIrivozHelper() = delete;

    // Whether the user info carries the push service's message id ("custom" or "os_data" -> "i").
    static bool isRadIrivozPayload(const plat::Dictionary& userInfo);
    // True when nothing in the user info is to be shown (no badge, alert, sound, title or buttons).
    static bool isRemoteSilentNotification(const plat::Dictionary& userInfo);

    // Stores the message the next delivery is built from; none clears it.
    static void lastMessageReceived(std::optional<plat::Dictionary> message);
    // Replaces both blocks.
    static void notificationBlocks(RIHandleNotificationReceivedBlock received,
                                   RIHandleNotificationActionBlock action);

    // The received block with the last message, once per message id, on the caller's thread.
    static void handleNotificationReceived(RIInFocusDisplayType displayType);
    // The action block with the last message and the action, once per message id (the last one opened).
    static void handleNotificationAction(RIOpenedActionType actionType, std::optional<std::string> actionID,
                                         RIInFocusDisplayType displayType);

    // Forgets the last message and the last opened id.
    static void resetLocals();

    // A payload opened through an action, in the layout the parser reads: buttons as {"text", "id"} under
    // "actionButtons", a chosen action as "actionSelected", the silent message as the "aps" alert. None for a
    // payload of neither layout; the argument is never changed.
    static std::optional<plat::Dictionary>
    formatApsPayloadIntoStandard(const plat::Dictionary& payload, const std::optional<std::string>& identifier);

    // Opens a launch URL in the in-app web view or through the system, after asking when the app wants that.
    static void displayWebView(const plat::URL& url);
    static bool verifyURL(const std::optional<std::string>& text);
    static bool isWWWScheme(const plat::URL& url);
    // Without leading and trailing spaces and tabs (line breaks stay).
    static std::optional<std::string> trimURLSpacing(const std::optional<std::string>& text);
    // The in-app web view, once one was made.
    static std::shared_ptr<RadIrivozWebView> webVC();

    // The system version read as a float (10.3.1 reads as 10.3) against the argument.
    static bool isIOSVersionGreaterOrEqual(float version);
    static bool canGetNotificationTypes();
    static std::optional<std::string> getAppName();
    // Letters and digits drawn uniformly from the platform's secure random source; empty for 0 or less.
    static std::string randomStringWithLength(int32_t length);
    static bool isValidEmail(std::string_view text);

    // The push client's own object, the notification centre's delegate when the app sets none.
    static plat::rt::ObjectPtr sharedInstance();
    static void registerAsUNNotificationCenterDelegate();

    static void dispatch_async_on_main_queue(std::function<void()> block);
    // At once on the main thread, else synchronously on the main queue.
    static void runOnMainThread(const std::function<void()>& block);
    // From the main queue, `delay` seconds later.
    static void performSelector(std::function<void()> action, double delay);

    // The player field "net_type": 0 on Wi-Fi, 1 otherwise (unreachable included).
    static plat::Value getNetType();
    // Any bytes as lowercase hexadecimal, two digits a byte.
    static std::string lowercaseHex(const plat::Data& bytes);
    // Lower-case hexadecimal digests of the text's UTF-8 bytes.
    static std::string hashUsingMD5(std::string_view text);
    static std::string hashUsingSha1(std::string_view text);

    // ---- local notifications, action buttons and media ----
    // Below OS 10: the local notification for a payload, its "__dynamic__" category registered.
    static plat::UILocalNotification prepareUILocalNotification(const RINotificationPayload& payload);
    static plat::UILocalNotification createUILocalNotification(const RINotificationPayload& payload);
    // True while a request of addNotificationRequest is being prepared (its media downloading).
    static bool hasNotificationRequestsInPreparation();
    // OS 10 and later: builds the request off the main thread (media downloads included), adds it to the
    // centre, then calls the handler (when given) with "new data".
    static void addNotificationRequest(std::shared_ptr<const RINotificationPayload> payload,
                                       std::function<void(plat::UIBackgroundFetchResult)> handler);
    static std::shared_ptr<plat::UNNotificationRequest> prepareUNNotificationRequest(const RINotificationPayload& payload);
    static void addActionButtons(const RINotificationPayload& payload, plat::UNMutableNotificationContent& content);
    // The centre's registered categories; none when the centre does not answer in time.
    static std::optional<std::vector<plat::UNNotificationCategory>> existingCategories();
    static void addAttachments(const RINotificationPayload& payload, plat::UNMutableNotificationContent& content);
    // The name of the downloaded file in the caches directory, listed under "CACHED_MEDIA"; none on any
    // failure, and then no file is left behind.
    static std::optional<std::string> downloadMediaAndSaveInBundle(const std::string& urlString);
    // Cached media stays: a notification still showing may point at it.
    static void clearCachedMedia();
    // One background task per request, so overlapping requests do not end each other's.
    static plat::UIBackgroundTaskIdentifier beginBackgroundMediaTask();
    static void endBackgroundMediaTask(plat::UIBackgroundTaskIdentifier identifier);
    // The caches directory the media goes to.
    static std::string cachesDirectory();
};
