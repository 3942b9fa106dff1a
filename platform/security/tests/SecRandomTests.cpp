#include "platform/security/SecRandom.hpp"

#include "platform/foundation/Faults.hpp"
#include "platform/foundation/Random.hpp"

#include <gtest/gtest.h>

#include <array>

namespace plat {
namespace {

TEST(SecRandom, FollowsTheSeedAndFailsWhenTheSourceFails) {
    std::array<unsigned char, 32> a{}, b{};
    Random::seed(7);
    ASSERT_EQ(SecRandomCopyBytes(a.size(), a.data()), errSecSuccess);
    Random::seed(7);
    ASSERT_EQ(SecRandomCopyBytes(b.size(), b.data()), errSecSuccess);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, decltype(a){});

    sim::Faults::fail("random.bytes", "", 1);
    EXPECT_EQ(SecRandomCopyBytes(a.size(), a.data()), -1);
    EXPECT_EQ(SecRandomCopyBytes(a.size(), a.data()), errSecSuccess);
    EXPECT_EQ(SecRandomCopyBytes(4, nullptr), errSecParam);
}

} // namespace
} // namespace plat
