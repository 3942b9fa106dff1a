// One launch of the kit host on the simulated device, for tests that need a second launch on the same app
// home: boots, makes the kit host's shared object and prints its identity (`key=value` lines).
//
// zuvadu-launch-helper --home DIR [--adid UUID] [--platform-install-id ID]
//   --adid: the device has an advertising-identifier manager answering that identifier
//   --platform-install-id: an earlier version left this install ID in the platform's user defaults

#include "kit_host/Zuvadu.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/DeviceConfig.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/UserDefaults.hpp"

#include <cstdio>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    plat::DeviceConfig config;
    config.backend = plat::BackendKind::virtualTime;
    std::optional<std::string> adid;
    std::optional<std::string> platformInstallID;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--home") {
            config.appHome = argv[i + 1];
        } else if (arg == "--adid") {
            adid = argv[i + 1];
        } else if (arg == "--platform-install-id") {
            platformInstallID = argv[i + 1];
        } else {
            std::fprintf(stderr, "zuvadu-launch-helper: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (auto booted = plat::boot(config); !booted) {
        std::fprintf(stderr, "zuvadu-launch-helper: %s\n", booted.error().description().c_str());
        return 1;
    }
    auto& platformDefaults = plat::UserDefaults::standardUserDefaults();
    if (platformInstallID) {
        platformDefaults.set(Zuvadu::kInstallUUIDDefaultsKey, plat::Value(*platformInstallID));
        platformDefaults.synchronize();
    }
    if (adid) {
        auto uuid = plat::UUID::parse(*adid);
        if (!uuid) {
            std::fprintf(stderr, "zuvadu-launch-helper: bad identifier %s\n", adid->c_str());
            return 2;
        }
        plat::sim::Device::installAdvertisingProvider({true, *uuid});
    }

    const Zuvadu& sdk = Zuvadu::sharedSDK();
    std::printf("installID=%s\n", sdk.installID().c_str());
    std::printf("firstInstall=%d\n", sdk.isFirstInstall() ? 1 : 0);
    std::printf("instanceIdentifier=%s\n", sdk.instanceIdentifier().value_or("-").c_str());
    std::printf("platformInstallID=%s\n",
                platformDefaults.string(Zuvadu::kInstallUUIDDefaultsKey).value_or("-").c_str());
    return 0;
}
