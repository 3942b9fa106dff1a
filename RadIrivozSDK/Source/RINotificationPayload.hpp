#pragma once
// One remote notification's user info read into named fields. The push service sends its own data either
// under "custom" or under "os_data"; every consumer of a notification reads it through this object.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class RINotificationPayload {
public:
    // None for a missing user info.
    static std::shared_ptr<const RINotificationPayload>
    parseWithApns(const std::optional<plat::Dictionary>& userInfo);

    explicit RINotificationPayload(const plat::Dictionary& userInfo);

    const std::optional<std::string>& notificationID() const { return notificationID_; }
    const std::optional<std::string>& templateID() const { return templateID_; }
    const std::optional<std::string>& templateName() const { return templateName_; }
    bool contentAvailable() const { return contentAvailable_; }
    bool mutableContent() const { return mutableContent_; }
    const std::optional<std::string>& category() const { return category_; }
    uint64_t badge() const { return badge_; }
    int64_t badgeIncrement() const { return badgeIncrement_; }
    const std::optional<std::string>& sound() const { return sound_; }
    const std::optional<std::string>& title() const { return title_; }
    const std::optional<std::string>& subtitle() const { return subtitle_; }
    const std::optional<std::string>& body() const { return body_; }
    const std::optional<std::string>& launchURL() const { return launchURL_; }
    // The sender's own key-value data.
    const std::optional<plat::Dictionary>& additionalData() const { return additionalData_; }
    const std::optional<plat::Dictionary>& attachments() const { return attachments_; }
    // Each {"text", "id"}; none in the os_data layout when no button source exists.
    const std::optional<plat::Array>& actionButtons() const { return actionButtons_; }
    const plat::Dictionary& rawPayload() const { return rawPayload_; }
    const std::optional<std::string>& threadId() const { return threadId_; }

private:
    void parseOriginalPayload();
    void parseOSDataPayload();
    void parseCommonRadIrivozFields(const plat::Value& data);
    void parseApnsFields();
    void parseAlertField(const plat::Value& alert);
    void parseRemoteSlient(const plat::Value& content);
    void parseActionButtons(const plat::Value& list);
    void parseOtherApnsFields();

    std::optional<std::string> notificationID_;
    std::optional<std::string> templateID_;
    std::optional<std::string> templateName_;
    bool contentAvailable_ = false;
    bool mutableContent_ = false;
    std::optional<std::string> category_;
    uint64_t badge_ = 0;
    int64_t badgeIncrement_ = 0;
    std::optional<std::string> sound_;
    std::optional<std::string> title_;
    std::optional<std::string> subtitle_;
    std::optional<std::string> body_;
    std::optional<std::string> launchURL_;
    std::optional<plat::Dictionary> additionalData_;
    std::optional<plat::Dictionary> attachments_;
    std::optional<plat::Array> actionButtons_;
    plat::Dictionary rawPayload_;
    std::optional<std::string> threadId_;
};
