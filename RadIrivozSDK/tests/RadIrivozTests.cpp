// The push client's facade: the application identifier and the subscriber id it owns, the in-focus display
// type, the permission prompt per OS version, and delivery of opened and received notifications.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using plat::Virtual;

constexpr const char* kAppId = "4e1b7c2a-9d3f-4a6e-b5c8-2f7a0d9e3b61";

class RadIrivozTest : public ::testing::Test {
protected:
    void boot(const std::string& os) {
        plat::DeviceConfig config;
        config.appHome = home.home();
        config.osVersion = os;
        ASSERT_TRUE(plat::boot(config).ok());
    }
    static plat::UserDefaults& defaults() { return plat::UserDefaults::standardUserDefaults(); }
    static plat::Dictionary message(const std::string& id, plat::Dictionary additional = {}) {
        return plat::Dictionary{{"aps", plat::Value(plat::Dictionary{{"alert", "Hello"}})},
                                {"custom", plat::Value(plat::Dictionary{{"i", plat::Value(id)},
                                                                        {"a", plat::Value(additional)}})}};
    }

    plat::test::TempAppHome home;
};

TEST_F(RadIrivozTest, ANewApplicationIdForgetsTheSubscriberIdOfTheOldOne) {
    defaults().set("RV_APP_ID", plat::Value("9d3f0a12-4c7e-11e6-8b21-3e5a7c9d1f40"));
    defaults().set("RV_PLAYER_ID", plat::Value("old-player"));

    EXPECT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));

    EXPECT_EQ(defaults().string("RV_APP_ID"), kAppId);
    EXPECT_FALSE(defaults().string("RV_PLAYER_ID"));
    EXPECT_EQ(RadIrivoz::app_id(), kAppId);
}

TEST_F(RadIrivozTest, TheSameApplicationIdKeepsTheSubscriberId) {
    defaults().set("RV_APP_ID", plat::Value(kAppId));
    defaults().set("RV_PLAYER_ID", plat::Value("player-1"));

    EXPECT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));

    auto state = RadIrivoz::getPermissionSubscriptionState();
    ASSERT_TRUE(state && state->subscriptionStatus());
    EXPECT_EQ(state->subscriptionStatus()->userId(), "player-1");
}

TEST_F(RadIrivozTest, NoSubscriberIdUntilTheDeviceIsRegistered) {
    auto state = RadIrivoz::getPermissionSubscriptionState();
    ASSERT_TRUE(state && state->subscriptionStatus());
    EXPECT_FALSE(state->subscriptionStatus()->userId());
}

struct AppIdCase {
    const char* name;
    std::optional<std::string> appId;
    bool accepted;
    const char* logged; // a fragment of the system log, or "" for none expected
};

void PrintTo(const AppIdCase& c, std::ostream* os) {
    *os << c.name;
}

class RadIrivozAppIdTest : public RadIrivozTest, public ::testing::WithParamInterface<AppIdCase> {};

TEST_P(RadIrivozAppIdTest, ChecksTheIdentifiersForm) {
    const AppIdCase& c = GetParam();
    plat::sim::ConsoleCapture console;
    EXPECT_EQ(RadIrivoz::initAppId(c.appId, defaults(), {}), c.accepted);
    if (*c.logged) {
        EXPECT_NE(console.nslog().find(c.logged), std::string::npos) << console.nslog();
    } else {
        EXPECT_EQ(console.nslog(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RadIrivozAppIdTest,
    ::testing::Values(
        AppIdCase{"LowerCaseUUID", std::string(kAppId), true, ""},
        AppIdCase{"UpperCaseUUID", std::string("4E1B7C2A-9D3F-4A6E-B5C8-2F7A0D9E3B61"), true, ""},
        AppIdCase{"NotAUUID", std::string("not-an-id"), false, "FATAL: RadIrivoz AppId format is invalid."},
        AppIdCase{"NoneAnywhere", std::nullopt, false, "FATAL: RadIrivoz AppId never set!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadIrivozTest, TheSystemNotificationDisplayNeedsOS10) {
    boot("9.3");
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    EXPECT_EQ(RadIrivoz::inFocusDisplayType(), RIInFocusDisplayType::RIInFocusDisplayInAppAlert);

    ASSERT_TRUE(plat::sim::Device::setOsVersion("10.0").ok());
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    EXPECT_EQ(RadIrivoz::inFocusDisplayType(), RIInFocusDisplayType::RIInFocusDisplayNotification);
}

TEST_F(RadIrivozTest, ThePromptAsksTheNotificationCentreAndAnswersOnMain) {
    boot("12.4");
    plat::sim::Notifications::answerAuthorization(false);
    std::optional<bool> answer;
    bool onMain = false;

    RadIrivoz::promptForPushNotificationsWithUserResponse([&](bool accepted) {
        onMain = plat::DispatchQueue::main()->isCurrent();
        answer = accepted;
    });
    Virtual::runUntilIdle();

    EXPECT_EQ(plat::sim::Notifications::authorizationRequests(), std::vector<uint64_t>{7});
    EXPECT_EQ(answer, false);
    EXPECT_TRUE(onMain);
}

TEST_F(RadIrivozTest, BelowOS10ThePromptIsTheLegacySettingsRegistration) {
    boot("9.3");
    plat::sim::App::setLegacyNotificationPrompt([](uint64_t) -> uint64_t { return 0; });
    std::optional<bool> answer;

    RadIrivoz::promptForPushNotificationsWithUserResponse([&](bool accepted) { answer = accepted; });
    Virtual::runUntilIdle();

    EXPECT_EQ(answer, false);
}

TEST_F(RadIrivozTest, StartUpWithoutAutoPromptDoesNotAsk) {
    boot("12.4");
    RadIrivoz::initWithLaunchOptions(plat::Value(), std::string(kAppId), nullptr, nullptr,
                                     plat::Dictionary{{kOSSettingsKeyAutoPrompt, plat::Value(false)}});
    Virtual::runUntilIdle();
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty());

    RadIrivoz::initWithLaunchOptions(plat::Value(), std::string(kAppId), nullptr, nullptr, {});
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u) << "absent means ask";
}

TEST_F(RadIrivozTest, TheOpenedBlockRunsOncePerMessageId) {
    std::vector<std::string> opened;
    RadIrivozHelper::notificationBlocks(
        nullptr, [&](std::shared_ptr<const RINotificationOpenedResult> result) {
            ASSERT_TRUE(result && result->notification() && result->notification()->payload());
            opened.push_back(*result->notification()->payload()->notificationID());
            EXPECT_EQ(result->action()->type(), RIOpenedActionType::RIOpenedActionButton);
            EXPECT_EQ(result->action()->actionID(), "b1");
        });
    auto open = [](const plat::Dictionary& userInfo) {
        RadIrivoz::handleNotificationOpened(userInfo, RIOpenedActionType::RIOpenedActionButton,
                                            std::string("b1"),
                                            RIInFocusDisplayType::RIInFocusDisplayNotification);
    };

    open(message("m1"));
    open(message("m1"));
    open(message("m2"));
    open(message("m1"));
    open(plat::Dictionary{{"aps", plat::Value(plat::Dictionary{{"alert", "not ours"}})}});

    EXPECT_EQ(opened, (std::vector<std::string>{"m1", "m2", "m1"}));
}

TEST_F(RadIrivozTest, TheReceivedBlockRunsOncePerMessageIdAndKnowsWhetherItWasShown) {
    std::vector<bool> shown;
    RadIrivozHelper::notificationBlocks(
        [&](std::shared_ptr<const RINotification> notification) {
            shown.push_back(notification->wasShown());
        },
        nullptr);

    RadIrivoz::notificationReceived(message("m1"), RIInFocusDisplayType::RIInFocusDisplayNotification);
    RadIrivoz::notificationReceived(message("m1"), RIInFocusDisplayType::RIInFocusDisplayNotification);
    // Nothing to show: a silent notification is never shown.
    RadIrivoz::notificationReceived(
        plat::Dictionary{{"aps", plat::Value(plat::Dictionary{{"content-available", 1}})},
                         {"custom", plat::Value(plat::Dictionary{{"i", "m2"}})}},
        RIInFocusDisplayType::RIInFocusDisplayNotification);

    EXPECT_EQ(shown, (std::vector<bool>{true, false}));
}

} // namespace
