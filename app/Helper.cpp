#include "app/Helper.hpp"

#include "platform/net/Reachability.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

bool Helper::checkNetworkReachable() {
    // The unspecified IPv4 address stands for the default route.
    sockaddr_in zeroAddress;
    std::memset(&zeroAddress, 0, sizeof zeroAddress);
    zeroAddress.sin_family = AF_INET;

    sockaddr address;
    static_assert(sizeof address == sizeof zeroAddress);
    std::memcpy(&address, &zeroAddress, sizeof address);

    // A fresh reference per call, released on return, so nothing is carried from one answer to the next.
    auto reachability = plat::Reachability::withAddress(address);
    if (!reachability) {
        return false;
    }
    const std::optional<uint32_t> flags = reachability->flags();
    if (!flags) {
        return false;
    }
    const bool reachable = (*flags & plat::kReachabilityFlagsReachable) != 0;
    const bool needsConnection = (*flags & plat::kReachabilityFlagsConnectionRequired) != 0;
    return reachable && !needsConnection;
}
