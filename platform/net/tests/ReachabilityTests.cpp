// Reachability: flags for names and addresses, and callbacks on the main queue while scheduled, driven by
// the simulated network.

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/SimNetwork.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace plat {
namespace {

sockaddr_in ipv4(const char* text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

TEST(ReachabilityTest, NamesAndAddressesReportTheSimulatedState) {
    EXPECT_EQ(Reachability::withName(""), nullptr);
    auto host = Reachability::withName("portal.example.test");
    ASSERT_TRUE(host);
    const auto remote = ipv4("203.0.113.7");
    auto address = Reachability::withAddress(reinterpret_cast<const sockaddr&>(remote));
    const auto local = ipv4("127.0.0.1");
    auto loopback = Reachability::withAddress(reinterpret_cast<const sockaddr&>(local));
    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(Reachability::withAddress(other), nullptr);

    sim::Network::setReachability(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    EXPECT_EQ(host->flags(), kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    EXPECT_EQ(address->flags(), kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    sim::Network::setReachability(0);
    EXPECT_EQ(host->flags(), 0u);
    // The device answers for its own addresses without any interface.
    EXPECT_EQ(loopback->flags(),
              kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect);
    sim::Network::setReachability(std::nullopt);
    EXPECT_EQ(host->flags(), std::nullopt);
}

TEST(ReachabilityTest, CallbacksRunOnTheMainQueueOnlyWhileScheduled) {
    auto r = Reachability::withName("portal.example.test");
    std::vector<uint32_t> seen;
    r->setCallback([&](uint32_t flags) {
        EXPECT_TRUE(DispatchQueue::main()->isCurrent());
        seen.push_back(flags);
    });

    sim::Network::setReachability(kReachabilityFlagsReachable); // not scheduled yet
    Virtual::runUntilIdle();
    EXPECT_TRUE(seen.empty());

    EXPECT_TRUE(r->scheduleOnMainLoop());
    EXPECT_FALSE(r->scheduleOnMainLoop());
    sim::Network::setReachability(0);
    EXPECT_TRUE(seen.empty()); // delivered later, never inline
    Virtual::runUntilIdle();
    sim::Network::setReachability(kReachabilityFlagsReachable);
    Virtual::runUntilIdle();
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, kReachabilityFlagsReachable}));

    // A change queued before unschedule is dropped, as is every later one.
    sim::Network::setReachability(0);
    EXPECT_TRUE(r->unschedule());
    EXPECT_FALSE(r->unschedule());
    Virtual::runUntilIdle();
    sim::Network::setReachability(kReachabilityFlagsReachable);
    Virtual::runUntilIdle();
    EXPECT_EQ(seen.size(), 2u);
}

TEST(ReachabilityTest, ALostObjectIsNotCalled) {
    int calls = 0;
    {
        auto r = Reachability::withName("portal.example.test");
        r->setCallback([&](uint32_t) { ++calls; });
        r->scheduleOnMainLoop();
    }
    sim::Network::setReachability(kReachabilityFlagsReachable);
    Virtual::runUntilIdle();
    EXPECT_EQ(calls, 0);
}

TEST(ReachabilityTest, SystemFlagsAreReadableOnThisMachine) {
    // The build machine's own state: whatever it is, it reads as "reachable" or "not", never with flags the
    // Linux source does not produce.
    const auto flags = systemReachabilityFlags();
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & ~(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN), 0u);
}

} // namespace
} // namespace plat
