#pragma once
// Network reachability for a host name or an address: the device's flags, read on demand, with a callback
// on the main queue whenever they change while scheduled. On Linux the flags come from the interfaces and
// the default route (changes arrive over rtnetlink); tests set them with sim::Network::setReachability.

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

inline constexpr uint32_t kReachabilityFlagsTransientConnection = 1;
inline constexpr uint32_t kReachabilityFlagsReachable = 2;
inline constexpr uint32_t kReachabilityFlagsConnectionRequired = 4;
inline constexpr uint32_t kReachabilityFlagsConnectionOnTraffic = 8;
inline constexpr uint32_t kReachabilityFlagsInterventionRequired = 0x10;
inline constexpr uint32_t kReachabilityFlagsConnectionOnDemand = 0x20;
inline constexpr uint32_t kReachabilityFlagsIsLocalAddress = 0x10000;
inline constexpr uint32_t kReachabilityFlagsIsDirect = 0x20000;
inline constexpr uint32_t kReachabilityFlagsIsWWAN = 0x40000;

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Callback = std::function<void(uint32_t flags)>;

    // None for an address family other than IPv4 or IPv6.
    static std::shared_ptr<Reachability> withAddress(const sockaddr& address);
    // None only for an empty name; names are never looked up, as the device answers from its routes.
    static std::shared_ptr<Reachability> withName(std::string_view host);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // None when the state cannot be read.
    std::optional<uint32_t> flags() const;
    // Replaces the callback (an empty one removes it). Returns true.
    bool setCallback(Callback callback);
    // Starts delivering changes on the main queue; false when already scheduled.
    bool scheduleOnMainLoop();
    // Stops delivering; false when not scheduled.
    bool unschedule();

    // Internal.
    struct Private {};
    Reachability(Private, bool loopbackAddress, std::string host);
    void notify(uint32_t flags);

private:
    const bool loopbackAddress_;
    const std::string host_;
    mutable std::mutex mutex_;
    Callback callback_;
    bool scheduled_ = false;
};

// The flags of the Linux interfaces and routes right now (no packets are sent); none when unreadable.
std::optional<uint32_t> systemReachabilityFlags();

// Internal to URL loading. True when the simulated network (sim::Network::setReachability) reports no
// interface at all (flags 0); cheap, as it never reads the Linux source. A connection that is only "required"
// may still come up for the request, so it does not count.
bool simulatedNetworkIsDown();
// True when the flags right now (simulated, else the Linux source) are readable and 0.
bool networkIsDown();

} // namespace plat
