#pragma once
// Whether the device is on Wi-Fi, from the system's reachability flags: the request builders send it as
// the player field "net_type".

#include "platform/net/Reachability.hpp"

#include <netinet/in.h>

#include <cstdint>
#include <memory>

enum class RINetworkStatus : int { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

class RadIrivozReachability {
public:
    // The zero IPv4 address: the device's general route to the internet.
    static std::unique_ptr<RadIrivozReachability> reachabilityForInternetConnection();
    // None when the system refuses to make a reachability reference for the address.
    static std::unique_ptr<RadIrivozReachability> reachabilityWithAddress(const sockaddr_in& address);

    RINetworkStatus currentReachabilityStatus() const;
    bool connectionRequired() const;
    static RINetworkStatus networkStatusForFlags(uint32_t flags);
    static RINetworkStatus localWiFiStatusForFlags(uint32_t flags);

    bool alwaysReturnLocalWiFiStatus() const { return alwaysReturnLocalWiFiStatus_; }

    explicit RadIrivozReachability(std::shared_ptr<plat::Reachability> reachability)
        : reachability_(std::move(reachability)) {}

private:
    std::shared_ptr<plat::Reachability> reachability_;
    bool alwaysReturnLocalWiFiStatus_ = false;
};
