// The device-token registration against the local portal: the request it sends, where it goes, and the line
// it prints for each outcome.

#include "app/ASPushNotificationsService.hpp"

#include "app/tests/TrustedPortal.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using devserver::Reply;
using plat::Virtual;

constexpr const char* kPrefix = "registerPushNotificationWithDeviceToken result: ";

class ASPushNotificationsServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(app_test::startTrustedPortal(
            portal, plat::FileManager::defaultManager().temporaryDirectory() + "/test-ca.pem"));
    }
    void TearDown() override { portal.stop(); }

    // The bundle's Config.json with this base URL, or without one.
    void configure(std::optional<std::string> baseURL) {
        bundle.emplace(home.root() + "/Portal.app", plat::Dictionary{{"CFBundleIdentifier", "test.portal"}});
        bundle->add("Config.json", baseURL ? "{\"base_url\": \"" + *baseURL + "\"}" : "{}");
        bundle->makeMain();
    }
    bool waitForOutput(const plat::sim::ConsoleCapture& console) {
        return Virtual::runUntil([&] { return !console.out().empty(); }, 20);
    }

    plat::test::TempAppHome home;
    std::optional<plat::test::FixtureBundle> bundle;
    devserver::Server portal;
};

TEST_F(ASPushNotificationsServiceTest, PostsTheTokenAsJsonAndPrintsThePortalsReply) {
    configure("https://portal.example.test");
    plat::sim::ConsoleCapture console;

    ASPushNotificationsService().registerPushNotificationWithDeviceToken("abc");
    ASSERT_TRUE(waitForOutput(console));

    ASSERT_EQ(portal.requestCount(), 1u);
    const auto sent = portal.requests()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.path, devserver::kDevicePath);
    EXPECT_EQ(sent.header("content-type"), "application/json");
    auto body = plat::JSONSerialization::jsonObject(sent.body);
    ASSERT_TRUE(body) << sent.body;
    EXPECT_TRUE(body->isEqual(plat::Value(plat::Dictionary{{"device_type", "ios"}, {"device_token", "abc"}})))
        << sent.body;
    // The portal answers the JSON value true.
    EXPECT_EQ(console.out(), std::string(kPrefix) + "1\n");
}

TEST_F(ASPushNotificationsServiceTest, ABaseURLWithAPathKeepsItBeforeTheDevicePath) {
    configure("https://portal.example.test/tenant");
    portal.route("POST", "/tenant/intranet/rest/device/", Reply::json(200, "{\"ok\":true}"));
    plat::sim::ConsoleCapture console;

    ASPushNotificationsService().registerPushNotificationWithDeviceToken("abc");
    ASSERT_TRUE(waitForOutput(console));

    ASSERT_EQ(portal.requestCount(), 1u);
    EXPECT_EQ(portal.requests()[0].path, "/tenant/intranet/rest/device/");
}

TEST_F(ASPushNotificationsServiceTest, AFailedRequestPrintsTheErrorText) {
    configure("https://portal.example.test");
    portal.route("POST", devserver::kDevicePath, Reply::json(200, ""));
    plat::sim::ConsoleCapture console;

    ASPushNotificationsService().registerPushNotificationWithDeviceToken("abc");
    ASSERT_TRUE(waitForOutput(console));

    const std::string out = console.out();
    EXPECT_EQ(out.rfind(kPrefix, 0), 0u) << out;
    EXPECT_NE(out.find("inputDataNilOrZeroLength"), std::string::npos) << out;
}

struct NoAddressCase {
    const char* name;
    std::optional<std::string> baseURL;
};

void PrintTo(const NoAddressCase& c, std::ostream* os) {
    *os << c.name;
}

class ASPushNotificationsServiceNoAddressTest : public ASPushNotificationsServiceTest,
                                                public ::testing::WithParamInterface<NoAddressCase> {};

TEST_P(ASPushNotificationsServiceNoAddressTest, SendsNothingAndPrintsAnError) {
    configure(GetParam().baseURL);
    plat::sim::ConsoleCapture console;

    ASPushNotificationsService().registerPushNotificationWithDeviceToken("abc");
    EXPECT_FALSE(Virtual::runUntil([&] { return portal.requestCount() > 0; }, 0.3));

    const std::string out = console.out();
    EXPECT_EQ(out.rfind(kPrefix, 0), 0u) << out;
    EXPECT_GT(out.size(), std::string(kPrefix).size() + 1) << "the line names the error: " << out;
}

INSTANTIATE_TEST_SUITE_P(Cases, ASPushNotificationsServiceNoAddressTest,
                         ::testing::Values(NoAddressCase{"NoBaseURL", std::nullopt},
                                           NoAddressCase{"BaseURLWithoutHost", std::string("portal")}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
