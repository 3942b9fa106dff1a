// Player registration on the simulated device: the first launch from the prompt to the stored player id,
// the session window, failures of the service and of the device's push registrar, and the token and
// notification-types updates between sessions.

#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"

#include "RadIrivozSDK/Source/RadIrivozNotificationSettings.hpp"

namespace {

using namespace push::test;
using plat::Virtual;
using radirivoz_test::kAppId;

const plat::Data kToken{0xDE, 0xAD, 0xBE, 0xEF};

class RegistrationTest : public PushDeviceTest {
protected:
    // A first launch as the shell runs it: start-up without prompting, then the prompt, which the user
    // answers after a second; the registrar hands out the token at once.
    void firstLaunch(bool granted = true) {
        boot("12.4");
        setDelegate(makeDelegateClass("RegistrationAppDelegate", {"applicationDidBecomeActive:"}));
        plat::sim::Device::autoRegister(kToken);
        plat::sim::Notifications::answerAuthorization(granted, std::nullopt, 1.0);
        net->route("GET", apiURL("apps/"), plat::ScriptedReply::text(200, "{}"));
        start();
        RadIrivoz::promptForPushNotificationsWithUserResponse([this](bool accepted) { answer = accepted; });
        Virtual::runUntilIdle();
        Virtual::advanceBy(2);
    }

    std::optional<bool> answer;
};

TEST_F(RegistrationTest, AFirstLaunchCreatesOnePlayerWithTheTokenAndStoresItsId) {
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    firstLaunch();
    Virtual::advanceBy(60);

    EXPECT_EQ(answer, true);
    EXPECT_NE(console.nslog().find("INFO: Device Registered with Apple: deadbeef"), std::string::npos);
    EXPECT_NE(console.nslog().find("INFO: Device Registered with RadIrivoz: player-1"), std::string::npos);
    ASSERT_EQ(playerRequests(), std::vector<std::string>{"POST players"}) << "nothing more within 60 s";
    const plat::Dictionary record = body(sent("POST", "players").at(0));
    EXPECT_EQ(record.keys(),
              (std::vector<std::string>{"app_id", "device_os", "timezone", "device_type", "ad_id", "sdk",
                                        "device_model", "game_version", "net_type", "sdk_type", "ios_bundle",
                                        "language", "notification_types", "identifier"}));
    EXPECT_EQ(*record.find("app_id"), plat::Value(kAppId));
    EXPECT_EQ(*record.find("device_type"), plat::Value(0));
    EXPECT_EQ(*record.find("sdk"), plat::Value("020809"));
    EXPECT_EQ(*record.find("sdk_type"), plat::Value("native"));
    EXPECT_EQ(*record.find("ios_bundle"), plat::Value("test.example.portal"));
    EXPECT_EQ(*record.find("game_version"), plat::Value("7"));
    EXPECT_EQ(*record.find("device_os"), plat::Value("12.4"));
    EXPECT_EQ(*record.find("identifier"), plat::Value("deadbeef"));
    EXPECT_EQ(*record.find("notification_types"), plat::Value(15));
    EXPECT_EQ(defaults().string("RV_PLAYER_ID"), "player-1");
    EXPECT_EQ(defaults().string("RV_DEVICE_TOKEN"), "deadbeef");
    EXPECT_EQ(RadIrivoz::getPermissionSubscriptionState()->subscriptionStatus()->userId(), "player-1");
    EXPECT_GT(defaults().doubleValue("RV_LAST_CLOSED_TIME"), 0);
}

TEST_F(RegistrationTest, AReplyWithoutAStringIdStoresNothing) {
    for (const char* reply : {R"({"id":17})", R"({"success":true})", R"([])", R"({"id":""})"}) {
        SCOPED_TRACE(reply);
        RadIrivoz::clearStatics();
        defaults().remove("RV_PLAYER_ID");
        defaults().remove("RV_LAST_CLOSED_TIME");
        net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, reply));
        if (!delegate) {
            firstLaunch();
        } else {
            RadIrivoz::registerUser();
            Virtual::runUntilIdle();
        }
        EXPECT_FALSE(defaults().object("RV_PLAYER_ID"));
        EXPECT_FALSE(RadIrivoz::currentSubscriptionState()->userId());
    }
}

TEST_F(RegistrationTest, WithinTheSessionWindowNothingIsSentAfterItANewSession) {
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    firstLaunch();
    net->route("POST", apiURL("players/player-1/on_session"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    net->clearRequests();

    defaults().setDouble("RV_LAST_CLOSED_TIME", plat::Clock::now() - 10);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    EXPECT_TRUE(playerRequests().empty()) << "10 s since the last close";

    defaults().setDouble("RV_LAST_CLOSED_TIME", plat::Clock::now() - 31);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    ASSERT_EQ(playerRequests(), std::vector<std::string>{"POST players/player-1/on_session"});
    const plat::Dictionary record = body(sent("POST", "players/player-1/on_session").at(0));
    EXPECT_FALSE(record.contains("sdk_type"));
    EXPECT_FALSE(record.contains("ios_bundle"));
    EXPECT_EQ(*record.find("identifier"), plat::Value("deadbeef"));
}

TEST_F(RegistrationTest, WhileTheTokenIsAwaitedRegistrationWaitsTheRegistrationDelay) {
    boot("12.4");
    setDelegate(makeDelegateClass("WaitingAppDelegate", {}));
    plat::sim::Device::holdRegistrations();
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized);
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    start();
    Virtual::runUntilIdle();
    ASSERT_TRUE(RadIrivoz::waitingForApnsResponse());
    net->clearRequests();

    Virtual::advanceBy(10);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    EXPECT_TRUE(playerRequests().empty());
    Virtual::advanceBy(29);
    EXPECT_TRUE(playerRequests().empty());
    Virtual::advanceBy(1.5);
    EXPECT_EQ(playerRequests(), std::vector<std::string>{"POST players"}) << "retried 30 s later";
}

TEST_F(RegistrationTest, AFailedRegistrationKeepsTheIdAndTheNextOneRunsAtOnce) {
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    firstLaunch();
    net->route("POST", apiURL("players/player-1/on_session"), plat::ScriptedReply::text(503, "{}"));
    net->clearRequests();

    defaults().setDouble("RV_LAST_CLOSED_TIME", plat::Clock::now() - 31);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    Virtual::advanceBy(61); // the transport's two re-attempts
    EXPECT_EQ(sent("POST", "players/player-1/on_session").size(), 3u);
    EXPECT_NE(console.nslog().find("ERROR: Encountered error during push registration with RadIrivoz: "),
              std::string::npos);
    EXPECT_EQ(defaults().string("RV_PLAYER_ID"), "player-1");

    net->route("POST", apiURL("players/player-1/on_session"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    net->clearRequests();
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    EXPECT_EQ(playerRequests(), std::vector<std::string>{"POST players/player-1/on_session"})
        << "high priority: inside the session window all the same";
}

TEST_F(RegistrationTest, AFailingEmailRequestDoesNotCostTheCreatedPushPlayer) {
    defaults().set("RV_EMAIL_PLAYER_ID", plat::Value("email-1"));
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    net->route("POST", apiURL("players/email-1/on_session"), plat::ScriptedReply::text(400, R"({"errors":["no"]})"));
    firstLaunch();

    const auto emailRecords = sent("POST", "players/email-1/on_session");
    ASSERT_EQ(emailRecords.size(), 1u);
    const plat::Dictionary emailRecord = body(emailRecords[0]);
    EXPECT_EQ(*emailRecord.find("device_type"), plat::Value(11));
    EXPECT_FALSE(emailRecord.contains("identifier"));
    EXPECT_EQ(defaults().string("RV_PLAYER_ID"), "player-1");
    EXPECT_EQ(RadIrivoz::currentSubscriptionState()->userId(), "player-1");
    EXPECT_NE(console.nslog().find("ERROR: Encountered error during email registration with RadIrivoz: "),
              std::string::npos);

    // The next launch does not create another player.
    net->clearRequests();
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    EXPECT_TRUE(sent("POST", "players").empty());
}

TEST_F(RegistrationTest, AnEmailPlayerDueForAuthWaitsForItsCode) {
    defaults().set("RV_EMAIL_PLAYER_ID", plat::Value("email-1"));
    defaults().set("RV_REQUIRE_EMAIL_AUTH", plat::Value(true));
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    firstLaunch();
    EXPECT_TRUE(sent("POST", "players/email-1/on_session").empty());

    RadIrivoz::currentEmailSubscriptionState()->setEmailAuthCode("hash-1");
    net->route("POST", apiURL("players/"), plat::ScriptedReply::text(200, R"({"id":"email-2"})"));
    RadIrivoz::setNextRegistrationHighPriority(true);
    RadIrivoz::registerUser();
    Virtual::runUntilIdle();
    const auto emailRecords = sent("POST", "players/email-1/on_session");
    ASSERT_EQ(emailRecords.size(), 1u);
    EXPECT_EQ(*body(emailRecords[0]).find("email_auth_hash"), plat::Value("hash-1"));
    EXPECT_EQ(defaults().string("RV_EMAIL_PLAYER_ID"), "email-2");
}

TEST_F(RegistrationTest, AnotherEmailPlayerInTheReplyIsLinkedToThePushPlayerOnlyWithAHash) {
    struct Case {
        std::optional<std::string> hash;
        bool linked;
    };
    boot("12.4");
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
    for (const Case& c : {Case{std::string("hash-1"), true}, Case{std::nullopt, false}}) {
        SCOPED_TRACE(c.hash.value_or("no hash"));
        RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        auto email = RadIrivoz::currentEmailSubscriptionState();
        email->setEmailUserId(std::string("email-1"));
        email->setEmailAddress(std::string("user@example.test"));
        email->setEmailAuthCode(c.hash);
        net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"success":true})"));
        net->route("POST", apiURL("players/player-1/on_session"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
        net->route("POST", apiURL("players/email-1/on_session"), plat::ScriptedReply::text(200, R"({"id":"email-2"})"));
        net->clearRequests();
        RadIrivoz::setNextRegistrationHighPriority(true);
        RadIrivoz::registerUser();
        Virtual::runUntilIdle();
        EXPECT_EQ(email->emailUserId(), "email-2");
        std::vector<plat::Dictionary> links;
        for (const auto& request : sent("PUT", "players/player-1")) {
            if (plat::Dictionary put = body(request); put.contains("parent_player_id")) {
                links.push_back(std::move(put));
            }
        }
        ASSERT_EQ(links.size(), c.linked ? 1u : 0u);
        if (c.linked) {
            const plat::Value link(links.front());
            EXPECT_EQ(link["parent_player_id"], plat::Value("email-2"));
            EXPECT_EQ(link["email_auth_hash"], plat::Value("hash-1"));
            EXPECT_EQ(link["email"], plat::Value("user@example.test"));
        }
    }
}

struct ApnsFailureCase {
    const char* name;
    int64_t code;
    const char* description;
    int32_t status;
    const char* line;
};

class ApnsFailureTest : public RegistrationTest, public ::testing::WithParamInterface<ApnsFailureCase> {};

TEST_P(ApnsFailureTest, ARegistrarErrorBecomesTheNotificationTypesOfThePlayer) {
    const ApnsFailureCase& c = GetParam();
    defaults().set("RV_APP_ID", plat::Value(kAppId));
    defaults().set("RV_PLAYER_ID", plat::Value("player-1"));
    boot("12.4");
    setDelegate(makeDelegateClass("FailingAppDelegate", {}));
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized);
    plat::sim::Device::failRegistration("NSCocoaErrorDomain", c.code, c.description);
    net->route("", apiURL(""), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    start();
    Virtual::runUntilIdle();

    EXPECT_EQ(RadIrivoz::getNotificationTypes(), c.status);
    EXPECT_NE(console.nslog().find(c.line), std::string::npos) << console.nslog();
    const auto updates = sent("PUT", "players/player-1");
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(body(updates.back()),
              (plat::Dictionary{{"app_id", plat::Value(kAppId)}, {"notification_types", plat::Value(c.status)}}));
    EXPECT_FALSE(RadIrivoz::waitingForApnsResponse());
    if (c.status < -9) {
        EXPECT_FALSE(RadIrivoz::registerForAPNsToken()) << "a fatal registration error is not retried";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Registrar, ApnsFailureTest,
    ::testing::Values(
        ApnsFailureCase{"Simulator", 3010, "remote notifications are not supported", -15,
                        "ERROR: Error! iOS Simulator does not support push!"},
        ApnsFailureCase{"NoEntitlement", 3000, "no valid 'aps-environment' entitlement string found for application",
                        -13, "ERROR: ERROR! 'Push Notification' capability not turned on!"},
        ApnsFailureCase{"Other3000", 3000, "something else", -17,
                        "ERROR: ERROR! Unknown 3000 error returned from APNs when getting a push token: "},
        ApnsFailureCase{"Other", 42, "offline", -16, "ERROR: Error registering for Apple push notifications!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistrationTest, ANewTokenOfAKnownPlayerIsPutOnceAndTheSameTokenNotAgain) {
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    net->route("PUT", apiURL("players/player-1"), plat::ScriptedReply::text(200, R"({"success":true})"));
    firstLaunch();
    net->clearRequests();

    int successes = 0;
    RadIrivoz::updateDeviceToken("deadbeef", [&](const std::optional<plat::Value>& reply) {
        EXPECT_FALSE(reply);
        ++successes;
    }, nullptr);
    EXPECT_EQ(successes, 1);
    EXPECT_TRUE(playerRequests().empty());

    RadIrivoz::didRegisterForRemoteNotifications(plat::UIApplication::sharedApplication(),
                                                 plat::Data{0x00, 0x0A, 0xFF});
    Virtual::runUntilIdle();
    ASSERT_EQ(playerRequests(), std::vector<std::string>{"PUT players/player-1"});
    EXPECT_EQ(*body(sent("PUT", "players/player-1")[0]).find("identifier"), plat::Value("000aff"));
    EXPECT_EQ(defaults().string("RV_DEVICE_TOKEN"), "000aff");
}

TEST_F(RegistrationTest, TheSubscriptionSwitchSendsTheTypesAndHoldsPermissionChangesBackUntilAnswered) {
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-1"})"));
    net->route("PUT", apiURL("players/player-1"), plat::ScriptedReply::text(200, "{}").after(5));
    firstLaunch();
    net->clearRequests();

    RadIrivoz::setSubscription(false);
    EXPECT_EQ(defaults().string("RADIRIVOZ_SUBSCRIPTION"), "no");
    EXPECT_EQ(RadIrivoz::getNotificationTypes(), -2);
    Virtual::runUntilIdle();
    ASSERT_EQ(sent("PUT", "players/player-1").size(), 1u);
    EXPECT_EQ(*body(sent("PUT", "players/player-1")[0]).find("notification_types"), plat::Value(-2));

    // A permission change while the update is on its way reaches the subscription state after the answer.
    RadIrivoz::currentPermissionState()->setAccepted(false);
    EXPECT_TRUE(RadIrivoz::currentSubscriptionState()->accpeted());
    EXPECT_TRUE(RadIrivoz::currentSubscriptionState()->delayedObserverUpdate());
    Virtual::advanceBy(6);
    EXPECT_FALSE(RadIrivoz::shouldDelaySubscriptionSettingsUpdate());

    RadIrivoz::setSubscription(true);
    EXPECT_FALSE(defaults().object("RADIRIVOZ_SUBSCRIPTION"));
}

TEST_F(RegistrationTest, PurchasesGoToThePushPlayerAndTheEmailPlayerWithItsHash) {
    boot("12.4");
    const plat::Array purchases{plat::Value(plat::Dictionary{{"sku", "gold"}, {"amount", 1.99}, {"iso", "EUR"}})};
    RadIrivoz::sendPurchases(purchases);
    Virtual::runUntilIdle();
    EXPECT_TRUE(playerRequests().empty()) << "no player yet";

    ASSERT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));
    RadIrivoz::currentSubscriptionState()->setUserId("player-1");
    RadIrivoz::currentEmailSubscriptionState()->setEmailUserId("email-1");
    RadIrivoz::currentEmailSubscriptionState()->setEmailAuthCode("hash-1");
    net->route("POST", apiURL("players/"), plat::ScriptedReply::text(200, R"({"success":true})"));
    RadIrivoz::sendPurchases(purchases);
    Virtual::runUntilIdle();
    const auto push = sent("POST", "players/player-1/on_purchase");
    const auto email = sent("POST", "players/email-1/on_purchase");
    ASSERT_EQ(push.size(), 1u);
    ASSERT_EQ(email.size(), 1u);
    EXPECT_EQ(*body(push[0]).find("purchases"), plat::Value(purchases));
    EXPECT_EQ(*body(email[0]).find("email_auth_hash"), plat::Value("hash-1"));
}

TEST_F(RegistrationTest, IdsAvailableWaitsForThePlayerAndIsForgottenOnceATokenCameWithIt) {
    std::vector<std::pair<std::string, std::optional<std::string>>> calls;
    boot("12.4");
    RadIrivoz::IdsAvailable([&](const std::string& userId, const std::optional<std::string>& token) {
        EXPECT_TRUE(plat::DispatchQueue::main()->isCurrent());
        calls.emplace_back(userId, token);
    });
    Virtual::runUntilIdle();
    EXPECT_TRUE(calls.empty()) << "no player yet";

    RadIrivoz::currentSubscriptionState()->setUserId("player-1");
    RadIrivoz::fireIdsAvailableCallback();
    Virtual::runUntilIdle();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].second, std::nullopt) << "no usable token: the permission is not granted";

    RadIrivoz::currentSubscriptionState()->setPushToken("abcd");
    RadIrivoz::currentPermissionState()->setAccepted(true);
    RadIrivoz::fireIdsAvailableCallback();
    RadIrivoz::fireIdsAvailableCallback();
    Virtual::runUntilIdle();
    ASSERT_EQ(calls.size(), 2u) << "dropped after the call that carried the token";
    EXPECT_EQ(calls[1], (std::pair<std::string, std::optional<std::string>>{"player-1", "abcd"}));
}

TEST_F(RegistrationTest, TheBackgroundModeRegistersForATokenBeforeTheUserAcceptsAndOnlyOnce) {
    boot("12.4", plat::Dictionary{{"UIBackgroundModes", plat::Value(plat::Array{plat::Value("remote-notification")})}});
    plat::sim::Device::holdRegistrations();
    EXPECT_TRUE(RadIrivoz::registerForAPNsToken());
    EXPECT_TRUE(RadIrivoz::registerForAPNsToken());
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Device::registrar()->requestCount(), 1u) << "fired once while the answer is awaited";
}

TEST_F(RegistrationTest, WithoutTheBackgroundModeOrPermissionNoTokenIsAskedFor) {
    boot("12.4");
    plat::sim::Device::holdRegistrations();
    EXPECT_FALSE(RadIrivoz::registerForAPNsToken());
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Device::registrar()->requestCount(), 0u);
}

} // namespace
