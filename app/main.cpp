// Entry of the `portal-app` program. Until the app shell lands it boots the simulated device (app home,
// bundle, OS version, clock) and reports what the platform core found, so `scripts/run` shows a live system.

#include "deployment/Deployment.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Date.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/TimeZone.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: portal-app [--bundle DIR] [--home DIR] [--os-version X.Y[.Z]] [--version]\n";

struct Options {
    std::string bundle = PORTAL_DEMO_BUNDLE_DIR;
    std::string home;
    std::string osVersion = "12.4";
    bool version = false;
};

bool parseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "portal-app: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "--bundle") {
            if (!value(options.bundle))
                return false;
        } else if (arg == "--home") {
            if (!value(options.home))
                return false;
        } else if (arg == "--os-version") {
            if (!value(options.osVersion))
                return false;
        } else if (arg == "--version") {
            options.version = true;
        } else {
            std::fprintf(stderr, "portal-app: unknown argument %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.version) {
        std::puts("portal-app 1.0");
        return 0;
    }
    plat::DeviceConfig device;
    device.backend = plat::BackendKind::threaded;
    device.osVersion = options.osVersion;
    device.appHome = options.home;
    device.bundlePath = options.bundle;
    device.systemName = std::string(deployment::kDeviceSystemName);
    device.model = std::string(deployment::kDeviceModel);
    device.name = std::string(deployment::kDeviceName);
    plat::sim::Process::setArguments(std::vector<std::string>(argv, argv + argc));
    if (auto booted = plat::boot(device); !booted) {
        std::fprintf(stderr, "portal-app: %s\n", booted.error().localizedDescription().c_str());
        return 2;
    }
    auto bundle = plat::Bundle::main();

    auto& process = plat::ProcessInfo::processInfo();
    std::fprintf(stderr, "[device] app home: %s\n", plat::AppHome::path().c_str());
    std::fprintf(stderr, "[device] bundle: %s (%s)\n", bundle->bundlePath().c_str(),
                bundle->bundleIdentifier().value_or("no Info.plist").c_str());
    std::fprintf(stderr, "[device] OS version: %s\n", process.operatingSystemVersion().text().c_str());
    std::fprintf(stderr, "[device] clock: %.3f s since 1970, uptime %.3f s, time zone %s\n", plat::Clock::now(),
                plat::Clock::uptime(), plat::TimeZone::local().name().c_str());
    return 0;
}
