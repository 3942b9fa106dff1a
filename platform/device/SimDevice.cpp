#include "platform/device/SimDevice.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/device/DeviceState.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "platform/uikit/SimApp.hpp"

namespace plat::sim {

namespace {

using detail::deviceState;

constexpr const char* kAdvertisingClass = "ASIdentifierManager";

// Made when first asked for, so a driver call before boot still has a registrar to configure.
std::shared_ptr<PushRegistrar> currentRegistrar() {
    auto& s = deviceState();
    std::lock_guard lock(s.mutex);
    if (!s.registrar)
        s.registrar = std::make_shared<PushRegistrar>();
    return s.registrar;
}

Result<void> removeIfPresent(const std::string& path) {
    if (!FileManager::defaultManager().fileExists(path))
        return {};
    return FileManager::defaultManager().removeItem(path);
}

// The advertising manager's answers; the runtime methods read them at each call.
struct AdvertisingState {
    std::mutex mutex;
    AdvertisingProvider provider;
    rt::ObjectPtr manager;
};

AdvertisingState& advertising() {
    static NeverDestroyed<AdvertisingState> s;
    return *s;
}

} // namespace

std::shared_ptr<PushRegistrar> Device::registrar() {
    return currentRegistrar();
}

void Device::autoRegister(std::optional<Data> tokenBytes) {
    currentRegistrar()->autoRegister(std::move(tokenBytes));
}

void Device::holdRegistrations() {
    currentRegistrar()->hold();
}

void Device::deliverToken(Data bytes) {
    currentRegistrar()->deliverToken(std::move(bytes));
}

void Device::failRegistration(std::string domain, int64_t code, std::string description) {
    currentRegistrar()->failRegistration(
        PushRegistrar::failure(std::move(domain), code, std::move(description)));
}

void Device::failRegistration(RegistrationFailure preset) {
    currentRegistrar()->failRegistration(PushRegistrar::failure(preset));
}

Result<Data> Device::deviceToken() {
    return currentRegistrar()->deviceToken();
}

PromptAnswers Device::answers() {
    std::lock_guard lock(deviceState().mutex);
    return deviceState().answers;
}

void Device::setAnswers(PromptAnswers answers) {
    std::lock_guard lock(deviceState().mutex);
    deviceState().answers = std::move(answers);
}

void Device::answerNotifications(bool granted, std::optional<Error> error, double delay) {
    std::lock_guard lock(deviceState().mutex);
    deviceState().answers.notifications = NotificationPromptAnswer{granted, std::move(error), delay};
}

void Device::answerLegacyTypes(uint64_t types) {
    std::lock_guard lock(deviceState().mutex);
    deviceState().answers.legacyTypes = types;
}

void Device::answerLocation(std::optional<int64_t> status) {
    std::lock_guard lock(deviceState().mutex);
    deviceState().answers.location = status;
}

void Device::recordPrompt(PromptKind kind, uint64_t options) {
    const double now = Clock::uptime();
    std::lock_guard lock(deviceState().mutex);
    deviceState().prompts.push_back(PromptRecord{kind, options, now});
}

std::vector<PromptRecord> Device::prompts() {
    std::lock_guard lock(deviceState().mutex);
    return deviceState().prompts;
}

Result<void> Device::installFresh() {
    if (auto r = removeIfPresent(AppHome::path()); !r)
        return r;
    if (auto r = removeIfPresent(AppHome::deviceFolder()); !r)
        return r;
    {
        std::lock_guard lock(deviceState().mutex);
        deviceState().vendorIdentifier.reset();
    }
    currentRegistrar()->forgetDeviceToken();
    return {};
}

Result<void> Device::reinstall() {
    if (auto r = removeIfPresent(AppHome::path()); !r)
        return r;
    if (auto r = removeIfPresent(detail::vendorIdentifierPath()); !r)
        return r;
    std::lock_guard lock(deviceState().mutex);
    deviceState().vendorIdentifier.reset();
    return {};
}

Result<void> Device::setOsVersion(std::string_view text) {
    auto version = OperatingSystemVersion::parse(text);
    if (!version)
        return Error(
            NSCocoaErrorDomain, NSFormattingError,
            Dictionary{{NSLocalizedDescriptionKey, Value("bad OS version \"" + std::string(text) + "\"")}});
    bool booted = false;
    {
        std::lock_guard lock(deviceState().mutex);
        deviceState().config.osVersion = std::string(text);
        booted = deviceState().booted;
    }
    Process::setOperatingSystemVersion(*version);
    if (booted)
        DeviceProfile::applyToRuntime();
    return {};
}

void Device::setLowPower(bool enabled) {
    auto& info = ProcessInfo::processInfo();
    if (info.isLowPowerModeEnabled() == enabled)
        return;
    Process::setLowPowerMode(enabled);
    {
        std::lock_guard lock(deviceState().mutex);
        deviceState().config.lowPower = enabled;
    }
    NotificationCenter::defaultCenter().post(NSProcessInfoPowerStateDidChangeNotification, &info);
}

void Device::rotate(UIInterfaceOrientation orientation) {
    {
        std::lock_guard lock(deviceState().mutex);
        deviceState().config.orientation = orientation;
    }
    App::rotate(orientation);
}

void Device::memoryWarning() {
    App::memoryWarning();
}

void Device::setLanguages(std::vector<std::string> languages) {
    {
        std::lock_guard lock(deviceState().mutex);
        deviceState().config.languages = languages;
    }
    LocaleSettings::setPreferredLanguages(std::move(languages));
}

bool Device::setTimeZone(std::string_view name) {
    if (!TimeZoneSettings::setLocal(name))
        return false;
    std::lock_guard lock(deviceState().mutex);
    deviceState().config.timeZone = std::string(name);
    return true;
}

void Device::setDebuggerAttached(std::optional<bool> attached) {
    std::lock_guard lock(deviceState().mutex);
    deviceState().config.debuggerAttached = attached;
}

void Device::installAdvertisingProvider(const AdvertisingProvider& provider) {
    auto& a = advertising();
    {
        std::lock_guard lock(a.mutex);
        a.provider = provider;
    }
    rt::Class* cls = Runtime::registerClass(kAdvertisingClass);
    if (!cls)
        return;
    std::lock_guard lock(a.mutex);
    if (a.manager)
        return; // methods are in place; they read the provider at each call
    a.manager = rt::createInstance(cls);
    rt::replaceMethod(rt::metaclass(cls), rt::sel("sharedManager"), [](rt::Object&) -> rt::ObjectPtr {
        std::lock_guard lock(advertising().mutex);
        return advertising().manager;
    });
    rt::replaceMethod(cls, rt::sel("isAdvertisingTrackingEnabled"), [](rt::Object&) {
        std::lock_guard lock(advertising().mutex);
        return advertising().provider.trackingEnabled;
    });
    rt::replaceMethod(cls, rt::sel("advertisingIdentifier"), [](rt::Object&) {
        std::lock_guard lock(advertising().mutex);
        return advertising().provider.advertisingIdentifier;
    });
}

void Device::removeAdvertisingProvider() {
    Runtime::unregisterClass(kAdvertisingClass);
}

} // namespace plat::sim
