#include "platform/device/DeviceProfile.hpp"

#include "platform/device/DeviceState.hpp"
#include "platform/device/SystemVersion.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/UIKitClasses.hpp"
#include "platform/usernotifications/UNClasses.hpp"

#include <fstream>
#include <string>

namespace plat {

namespace {

using detail::deviceState;

constexpr OperatingSystemVersion v8{8, 0, 0}, v9{9, 0, 0}, v10{10, 0, 0}, v11{11, 0, 0};

// What exists from which version on. Classes and methods not listed exist at every version.
constexpr ProfileEntry kTable[] = {
    {"UIApplication", "registerForRemoteNotifications", v8},
    {"UIApplication", "isRegisteredForRemoteNotifications", v8},
    {"UIApplication", "registerUserNotificationSettings:", v8},
    {"UIApplication", "currentUserNotificationSettings", v8},
    {"NSURLSessionStreamTask", "", v9},
    {"UIApplication", "openURL:options:completionHandler:", v10},
    {"NSURLSessionTaskMetrics", "", v10},
    {"UNUserNotificationCenter", "", v10},
    {"UNNotification", "", v10},
    {"UNNotificationRequest", "", v10},
    {"UNNotificationContent", "", v10},
    {"UNMutableNotificationContent", "", v10},
    {"UNNotificationResponse", "", v10},
    {"UNTextInputNotificationResponse", "", v10},
    {"UNNotificationSettings", "", v10},
    {"UNNotificationCategory", "", v10},
    {"UNNotificationAction", "", v10},
    {"UNTextInputNotificationAction", "", v10},
    {"UNNotificationAttachment", "", v10},
    {"UNNotificationSound", "", v10},
    {"UNNotificationTrigger", "", v10},
    {"UNPushNotificationTrigger", "", v10},
    {"UNTimeIntervalNotificationTrigger", "", v10},
    {"UNNotificationServiceExtension", "", v10},
    {"WKHTTPCookieStore", "", v11},
};

DeviceConfig config() {
    std::lock_guard lock(deviceState().mutex);
    return deviceState().config;
}

bool tracerAttached() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("TracerPid:", 0) == 0)
            return std::stol(line.substr(10)) != 0;
    }
    return false;
}

// The URL-loading classes, by the names code looks them up with before choosing the session API (the
// session itself is plat::URLSession). The background configuration's factory is what such code checks.
void registerURLSessionClasses() {
    if (!rt::getClass("NSURLSession"))
        rt::registerClass("NSURLSession");
    rt::Class* configuration = rt::getClass("NSURLSessionConfiguration");
    if (!configuration)
        configuration = rt::registerClass("NSURLSessionConfiguration");
    if (configuration && !rt::classMethod(configuration, rt::sel("backgroundSessionConfigurationWithIdentifier:")))
        rt::addMethod(rt::metaclass(configuration), rt::sel("backgroundSessionConfigurationWithIdentifier:"),
                      [](rt::Object&, std::string) -> rt::ObjectPtr { return nullptr; });
}

} // namespace

OperatingSystemVersion DeviceProfile::osVersion() {
    return ProcessInfo::processInfo().operatingSystemVersion();
}

std::string DeviceProfile::systemVersion() {
    const OperatingSystemVersion running = osVersion();
    std::string text = config().osVersion;
    auto configured = OperatingSystemVersion::parse(text);
    return configured && *configured == running ? text : running.text();
}

float DeviceProfile::floatVersion() {
    return plat::floatVersion(systemVersion());
}

bool DeviceProfile::isAtLeast(int64_t major, int64_t minor, int64_t patch) {
    return ProcessInfo::processInfo().isOperatingSystemAtLeast({major, minor, patch});
}

std::string DeviceProfile::systemName() {
    return config().systemName;
}
std::string DeviceProfile::model() {
    return config().model;
}
std::string DeviceProfile::name() {
    return config().name;
}
std::string DeviceProfile::machine() {
    return config().machine;
}
std::string DeviceProfile::osBuild() {
    return config().osBuild;
}
UIUserInterfaceIdiom DeviceProfile::idiom() {
    return config().idiom;
}
ScreenInfo DeviceProfile::screen() {
    return config().screen;
}
std::string DeviceProfile::receiptName() {
    return config().receiptName;
}
UIInterfaceOrientation DeviceProfile::orientation() {
    return config().orientation;
}

bool DeviceProfile::debuggerAttached() {
    if (auto set = config().debuggerAttached)
        return *set;
    return tracerAttached();
}

UUID DeviceProfile::identifierForVendor() {
    auto& s = deviceState();
    std::lock_guard lock(s.mutex);
    if (s.vendorIdentifier)
        return *s.vendorIdentifier;
    const std::string path = detail::vendorIdentifierPath();
    if (auto stored = readData(path)) {
        if (auto id = UUID::parse(std::string(stored->begin(), stored->end()))) {
            s.vendorIdentifier = *id;
            return *id;
        }
    }
    UUID id = UUID::random();
    const std::string text = id.uuidString();
    auto written =
        writeData(path, Data(text.begin(), text.end()), WriteOptions{}.setAtomic().setPermissions(0600));
    if (!written)
        printDevice("cannot keep the vendor identifier: " + written.error().description());
    s.vendorIdentifier = id;
    return id;
}

bool DeviceProfile::hasLegacyRemoteTypesOnly() {
    return !isAtLeast(8);
}
bool DeviceProfile::hasUserNotificationSettings() {
    return isAtLeast(8);
}
bool DeviceProfile::hasStreamTaskDelegate() {
    return isAtLeast(9);
}
bool DeviceProfile::hasUserNotificationCenter() {
    return isAtLeast(10);
}
bool DeviceProfile::hasOpenURLOptions() {
    return isAtLeast(10);
}
bool DeviceProfile::hasTaskMetrics() {
    return isAtLeast(10);
}
bool DeviceProfile::hasHTTPCookieStore() {
    return isAtLeast(11);
}

bool DeviceProfile::isAvailable(std::string_view className, std::string_view selector) {
    const OperatingSystemVersion running = osVersion();
    for (const auto& e : kTable) {
        if (e.className == className && e.selector == selector)
            return running >= e.since;
    }
    return true;
}

std::span<const ProfileEntry> DeviceProfile::table() {
    return kTable;
}

void DeviceProfile::applyToRuntime() {
    (void)uikitClasses();
    (void)NSUserActivity::runtimeClass();
    (void)unClasses();
    registerURLSessionClasses();

    auto& s = deviceState();
    for (const auto& e : kTable) {
        const bool available = isAvailable(e.className, e.selector);
        const std::string cls(e.className);
        if (e.selector.empty()) {
            std::unique_lock lock(s.mutex);
            const bool hidden = s.hiddenClasses.count(cls) != 0;
            if (!available && !hidden && rt::getClass(cls)) {
                s.hiddenClasses.insert(cls);
                lock.unlock();
                sim::Runtime::unregisterClass(cls);
            } else if (available && hidden) {
                s.hiddenClasses.erase(cls);
                lock.unlock();
                sim::Runtime::registerClass(cls);
            }
            continue;
        }
        rt::Class* c = rt::getClass(cls);
        if (!c)
            continue;
        const std::string sel(e.selector);
        const auto key = std::make_pair(cls, sel);
        std::unique_lock lock(s.mutex);
        auto saved = s.hiddenMethods.find(key);
        if (!available && saved == s.hiddenMethods.end()) {
            rt::Method* m = rt::ownMethod(c, rt::sel(sel));
            if (!m || m->implementation().isNull())
                continue;
            // A method without body is what the runtime reports as missing.
            s.hiddenMethods.emplace(key, rt::replaceMethod(c, rt::sel(sel), rt::Imp()));
        } else if (available && saved != s.hiddenMethods.end()) {
            rt::replaceMethod(c, rt::sel(sel), saved->second);
            s.hiddenMethods.erase(saved);
        }
    }
    for (const auto& cls : config().absentClasses)
        sim::Runtime::unregisterClass(cls);
}

} // namespace plat
