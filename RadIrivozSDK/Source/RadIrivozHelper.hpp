#pragma once
// The push client's delivery of notifications to the app's blocks: it keeps the blocks and the last
// push-service message, builds the notification objects from it and suppresses a second delivery of the
// same message id.

#include "RadIrivozSDK/Source/RINotification.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/foundation/Value.hpp"

#include <optional>
#include <string>
#include <string_view>

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

    // The player field "net_type": 0 on Wi-Fi, 1 otherwise (unreachable included).
    static plat::Value getNetType();
    // Any bytes as lowercase hexadecimal, two digits a byte.
    static std::string lowercaseHex(const plat::Data& bytes);
    // Lower-case hexadecimal digests of the text's UTF-8 bytes.
    static std::string hashUsingMD5(std::string_view text);
    static std::string hashUsingSha1(std::string_view text);
};
