// The push client's facade: the application identifier and the subscriber id it owns, the in-focus display
// type, the permission prompt per OS version, and delivery of opened and received notifications.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"

#include "RadIrivozSDK/Source/RadIrivozAppDelegate.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "testing/TempAppHome.hpp"
#include "deployment/Deployment.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <strings.h>

#include "RadIrivozSDK/tests/TestAppId.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using plat::Virtual;

using radirivoz_test::kAppId;

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
    plat::ScriptedTransport& net = plat::sim::Network::useScripted();
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
    // The answer reaches the configured push client through its hook on the delegate.
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));
    RadIrivozAppDelegate::load();
    plat::UIApplication::sharedApplication()->setDelegate(plat::rt::createInstance(
        plat::rt::registerClass("LegacyPromptDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"})));
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
    boot("12.4");
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));
    std::vector<std::string> opened;
    RadIrivozHelper::notificationBlocks(
        nullptr, [&](std::shared_ptr<const RINotificationOpenedResult> result) {
            ASSERT_TRUE(result && result->notification() && result->notification()->payload());
            opened.push_back(*result->notification()->payload()->notificationID());
            EXPECT_EQ(result->action()->type(), RIOpenedActionType::RIOpenedActionButton);
            EXPECT_EQ(result->action()->actionID(), "b1");
        });
    auto open = [](plat::Dictionary userInfo) {
        userInfo.set("actionSelected", plat::Value("b1"));
        RadIrivoz::handleNotificationOpened(userInfo, false, RIOpenedActionType::RIOpenedActionButton,
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
    boot("12.4");
    ASSERT_TRUE(RadIrivoz::initAppId(std::string(kAppId), defaults(), {}));
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    std::vector<bool> shown;
    RadIrivozHelper::notificationBlocks(
        [&](std::shared_ptr<const RINotification> notification) {
            shown.push_back(notification->wasShown());
        },
        nullptr);

    RadIrivoz::notificationReceived(message("m1"), true, false);
    // The same id again while active, then after another one: the facade drops the first repeat, the
    // delivery the second.
    RadIrivoz::notificationReceived(message("m1"), true, false);
    RadIrivoz::notificationReceived(message("m1"), false, false);
    // Nothing to show: a silent notification is never shown.
    RadIrivoz::notificationReceived(
        plat::Dictionary{{"aps", plat::Value(plat::Dictionary{{"content-available", 1}})},
                         {"custom", plat::Value(plat::Dictionary{{"i", "m2"}})}},
        true, false);

    EXPECT_EQ(shown, (std::vector<bool>{true, false}));
}

// Start-up as the shell runs it: what goes out, what is stored, what is logged.
class RadIrivozStartUpTest : public RadIrivozTest {
protected:
    void SetUp() override {
        boot("12.4");
        RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, ONE_S_LOG_LEVEL::ONE_S_LL_NONE);
    }
    static std::string paramsURL(const std::string& appId) {
        return std::string(deployment::kPushRestRoot) + "api/v1/apps/" + appId + "/ios_params.js";
    }
    static void start(std::optional<std::string> appId, plat::Dictionary settings = {}) {
        RadIrivoz::initWithLaunchOptions(plat::Value(), std::move(appId), nullptr, nullptr, settings);
        Virtual::runUntilIdle();
    }
    // The parameters requests only: start-up also registers the player, which other suites look at.
    std::vector<plat::ScriptedRequest> paramsRequests() const {
        std::vector<plat::ScriptedRequest> sent;
        for (const auto& request : net.requests()) {
            if (request.url.find("/ios_params.js") != std::string::npos) {
                sent.push_back(request);
            }
        }
        return sent;
    }
    std::vector<std::string> sentURLs() const {
        std::vector<std::string> urls;
        for (const auto& request : paramsRequests()) {
            urls.push_back(request.method + " " + request.url);
        }
        return urls;
    }
};

TEST_F(RadIrivozStartUpTest, TheFirstStartAsksForTheParametersOnceAndStoresTheSettings) {
    net.route("GET", paramsURL(kAppId), plat::ScriptedReply::text(200, "{}"));
    start(std::string(kAppId));
    start(std::string(kAppId));

    auto sent = paramsRequests();
    ASSERT_EQ(sent.size(), 1u) << "once per process";
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].url, paramsURL(kAppId)) << "no query without a player id";
    auto header = [&](std::string_view name) {
        for (const auto& [key, value] : sent[0].headers) {
            if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) {
                return value;
            }
        }
        return std::string();
    };
    EXPECT_EQ(header("Content-Type"), "application/json");
    EXPECT_EQ(header("Accept"), "application/json");
    EXPECT_EQ(defaults().string("RV_APP_ID"), kAppId);
    EXPECT_EQ(defaults().object("RADIRIVOZ_INAPP_LAUNCH_URL"), plat::Value(true));
    EXPECT_TRUE(RadIrivoz::iosParamsDownloaded());
}

TEST_F(RadIrivozStartUpTest, WithoutAnIdentifierAnywhereNothingStartsOrGoesOut) {
    plat::sim::ConsoleCapture console;
    start(std::nullopt);

    EXPECT_NE(console.nslog().find("FATAL: RadIrivoz AppId never set!"), std::string::npos) << console.nslog();
    EXPECT_NE(console.nslog().find("FATAL: RadIrivoz AppId format is invalid.\nExample: "
                                   "'c4a1e2d3-0b5f-11e7-9a3c-7f2e1d0c4b6a'\n"),
              std::string::npos)
        << console.nslog();
    EXPECT_TRUE(net.requests().empty());
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty());
}

TEST_F(RadIrivozStartUpTest, TheStoredIdentifierServesWhenNoneIsGiven) {
    defaults().set("RV_APP_ID", plat::Value(kAppId));
    start(std::nullopt);
    EXPECT_EQ(sentURLs(), std::vector<std::string>{"GET " + paramsURL(kAppId)});
    EXPECT_EQ(RadIrivoz::app_id(), kAppId);
}

TEST_F(RadIrivozStartUpTest, AnExampleIdentifierWarnsAndStarts) {
    plat::sim::ConsoleCapture console;
    start(std::string(RadIrivoz::kExampleAppId));

    EXPECT_NE(console.nslog().find(std::string("WARNING: RadIrivoz Example AppID detected, please update to your "
                                               "app's id found on ") +
                                   std::string(deployment::kPushServiceSite)),
              std::string::npos)
        << console.nslog();
    EXPECT_EQ(RadIrivoz::app_id(), RadIrivoz::kExampleAppId);
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u);
}

TEST_F(RadIrivozStartUpTest, AnInvalidIdentifierChangesNothingStored) {
    defaults().set("RV_APP_ID", plat::Value(kAppId));
    defaults().set("RV_PLAYER_ID", plat::Value("player-1"));
    start(std::string("not-a-uuid"));

    EXPECT_EQ(defaults().string("RV_APP_ID"), kAppId);
    EXPECT_EQ(defaults().string("RV_PLAYER_ID"), "player-1");
    EXPECT_TRUE(net.requests().empty());
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty());
}

TEST_F(RadIrivozStartUpTest, WithoutConsentOnlyTheParametersGoOutUntilConsentReplaysStartUpOnce) {
    RadIrivoz::setRequiresUserPrivacyConsent(true);
    plat::sim::ConsoleCapture console;
    start(std::string(kAppId));

    EXPECT_EQ(sentURLs(), std::vector<std::string>{"GET " + paramsURL(kAppId)});
    EXPECT_EQ(defaults().object("GDPR_CONSENT_GRANTED"), plat::Value(0));
    EXPECT_FALSE(defaults().string("RV_APP_ID"));
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty());
    EXPECT_NE(console.nslog().find("VERBOSE: Delayed initialization of the RadIrivoz SDK until the user provides "
                                   "privacy consent using the consentGranted() method"),
              std::string::npos);
    EXPECT_TRUE(RadIrivoz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::string("sendTags")));
    EXPECT_NE(console.nslog().find("WARNING: Your application has called sendTags before the user granted privacy "
                                   "permission."),
              std::string::npos);

    RadIrivoz::consentGranted(false);
    Virtual::runUntilIdle();
    EXPECT_TRUE(plat::sim::Notifications::authorizationRequests().empty()) << "revoking starts nothing";

    RadIrivoz::consentGranted(true);
    Virtual::runUntilIdle();
    RadIrivoz::consentGranted(true);
    Virtual::runUntilIdle();
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u) << "replayed once";
    EXPECT_EQ(defaults().string("RV_APP_ID"), kAppId);
    EXPECT_EQ(paramsRequests().size(), 1u) << "the parameters are not asked again";
    EXPECT_FALSE(RadIrivoz::requiresUserPrivacyConsent());
}

struct FocusCase {
    const char* name;
    plat::Dictionary settings;
    RIInFocusDisplayType expected;
};

void PrintTo(const FocusCase& c, std::ostream* os) {
    *os << c.name;
}

class InFocusSettingTest : public RadIrivozStartUpTest, public ::testing::WithParamInterface<FocusCase> {};

TEST_P(InFocusSettingTest, TheSettingsChooseTheInFocusDisplay) {
    start(std::string(kAppId), GetParam().settings);
    EXPECT_EQ(RadIrivoz::inFocusDisplayType(), GetParam().expected);
}

using T = RIInFocusDisplayType;
INSTANTIATE_TEST_SUITE_P(
    Settings, InFocusSettingTest,
    ::testing::Values(
        FocusCase{"AlertsOff", {{"kOSSettingsKeyInAppAlerts", 0}}, T::RIInFocusDisplayNone},
        FocusCase{"AlertsTwoIgnored", {{"kOSSettingsKeyInAppAlerts", 2}}, T::RIInFocusDisplayInAppAlert},
        FocusCase{"OptionWins",
                  {{"kOSSettingsKeyInFocusDisplayOption", 2}, {"kOSSettingsKeyInAppAlerts", 0}},
                  T::RIInFocusDisplayNotification},
        FocusCase{"OptionThreeIgnored", {{"kOSSettingsKeyInFocusDisplayOption", 3}}, T::RIInFocusDisplayInAppAlert}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadIrivozStartUpTest, TheSettingsArePersistedOrKept) {
    defaults().set("RADIRIVOZ_INAPP_LAUNCH_URL", plat::Value(false));
    start(std::string(kAppId), {{"kOSSSettingsKeyPromptBeforeOpeningPushURL", true}});
    EXPECT_EQ(defaults().object("RADIRIVOZ_INAPP_LAUNCH_URL"), plat::Value(false)) << "kept when not given";
    EXPECT_EQ(defaults().object("PROMPT_BEFORE_OPENING_PUSH_URL"), plat::Value(true));
    EXPECT_TRUE(RadIrivoz::shouldPromptToShowURL());

    start(std::string(kAppId), {{"kOSSettingsKeyInAppLaunchURL", true}});
    EXPECT_EQ(defaults().object("RADIRIVOZ_INAPP_LAUNCH_URL"), plat::Value(true));
}

TEST_F(RadIrivozStartUpTest, AColdStartFromATapIsReportedOnce) {
    RadIrivoz::initWithLaunchOptions(
        plat::Value(plat::Dictionary{{plat::UIApplicationLaunchOptionsRemoteNotificationKey, plat::Dictionary{}}}),
        std::string(kAppId), nullptr, nullptr, {});
    EXPECT_TRUE(RadIrivoz::coldStartFromTapOnNotification());
    EXPECT_FALSE(RadIrivoz::coldStartFromTapOnNotification());
}

TEST_F(RadIrivozStartUpTest, TheParametersReplySetsEmailAuthProvisionalAuthorisationAndAnalytics) {
    net.route("GET", paramsURL(kAppId),
              plat::ScriptedReply::text(
                  200, R"({"require_email_auth":true,"uses_provisional_auth":true,"fba":true})"));
    start(std::string(kAppId), {{kOSSettingsKeyAutoPrompt, false}});

    EXPECT_TRUE(RadIrivoz::currentEmailSubscriptionState()->requiresEmailAuth());
    EXPECT_EQ(defaults().object("RADIRIVOZ_USES_PROVISIONAL_PUSH_AUTHORIZATION"), plat::Value(1));
    ASSERT_TRUE(RadIrivoz::iosParams());
    EXPECT_EQ(*RadIrivoz::iosParams()->find("fba"), plat::Value(true));
    const auto asked = plat::sim::Notifications::authorizationRequests();
    ASSERT_EQ(asked.size(), 1u) << "only the quiet authorisation, no prompt";
    EXPECT_NE(asked[0] & (1u << 6), 0u);
}

TEST_F(RadIrivozStartUpTest, FailedParametersAreAskedOnceMoreAfterTheNextRegistration) {
    net.route("GET", paramsURL(kAppId), plat::ScriptedReply::text(404, "{}"));
    start(std::string(kAppId));
    EXPECT_FALSE(RadIrivoz::iosParamsDownloaded());

    net.route("GET", paramsURL(kAppId), plat::ScriptedReply::text(200, R"({"fba":false})"));
    RadIrivoz::onRegistrationSucceeded();
    Virtual::runUntilIdle();
    RadIrivoz::onRegistrationSucceeded();
    Virtual::runUntilIdle();

    EXPECT_EQ(paramsRequests().size(), 2u);
    EXPECT_TRUE(RadIrivoz::iosParamsDownloaded());
}

TEST_F(RadIrivozStartUpTest, TheKnownPlayerGoesWithTheParametersRequestEncoded) {
    defaults().set("RV_APP_ID", plat::Value(kAppId));
    defaults().set("RV_PLAYER_ID", plat::Value("p 1&x"));
    start(std::string(kAppId));
    EXPECT_EQ(sentURLs(), std::vector<std::string>{"GET " + paramsURL(kAppId) + "?player_id=p%201%26x"});
}

TEST_F(RadIrivozStartUpTest, APlayerOfAnotherAppIdentifierIsNotSentWithTheParametersRequest) {
    defaults().set("RV_APP_ID", plat::Value(RadIrivoz::kExampleAppId2));
    defaults().set("RV_PLAYER_ID", plat::Value("old-player"));
    start(std::string(kAppId));
    EXPECT_EQ(sentURLs(), std::vector<std::string>{"GET " + paramsURL(kAppId)});
    EXPECT_FALSE(RadIrivoz::mUserId());
}

TEST_F(RadIrivozTest, LogLinesCarryTheirLevelsPrefixAndOnlyThoseWithinTheLevelAreWritten) {
    plat::sim::ConsoleCapture console;
    const std::pair<ONE_S_LOG_LEVEL, const char*> levels[] = {
        {ONE_S_LOG_LEVEL::ONE_S_LL_FATAL, "FATAL: one"},  {ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "ERROR: two"},
        {ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "WARNING: three"}, {ONE_S_LOG_LEVEL::ONE_S_LL_INFO, "INFO: four"},
        {ONE_S_LOG_LEVEL::ONE_S_LL_DEBUG, "DEBUG: five"},  {ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "VERBOSE: six"}};
    const char* words[] = {"one", "two", "three", "four", "five", "six"};
    for (size_t i = 0; i < 6; ++i) {
        RadIrivoz::radirivoz_Log(levels[i].first, words[i]);
    }
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(console.nslog().find(levels[i].second) != std::string::npos, i < 3)
            << "default level 3: " << levels[i].second;
    }
    RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, ONE_S_LOG_LEVEL::ONE_S_LL_NONE);
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, "six");
    EXPECT_NE(console.nslog().find("VERBOSE: six"), std::string::npos);
}

TEST_F(RadIrivozTest, TheSnapshotSharesTheLiveStatesAndDescribesTwoOfThem) {
    defaults().set("RV_PLAYER_ID", plat::Value("player-1"));
    auto snapshot = RadIrivoz::getPermissionSubscriptionState();
    EXPECT_EQ(snapshot->subscriptionStatus(), RadIrivoz::currentSubscriptionState());
    EXPECT_EQ(snapshot->emailSubscriptionStatus(), RadIrivoz::currentEmailSubscriptionState());
    EXPECT_EQ(snapshot->toDictionary().keys(),
              (std::vector<std::string>{"permissionStatus", "subscriptionStatus", "emailSubscriptionStatus"}));
    EXPECT_EQ(snapshot->description(),
              "<RIPermissionSubscriptionState:\npermissionStatus: <RIPermissionState: hasPrompted: 0, status: "
              "NotDetermined, provisional: 0>,\nsubscriptionStatus: <RISubscriptionState: userId: player-1, "
              "pushToken: (null), userSubscriptionSetting: 1, subscribed: 0>\n>");
}

} // namespace
