#include "platform/usernotifications/UNUserNotificationCenter.hpp"

#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/UNCenterState.hpp"
#include "platform/usernotifications/UNClasses.hpp"

#include <algorithm>
#include <unordered_set>

namespace plat {

namespace {

// The device refuses to schedule for an app the user has not let post notifications.
bool mayPost(UNAuthorizationStatus status) {
    return status == UNAuthorizationStatus::authorized || status == UNAuthorizationStatus::provisional;
}

Error notAllowed() {
    return Error(
        UNErrorDomain, UNErrorCodeNotificationsNotAllowed,
        Dictionary{{NSLocalizedDescriptionKey, Value("Notifications are not allowed for this application")}});
}

} // namespace

UNUserNotificationCenter::UNUserNotificationCenter(rt::Class* cls)
    : rt::Object(cls), queue_(DispatchQueue::makeSerial("plat.usernotifications.center")),
      state_(std::make_unique<State>()) {}

UNUserNotificationCenter::~UNUserNotificationCenter() = default;

std::shared_ptr<UNUserNotificationCenter> UNUserNotificationCenter::currentNotificationCenter() {
    static NeverDestroyed<std::shared_ptr<UNUserNotificationCenter>> center(
        rt::make<UNUserNotificationCenter>(runtimeClass()));
    return *center;
}

rt::Class* UNUserNotificationCenter::runtimeClass() {
    return unClasses().center;
}

rt::ObjectPtr UNUserNotificationCenter::delegate() const {
    std::lock_guard lock(state_->mutex);
    return state_->delegate.lock();
}

void UNUserNotificationCenter::setDelegate(const rt::ObjectPtr& delegate) {
    rt::msgSend(*this, "setDelegate:", delegate);
}

void UNUserNotificationCenter::requestAuthorizationWithOptions(uint64_t options,
                                                               UNAuthorizationHandler handler) {
    rt::msgSend(*this, "requestAuthorizationWithOptions:completionHandler:", options, std::move(handler));
}

void UNUserNotificationCenter::getNotificationSettingsWithCompletionHandler(UNSettingsHandler handler) {
    rt::msgSend(*this, "getNotificationSettingsWithCompletionHandler:", std::move(handler));
}

void UNUserNotificationCenter::setNotificationCategories(std::vector<UNNotificationCategory> categories) {
    rt::msgSend(*this, "setNotificationCategories:", std::move(categories));
}

void UNUserNotificationCenter::getNotificationCategoriesWithCompletionHandler(UNCategoriesHandler handler) {
    rt::msgSend(*this, "getNotificationCategoriesWithCompletionHandler:", std::move(handler));
}

void UNUserNotificationCenter::addNotificationRequest(const std::shared_ptr<UNNotificationRequest>& request,
                                                      UNErrorHandler handler) {
    rt::msgSend(*this, "addNotificationRequest:withCompletionHandler:", rt::ObjectPtr(request),
                std::move(handler));
}

void UNUserNotificationCenter::getPendingNotificationRequestsWithCompletionHandler(
    UNRequestsHandler handler) {
    rt::msgSend(*this, "getPendingNotificationRequestsWithCompletionHandler:", std::move(handler));
}

void UNUserNotificationCenter::removePendingNotificationRequestsWithIdentifiers(
    std::vector<std::string> identifiers) {
    rt::msgSend(*this, "removePendingNotificationRequestsWithIdentifiers:", std::move(identifiers));
}

void UNUserNotificationCenter::removeAllPendingNotificationRequests() {
    rt::msgSend(*this, "removeAllPendingNotificationRequests");
}

void UNUserNotificationCenter::getDeliveredNotificationsWithCompletionHandler(
    UNNotificationsHandler handler) {
    rt::msgSend(*this, "getDeliveredNotificationsWithCompletionHandler:", std::move(handler));
}

void UNUserNotificationCenter::removeDeliveredNotificationsWithIdentifiers(
    std::vector<std::string> identifiers) {
    rt::msgSend(*this, "removeDeliveredNotificationsWithIdentifiers:", std::move(identifiers));
}

void UNUserNotificationCenter::removeAllDeliveredNotifications() {
    rt::msgSend(*this, "removeAllDeliveredNotifications");
}

Value UNUserNotificationCenter::valueForKey(std::string_view key) {
    if (key == "delegate") {
        auto d = delegate();
        return d ? Value(d) : Value();
    }
    return rt::Object::valueForKey(key);
}

// ---- bodies ------------------------------------------------------------------------------------------

std::shared_ptr<UNUserNotificationCenter> UNUserNotificationCenter::strong() {
    return std::static_pointer_cast<UNUserNotificationCenter>(shared_from_this());
}

void UNUserNotificationCenter::complete(std::function<void()> fn, double delay) {
    if (delay > 0)
        (void)queue_->asyncAfter(delay, std::move(fn));
    else
        queue_->async(std::move(fn));
}

void UNUserNotificationCenter::setDelegateDirect(rt::ObjectPtr delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = delegate;
}

void UNUserNotificationCenter::requestAuthorizationDirect(uint64_t options, UNAuthorizationHandler handler) {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    s.authorizationRequests.push_back(options);
    // Provisional authorization alone is granted quietly, without asking the user.
    if (options == UNAuthorizationOptionProvisional) {
        if (s.status == UNAuthorizationStatus::notDetermined) {
            s.status = UNAuthorizationStatus::provisional;
            s.grantedOptions = options;
        }
        const bool granted = mayPost(s.status);
        lock.unlock();
        complete([handler = std::move(handler), granted] {
            if (handler)
                handler(granted, std::nullopt);
        });
        return;
    }
    // The user is asked once; later requests get the earlier answer.
    if (s.status == UNAuthorizationStatus::authorized || s.status == UNAuthorizationStatus::denied) {
        const bool granted = s.status == UNAuthorizationStatus::authorized;
        lock.unlock();
        complete([handler = std::move(handler), granted] {
            if (handler)
                handler(granted, std::nullopt);
        });
        return;
    }
    ++s.promptsShown;
    printDevice("notification permission prompt shown (options " + std::to_string(options) + ")");
    auto source = s.promptSource;
    auto answer = s.answer;
    const bool pending = s.pendingMode;
    auto delivery = s.promptDelivery;
    lock.unlock();

    sim::AuthorizationAnswer given;
    if (source)
        given = source(options);
    if (answer)
        given = *answer;
    if (pending) {
        std::lock_guard relock(s.mutex);
        s.waiting.push_back(State::WaitingPrompt{options, std::move(handler)});
        return;
    }
    std::function<void()> deliver = [self = strong(), options, given,
                                     handler = std::move(handler)]() mutable {
        self->answerAuthorization(options, given.granted, given.error, std::move(handler));
    };
    if (delivery) {
        delivery(given.delay,
                 [self = strong(), deliver = std::move(deliver)] { self->queue_->sync(deliver); });
        return;
    }
    complete(std::move(deliver), given.delay);
}

// Runs on the centre's queue: the status changes before the app hears the answer, so a settings read from
// its handler already sees it.
void UNUserNotificationCenter::answerAuthorization(uint64_t options, bool granted, std::optional<Error> error,
                                                   UNAuthorizationHandler handler) {
    {
        std::lock_guard lock(state_->mutex);
        state_->status = granted ? UNAuthorizationStatus::authorized : UNAuthorizationStatus::denied;
        state_->grantedOptions = granted ? options : 0;
    }
    if (handler)
        handler(granted, std::move(error));
}

void UNUserNotificationCenter::getSettingsDirect(UNSettingsHandler handler) {
    double delay = 0;
    {
        std::lock_guard lock(state_->mutex);
        ++state_->settingsRequests;
        delay = state_->settingsDelay;
    }
    complete(
        [self = strong(), handler = std::move(handler)] {
            UNNotificationSettings settings;
            {
                std::lock_guard lock(self->state_->mutex);
                settings = self->state_->settingsOverride
                               ? *self->state_->settingsOverride
                               : UNNotificationSettings::forStatus(self->state_->status,
                                                                   self->state_->grantedOptions);
            }
            if (handler)
                handler(settings);
        },
        delay);
}

void UNUserNotificationCenter::setCategoriesDirect(std::vector<UNNotificationCategory> categories) {
    std::vector<UNNotificationCategory> unique;
    for (auto& c : categories) {
        auto same = std::find_if(unique.begin(), unique.end(), [&](const UNNotificationCategory& u) {
            return u.identifier == c.identifier;
        });
        if (same != unique.end())
            *same = std::move(c);
        else
            unique.push_back(std::move(c));
    }
    std::lock_guard lock(state_->mutex);
    state_->categories = std::move(unique);
}

void UNUserNotificationCenter::getCategoriesDirect(UNCategoriesHandler handler) {
    complete([self = strong(), handler = std::move(handler)] {
        std::vector<UNNotificationCategory> categories;
        {
            std::lock_guard lock(self->state_->mutex);
            categories = self->state_->categories;
        }
        if (handler)
            handler(std::move(categories));
    });
}

void UNUserNotificationCenter::addRequestDirect(std::shared_ptr<UNNotificationRequest> request,
                                                UNErrorHandler handler) {
    if (!request || !request->content())
        throw Exception(NSInvalidArgumentException, "Invalid parameter not satisfying: request != nil");
    std::optional<Error> error;
    {
        std::lock_guard lock(state_->mutex);
        if (!mayPost(state_->status))
            error = notAllowed();
        else
            state_->added.push_back(request);
    }
    if (!error) {
        printDevice("notification request " + request->identifier() + " scheduled");
        scheduleRequest(request);
    }
    complete([handler = std::move(handler), error = std::move(error)] {
        if (handler)
            handler(error);
    });
}

void UNUserNotificationCenter::scheduleRequest(const std::shared_ptr<UNNotificationRequest>& request) {
    auto* interval = dynamic_cast<UNTimeIntervalNotificationTrigger*>(request->trigger().get());
    const double delay = interval ? interval->timeInterval() : 0;
    std::lock_guard lock(state_->mutex);
    auto& list = state_->scheduled;
    // A request with the identifier of a pending one replaces it.
    for (auto it = list.begin(); it != list.end();) {
        if (it->request->identifier() == request->identifier()) {
            it->timer.cancel();
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    const uint64_t generation = state_->nextGeneration++;
    const std::string id = request->identifier();
    State::Scheduled entry{request, {}, Clock::uptime() + delay, generation};
    if (delay > 0)
        entry.timer =
            queue_->asyncAfter(delay, [self = strong(), id, generation] { self->fire(id, generation); });
    else
        queue_->async([self = strong(), id, generation] { self->fire(id, generation); });
    list.push_back(std::move(entry));
}

// Runs on the centre's queue. The generation tells a firing that is still wanted from one whose request was
// removed or replaced meanwhile.
void UNUserNotificationCenter::fire(const std::string& identifier, uint64_t generation) {
    std::shared_ptr<UNNotificationRequest> request;
    {
        std::lock_guard lock(state_->mutex);
        auto& list = state_->scheduled;
        auto it = std::find_if(list.begin(), list.end(), [&](const State::Scheduled& e) {
            return e.generation == generation && e.request->identifier() == identifier;
        });
        if (it == list.end())
            return;
        request = it->request;
        auto* interval = dynamic_cast<UNTimeIntervalNotificationTrigger*>(request->trigger().get());
        if (interval && interval->repeats()) {
            const uint64_t next = state_->nextGeneration++;
            it->generation = next;
            it->deadline = Clock::uptime() + interval->timeInterval();
            it->timer = queue_->asyncAfter(interval->timeInterval(), [self = strong(), identifier, next] {
                self->fire(identifier, next);
            });
        } else {
            list.erase(it);
        }
    }
    auto notification = UNNotification::make(Date::now(), std::move(request));
    // The app hears of it on the main queue: in front, its delegate decides; otherwise it waits in the list.
    DispatchQueue::main()->async([notification] {
        auto app = UIApplication::sharedApplication();
        if (app && app->applicationState() == UIApplicationState::active)
            sim::Notifications::presentInForeground(notification);
        else
            sim::Notifications::deliverToList(notification);
    });
}

void UNUserNotificationCenter::getPendingDirect(UNRequestsHandler handler) {
    complete([self = strong(), handler = std::move(handler)] {
        std::vector<std::shared_ptr<UNNotificationRequest>> list;
        {
            std::lock_guard lock(self->state_->mutex);
            for (const auto& e : self->state_->scheduled)
                list.push_back(e.request);
        }
        if (handler)
            handler(std::move(list));
    });
}

void UNUserNotificationCenter::removePendingDirect(const std::vector<std::string>* identifiers) {
    std::unordered_set<std::string> ids;
    if (identifiers)
        ids.insert(identifiers->begin(), identifiers->end());
    std::lock_guard lock(state_->mutex);
    auto& list = state_->scheduled;
    for (auto it = list.begin(); it != list.end();) {
        if (!identifiers || ids.count(it->request->identifier())) {
            it->timer.cancel();
            it = list.erase(it);
        } else {
            ++it;
        }
    }
}

void UNUserNotificationCenter::getDeliveredDirect(UNNotificationsHandler handler) {
    complete([self = strong(), handler = std::move(handler)] {
        std::vector<std::shared_ptr<UNNotification>> list;
        {
            std::lock_guard lock(self->state_->mutex);
            list = self->state_->delivered;
        }
        if (handler)
            handler(std::move(list));
    });
}

void UNUserNotificationCenter::removeDeliveredDirect(const std::vector<std::string>* identifiers) {
    std::unordered_set<std::string> ids;
    if (identifiers)
        ids.insert(identifiers->begin(), identifiers->end());
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->delivered, [&](const std::shared_ptr<UNNotification>& n) {
        return !identifiers || ids.count(n->identifier());
    });
}

} // namespace plat
