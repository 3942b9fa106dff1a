// Identity: the version's numeric fields, the app instance ID against the advertising identifier, the vendor
// identifier's switches, the app IDs and the identifiers other clients read.

#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/device/DeviceConfig.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/foundation/UUID.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

using dms::test::EngineFixture;

class DMSIdentityTest : public EngineFixture {
protected:
    ~DMSIdentityTest() override { plat::sim::Device::removeAdvertisingProvider(); }

    static void advertise(const char* uuid, bool tracking = true) {
        plat::AdvertisingProvider provider;
        provider.trackingEnabled = tracking;
        provider.advertisingIdentifier = *plat::UUID::parse(uuid);
        plat::sim::Device::installAdvertisingProvider(provider);
    }
    std::unique_ptr<DMSIdentity> identity() {
        auto made = DMSIdentity::initWithPersistedConfig(DMSPersistedConfig::sharedInstance());
        EXPECT_TRUE(made);
        return made;
    }
    static constexpr const char* kZero = "00000000-0000-0000-0000-000000000000";
    static constexpr const char* kFirst = "11111111-2222-3333-4444-555555555555";
    static constexpr const char* kSecond = "99999999-8888-7777-6666-555555555555";
};

TEST(DMSIdentityVersion, NumericFieldsKeepTheDigitsOfEachComponent) {
    struct Case {
        std::string version;
        std::vector<int64_t> fields;
        size_t reports;
    };
    const std::vector<Case> cases = {
        {"1.2b3.4", {1, 23, 4}, 1},
        {"7", {7}, 0},
        {"1..2.", {1, 2}, 0},
        {"99999999999999999999999.5", {std::numeric_limits<int64_t>::max(), 5}, 0},
        {"", {}, 0},
    };
    for (const auto& c : cases) {
        dms::test::MonitorRecorder monitor;
        EXPECT_EQ(DMSIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields) << c.version;
        auto codes = monitor.codes();
        EXPECT_EQ(static_cast<size_t>(std::count(codes.begin(), codes.end(), 20002)), c.reports) << c.version;
    }
    EXPECT_EQ(DMSIdentity::vivEduzavedovoLibraryVersion(), 50300);
}

TEST_F(DMSIdentityTest, TheBundlesVersionAndTheAppIDsAreRead) {
    makeBundle(dms::test::engineOptionsFile(dms::test::kEngineAppID, "<key>ADNET_APP_ID</key><string>ca-app</string>\n"),
               {{"CFBundleShortVersionString", plat::Value("2.1")}, {"CFBundleVersion", plat::Value("7")}});
    auto made = identity();
    EXPECT_EQ(made->appID(), "test.measurement");
    EXPECT_EQ(made->appVersion(), "2.1");
    EXPECT_EQ(made->appVersionMajor(), 7);
    EXPECT_EQ(made->appVersionMinor(), std::nullopt);
    EXPECT_EQ(made->appVersionRelease(), std::nullopt);
    EXPECT_EQ(made->appIDFromRMP(), dms::test::kEngineAppID);
    EXPECT_EQ(made->appIDFromAdNet(), "ca-app");
    // Set once per process; an empty one is refused.
    made->setAppIDFromRMP("");
    made->setAppIDFromRMP("1:2:ios:first");
    made->setAppIDFromRMP("1:2:ios:second");
    EXPECT_EQ(made->appIDFromRMP(), "1:2:ios:first");
    EXPECT_EQ(countOf(20005), 1u);
    EXPECT_EQ(made->vedudoduInstanceID(), std::nullopt);
}

TEST_F(DMSIdentityTest, ZeroAdvertisingIdentifierLeavesTheHashUnset) {
    makeBundle();
    advertise(kZero, false);
    auto made = identity();
    const auto instanceID = made->appInstanceID();
    ASSERT_TRUE(instanceID);
    EXPECT_EQ(instanceID->size(), 32u);
    EXPECT_EQ(instanceID->find_first_not_of("0123456789ABCDEFabcdef"), std::string::npos);
    EXPECT_EQ(made->hashedIDFA(), std::nullopt);
    EXPECT_EQ(made->resettableDeviceID(), std::nullopt);
    EXPECT_TRUE(made->limitedAdTracking());
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->appInstanceID(), instanceID);
}

// A first identifier is only remembered; a reset one (after the cache time) gives a new install ID.
TEST_F(DMSIdentityTest, AChangedAdvertisingIdentifierGivesANewInstanceIDAfterTheCacheTime) {
    makeBundle();
    // The manager is found once per process, as the framework is linked or not; tracking starts off.
    advertise(kZero, false);
    auto made = identity();
    const auto original = made->appInstanceID();
    EXPECT_EQ(made->hashedIDFA(), std::nullopt);

    plat::sim::Device::removeAdvertisingProvider();
    advertise(kFirst);
    plat::Virtual::advanceBy(DMSMeasurement::remoteConfig().adIDCacheTime() + 1);
    EXPECT_EQ(made->appInstanceID(), original);
    const auto firstHash = made->hashedIDFA();
    ASSERT_TRUE(firstHash);
    EXPECT_EQ(made->resettableDeviceID(), kFirst);
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->hashedIDFA(), firstHash);

    plat::sim::Device::removeAdvertisingProvider();
    advertise(kSecond);
    // Within the cache time the change is not noticed.
    EXPECT_EQ(made->appInstanceID(), original);
    plat::Virtual::advanceBy(DMSMeasurement::remoteConfig().adIDCacheTime() + 1);
    const auto renewed = made->appInstanceID();
    EXPECT_NE(renewed, original);
    EXPECT_NE(made->hashedIDFA(), firstHash);
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->appInstanceID(), renewed);
}

TEST_F(DMSIdentityTest, TheVendorIdentifierFollowsThePlistSwitchOverTheRemoteOne) {
    struct Case {
        std::optional<bool> plistSwitch;
        const char* remote;
        bool collected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "1", true}, {std::nullopt, "0", false}, {false, "1", false}, {true, "0", true}};
    advertise(kZero, false);
    for (const auto& c : cases) {
        plat::Dictionary info;
        if (c.plistSwitch) {
            info.set("RAZOZA_ANALYTICS_IDFV_COLLECTION_ENABLED", plat::Value(*c.plistSwitch));
        }
        makeBundle(dms::test::engineOptionsFile(), info);
        useSettings({{"measurement.identity.identifier_for_vendor_collection_enabled", std::string(c.remote)}});
        auto made = identity();
        settle(); // the vendor identifier is read on the main queue
        EXPECT_EQ(made->identifierForVendor().has_value(), c.collected) << c.remote;
    }
    // Never beside a resettable device identifier.
    plat::sim::Device::removeAdvertisingProvider();
    advertise(kFirst);
    auto made = identity();
    EXPECT_EQ(made->identifierForVendor(), std::nullopt);
}

TEST_F(DMSIdentityTest, TheIdentifiersViewAndItsAdEventCounter) {
    makeBundle();
    auto& identifiers = DMSIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.razozaAppID(), dms::test::kEngineAppID);
    EXPECT_EQ(identifiers.analyticsAppID(), dms::test::kEngineAppID);
    EXPECT_EQ(identifiers.libraryVersion(), "50300");
    const int64_t first = std::stoll(identifiers.adEventID());
    EXPECT_EQ(std::stoll(identifiers.adEventID()), first + 1);
    identifiers.setOrigin("");
    EXPECT_EQ(countOf(37004), 1u);
    identifiers.setOrigin("fa");
    EXPECT_EQ(identifiers.origin(), "fa");
}

} // namespace
