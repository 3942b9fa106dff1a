#include "platform/device/DeviceState.hpp"

#include "platform/device/PushRegistrar.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/NeverDestroyed.hpp"

namespace plat::detail {

DeviceState& deviceState() {
    static NeverDestroyed<DeviceState> state;
    return *state;
}

std::string vendorIdentifierPath() {
    return AppHome::deviceFolder() + "/identifierForVendor";
}

} // namespace plat::detail
