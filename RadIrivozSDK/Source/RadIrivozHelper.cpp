#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"

#include "RadIrivozSDK/Source/RadIrivozReachability.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

#include <memory>
#include <mutex>

namespace {

struct HelperState {
    std::mutex mutex;
    std::optional<plat::Dictionary> lastMessage;
    RIHandleNotificationReceivedBlock received;
    RIHandleNotificationActionBlock action;
    std::string lastReceivedId;
    std::optional<std::string> lastOpenedId;
};

HelperState& helperState() {
    static plat::NeverDestroyed<HelperState> s;
    return *s;
}

} // namespace

bool RadIrivozHelper::isRadIrivozPayload(const plat::Dictionary& userInfo) {
    const plat::Value info(userInfo);
    return info["custom"].contains("i") || info["os_data"].contains("i");
}

bool RadIrivozHelper::isRemoteSilentNotification(const plat::Dictionary& userInfo) {
    const plat::Value info(userInfo);
    const plat::Value& aps = info["aps"];
    if (info.contains("badge") || aps.contains("badge") || info.contains("m") || info.contains("o") ||
        info.contains("s")) {
        return false;
    }
    if (info["title"].size() > 0) {
        return false;
    }
    return !(info.contains("sound") || aps.contains("sound") || aps.contains("alert") ||
             info["os_data"].contains("buttons"));
}

void RadIrivozHelper::lastMessageReceived(std::optional<plat::Dictionary> message) {
    std::lock_guard lock(helperState().mutex);
    helperState().lastMessage = std::move(message);
}

void RadIrivozHelper::notificationBlocks(RIHandleNotificationReceivedBlock received,
                                         RIHandleNotificationActionBlock action) {
    std::lock_guard lock(helperState().mutex);
    helperState().received = std::move(received);
    helperState().action = std::move(action);
}

void RadIrivozHelper::handleNotificationReceived(RIInFocusDisplayType displayType) {
    RIHandleNotificationReceivedBlock block;
    std::optional<plat::Dictionary> message;
    {
        std::lock_guard lock(helperState().mutex);
        block = helperState().received;
        message = helperState().lastMessage;
    }
    if (!block || !message || !isRadIrivozPayload(*message)) {
        return;
    }
    auto payload = RINotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<const RINotification>(payload, displayType);
    {
        std::lock_guard lock(helperState().mutex);
        // An absent id never counts as a repeat.
        if (payload->notificationID()) {
            if (*payload->notificationID() == helperState().lastReceivedId) {
                return;
            }
            helperState().lastReceivedId = *payload->notificationID();
        }
    }
    // The block runs without the lock: the app may call back into the client from it.
    block(notification);
}

void RadIrivozHelper::handleNotificationAction(RIOpenedActionType actionType,
                                               std::optional<std::string> actionID,
                                               RIInFocusDisplayType displayType) {
    std::optional<plat::Dictionary> message;
    {
        std::lock_guard lock(helperState().mutex);
        message = helperState().lastMessage;
    }
    if (!message || !isRadIrivozPayload(*message)) {
        return;
    }
    auto action = std::make_shared<const RINotificationAction>(actionType, std::move(actionID));
    auto payload = RINotificationPayload::parseWithApns(message);
    auto notification = std::make_shared<const RINotification>(payload, displayType);
    auto result = std::make_shared<const RINotificationOpenedResult>(notification, action);
    RIHandleNotificationActionBlock block;
    {
        std::lock_guard lock(helperState().mutex);
        if (payload->notificationID()) {
            if (helperState().lastOpenedId == payload->notificationID()) {
                return;
            }
            helperState().lastOpenedId = payload->notificationID();
        }
        block = helperState().action;
    }
    if (block) {
        block(result);
    }
}

void RadIrivozHelper::resetLocals() {
    std::lock_guard lock(helperState().mutex);
    helperState().lastMessage.reset();
    helperState().lastOpenedId.reset();
}

plat::Value RadIrivozHelper::getNetType() {
    auto reachability = RadIrivozReachability::reachabilityForInternetConnection();
    const bool wifi =
        reachability && reachability->currentReachabilityStatus() == RINetworkStatus::ReachableViaWiFi;
    return plat::Value(wifi ? 0 : 1);
}

std::string RadIrivozHelper::lowercaseHex(const plat::Data& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

std::string RadIrivozHelper::hashUsingMD5(std::string_view text) {
    return lowercaseHex(plat::Digest::md5(text));
}

std::string RadIrivozHelper::hashUsingSha1(std::string_view text) {
    return lowercaseHex(plat::Digest::sha1(text));
}
