#pragma once
// What the simulated device is: OS version, model, region settings, where the app home and bundle are, and
// the switches a user or test can set. `portal-app` fills it from its options, tests from their fixtures;
// plat::boot applies it once per process.

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

enum class UIUserInterfaceIdiom : int64_t { unspecified = -1, phone = 0, pad = 1 };

struct ScreenInfo {
    double width = 375;
    double height = 812;
    double scale = 3;
};

// What the advertising-identifier manager answers when a test installs one (the class is absent otherwise).
struct AdvertisingProvider {
    bool trackingEnabled = true;
    UUID advertisingIdentifier; // all zeros when the user limits ad tracking
};

struct DeviceConfig {
    // "X", "X.Y" or "X.Y.Z"; the text the device shows as its system version.
    std::string osVersion = "12.4";
    std::string systemName = "SimOS";
    std::string model = "SimPhone";
    std::string name = "Simulated Device";
    UIUserInterfaceIdiom idiom = UIUserInterfaceIdiom::phone;
    // The hardware code, `uname().machine` unless set.
    std::string machine = hostMachine();
    // The OS build text ("kern.osversion"), which the device reports beside its version.
    std::string osBuild = "16G77";

    // None: what the environment says (TZ, LANGUAGE / LC_ALL / LANG).
    std::optional<std::string> timeZone;
    std::optional<std::vector<std::string>> languages;
    std::optional<std::string> locale;

    // Empty: `PORTAL_APP_HOME`, else the default under the user's data folder. The device folder is
    // `<home>.device`.
    std::string appHome;
    // The app bundle folder; empty leaves the main bundle as it is.
    std::string bundlePath;
    // Empty: the groups the bundle declares (Info key kAppGroupsInfoKey).
    std::vector<std::string> appGroups;

    ScreenInfo screen;
    // `receipt` or `sandboxReceipt`.
    std::string receiptName = "receipt";
    std::optional<AdvertisingProvider> advertising;

    bool lowPower = false;
    UIInterfaceOrientation orientation = UIInterfaceOrientation::portrait;
    // None: whether a tracer is attached now (`TracerPid` of /proc/self/status).
    std::optional<bool> debuggerAttached;

    // Runtime classes this device's OS lacks, at any version: code that looks a class up by name before
    // using it takes its other path.
    std::vector<std::string> absentClasses;
    // None: the backend already chosen, else the threaded one.
    std::optional<BackendKind> backend;

    // None when osVersion is not a version text.
    std::optional<OperatingSystemVersion> operatingSystemVersion() const;
    // floatVersion of the version text (10.3 for "10.3.1").
    float floatVersion() const;

    static std::string hostMachine();
};

// The Info.plist key under which a bundle lists the app groups it belongs to (an array of group names);
// the simulated device has no entitlements, so the bundle states them.
inline constexpr const char* kAppGroupsInfoKey = "SimulatedAppGroups";

} // namespace plat
