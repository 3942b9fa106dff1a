#include "core/DVUAppEnvironmentUtil.hpp"

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <sys/utsname.h>

std::optional<std::string> DVUAppEnvironmentUtil::deviceModel() {
    static const std::optional<std::string> model = []() -> std::optional<std::string> {
        struct utsname info {};
        if (::uname(&info) != 0) {
            return std::nullopt;
        }
        return std::string(info.machine);
    }();
    return model;
}

std::string DVUAppEnvironmentUtil::systemVersion() {
    return plat::ProcessInfo::processInfo().operatingSystemVersion().text();
}

bool DVUAppEnvironmentUtil::isAppExtension() {
    return plat::Bundle::main()->bundlePath().ends_with(".appex");
}
