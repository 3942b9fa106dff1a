#include "platform/net/Reachability.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/NeverDestroyed.hpp"
#include "platform/net/SimNetwork.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace plat {

namespace {

bool isWWANName(std::string_view name) {
    return name.rfind("wwan", 0) == 0 || name.rfind("ppp", 0) == 0;
}

bool hasDefaultRoute() {
    {
        std::ifstream route("/proc/net/route");
        std::string line;
        std::getline(route, line); // header
        while (std::getline(route, line)) {
            std::istringstream in(line);
            std::string iface, destination, gateway;
            unsigned flags = 0;
            in >> iface >> destination >> gateway >> std::hex >> flags;
            if (destination == "00000000" && (flags & RTF_UP) && iface != "lo")
                return true;
        }
    }
    std::ifstream route6("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(route6, line)) {
        std::istringstream in(line);
        std::string destination, prefix;
        in >> destination >> prefix;
        std::string field, iface;
        while (in >> field)
            iface = field;
        if (destination == std::string(32, '0') && prefix == "00" && iface != "lo")
            return true;
    }
    return false;
}

// What every reachability object shares: the simulated flags (once a test set them), the objects that
// are scheduled, and the rtnetlink watcher of the threaded backend.
class ReachabilityHub {
public:
    static ReachabilityHub& shared() {
        static NeverDestroyed<ReachabilityHub> instance;
        return instance.get();
    }

    std::optional<uint32_t> currentFlags() {
        std::lock_guard lock(mutex_);
        if (simulated_)
            return *simulated_;
        return systemReachabilityFlags();
    }

    bool simulatedDown() {
        std::lock_guard lock(mutex_);
        return simulated_ && *simulated_ && **simulated_ == 0;
    }

    void simulate(std::optional<uint32_t> flags) {
        std::vector<std::weak_ptr<Reachability>> targets;
        {
            std::lock_guard lock(mutex_);
            simulated_ = flags;
            targets = scheduled_;
        }
        if (flags)
            notifyAll(targets, *flags);
    }

    void schedule(const std::shared_ptr<Reachability>& r) {
        std::lock_guard lock(mutex_);
        scheduled_.push_back(r);
        // Real interface changes only matter with real threads; virtual-time tests drive the simulation.
        if (!watcherStarted_ && !simulated_ && !Backend::isVirtual()) {
            watcherStarted_ = true;
            lastSystemFlags_ = systemReachabilityFlags();
            spawnThread("plat.reachability", [this] { watch(); }).detach();
        }
    }

    void unschedule(const Reachability* r) {
        std::lock_guard lock(mutex_);
        std::erase_if(scheduled_, [r](const std::weak_ptr<Reachability>& w) {
            auto s = w.lock();
            return !s || s.get() == r;
        });
    }

private:
    template <class> friend class plat::NeverDestroyed;
    ReachabilityHub() = default;

    static void notifyAll(const std::vector<std::weak_ptr<Reachability>>& targets, uint32_t flags) {
        for (const auto& w : targets) {
            auto r = w.lock();
            if (!r)
                continue;
            auto deliver = [r, flags] { r->notify(flags); };
            if (Backend::isVirtual())
                Virtual::post(deliver);
            else
                DispatchQueue::main()->async(deliver);
        }
    }

    // Runs for the life of the process; it sends nothing and only reads what the kernel announces.
    void watch() {
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0)
            return;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups =
            RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return;
        }
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            std::vector<std::weak_ptr<Reachability>> targets;
            std::optional<uint32_t> now;
            {
                std::lock_guard lock(mutex_);
                if (simulated_)
                    continue;
                now = systemReachabilityFlags();
                if (now == lastSystemFlags_)
                    continue;
                lastSystemFlags_ = now;
                targets = scheduled_;
            }
            if (now)
                notifyAll(targets, *now);
        }
        ::close(fd);
    }

    std::mutex mutex_;
    std::optional<std::optional<uint32_t>> simulated_;
    std::vector<std::weak_ptr<Reachability>> scheduled_;
    bool watcherStarted_ = false;
    std::optional<uint32_t> lastSystemFlags_;
};

} // namespace

std::optional<uint32_t> systemReachabilityFlags() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    bool anyUp = false;
    bool allWWAN = true;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP) ||
            !(i->ifa_flags & IFF_RUNNING))
            continue;
        const int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        anyUp = true;
        if (!isWWANName(i->ifa_name))
            allWWAN = false;
    }
    ::freeifaddrs(list);
    if (!anyUp || !hasDefaultRoute())
        return 0u;
    return kReachabilityFlagsReachable | (allWWAN ? kReachabilityFlagsIsWWAN : 0u);
}

bool simulatedNetworkIsDown() {
    return ReachabilityHub::shared().simulatedDown();
}

bool networkIsDown() {
    const auto flags = ReachabilityHub::shared().currentFlags();
    return flags && *flags == 0;
}

Reachability::Reachability(Private, bool loopbackAddress, std::string host)
    : loopbackAddress_(loopbackAddress), host_(std::move(host)) {}

Reachability::~Reachability() = default;

std::shared_ptr<Reachability> Reachability::withAddress(const sockaddr& address) {
    bool loopback = false;
    if (address.sa_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        loopback = (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    } else if (address.sa_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        loopback = IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr);
    } else {
        return nullptr;
    }
    return std::make_shared<Reachability>(Private{}, loopback, std::string());
}

std::shared_ptr<Reachability> Reachability::withName(std::string_view host) {
    if (host.empty())
        return nullptr;
    return std::make_shared<Reachability>(Private{}, false, std::string(host));
}

std::optional<uint32_t> Reachability::flags() const {
    if (loopbackAddress_)
        return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    return ReachabilityHub::shared().currentFlags();
}

bool Reachability::setCallback(Callback callback) {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
}

bool Reachability::scheduleOnMainLoop() {
    {
        std::lock_guard lock(mutex_);
        if (scheduled_)
            return false;
        scheduled_ = true;
    }
    ReachabilityHub::shared().schedule(shared_from_this());
    return true;
}

bool Reachability::unschedule() {
    {
        std::lock_guard lock(mutex_);
        if (!scheduled_)
            return false;
        scheduled_ = false;
    }
    ReachabilityHub::shared().unschedule(this);
    return true;
}

void Reachability::notify(uint32_t flags) {
    Callback callback;
    {
        std::lock_guard lock(mutex_);
        if (!scheduled_)
            return; // unscheduled after the change was queued
        callback = callback_;
    }
    if (callback)
        callback(loopbackAddress_ ? *this->flags() : flags);
}

namespace sim {

void Network::setReachability(std::optional<uint32_t> flags) {
    ReachabilityHub::shared().simulate(flags);
}

} // namespace sim

} // namespace plat
