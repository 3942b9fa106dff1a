#include "app/console/Notifications.hpp"

#include "platform/device/SimDevice.hpp"
#include "platform/foundation/Console.hpp"

namespace console {

void deliverPush(const plat::Value& payload) {
    const std::string identifier = plat::sim::Device::receivePush(payload);
    plat::printDevice("push received: " + identifier);
}

void tapNotification(const plat::Value& payload, const std::optional<std::string>& action) {
    auto identifier = plat::sim::Device::tapPush(payload, action.value_or(std::string()));
    if (!identifier) {
        plat::printDevice("nothing took the tap on the notification");
    }
}

} // namespace console
