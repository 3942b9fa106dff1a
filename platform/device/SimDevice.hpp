#pragma once
// The driver of the simulated device: what the push service, the user at a permission prompt, the installer
// and the environment (power, rotation, memory, region) do to the app. Remote-notification delivery and
// taps on notifications come with the notification centre stand-in.

#include "platform/device/PromptAnswers.hpp"
#include "platform/device/PushRegistrar.hpp"
#include "platform/foundation/Error.hpp"
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
