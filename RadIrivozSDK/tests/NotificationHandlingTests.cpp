// Notifications on the simulated device, from the platform's delivery to the app's blocks: the notification
// centre's hooks, the facade's duplicate checks and opened report, the launch URL, badge clearing, the in-app
// alert below OS 10, local actions, background pushes and the hashed e-mail.

#include "RadIrivozSDK/Source/RadIrivozAlertView.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozSeams.hpp"
#include "RadIrivozSDK/Source/RadIrivozUNUserNotificationCenter.hpp"
#include "RadIrivozSDK/Source/RadIrivozWebView.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "platform/uikit/CompletionCheck.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/usernotifications/UNConstants.hpp"
#include "platform/usernotifications/UNNotification.hpp"
#include "platform/webkit/UIWebView.hpp"

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace push::test;
using plat::Virtual;
namespace rt = plat::rt;

plat::Dictionary jsonDictionary(const std::string& json) {
    auto value = plat::JSONSerialization::jsonObject(json);
    EXPECT_TRUE(value.ok() && value->isDictionary()) << json;
    return value.ok() && value->isDictionary() ? value->asDictionary() : plat::Dictionary{};
}

// What the app's two blocks saw.
struct Deliveries {
    std::vector<std::shared_ptr<const RINotification>> received;
    std::vector<std::shared_ptr<const RINotificationOpenedResult>> opened;
};

class NotificationDeviceTest : public PushDeviceTest {
protected:
    // The app runs in front on the OS version, configured, with a key window and the player "player-1".
    void launch(const std::string& os, plat::Dictionary info = {}, bool withPlayer = true) {
        boot(os, std::move(info));
        setDelegate(makeDelegateClass("NotificationsAppDelegate", {}));
        window = plat::UIWindow::make();
        window->setRootViewController(plat::UIViewController::make());
        window->makeKeyAndVisible();
        plat::sim::App::becomeActive();
        ASSERT_TRUE(RadIrivoz::initAppId(std::string(radirivoz_test::kAppId), defaults(), {}));
        if (withPlayer) {
            RadIrivoz::currentSubscriptionState()->setUserId(std::string("player-1"));
        }
        RadIrivozHelper::notificationBlocks(
            [this](std::shared_ptr<const RINotification> n) { seen.received.push_back(n); },
            [this](std::shared_ptr<const RINotificationOpenedResult> r) { seen.opened.push_back(r); });
        net->route("PUT", apiURL("notifications/"), plat::ScriptedReply::text(200, "{}"));
        net->route("PUT", apiURL("players/"), plat::ScriptedReply::text(200, "{}"));
        net->route("GET", "https://u.example.test/", plat::ScriptedReply::text(200, "<title>Launch page</title>", "text/html"));
        Virtual::runUntilIdle();
    }

    Deliveries seen;
    std::shared_ptr<plat::UIWindow> window;
};

const char* const kTapPayload =
    R"({"aps":{"alert":"Open me"},"custom":{"i":"m-1","u":"https://u.example.test/","a":{"targetUrl":"https://portal.example.test/x"}}})";

TEST_F(NotificationDeviceTest, ATapIsReportedOnceOpensTheLaunchURLAndReachesTheOpenedBlockOnce) {
    launch("12.1");
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(kTapPayload))));
    Virtual::runUntilIdle();

    ASSERT_EQ(seen.opened.size(), 1u);
    const auto& result = *seen.opened.front();
    EXPECT_EQ(result.action()->type(), RIOpenedActionType::RIOpenedActionBody);
    EXPECT_FALSE(result.action()->actionID());
    EXPECT_EQ((*result.notification()->payload()->additionalData()->find("targetUrl")).stringValue(),
              "https://portal.example.test/x");
    EXPECT_EQ(result.notification()->displayType(), RIInFocusDisplayType::RIInFocusDisplayNotification);
    const auto reports = sent("PUT", "notifications/m-1");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(body(reports.front()),
              (plat::Dictionary{{"player_id", plat::Value("player-1")},
                                {"app_id", plat::Value(radirivoz_test::kAppId)},
                                {"opened", plat::Value(true)}}));
    EXPECT_EQ(defaults().string("RV_LAST_MESSAGE_OPENED_"), "m-1");

    // The launch URL: 0.5 s, then the 0.25 s of the opening step.
    Virtual::advanceBy(0.74);
    EXPECT_FALSE(RadIrivozHelper::webVC());
    Virtual::advanceBy(0.02);
    Virtual::runUntilIdle();
    auto web = RadIrivozHelper::webVC();
    ASSERT_TRUE(web);
    ASSERT_TRUE(web->webView());
    EXPECT_EQ(web->webView()->url()->absoluteString(), "https://u.example.test/");
    auto navigation = RadIrivozWebView::presentedNavigationController();
    ASSERT_TRUE(navigation && navigation->presentingViewController());
    EXPECT_EQ(web->title(), "Launch page");
    EXPECT_TRUE(plat::sim::App::recorder().openedURLs().empty());

    // The same tap again, then again once the in-memory state is gone as after a restart: no second report.
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(kTapPayload))));
    Virtual::advanceBy(1);
    EXPECT_EQ(seen.opened.size(), 1u);
    RadIrivozHelper::resetLocals();
    RadIrivoz::setLastnonActiveMessageId(std::nullopt);
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(kTapPayload))));
    Virtual::advanceBy(1);
    EXPECT_EQ(sent("PUT", "notifications/m-1").size(), 1u);
    EXPECT_TRUE(plat::sim::CompletionHandlers::problems().empty());
}

TEST_F(NotificationDeviceTest, TheDoneButtonDismissesTheWebViewAndTheNextURLPresentsItAgain) {
    launch("12.1");
    RadIrivozHelper::displayWebView(*plat::URL::parse("https://u.example.test/"));
    Virtual::advanceBy(0.3);
    auto web = RadIrivozHelper::webVC();
    ASSERT_TRUE(web);
    auto navigation = RadIrivozWebView::presentedNavigationController();
    ASSERT_TRUE(navigation->presentingViewController());

    // Shown again while on screen: the page reloads in place, nothing more is presented.
    RadIrivozHelper::displayWebView(*plat::URL::parse("https://u.example.test/again"));
    Virtual::advanceBy(0.3);
    EXPECT_EQ(RadIrivozHelper::webVC(), web);
    EXPECT_EQ(web->webView()->url()->absoluteString(), "https://u.example.test/again");

    ASSERT_TRUE(plat::sim::App::tapBarButtonItem(web->navigationItem().leftBarButtonItem));
    Virtual::runUntilIdle();
    EXPECT_FALSE(navigation->presentingViewController());
    EXPECT_EQ(web->navigationItem().rightBarButtonItem->customView(), std::static_pointer_cast<plat::UIView>(web->uiBusy()));

    RadIrivozHelper::displayWebView(*plat::URL::parse("https://u.example.test/"));
    Virtual::advanceBy(0.3);
    EXPECT_TRUE(navigation->presentingViewController());
    EXPECT_EQ(web->webView()->url()->absoluteString(), "https://u.example.test/");
}

TEST_F(NotificationDeviceTest, ADismissCallsTheHandlerOnceAndTellsTheFacadeNothing) {
    launch("12.1");
    auto notification = plat::sim::Notifications::makeRemoteNotification(plat::Value(jsonDictionary(kTapPayload)));
    plat::sim::Notifications::deliverToList(notification);
    ASSERT_TRUE(plat::sim::Notifications::respond(notification, "com.apple.UNNotificationDismissActionIdentifier"));
    Virtual::advanceBy(1);
    EXPECT_TRUE(seen.opened.empty());
    EXPECT_TRUE(sent("PUT", "notifications/m-1").empty());
    const auto responses = plat::sim::Notifications::responses();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_TRUE(responses.front().completed);
    EXPECT_TRUE(plat::sim::CompletionHandlers::problems().empty());
}

TEST_F(NotificationDeviceTest, WillPresentChoosesTheOptionsFromTheInFocusDisplayType) {
    launch("12.1");
    struct Case {
        RIInFocusDisplayType type;
        const char* json;
        uint64_t options;
        bool received;
        bool opened;
    };
    const Case cases[] = {
        {RIInFocusDisplayType::RIInFocusDisplayNone, R"({"aps":{"alert":"Hi"},"custom":{"i":"n-0"}})", 0, true,
         false},
        // The in-app alert shows and hands the notification to the received block itself.
        {RIInFocusDisplayType::RIInFocusDisplayInAppAlert, R"({"aps":{"alert":"Hi"},"custom":{"i":"n-1"}})", 3,
         true, false},
        {RIInFocusDisplayType::RIInFocusDisplayNotification, R"({"aps":{"alert":"Hi"},"custom":{"i":"n-2"}})", 7,
         true, false},
        // Another sender's notification: shown fully, the facade never hears of it.
        {RIInFocusDisplayType::RIInFocusDisplayNone, R"({"aps":{"alert":"Hi"},"other":{"i":"f"}})", 7, false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        seen = {};
        RadIrivoz::setInFocusDisplayType(c.type);
        plat::sim::Device::receivePush(plat::Value(jsonDictionary(c.json)));
        Virtual::runUntilIdle();
        ASSERT_FALSE(plat::sim::Notifications::presentations().empty());
        EXPECT_EQ(plat::sim::Notifications::presentations().back().options, c.options);
        EXPECT_EQ(seen.received.size(), c.received ? 1u : 0u);
        EXPECT_EQ(seen.opened.size(), c.opened ? 1u : 0u);
    }
    // Display type none with a body counts as opened at once; the open is reported (no opened block while
    // active with nothing shown).
    EXPECT_EQ(sent("PUT", "notifications/n-0").size(), 1u);
    EXPECT_TRUE(sent("PUT", "notifications/n-2").empty());
    EXPECT_TRUE(plat::sim::CompletionHandlers::problems().empty());
}

TEST_F(NotificationDeviceTest, AnAppCentreDelegateKeepsItsOwnMethodsAndTheHandlerRunsOnce) {
    launch("12.1");
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    rt::Class* cls = rt::registerClass("AppCentreDelegate", rt::rootClass(), {"UNUserNotificationCenterDelegate"});
    std::vector<std::string> calls;
    rt::addMethod(cls, plat::kWillPresentNotificationSelector,
                  [&calls](rt::Object&, rt::ObjectPtr, rt::ObjectPtr, plat::UNPresentationHandler done) {
                      calls.push_back("present");
                      done(1); // the app's own choice comes first and counts
                  });
    rt::addMethod(cls, plat::kDidReceiveNotificationResponseSelector,
                  [&calls](rt::Object&, rt::ObjectPtr, rt::ObjectPtr, std::function<void()> done) {
                      calls.push_back("response");
                      done();
                  });
    auto first = rt::createInstance(cls);
    auto second = rt::createInstance(cls);
    auto center = plat::UNUserNotificationCenter::currentNotificationCenter();
    center->setDelegate(first);
    center->setDelegate(first);
    // A second object of the hooked class: its class must keep the hooks, not get them swapped back.
    center->setDelegate(second);

    plat::sim::Device::receivePush(plat::Value(jsonDictionary(R"({"aps":{"alert":"Hi"},"custom":{"i":"d-1"}})")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(R"({"aps":{"alert":"Hi"},"custom":{"i":"d-2"}})"))));
    Virtual::runUntilIdle();

    EXPECT_EQ(calls, (std::vector<std::string>{"present", "response"}));
    EXPECT_EQ(seen.received.size(), 1u);
    EXPECT_EQ(seen.opened.size(), 1u);
    EXPECT_EQ(plat::sim::Notifications::presentations().back().options, 1u);
    EXPECT_TRUE(plat::sim::CompletionHandlers::problems().empty()) << plat::sim::CompletionHandlers::problems().front();
}

TEST_F(NotificationDeviceTest, AuthorizationRequestsKeepThePermissionAndTheSettingsCache) {
    launch("12.1");
    auto center = plat::UNUserNotificationCenter::currentNotificationCenter();

    center->requestAuthorizationWithOptions(64, nullptr);
    Virtual::runUntilIdle();
    EXPECT_FALSE(RadIrivoz::currentPermissionState()->hasPrompted()) << "provisional alone asks nobody";
    EXPECT_FALSE(RadIrivoz::currentPermissionState()->answeredPrompt());
    EXPECT_FALSE(RadIrivozUNUserNotificationCenter::authorizationInProgress());

    // A settings read fills the cache; during the next request reads answer from it, at once.
    int reads = 0;
    center->getNotificationSettingsWithCompletionHandler([&](plat::UNNotificationSettings) { ++reads; });
    Virtual::runUntilIdle();
    ASSERT_TRUE(RadIrivozUNUserNotificationCenter::cachedSettings());
    const size_t centreReads = plat::sim::Notifications::settingsRequestCount();
    plat::sim::Notifications::setPendingMode(true);
    center->requestAuthorizationWithOptions(7, nullptr);
    Virtual::runUntilIdle();
    EXPECT_TRUE(RadIrivozUNUserNotificationCenter::authorizationInProgress());
    EXPECT_TRUE(RadIrivoz::currentPermissionState()->hasPrompted());
    center->getNotificationSettingsWithCompletionHandler([&](plat::UNNotificationSettings) { ++reads; });
    EXPECT_EQ(reads, 2) << "answered on the caller's thread";
    EXPECT_EQ(plat::sim::Notifications::settingsRequestCount(), centreReads);
    ASSERT_TRUE(plat::sim::Notifications::answerPending(false));
    Virtual::runUntilIdle();
    EXPECT_TRUE(RadIrivoz::currentPermissionState()->answeredPrompt());
    EXPECT_FALSE(RadIrivoz::currentPermissionState()->accepted());
    EXPECT_FALSE(RadIrivozUNUserNotificationCenter::authorizationInProgress());
}

TEST_F(NotificationDeviceTest, ATextReplyReachesTheLegacyActionMethodWithTheTypedText) {
    launch("12.1");
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    std::vector<std::string> actions;
    rt::addMethod(rt::object_getClass(*delegate),
                  "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:",
                  [&](rt::Object&, rt::ObjectPtr, std::string action, plat::Value, plat::Value info,
                      std::function<void()> done) {
                      actions.push_back(action + ":" + info[plat::UIUserNotificationActionResponseTypedTextKey].stringValue());
                      done();
                  });
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(R"({"aps":{"alert":"Hi"},"custom":{"i":"t-1"}})")),
                                           "reply", std::string("on my way")));
    Virtual::runUntilIdle();
    EXPECT_EQ(actions, std::vector<std::string>{"reply:on my way"});
    ASSERT_EQ(seen.opened.size(), 1u);
    EXPECT_EQ(seen.opened.front()->action()->actionID(), "reply");
    EXPECT_EQ(seen.opened.front()->action()->type(), RIOpenedActionType::RIOpenedActionButton);
    EXPECT_TRUE(plat::sim::Notifications::responses().back().completed);
}

TEST_F(NotificationDeviceTest, BelowOS10TheInAppAlertOpensWithTheChosenButton) {
    launch("9.3");
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification); // becomes the alert
    const std::string payload =
        R"({"aps":{"alert":{"title":"T","body":"B"}},"custom":{"i":"a-1"},"buttons":[{"n":"One","i":"1"},{"n":"Two","i":"2"}]})";
    plat::sim::Device::receivePush(plat::Value(jsonDictionary(payload)));
    Virtual::runUntilIdle();
    const auto alerts = plat::sim::App::recorder().alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts.back().actions, (std::vector<std::string>{"Close", "One", "Two"}));
    EXPECT_EQ(seen.received.size(), 1u);
    EXPECT_EQ(seen.received.front()->displayType(), RIInFocusDisplayType::RIInFocusDisplayInAppAlert);

    ASSERT_TRUE(plat::sim::App::tapAlertButton(2));
    Virtual::runUntilIdle();
    ASSERT_EQ(seen.opened.size(), 1u);
    EXPECT_EQ(seen.opened.front()->action()->actionID(), "2");
    EXPECT_EQ(seen.opened.front()->action()->type(), RIOpenedActionType::RIOpenedActionButton);
    EXPECT_EQ(RadIrivozAlertViewDelegate::liveDelegateCount(), 0u);

    plat::sim::Device::receivePush(plat::Value(jsonDictionary(R"({"aps":{"alert":"B"},"custom":{"i":"a-2"}})")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(plat::sim::App::tapAlertAction("Close"));
    Virtual::runUntilIdle();
    ASSERT_EQ(seen.opened.size(), 2u);
    EXPECT_EQ(seen.opened.back()->action()->type(), RIOpenedActionType::RIOpenedActionBody);
    EXPECT_FALSE(seen.opened.back()->action()->actionID());
}

TEST_F(NotificationDeviceTest, EachAlertOpensItsOwnMessageAndRecordsTheButtonWhereItsLayoutReadsIt) {
    launch("9.3");
    struct Case {
        const char* json;
        int64_t index;
        const char* id;
        const char* action; // empty: a plain open
    };
    const Case cases[] = {
        {R"({"aps":{"alert":"x"},"custom":{"i":"c-1"},"buttons":[{"n":"A","i":"a"},{"n":"B","i":"b"}]})", 2, "c-1",
         "b"},
        // The silent form keeps its buttons under "o"; the choice goes into "custom" -> "a".
        {R"({"m":"x","custom":{"i":"c-2","a":{"k":1}},"o":[{"n":"A","i":"a"}]})", 1, "c-2", "a"},
        // os_data with top-level "actionbuttons": the choice goes to the top level, not into a made-up "custom".
        {R"({"aps":{"alert":"x"},"os_data":{"i":"c-3"},"actionbuttons":[{"n":"A","i":"a"}]})", 1, "c-3", "a"},
        // A button without a text is not shown, so the second button shown is the payload's third.
        {R"({"aps":{"alert":"x"},"custom":{"i":"c-4"},"buttons":[{"n":"A","i":"a"},{"i":"hidden"},{"n":"C","i":"c"}]})",
         2, "c-4", "c"},
        // An index past the buttons records nothing.
        {R"({"aps":{"alert":"x"},"custom":{"i":"c-5"},"buttons":[{"n":"A","i":"a"}]})", 5, "c-5", ""},
    };
    // All alerts first, then the answers in reverse: each delegate keeps its own message.
    std::vector<std::shared_ptr<RadIrivozAlertViewDelegate>> delegates;
    for (const Case& c : cases) {
        delegates.push_back(RadIrivozAlertViewDelegate::initWithMessageDict(jsonDictionary(c.json)));
    }
    for (size_t i = std::size(cases); i-- > 0;) {
        SCOPED_TRACE(cases[i].json);
        seen = {};
        delegates[i]->alertViewClickedButtonAtIndex(cases[i].index);
        ASSERT_EQ(seen.opened.size(), 1u);
        const auto& result = *seen.opened.front();
        EXPECT_EQ(result.notification()->payload()->notificationID(), cases[i].id);
        EXPECT_EQ(result.action()->actionID().value_or(""), cases[i].action);
    }
    EXPECT_FALSE(delegates[2]->messageDict().contains("custom"));
    EXPECT_EQ(plat::Value(delegates[1]->messageDict())["custom"]["a"]["k"], plat::Value(1));
}

TEST_F(NotificationDeviceTest, BelowOS10ALocalActionWhileNotActiveOpensTheLaunchURLOnce) {
    launch("9.3");
    plat::sim::App::resignActive();
    plat::sim::App::enterBackground();
    plat::UILocalNotification local;
    local.userInfo = plat::Value(jsonDictionary(
        R"({"custom":{"i":"l-1","u":"ftp://files.example.test/x"},"m":"Msg","o":[{"n":"Yes","i":"y"}]})"));
    ASSERT_TRUE(plat::sim::App::handleActionForLocalNotification("y", local));
    Virtual::advanceBy(2);
    EXPECT_EQ(plat::sim::App::recorder().openedURLs().size(), 1u) << "a non-web launch URL goes to the system, once";
    ASSERT_EQ(seen.opened.size(), 1u);
    EXPECT_EQ(seen.opened.front()->action()->actionID(), "y");
    EXPECT_EQ(sent("PUT", "notifications/l-1").size(), 1u);
}

TEST_F(NotificationDeviceTest, BackgroundPushesWithButtonsGoToLocalNotificationsAndOthersToTheBlocks) {
    launch("12.1");
    std::vector<std::string> scheduled;
    RadIrivozSeams::setAddNotificationRequest(
        [&](std::shared_ptr<const RINotificationPayload> payload, RadIrivozSeams::FetchHandler handler) {
            scheduled.push_back(payload->notificationID().value_or("?"));
            handler(plat::UIBackgroundFetchResult::newData);
        });
    auto application = plat::UIApplication::sharedApplication();
    int calls = 0;
    auto handler = [&calls](plat::UIBackgroundFetchResult) { ++calls; };
    EXPECT_TRUE(RadIrivoz::remoteSilentNotification(
        application, jsonDictionary(R"({"aps":{"content-available":1},"os_data":{"i":"s-1","buttons":{"m":"x","o":[]}}})"),
        handler));
    EXPECT_EQ(scheduled, std::vector<std::string>{"s-1"});
    EXPECT_EQ(calls, 1);

    // Nothing to show, in front: the received block only.
    EXPECT_FALSE(RadIrivoz::remoteSilentNotification(
        application, jsonDictionary(R"({"aps":{"content-available":1},"custom":{"i":"s-2"}})"), handler));
    EXPECT_EQ(seen.received.size(), 1u);
    EXPECT_TRUE(seen.opened.empty());
    EXPECT_EQ(calls, 1) << "the caller calls the handler when the answer is NO";
}

TEST_F(NotificationDeviceTest, BadgeClearingFollowsThePermissionAndTheAppsSetting) {
    launch("12.1");
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized, 7);
    auto application = plat::UIApplication::sharedApplication();
    application->setApplicationIconBadgeNumber(4);
    EXPECT_TRUE(RadIrivoz::clearBadgeCount(true));
    EXPECT_EQ(application->applicationIconBadgeNumber(), 0);
    EXPECT_FALSE(RadIrivoz::clearBadgeCount(true)) << "no badge showing";
}

TEST_F(NotificationDeviceTest, WithBadgeClearingOffTheBadgeStays) {
    launch("12.1", plat::Dictionary{{"RadIrivoz_disable_badge_clearing", plat::Value(true)}});
    plat::sim::Notifications::setAuthorizationStatus(plat::UNAuthorizationStatus::authorized, 7);
    auto application = plat::UIApplication::sharedApplication();
    application->setApplicationIconBadgeNumber(4);
    EXPECT_FALSE(RadIrivoz::clearBadgeCount(true));
    EXPECT_EQ(application->applicationIconBadgeNumber(), 4);
}

TEST_F(NotificationDeviceTest, TheHashedEmailSendsOnlyDigestsAndWaitsForAPlayer) {
    launch("12.1");
    RadIrivoz::syncHashedEmail(std::string("  Foo@Example.COM "));
    Virtual::runUntilIdle();
    const auto updates = sent("PUT", "players/player-1");
    ASSERT_EQ(updates.size(), 1u);
    const plat::Dictionary update = body(updates.front());
    EXPECT_EQ(update.find("em_m")->stringValue(), "b48def645758b95537d4424c84d1a9ff");
    EXPECT_EQ(update.find("em_s")->stringValue(), "767e74eab7081c41e0b83630511139d130249666");
    const std::string text(updates.front().body.begin(), updates.front().body.end());
    EXPECT_EQ(text.find("xample"), std::string::npos) << "the address itself never goes out";

    RadIrivoz::syncHashedEmail(std::string("not an address"));
    RadIrivoz::syncHashedEmail(std::nullopt);
    Virtual::runUntilIdle();
    EXPECT_EQ(sent("PUT", "players/player-1").size(), 1u);
    EXPECT_NE(console.nslog().find("The provided email is invalid"), std::string::npos);
    EXPECT_NE(console.nslog().find("The provided email is nil"), std::string::npos);
}

TEST_F(NotificationDeviceTest, AHashedEmailGivenBeforeThePlayerExistsGoesOutOnceItIsRegistered) {
    launch("12.1", {}, false);
    net->route("POST", apiURL("players"), plat::ScriptedReply::text(200, R"({"id":"player-9"})"));
    RadIrivoz::syncHashedEmail(std::string(" foo@example.com"));
    Virtual::runUntilIdle();
    EXPECT_TRUE(sent("PUT", "players/").empty());
    RadIrivoz::registerUser();
    Virtual::advanceBy(60);
    const auto updates = sent("PUT", "players/player-9");
    ASSERT_FALSE(updates.empty());
    size_t hashed = 0;
    for (const auto& update : updates) {
        const plat::Dictionary fields = body(update);
        if (const plat::Value* md5 = fields.find("em_m")) {
            ++hashed;
            EXPECT_EQ(md5->stringValue(), "b48def645758b95537d4424c84d1a9ff");
        }
    }
    EXPECT_EQ(hashed, 1u);
}

TEST_F(NotificationDeviceTest, WithoutPrivacyConsentAPushClientNotificationIsTreatedAsForeign) {
    launch("12.1");
    RadIrivoz::setRequiresUserPrivacyConsent(true);
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNone);
    plat::sim::Device::receivePush(plat::Value(jsonDictionary(R"({"aps":{"alert":"Hi"},"custom":{"i":"p-1"}})")));
    Virtual::runUntilIdle();
    ASSERT_TRUE(plat::sim::Device::tapPush(plat::Value(jsonDictionary(R"({"aps":{"alert":"Hi"},"custom":{"i":"p-2"}})"))));
    Virtual::advanceBy(1);
    EXPECT_EQ(plat::sim::Notifications::presentations().back().options, 7u);
    EXPECT_TRUE(seen.received.empty());
    EXPECT_TRUE(seen.opened.empty());
    EXPECT_TRUE(sent("PUT", "notifications/").empty());
    EXPECT_TRUE(plat::sim::Notifications::responses().back().completed);
}

} // namespace
