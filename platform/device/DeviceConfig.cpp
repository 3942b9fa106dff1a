#include "platform/device/DeviceConfig.hpp"

#include "platform/device/SystemVersion.hpp"

#include <sys/utsname.h>

namespace plat {

std::optional<OperatingSystemVersion> DeviceConfig::operatingSystemVersion() const {
    return OperatingSystemVersion::parse(osVersion);
}

float DeviceConfig::floatVersion() const {
    return plat::floatVersion(osVersion);
}

std::string DeviceConfig::hostMachine() {
    utsname u{};
    if (::uname(&u) != 0)
        return {};
    return u.machine;
}

} // namespace plat
