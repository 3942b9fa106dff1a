#pragma once
// What the push client hands the app's blocks: a notification (its payload and how it was presented), the
// action the user took on it, and the pair of both for the opened block. Immutable once made.

#include "RadIrivozSDK/Source/OSNotificationPayload.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

enum class OSInFocusDisplayType : uint64_t {
    OSInFocusDisplayNone = 0,
    OSInFocusDisplayInAppAlert = 1,
    OSInFocusDisplayNotification = 2,
};

enum class OSOpenedActionType : uint64_t {
    OSOpenedActionBody = 0,
    OSOpenedActionButton = 1,
};

class OSNotificationAction {
public:
    OSNotificationAction(OSOpenedActionType type, std::optional<std::string> actionID)
        : type_(type), actionID_(std::move(actionID)) {}

    OSOpenedActionType type() const { return type_; }
    // The chosen button's id; none for a plain open.
    const std::optional<std::string>& actionID() const { return actionID_; }

private:
    OSOpenedActionType type_;
    std::optional<std::string> actionID_;
};

class OSNotification {
public:
    // Reads the application state and the in-focus display type now, to tell whether it was shown.
    OSNotification(std::shared_ptr<const OSNotificationPayload> payload, OSInFocusDisplayType displayType);

    const std::shared_ptr<const OSNotificationPayload>& payload() const { return payload_; }
    OSInFocusDisplayType displayType() const { return displayType_; }
    bool wasShown() const { return shown_; }
    bool wasAppInFocus() const { return isAppInFocus_; }
    bool isSilentNotification() const { return silentNotification_; }
    bool hasMutableContent() const { return mutableContent_; }

private:
    std::shared_ptr<const OSNotificationPayload> payload_;
    OSInFocusDisplayType displayType_;
    bool shown_ = true;
    bool isAppInFocus_ = false;
    bool silentNotification_ = false;
    bool mutableContent_ = false;
};

class OSNotificationOpenedResult {
public:
    OSNotificationOpenedResult(std::shared_ptr<const OSNotification> notification,
                               std::shared_ptr<const OSNotificationAction> action)
        : notification_(std::move(notification)), action_(std::move(action)) {}

    const std::shared_ptr<const OSNotification>& notification() const { return notification_; }
    const std::shared_ptr<const OSNotificationAction>& action() const { return action_; }

private:
    std::shared_ptr<const OSNotification> notification_;
    std::shared_ptr<const OSNotificationAction> action_;
};

using OSHandleNotificationReceivedBlock = std::function<void(std::shared_ptr<const OSNotification>)>;
using OSHandleNotificationActionBlock =
    std::function<void(std::shared_ptr<const OSNotificationOpenedResult>)>;
