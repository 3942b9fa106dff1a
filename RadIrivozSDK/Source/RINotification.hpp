#pragma once
// What the push client hands the app's blocks: a notification (its payload and how it was presented), the
// action the user took on it, and the pair of both for the opened block. Immutable once made.

#include "RadIrivozSDK/Source/RINotificationPayload.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

enum class RIInFocusDisplayType : uint64_t {
    RIInFocusDisplayNone = 0,
    RIInFocusDisplayInAppAlert = 1,
    RIInFocusDisplayNotification = 2,
};

enum class RIOpenedActionType : uint64_t {
    RIOpenedActionBody = 0,
    RIOpenedActionButton = 1,
};

class RINotificationAction {
public:
    RINotificationAction(RIOpenedActionType type, std::optional<std::string> actionID)
        : type_(type), actionID_(std::move(actionID)) {}

    RIOpenedActionType type() const { return type_; }
    // The chosen button's id; none for a plain open.
    const std::optional<std::string>& actionID() const { return actionID_; }

private:
    RIOpenedActionType type_;
    std::optional<std::string> actionID_;
};

class RINotification {
public:
    // Reads the application state and the in-focus display type now, to tell whether it was shown.
    RINotification(std::shared_ptr<const RINotificationPayload> payload, RIInFocusDisplayType displayType);

    const std::shared_ptr<const RINotificationPayload>& payload() const { return payload_; }
    RIInFocusDisplayType displayType() const { return displayType_; }
    bool wasShown() const { return shown_; }
    bool wasAppInFocus() const { return isAppInFocus_; }
    bool isSilentNotification() const { return silentNotification_; }
    bool hasMutableContent() const { return mutableContent_; }
    // Compact JSON: {"payload": {...}, "displayType", "shown", "isAppInFocus", "silentNotification"}.
    std::string stringify() const;

private:
    std::shared_ptr<const RINotificationPayload> payload_;
    RIInFocusDisplayType displayType_;
    bool shown_ = true;
    bool isAppInFocus_ = false;
    bool silentNotification_ = false;
    bool mutableContent_ = false;
};

class RINotificationOpenedResult {
public:
    RINotificationOpenedResult(std::shared_ptr<const RINotification> notification,
                               std::shared_ptr<const RINotificationAction> action)
        : notification_(std::move(notification)), action_(std::move(action)) {}

    const std::shared_ptr<const RINotification>& notification() const { return notification_; }
    const std::shared_ptr<const RINotificationAction>& action() const { return action_; }
    // Compact JSON: {"action": {"actionID", "type"}, "notification": the notification's JSON as an object}.
    std::string stringify() const;

private:
    std::shared_ptr<const RINotification> notification_;
    std::shared_ptr<const RINotificationAction> action_;
};

using RIHandleNotificationReceivedBlock = std::function<void(std::shared_ptr<const RINotification>)>;
using RIHandleNotificationActionBlock =
    std::function<void(std::shared_ptr<const RINotificationOpenedResult>)>;
