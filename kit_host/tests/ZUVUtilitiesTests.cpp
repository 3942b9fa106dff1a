// The shared bundle, system and digest facts, read from a fixture bundle and the simulated device.

#include "kit_host/ZUVUtilities.hpp"

#include "platform/device/DeviceProfile.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using plat::Dictionary;
using plat::Value;

struct ZUVUtilitiesTest : ::testing::Test {
    plat::test::TempAppHome home;

    void bundle(const Dictionary& info) {
        plat::test::FixtureBundle(home.root() + "/App.app", info).makeMain();
    }
    static void os(int64_t major, int64_t minor = 0, int64_t patch = 0) {
        plat::sim::Process::setOperatingSystemVersion({major, minor, patch});
    }
};

TEST_F(ZUVUtilitiesTest, BundleFactsAndTheirFallBacks) {
    bundle({{"CFBundleIdentifier", Value("a/b.c")}, {"CFBundleVersion", Value("77")}});
    EXPECT_EQ(ZUVAppEscapedBundleIdentifier(), "a_b.c");
    EXPECT_EQ(ZUVAppDisplayName(), "77") << "no display name and no name: the build version";
    EXPECT_FALSE(ZUVAppShortVersion().has_value());

    bundle({{"CFBundleName", Value("Portal")}, {"CFBundleDisplayName", Value("My Portal")}});
    EXPECT_EQ(ZUVAppDisplayName(), "My Portal");
    bundle({{"CFBundleName", Value("Portal")}});
    EXPECT_EQ(ZUVAppDisplayName(), "Portal");
}

TEST_F(ZUVUtilitiesTest, InstallSourceFollowsReceiptAndSigning) {
    plat::test::FixtureBundle(home.root() + "/App.app", {{"VuzidorazavSignedForDistribution", Value("YES")}})
        .add("StoreKit/receipt", "r")
        .add("StoreKit/sandboxReceipt", "r")
        .makeMain();

    os(9, 3);
    EXPECT_TRUE(ZUVAppStoreReceiptPresent());
    EXPECT_EQ(ZUVAppInstallSource(), 4);

    // From 11 on the version number is 0, so the receipt is never looked at.
    os(12, 4);
    EXPECT_FALSE(ZUVAppStoreReceiptPresent());
    EXPECT_EQ(ZUVAppInstallSource(), 3);

    bundle({});
    EXPECT_EQ(ZUVAppInstallSource(), 1);
}

TEST_F(ZUVUtilitiesTest, OperatingSystemVersionForms) {
    struct Case {
        plat::OperatingSystemVersion version;
        int64_t number;
        const char* display;
    } cases[] = {
        {{4, 0, 0}, 40000, "4.0.0"},
        {{7, 1, 0}, 70000, "7.1.0"}, // below 8 the version text is split at its dots
        {{9, 3, 0}, 90000, "9.3.0"},
        {{10, 0, 0}, 100000, "10.0.0"},
        {{11, 2, 1}, 0, "11.2.1"},
        {{12, 4, 0}, 0, "12.4.0"},
    };
    for (const auto& c : cases) {
        plat::sim::Process::setOperatingSystemVersion(c.version);
        EXPECT_EQ(ZUVOSVersionNumber(), c.number) << c.display;
        EXPECT_EQ(ZUVOSDisplayVersion(), c.display);
    }
    EXPECT_EQ(ZUVHardwareMachine(), plat::DeviceProfile::machine());
    EXPECT_EQ(ZUVOSBuildVersion(), plat::DeviceProfile::osBuild());
    EXPECT_FALSE(ZUVSysctlString("no.such.name").has_value());
}

TEST(ZUVUtilities, HexDigestsAndUUIDs) {
    const uint8_t two[] = {0x0A, 0xFF};
    char buffer[5];
    std::memset(buffer, 'x', sizeof buffer);
    ZUVHexEncode(two, 2, buffer);
    EXPECT_STREQ(buffer, "0aff");
    std::memset(buffer, 'x', sizeof buffer);
    ZUVHexEncode(nullptr, 2, buffer);
    EXPECT_EQ(std::string(buffer, 5), std::string(5, '\0')) << "null bytes leave only the zeros";
    ZUVHexEncode(two, 2, nullptr); // nothing to write into: no crash

    EXPECT_EQ(ZUVSHA1HexOfBytes("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ZUVSHA256HexOfBytes("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const plat::Data empty;
    EXPECT_EQ(ZUVSHA1HexOfData(empty), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    const uint8_t uuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    EXPECT_EQ(ZUVHexStringFromUUIDBytes(uuid), "00112233445566778899aabbccddeeff");

    const std::string created = ZUVCreateUUIDString();
    ASSERT_EQ(created.size(), 36u);
    for (size_t i : {8u, 13u, 18u, 23u})
        EXPECT_EQ(created[i], '-');
    EXPECT_EQ(created.find_first_of("abcdef"), std::string::npos) << "upper-case hex";
    EXPECT_NE(ZUVCreateUUIDString(), created);
}

TEST(ZUVUtilities, ByteRangesOfOneDataValueAreOneRange) {
    const plat::Data data{1, 2, 3};
    int calls = 0;
    ZUVEnumerateDataByteRanges(data, [&](const uint8_t* bytes, ZUVByteRange range, bool&) {
        ++calls;
        EXPECT_EQ(bytes, data.data());
        EXPECT_EQ(range.location, 0u);
        EXPECT_EQ(range.length, 3u);
    });
    EXPECT_EQ(calls, 1);
}

} // namespace
