#pragma once
// Which APNs environment the build was signed for, read from the provisioning profile that the main bundle
// carries ("embedded.mobileprovision": a signed container around an XML property list). The parsed profile
// is kept after the first success.

#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <optional>
#include <string>

class RadIrivozMobileProvision {
public:
    RadIrivozMobileProvision() = delete;

    // The profile; an empty dictionary when the bundle has none; none when it cannot be read or parsed.
    static std::optional<plat::Dictionary> getMobileProvision();
    // 0 no profile could be read, 1 development, 4 no profile file or another APNs environment, 6 a profile
    // for all devices.
    static int64_t releaseMode();
    static void logInvalidMobileProvisionError(const std::string& message);
    // Forgets the kept profile (tests that swap the bundle).
    static void resetCache();
};
