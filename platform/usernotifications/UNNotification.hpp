#pragma once
// A notification and how it came to be: the request (identifier, content, trigger), the notification as
// delivered (request and date), and the user's response to it (action, and typed text for a text action).

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Date.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/runtime/Object.hpp"
#include "platform/usernotifications/UNNotificationContent.hpp"
#include "platform/usernotifications/UNNotificationTrigger.hpp"

namespace plat {

class UNNotificationRequest final : public rt::Object {
public:
    // Made empty by the runtime's alloc/init; requestWithIdentifier makes a real one.
    explicit UNNotificationRequest(rt::Class* cls, std::string identifier = {},
                                   std::shared_ptr<UNNotificationContent> content = {},
                                   std::shared_ptr<UNNotificationTrigger> trigger = {})
        : rt::Object(cls), identifier_(std::move(identifier)), content_(std::move(content)),
          trigger_(std::move(trigger)) {}
    // Keeps an immutable copy of the content (a mutable one may change after the call without effect). A null
    // trigger delivers at once. An empty identifier or a null content raises NSInvalidArgumentException.
    static std::shared_ptr<UNNotificationRequest>
    requestWithIdentifier(std::string identifier, const UNNotificationContent* content,
                          std::shared_ptr<UNNotificationTrigger> trigger);

    const std::string& identifier() const { return identifier_; }
    const std::shared_ptr<UNNotificationContent>& content() const { return content_; }
    const std::shared_ptr<UNNotificationTrigger>& trigger() const { return trigger_; }
    // "identifier", "content", "trigger" (null when none).
    Value valueForKey(std::string_view key) override;

private:
    std::string identifier_;
    std::shared_ptr<UNNotificationContent> content_;
    std::shared_ptr<UNNotificationTrigger> trigger_;
};

class UNNotification final : public rt::Object {
public:
    explicit UNNotification(rt::Class* cls, Date date = {},
                            std::shared_ptr<UNNotificationRequest> request = {})
        : rt::Object(cls), date_(date), request_(std::move(request)) {}
    static std::shared_ptr<UNNotification> make(Date date, std::shared_ptr<UNNotificationRequest> request);

    Date date() const { return date_; }
    const std::shared_ptr<UNNotificationRequest>& request() const { return request_; }
    // Empty for a notification made without a request.
    std::string identifier() const;
    Value userInfo() const;
    // "date", "request".
    Value valueForKey(std::string_view key) override;

private:
    Date date_;
    std::shared_ptr<UNNotificationRequest> request_;
};

class UNNotificationResponse : public rt::Object {
public:
    explicit UNNotificationResponse(rt::Class* cls, std::shared_ptr<UNNotification> notification = {},
                                    std::string actionIdentifier = {})
        : rt::Object(cls), notification_(std::move(notification)),
          actionIdentifier_(std::move(actionIdentifier)) {}
    static std::shared_ptr<UNNotificationResponse> make(std::shared_ptr<UNNotification> notification,
                                                        std::string actionIdentifier);

    const std::shared_ptr<UNNotification>& notification() const { return notification_; }
    const std::string& actionIdentifier() const { return actionIdentifier_; }
    // "notification", "actionIdentifier".
    Value valueForKey(std::string_view key) override;

private:
    std::shared_ptr<UNNotification> notification_;
    std::string actionIdentifier_;
};

// The answer to a text-input action: the response plus what the user typed.
class UNTextInputNotificationResponse final : public UNNotificationResponse {
public:
    explicit UNTextInputNotificationResponse(rt::Class* cls,
                                             std::shared_ptr<UNNotification> notification = {},
                                             std::string actionIdentifier = {}, std::string userText = {})
        : UNNotificationResponse(cls, std::move(notification), std::move(actionIdentifier)),
          userText_(std::move(userText)) {}
    static std::shared_ptr<UNTextInputNotificationResponse>
    make(std::shared_ptr<UNNotification> notification, std::string actionIdentifier, std::string userText);

    const std::string& userText() const { return userText_; }
    // "userText", besides the response's keys.
    Value valueForKey(std::string_view key) override;

private:
    std::string userText_;
};

} // namespace plat
