#pragma once
// The push client's toolbox: it tells push-service payloads and silent ones apart, rewrites a payload opened
// through an action into the layout the rest of the client reads, delivers notifications to the app's blocks
// (once per message id), decides where a launch URL opens, and offers main-queue, OS-version, random-string,
// e-mail and hashing helpers.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class RadIrivozWebView;
namespace plat {
class URL;
}

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
};
