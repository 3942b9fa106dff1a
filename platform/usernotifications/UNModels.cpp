// The notification models: construction rules and the keys they answer by key-value coding.

#include "platform/foundation/Error.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/usernotifications/UNClasses.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationSettings.hpp"

#include <cmath>

namespace plat {

namespace {

Value objectOrNull(const std::shared_ptr<rt::Object>& object) {
    return object ? Value(object) : Value();
}

} // namespace

// ---- content -----------------------------------------------------------------------------------------

UNNotificationContent::UNNotificationContent(rt::Class* cls, UNNotificationContentFields fields)
    : rt::Object(cls), fields_(std::move(fields)) {}

std::shared_ptr<UNNotificationContent> UNNotificationContent::make(UNNotificationContentFields fields) {
    return rt::make<UNNotificationContent>(unClasses().content, std::move(fields));
}

std::shared_ptr<UNMutableNotificationContent> UNMutableNotificationContent::make() {
    return rt::make<UNMutableNotificationContent>(unClasses().mutableContent);
}

std::shared_ptr<UNMutableNotificationContent> UNNotificationContent::mutableCopy() const {
    return rt::make<UNMutableNotificationContent>(unClasses().mutableContent, fields_);
}

Value UNNotificationContent::valueForKey(std::string_view key) {
    if (key == "title")
        return Value(fields_.title);
    if (key == "subtitle")
        return Value(fields_.subtitle);
    if (key == "body")
        return Value(fields_.body);
    if (key == "userInfo")
        return fields_.userInfo;
    if (key == "badge")
        return fields_.badge ? Value(*fields_.badge) : Value();
    if (key == "categoryIdentifier")
        return Value(fields_.categoryIdentifier);
    if (key == "threadIdentifier")
        return Value(fields_.threadIdentifier);
    return rt::Object::valueForKey(key);
}

// ---- triggers ----------------------------------------------------------------------------------------

Value UNNotificationTrigger::valueForKey(std::string_view key) {
    if (key == "repeats")
        return Value(repeats_);
    return rt::Object::valueForKey(key);
}

std::shared_ptr<UNPushNotificationTrigger> UNPushNotificationTrigger::make(bool contentAvailable) {
    return rt::make<UNPushNotificationTrigger>(unClasses().pushTrigger, contentAvailable);
}

Value UNPushNotificationTrigger::valueForKey(std::string_view key) {
    if (key == "_isContentAvailable" || key == "contentAvailable")
        return Value(contentAvailable_);
    return UNNotificationTrigger::valueForKey(key);
}

std::shared_ptr<UNTimeIntervalNotificationTrigger>
UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(double interval, bool repeats) {
    if (!std::isfinite(interval) || interval <= 0)
        throw Exception(NSInternalInconsistencyException, "time interval must be greater than 0");
    if (repeats && interval < 60)
        throw Exception(NSInternalInconsistencyException, "time interval must be at least 60 if repeating");
    return rt::make<UNTimeIntervalNotificationTrigger>(unClasses().timeIntervalTrigger, interval, repeats);
}

Value UNTimeIntervalNotificationTrigger::valueForKey(std::string_view key) {
    if (key == "timeInterval")
        return Value(interval_);
    return UNNotificationTrigger::valueForKey(key);
}

// ---- request, notification, response -----------------------------------------------------------------

std::shared_ptr<UNNotificationRequest>
UNNotificationRequest::requestWithIdentifier(std::string identifier, const UNNotificationContent* content,
                                             std::shared_ptr<UNNotificationTrigger> trigger) {
    if (identifier.empty())
        throw Exception(NSInvalidArgumentException, "Invalid parameter not satisfying: identifier != nil");
    if (!content)
        throw Exception(NSInvalidArgumentException, "Invalid parameter not satisfying: content != nil");
    return rt::make<UNNotificationRequest>(unClasses().request, std::move(identifier),
                                           UNNotificationContent::make(content->fields()),
                                           std::move(trigger));
}

Value UNNotificationRequest::valueForKey(std::string_view key) {
    if (key == "identifier")
        return Value(identifier_);
    if (key == "content")
        return objectOrNull(content_);
    if (key == "trigger")
        return objectOrNull(trigger_);
    return rt::Object::valueForKey(key);
}

std::shared_ptr<UNNotification> UNNotification::make(Date date,
                                                     std::shared_ptr<UNNotificationRequest> request) {
    return rt::make<UNNotification>(unClasses().notification, date, std::move(request));
}

std::string UNNotification::identifier() const {
    return request_ ? request_->identifier() : std::string();
}

Value UNNotification::userInfo() const {
    return request_ && request_->content() ? request_->content()->userInfo() : Value();
}

Value UNNotification::valueForKey(std::string_view key) {
    if (key == "date")
        return Value(date_);
    if (key == "request")
        return objectOrNull(request_);
    return rt::Object::valueForKey(key);
}

std::shared_ptr<UNNotificationResponse>
UNNotificationResponse::make(std::shared_ptr<UNNotification> notification, std::string actionIdentifier) {
    return rt::make<UNNotificationResponse>(unClasses().response, std::move(notification),
                                            std::move(actionIdentifier));
}

Value UNNotificationResponse::valueForKey(std::string_view key) {
    if (key == "notification")
        return objectOrNull(notification_);
    if (key == "actionIdentifier")
        return Value(actionIdentifier_);
    return rt::Object::valueForKey(key);
}

std::shared_ptr<UNTextInputNotificationResponse>
UNTextInputNotificationResponse::make(std::shared_ptr<UNNotification> notification,
                                      std::string actionIdentifier, std::string userText) {
    return rt::make<UNTextInputNotificationResponse>(unClasses().textInputResponse, std::move(notification),
                                                     std::move(actionIdentifier), std::move(userText));
}

Value UNTextInputNotificationResponse::valueForKey(std::string_view key) {
    if (key == "userText")
        return Value(userText_);
    return UNNotificationResponse::valueForKey(key);
}

// ---- settings ----------------------------------------------------------------------------------------

UNNotificationSettings UNNotificationSettings::forStatus(UNAuthorizationStatus status,
                                                         uint64_t grantedOptions) {
    using S = UNNotificationSetting;
    UNNotificationSettings s;
    s.authorizationStatus = status;
    s.providesAppNotificationSettings =
        (grantedOptions & UNAuthorizationOptionProvidesAppNotificationSettings) != 0;
    auto item = [&](uint64_t option) { return (grantedOptions & option) ? S::enabled : S::disabled; };
    switch (status) {
    case UNAuthorizationStatus::notDetermined:
        break;
    case UNAuthorizationStatus::denied:
        s.soundSetting = s.badgeSetting = s.alertSetting = S::disabled;
        s.notificationCenterSetting = s.lockScreenSetting = S::disabled;
        break;
    case UNAuthorizationStatus::authorized:
        s.badgeSetting = item(UNAuthorizationOptionBadge);
        s.soundSetting = item(UNAuthorizationOptionSound);
        s.alertSetting = item(UNAuthorizationOptionAlert);
        s.notificationCenterSetting = s.lockScreenSetting = item(UNAuthorizationOptionAlert);
        break;
    case UNAuthorizationStatus::provisional:
        s.soundSetting = s.badgeSetting = s.alertSetting = S::disabled;
        s.lockScreenSetting = S::disabled;
        s.notificationCenterSetting = S::enabled;
        break;
    }
    return s;
}

} // namespace plat
