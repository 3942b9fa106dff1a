#pragma once
// The driver of the simulated device: what the push service, the user at a permission prompt, the installer
// and the environment (power, rotation, memory, region) do to the app. Remote-notification delivery and
// taps on notifications come with the notification centre stand-in.

#include "platform/device/PromptAnswers.hpp"
#include "platform/device/PushRegistrar.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {
struct AdvertisingProvider;
}

namespace plat::sim {

class Device {
public:
    // Push-service registrar (answers reach the app delegate on the main queue).
    static std::shared_ptr<PushRegistrar> registrar();
    // Every request answered at once with `tokenBytes`, or with the device's stable token.
    static void autoRegister(std::optional<Data> tokenBytes = std::nullopt);
    // Requests wait until deliverToken / failRegistration.
    static void holdRegistrations();
    static void deliverToken(Data bytes);
    static void failRegistration(std::string domain, int64_t code, std::string description);
    static void failRegistration(RegistrationFailure preset);
    static Result<Data> deviceToken();

    // Permission prompts.
    static PromptAnswers answers();
    static void setAnswers(PromptAnswers answers);
    static void answerNotifications(bool granted, std::optional<Error> error = std::nullopt,
                                    double delay = 0);
    static void answerLegacyTypes(uint64_t types);
    static void answerLocation(std::optional<int64_t> status);
    // The stand-ins call this when they show a prompt.
    static void recordPrompt(PromptKind kind, uint64_t options);
    static std::vector<PromptRecord> prompts();

    // Remote notifications (main thread), routed as the device does for its OS version and the app's state:
    // OS 10 and later: in front, the centre's will-present (plus the app's fetch method for content-available
    // 1); otherwise the fetch method for content-available 1, and the notification joins the delivered list
    // unless it is a silent one. Before OS 10: in front, the app's remote-notification method; otherwise the
    // fetch method for content-available 1, else the device keeps it for a tap. The fetch result is recorded
    // (sim::App::recorder()). Returns the notification's identifier.
    static std::string receivePush(const Value& userInfo);
    // The user taps a notification the device holds (an empty action is the default one; userText answers a
    // text action). OS 10 and later: the centre's response. Before OS 10: the app delegate, with the app
    // inactive (brought back from the background first), or, when the app is not running, the launch
    // options of its next launch. False when no notification has that identifier or nothing received it.
    static bool tapNotification(const std::string& identifier, const std::string& action = {},
                                std::optional<std::string> userText = std::nullopt);
    // A notification that arrives and is tapped in one go (the app's `tap` command); the identifier, or
    // none when nothing received the tap.
    static std::optional<std::string> tapPush(const Value& userInfo, const std::string& action = {},
                                              std::optional<std::string> userText = std::nullopt);

    // Installs; they act on the files and take effect at the next launch, so call them between launches.
    // A first install on a device that never had the app: app home and device folder (keychain, app
    // groups, vendor identifier, registrar state) are removed.
    static Result<void> installFresh();
    // Deleting and installing the app again: the app home and the vendor identifier go, the keychain and
    // the rest of the device folder stay.
    static Result<void> reinstall();
    // The OS is updated (or set back): version checks and class presence follow at once.
    static Result<void> setOsVersion(std::string_view text);

    // Environment.
    // Posts NSProcessInfoPowerStateDidChangeNotification when the mode changes.
    static void setLowPower(bool enabled);
    static void rotate(UIInterfaceOrientation orientation);
    static void memoryWarning();
    static void setLanguages(std::vector<std::string> languages);
    // False (nothing changed) for an unknown zone name.
    static bool setTimeZone(std::string_view name);
    static void setDebuggerAttached(std::optional<bool> attached);

    // The advertising-identifier manager ("ASIdentifierManager") becomes present and answers
    // `sharedManager` (class method, rt::ObjectPtr), `isAdvertisingTrackingEnabled` (bool) and
    // `advertisingIdentifier` (plat::UUID); remove makes the class absent again.
    static void installAdvertisingProvider(const AdvertisingProvider& provider);
    static void removeAdvertisingProvider();
};

} // namespace plat::sim

namespace plat {
inline constexpr const char* NSProcessInfoPowerStateDidChangeNotification =
    "NSProcessInfoPowerStateDidChangeNotification";
}
