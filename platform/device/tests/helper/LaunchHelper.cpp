// One launch of an app on the simulated device, for tests that need a second launch on the same app home:
// boots, prints what the app would find (`key=value` lines), then leaves its own traces (a file in
// Documents, a keychain item) for the next launch to find.
//
// launch-helper --home DIR [--os-version X.Y[.Z]]

#include "platform/device/Boot.hpp"
#include "platform/device/DeviceProfile.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Base64.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/security/Keychain.hpp"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    plat::DeviceConfig config;
    config.backend = plat::BackendKind::virtualTime;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--home") {
            config.appHome = argv[i + 1];
        } else if (arg == "--os-version") {
            config.osVersion = argv[i + 1];
        } else {
            std::fprintf(stderr, "launch-helper: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (auto booted = plat::boot(config); !booted) {
        std::fprintf(stderr, "launch-helper: %s\n", booted.error().description().c_str());
        return 1;
    }

    std::printf("vendor=%s\n", plat::DeviceProfile::identifierForVendor().uuidString().c_str());
    auto token = plat::sim::Device::deviceToken();
    std::printf("token=%s\n", token ? plat::hexLower(*token).c_str() : "-");

    const std::string marker = plat::AppHome::documents() + "/marker";
    std::printf("marker=%d\n", plat::FileManager::defaultManager().fileExists(marker) ? 1 : 0);
    (void)plat::writeData(marker, plat::Data{'1'});

    plat::Dictionary query{{plat::kSecClass, plat::Value(plat::kSecClassGenericPassword)},
                           {plat::kSecAttrService, plat::Value("launch-helper")},
                           {plat::kSecAttrAccount, plat::Value("user")},
                           {plat::kSecReturnData, plat::Value(true)}};
    auto found = plat::SecItemCopyMatching(query);
    if (found.status == plat::errSecSuccess && found.result && found.result->ifData()) {
        const plat::Data& d = *found.result->ifData();
        std::printf("keychain=%s\n", std::string(d.begin(), d.end()).c_str());
    } else {
        std::printf("keychain=-\n");
        plat::Dictionary item{{plat::kSecClass, plat::Value(plat::kSecClassGenericPassword)},
                              {plat::kSecAttrService, plat::Value("launch-helper")},
                              {plat::kSecAttrAccount, plat::Value("user")},
                              {plat::kSecValueData, plat::Value(plat::Data{'s', 'e', 'c', 'r', 'e', 't'})}};
        (void)plat::SecItemAdd(item);
    }
    return 0;
}
