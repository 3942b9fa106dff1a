#include "platform/device/Boot.hpp"

#include "platform/device/DeviceFactsProvider.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/DeviceState.hpp"
#include "platform/device/PushRegistrar.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Locale.hpp"
#include "platform/foundation/PreferenceStore.hpp"
#include "platform/foundation/TimeZone.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIDevice.hpp"

#include <sys/stat.h>

namespace plat {

namespace {

Error bootError(std::string description) {
    return Error(NSCocoaErrorDomain, NSFileWriteUnknownError,
                 Dictionary{{NSLocalizedDescriptionKey, Value("device boot: " + std::move(description))}});
}

std::vector<std::string> declaredAppGroups() {
    std::vector<std::string> groups;
    auto value = Bundle::main()->objectForInfoDictionaryKey(kAppGroupsInfoKey);
    const Array* list = value ? value->ifArray() : nullptr;
    if (!list)
        return groups;
    for (const auto& g : *list) {
        if (const std::string* name = g.ifString(); name && !name->empty())
            groups.push_back(*name);
    }
    return groups;
}

// An existing folder keeps its mode through createFolders; folders that hold the app's private files and
// the keychain are tightened to 0700 all the same.
Result<void> makePrivate(const std::string& path) {
    if (::chmod(path.c_str(), 0700) != 0)
        return Error::posix(errno);
    return {};
}

} // namespace

bool isBooted() {
    auto& s = detail::deviceState();
    std::lock_guard lock(s.mutex);
    return s.booted;
}

Result<void> boot(const DeviceConfig& config, std::span<const rt::LoadHook> loadHooks) {
    auto& state = detail::deviceState();
    {
        std::lock_guard lock(state.mutex);
        if (state.booted)
            return bootError("the device was already started in this process");
    }
    auto version = config.operatingSystemVersion();
    if (!version)
        return bootError("bad OS version \"" + config.osVersion + "\"");
    if (config.timeZone && !TimeZone::named(*config.timeZone))
        return bootError("unknown time zone \"" + *config.timeZone + "\"");
    if (config.receiptName.empty() || config.receiptName.find('/') != std::string::npos)
        return bootError("bad receipt name \"" + config.receiptName + "\"");

    // An earlier choice (the test main) stands; otherwise the threaded backend, with this thread as main.
    Backend::select(config.backend ? *config.backend : Backend::kind());

    if (!config.appHome.empty())
        AppHome::configure(config.appHome);
    if (auto created = AppHome::createFolders(); !created)
        return created.error();
    for (const std::string& folder : {AppHome::path(), AppHome::tmp(), AppHome::deviceFolder()}) {
        if (auto r = makePrivate(folder); !r)
            return r.error();
    }

    if (!config.bundlePath.empty())
        Bundle::setMain(config.bundlePath);

    sim::Process::setOperatingSystemVersion(*version);
    sim::Process::setLowPowerMode(config.lowPower);
    if (config.languages)
        sim::LocaleSettings::setPreferredLanguages(*config.languages);
    if (config.locale)
        sim::LocaleSettings::setCurrentIdentifier(*config.locale);
    if (config.timeZone)
        (void)sim::TimeZoneSettings::setLocal(*config.timeZone);

    std::vector<std::string> groups = config.appGroups.empty() ? declaredAppGroups() : config.appGroups;
    for (const auto& group : groups) {
        if (group.find('/') != std::string::npos || group == "." || group == "..")
            return bootError("bad app group name \"" + group + "\"");
        auto made = FileManager::defaultManager().createDirectory(
            AppHome::appGroupContainer(group), true, Dictionary{{"NSFilePosixPermissions", Value(0700)}});
        if (!made)
            return made.error();
    }
    sim::Preferences::setAppGroups(groups);
    sim::BundleSettings::setReceiptName(config.receiptName);

    auto registrar = std::make_shared<PushRegistrar>();
    {
        std::lock_guard lock(state.mutex);
        state.config = config;
        state.config.appGroups = groups;
        state.registrar = registrar;
        state.vendorIdentifier.reset();
        state.booted = true;
    }
    sim::App::setRemoteNotificationRegistrar(registrar);
    sim::setDeviceFacts(detail::deviceFacts());
    // The screen's bounds follow the orientation the device boots in, as they follow a later turn.
    sim::setInterfaceOrientation(config.orientation);
    detail::installNotificationPrompts();
    if (config.advertising)
        sim::Device::installAdvertisingProvider(*config.advertising);

    DeviceProfile::applyToRuntime();
    rt::runLoadHooks(loadHooks);
    return {};
}

} // namespace plat
