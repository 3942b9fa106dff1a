#pragma once
// The facts of the simulated device as the system reads them (version, model, identifiers, screen) and the
// OS profile: which stand-in classes and methods exist at the device's OS version.

#include "platform/device/DeviceConfig.hpp"
#include "platform/foundation/Error.hpp"

#include <span>
#include <string>
#include <string_view>

namespace plat {

// A runtime class, or a method of one, that exists from an OS version on. An empty selector means the class.
struct ProfileEntry {
    std::string_view className;
    std::string_view selector;
    OperatingSystemVersion since;
};

class DeviceProfile {
public:
    // The version the process runs as (ProcessInfo's), so lower layers and this one agree.
    static OperatingSystemVersion osVersion();
    // The configured text ("10.3.1"); the version's own text when the version was changed elsewhere.
    static std::string systemVersion();
    static float floatVersion();
    static bool isAtLeast(int64_t major, int64_t minor = 0, int64_t patch = 0);

    static std::string systemName();
    static std::string model();
    static std::string name();
    static std::string machine();
    static std::string osBuild();
    static UIUserInterfaceIdiom idiom();
    static ScreenInfo screen();
    static std::string receiptName();
    static UIInterfaceOrientation orientation();
    static bool debuggerAttached();
    // The app's vendor identifier, made on first use and kept in the device folder (a reinstall drops it).
    static UUID identifierForVendor();

    // The version checks the stand-ins make.
    static bool hasLegacyRemoteTypesOnly();    // below 8.0: registerForRemoteNotificationTypes: only
    static bool hasUserNotificationSettings(); // 8.0: registerUserNotificationSettings:
    static bool hasStreamTaskDelegate();       // 9.0
    static bool hasUserNotificationCenter();   // 10.0: UNUserNotificationCenter and its models
    static bool hasOpenURLOptions();           // 10.0: openURL:options:completionHandler:
    static bool hasTaskMetrics();              // 10.0
    static bool hasHTTPCookieStore();          // 11.0: WKHTTPCookieStore

    // Whether the profile lets a class (or one of its methods) exist at the current version. Names outside
    // the table exist at every version.
    static bool isAvailable(std::string_view className, std::string_view selector = {});
    static std::span<const ProfileEntry> table();

    // Registers the stand-in classes the runtime knows, then makes classes and methods the version lacks
    // absent (and brings back those it has again). Boot and a version change call it.
    static void applyToRuntime();
};

} // namespace plat
