#pragma once
// The driver of the notification centre (what the user and the OS do: answer the permission prompt, change
// settings, see a notification arrive, tap it) and what the centre recorded. Driver calls that reach the
// app's delegate run on the main queue's thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.hpp"
#include "platform/usernotifications/UNConstants.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/usernotifications/UNNotificationSettings.hpp"

namespace plat::sim {

// The user's answer to the notification permission prompt.
struct AuthorizationAnswer {
    bool granted = true;
    std::optional<Error> error;
    double delay = 0; // seconds the user takes
};

// Decides when the user's answer reaches the centre: called with the answer's delay and a function that,
// called on any thread, runs the answer on the centre's queue and returns once it ran there.
using PromptDelivery = std::function<void(double delay, std::function<void()> answerNow)>;

// A notification that arrived while the app was in front: the options its delegate chose (0 when the app has
// no delegate or the delegate no will-present method, in which case nothing is shown).
struct PresentationRecord {
    std::string identifier;
    uint64_t options = 0;
    bool delegateCalled = false;
};

// A tap (or another action) on a notification.
struct ResponseRecord {
    std::string identifier;
    std::string actionIdentifier;
    std::optional<std::string> userText;
    bool delegateCalled = false;
    bool completed = false; // the delegate called its handler
};

class Notifications {
public:
    // ---- the permission prompt ----
    // Who shows the prompt: called with the options when one is shown, it answers for the user. The device
    // installs one at boot that records the prompt and answers from the device's prompt answers.
    static void setPromptSource(std::function<AuthorizationAnswer(uint64_t options)> source);
    // Who delivers the answer; none: the centre's queue, after the answer's delay.
    static void setPromptDelivery(PromptDelivery delivery);
    // From now on this answer wins over the prompt source's (which still sees each prompt).
    static void answerAuthorization(bool granted, std::optional<Error> error = std::nullopt,
                                    double delay = 0);
    // While on, prompts wait for answerPending.
    static void setPendingMode(bool on);
    // Answers the oldest waiting prompt; false when none waits.
    static bool answerPending(bool granted, std::optional<Error> error = std::nullopt);
    static std::size_t waitingPromptCount();
    // The options of every authorization request that reached the centre, in order.
    static std::vector<uint64_t> authorizationRequests();
    static std::size_t promptsShown();

    // ---- status and settings ----
    static UNAuthorizationStatus authorizationStatus();
    // As if the user had answered earlier (e.g. in a previous launch).
    static void setAuthorizationStatus(UNAuthorizationStatus status, uint64_t grantedOptions = 7);
    // The settings reported from now on (their status becomes the centre's); none: derived from the status.
    static void setSettings(std::optional<UNNotificationSettings> settings);
    static void setSettingsDelay(double seconds);
    // Settings reads that reached the centre.
    static std::size_t settingsRequestCount();

    // ---- delivery and taps (main thread) ----
    // A notification as the device makes it for a push payload; the content comes from the "aps" dictionary
    // (alert text or title/subtitle/body, badge, sound, category, thread-id; content-available marks the
    // trigger). An empty identifier gets a fresh UUID.
    static std::shared_ptr<UNNotification> makeRemoteNotification(const Value& userInfo,
                                                                  std::string identifier = {});
    // The notification arrives while the app is in front: the delegate's will-present method decides; one
    // shown as an alert joins the delivered list, one shown with the badge option puts its badge on the icon.
    static void presentInForeground(const std::shared_ptr<UNNotification>& notification);
    // The notification goes to the delivered list without the app being told (app in the background); its
    // badge, when it has one and badges are allowed, goes on the app icon.
    static void deliverToList(const std::shared_ptr<UNNotification>& notification);
    // The user acts on a delivered notification (it leaves the list): the delegate's did-receive method with
    // a response, a text-input response when userText is given. False when the delegate has no such method.
    static bool respond(const std::shared_ptr<UNNotification>& notification,
                        std::string actionIdentifier = UNNotificationDefaultActionIdentifier,
                        std::optional<std::string> userText = std::nullopt);
    // The same by identifier of a delivered notification; false when none has it or nothing received it.
    static bool respond(const std::string& identifier,
                        std::string actionIdentifier = UNNotificationDefaultActionIdentifier,
                        std::optional<std::string> userText = std::nullopt);
    static std::shared_ptr<UNNotification> deliveredNotification(const std::string& identifier);

    // Delivers every scheduled request whose time has come, at once (on the centre's queue); for real-time
    // runs, where waiting for the interval is not wanted. Returns how many.
    static std::size_t fireDueRequests();

    // ---- records ----
    static std::vector<PresentationRecord> presentations();
    static std::vector<ResponseRecord> responses();
    static std::vector<std::shared_ptr<UNNotificationRequest>> addedRequests();
    static std::vector<std::shared_ptr<UNNotificationRequest>> pendingRequests();
    static std::vector<std::shared_ptr<UNNotification>> deliveredNotifications();
};

} // namespace plat::sim
