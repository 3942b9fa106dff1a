#include "RadIrivozSDK/Source/RadIrivozReachability.hpp"

std::unique_ptr<RadIrivozReachability> RadIrivozReachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(zero);
}

std::unique_ptr<RadIrivozReachability> RadIrivozReachability::reachabilityWithAddress(const sockaddr_in& address) {
    auto reachability = plat::Reachability::withAddress(reinterpret_cast<const sockaddr&>(address));
    if (!reachability) {
        return nullptr;
    }
    return std::make_unique<RadIrivozReachability>(std::move(reachability));
}

RINetworkStatus RadIrivozReachability::currentReachabilityStatus() const {
    const auto flags = reachability_->flags();
    if (!flags) {
        return RINetworkStatus::NotReachable;
    }
    return alwaysReturnLocalWiFiStatus_ ? localWiFiStatusForFlags(*flags) : networkStatusForFlags(*flags);
}

bool RadIrivozReachability::connectionRequired() const {
    const auto flags = reachability_->flags();
    return flags && (*flags & plat::kReachabilityFlagsConnectionRequired) != 0;
}

RINetworkStatus RadIrivozReachability::networkStatusForFlags(uint32_t flags) {
    if ((flags & plat::kReachabilityFlagsReachable) == 0) {
        return RINetworkStatus::NotReachable;
    }
    RINetworkStatus status = RINetworkStatus::NotReachable;
    if ((flags & plat::kReachabilityFlagsConnectionRequired) == 0) {
        status = RINetworkStatus::ReachableViaWiFi;
    }
    if ((flags & (plat::kReachabilityFlagsConnectionOnDemand | plat::kReachabilityFlagsConnectionOnTraffic)) != 0 &&
        (flags & plat::kReachabilityFlagsInterventionRequired) == 0) {
        status = RINetworkStatus::ReachableViaWiFi;
    }
    if ((flags & plat::kReachabilityFlagsIsWWAN) != 0) {
        status = RINetworkStatus::ReachableViaWWAN;
    }
    return status;
}

RINetworkStatus RadIrivozReachability::localWiFiStatusForFlags(uint32_t flags) {
    const uint32_t wanted = plat::kReachabilityFlagsReachable | plat::kReachabilityFlagsIsDirect;
    return (flags & wanted) == wanted ? RINetworkStatus::ReachableViaWiFi : RINetworkStatus::NotReachable;
}
