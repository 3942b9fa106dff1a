#include "platform/usernotifications/SimNotifications.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/MainThread.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/usernotifications/UNCenterState.hpp"
#include "platform/usernotifications/UNClasses.hpp"

#include <algorithm>

namespace plat::sim {

namespace {

using State = UNUserNotificationCenter::State;

std::shared_ptr<UNUserNotificationCenter> center() {
    return UNUserNotificationCenter::currentNotificationCenter();
}

std::string textOf(const Value* v) {
    return v && v->isString() ? v->asString() : std::string();
}

UNNotificationContentFields contentOf(const Value& userInfo) {
    UNNotificationContentFields f;
    f.userInfo = userInfo.isDictionary() ? userInfo : Value::emptyDictionary();
    const Value* aps = userInfo.isDictionary() ? userInfo.asDictionary().find("aps") : nullptr;
    if (!aps || !aps->isDictionary())
        return f;
    const Dictionary& d = aps->asDictionary();
    if (const Value* alert = d.find("alert")) {
        if (alert->isString()) {
            f.body = alert->asString();
        } else if (alert->isDictionary()) {
            f.title = textOf(alert->asDictionary().find("title"));
            f.subtitle = textOf(alert->asDictionary().find("subtitle"));
            f.body = textOf(alert->asDictionary().find("body"));
        }
    }
    if (const Value* badge = d.find("badge"); badge && badge->isNumber())
        f.badge = badge->integerValue();
    if (const Value* sound = d.find("sound"); sound && sound->isString() && !sound->asString().empty())
        f.sound = sound->asString() == "default" ? UNNotificationSound::defaultSound()
                                                 : UNNotificationSound::soundNamed(sound->asString());
    f.categoryIdentifier = textOf(d.find("category"));
    f.threadIdentifier = textOf(d.find("thread-id"));
    return f;
}

bool contentAvailable(const Value& userInfo) {
    const Value* aps = userInfo.isDictionary() ? userInfo.asDictionary().find("aps") : nullptr;
    const Value* flag = aps && aps->isDictionary() ? aps->asDictionary().find("content-available") : nullptr;
    return flag && flag->isNumber() && flag->integerValue() == 1;
}

// The icon takes a notification's badge when the user allows badges for the app.
void showBadgeOf(State& s, const UNNotification& notification) {
    const auto badge = notification.request() && notification.request()->content()
                           ? notification.request()->content()->badge()
                           : std::nullopt;
    if (!badge)
        return;
    UNNotificationSettings settings;
    {
        std::lock_guard lock(s.mutex);
        settings = s.settingsOverride ? *s.settingsOverride : UNNotificationSettings::forStatus(s.status, s.grantedOptions);
    }
    if (settings.badgeSetting == UNNotificationSetting::enabled)
        App::showNotificationBadge(*badge);
}

void addDelivered(State& s, const std::shared_ptr<UNNotification>& notification) {
    printDevice("notification " + notification->identifier() + " in the notification list");
    std::lock_guard lock(s.mutex);
    std::erase_if(s.delivered, [&](const auto& n) { return n->identifier() == notification->identifier(); });
    s.delivered.push_back(notification);
}

} // namespace

// The prompt and its answers.

void Notifications::setPromptSource(std::function<AuthorizationAnswer(uint64_t)> source) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->promptSource = std::move(source);
}

void Notifications::setPromptDelivery(PromptDelivery delivery) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->promptDelivery = std::move(delivery);
}

void Notifications::answerAuthorization(bool granted, std::optional<Error> error, double delay) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->answer = AuthorizationAnswer{granted, std::move(error), delay};
}

void Notifications::setPendingMode(bool on) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->pendingMode = on;
}

bool Notifications::answerPending(bool granted, std::optional<Error> error) {
    auto c = center();
    State::WaitingPrompt prompt;
    {
        std::lock_guard lock(c->state_->mutex);
        if (c->state_->waiting.empty())
            return false;
        prompt = std::move(c->state_->waiting.front());
        c->state_->waiting.pop_front();
    }
    c->complete([c, prompt = std::move(prompt), granted, error = std::move(error)]() mutable {
        c->answerAuthorization(prompt.options, granted, std::move(error), std::move(prompt.handler));
    });
    return true;
}

std::size_t Notifications::waitingPromptCount() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->waiting.size();
}

std::vector<uint64_t> Notifications::authorizationRequests() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->authorizationRequests;
}

std::size_t Notifications::promptsShown() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->promptsShown;
}

// Status and settings.

UNAuthorizationStatus Notifications::authorizationStatus() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->status;
}

void Notifications::setAuthorizationStatus(UNAuthorizationStatus status, uint64_t grantedOptions) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->status = status;
    c->state_->grantedOptions = grantedOptions;
}

void Notifications::setSettings(std::optional<UNNotificationSettings> settings) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    if (settings)
        c->state_->status = settings->authorizationStatus;
    c->state_->settingsOverride = std::move(settings);
}

void Notifications::setSettingsDelay(double seconds) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    c->state_->settingsDelay = seconds;
}

std::size_t Notifications::settingsRequestCount() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->settingsRequests;
}

// Delivery and taps.

std::shared_ptr<UNNotification> Notifications::makeRemoteNotification(const Value& userInfo,
                                                                      std::string identifier) {
    if (identifier.empty())
        identifier = UUID::random().uuidString();
    auto content = UNNotificationContent::make(contentOf(userInfo));
    auto request =
        rt::make<UNNotificationRequest>(unClasses().request, std::move(identifier), std::move(content),
                                        UNPushNotificationTrigger::make(contentAvailable(userInfo)));
    return UNNotification::make(Date::now(), std::move(request));
}

void Notifications::presentInForeground(const std::shared_ptr<UNNotification>& notification) {
    requireMainThread("presenting a notification");
    if (!notification)
        return;
    auto c = center();
    State& s = *c->state_;
    const std::string id = notification->identifier();
    rt::ObjectPtr delegate = c->delegate();
    if (!delegate || !rt::respondsTo(delegate, kWillPresentNotificationSelector)) {
        {
            std::lock_guard lock(s.mutex);
            s.presentations.push_back(PresentationRecord{id, 0, false});
        }
        printDevice("notification " + id + " not presented: no delegate method");
        return;
    }
    UNPresentationHandler chosen = [c, notification, id](uint64_t options) {
        State& st = *c->state_;
        {
            std::lock_guard lock(st.mutex);
            st.presentations.push_back(PresentationRecord{id, options, true});
        }
        printDevice("notification " + id + " presented in front (options " + std::to_string(options) + ")");
        // Shown as a banner, it stays in the list like any delivered notification.
        if (options & UNNotificationPresentationOptionAlert)
            addDelivered(st, notification);
        if (options & UNNotificationPresentationOptionBadge)
            showBadgeOf(st, *notification);
    };
    rt::msgSend(delegate, kWillPresentNotificationSelector, rt::ObjectPtr(c), rt::ObjectPtr(notification),
                CompletionHandlers::wrap(kWillPresentNotificationSelector, std::move(chosen)));
}

void Notifications::deliverToList(const std::shared_ptr<UNNotification>& notification) {
    if (!notification)
        return;
    addDelivered(*center()->state_, notification);
    showBadgeOf(*center()->state_, *notification);
}

bool Notifications::respond(const std::shared_ptr<UNNotification>& notification, std::string actionIdentifier,
                            std::optional<std::string> userText) {
    requireMainThread("responding to a notification");
    if (!notification)
        return false;
    auto c = center();
    State& s = *c->state_;
    const std::string id = notification->identifier();
    std::size_t index = 0;
    rt::ObjectPtr delegate = c->delegate();
    const bool responds = delegate && rt::respondsTo(delegate, kDidReceiveNotificationResponseSelector);
    {
        std::lock_guard lock(s.mutex);
        std::erase_if(s.delivered, [&](const auto& n) { return n->identifier() == id; });
        index = s.responses.size();
        s.responses.push_back(ResponseRecord{id, actionIdentifier, userText, responds, false});
    }
    printDevice("notification " + id + " tapped (" + actionIdentifier + ")");
    if (!responds)
        return false;
    rt::ObjectPtr response =
        userText
            ? rt::ObjectPtr(UNTextInputNotificationResponse::make(notification, actionIdentifier, *userText))
            : rt::ObjectPtr(UNNotificationResponse::make(notification, actionIdentifier));
    std::function<void()> done = [c, index] {
        std::lock_guard lock(c->state_->mutex);
        c->state_->responses[index].completed = true;
    };
    rt::msgSend(delegate, kDidReceiveNotificationResponseSelector, rt::ObjectPtr(c), response,
                CompletionHandlers::wrap(kDidReceiveNotificationResponseSelector, std::move(done)));
    return true;
}

bool Notifications::respond(const std::string& identifier, std::string actionIdentifier,
                            std::optional<std::string> userText) {
    auto notification = deliveredNotification(identifier);
    return notification && respond(notification, std::move(actionIdentifier), std::move(userText));
}

std::shared_ptr<UNNotification> Notifications::deliveredNotification(const std::string& identifier) {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    for (const auto& n : c->state_->delivered) {
        if (n->identifier() == identifier)
            return n;
    }
    return nullptr;
}

std::size_t Notifications::fireDueRequests() {
    auto c = center();
    std::vector<std::pair<std::string, uint64_t>> due;
    {
        std::lock_guard lock(c->state_->mutex);
        const double now = Clock::uptime();
        for (auto& e : c->state_->scheduled) {
            if (e.deadline <= now) {
                e.timer.cancel();
                due.emplace_back(e.request->identifier(), e.generation);
            }
        }
    }
    for (auto& [id, generation] : due)
        c->queue_->async([c, id = id, generation = generation] { c->fire(id, generation); });
    return due.size();
}

// Records.

std::vector<PresentationRecord> Notifications::presentations() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->presentations;
}

std::vector<ResponseRecord> Notifications::responses() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->responses;
}

std::vector<std::shared_ptr<UNNotificationRequest>> Notifications::addedRequests() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->added;
}

std::vector<std::shared_ptr<UNNotificationRequest>> Notifications::pendingRequests() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    std::vector<std::shared_ptr<UNNotificationRequest>> list;
    for (const auto& e : c->state_->scheduled)
        list.push_back(e.request);
    return list;
}

std::vector<std::shared_ptr<UNNotification>> Notifications::deliveredNotifications() {
    auto c = center();
    std::lock_guard lock(c->state_->mutex);
    return c->state_->delivered;
}

} // namespace plat::sim
