// The push client's notification toolbox: silent payloads, the normalisation of opened payloads, the
// notification objects' JSON, the launch-URL decision and the dialogs, random strings, e-mail check and hashes.

#include "RadIrivozSDK/Source/RadIrivozDialogController.hpp"
#include "RadIrivozSDK/Source/RadIrivozHelper.hpp"
#include "RadIrivozSDK/Source/RadIrivozWebView.hpp"
#include "RadIrivozSDK/tests/PushDeviceSupport.hpp"
#include "deployment/Deployment.hpp"
#include "platform/foundation/Digest.hpp"
#include "platform/foundation/Random.hpp"
#include "platform/net/URL.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIWindow.hpp"

#include <set>
#include <string>
#include <vector>

namespace {

using namespace push::test;
using plat::Virtual;

plat::Dictionary helperJSON(const std::string& json) {
    auto value = plat::JSONSerialization::jsonObject(json);
    EXPECT_TRUE(value.ok() && value->isDictionary()) << json;
    return value.ok() && value->isDictionary() ? value->asDictionary() : plat::Dictionary{};
}

plat::Value helperValue(const std::string& json) {
    auto value = plat::JSONSerialization::jsonObject(json);
    EXPECT_TRUE(value.ok()) << json;
    return value.ok() ? *value : plat::Value();
}

TEST(RadIrivozHelper, SilentMeansNothingToShow) {
    struct Case {
        const char* json;
        bool silent;
    };
    const Case cases[] = {
        {R"({"aps":{"content-available":1},"custom":{"i":"x"}})", true},
        {R"({"title":""})", true},
        {R"({"title":"T"})", false},
        {R"({"badge":0})", false},
        {R"({"aps":{"badge":1}})", false},
        {R"({"m":"x"})", false},
        {R"({"o":[]})", false},
        {R"({"s":"x"})", false},
        {R"({"sound":"x"})", false},
        {R"({"aps":{"sound":"x"}})", false},
        {R"({"aps":{"alert":"x"}})", false},
        {R"({"os_data":{"buttons":{}}})", false},
        {R"({"aps":"not a dictionary","os_data":"neither"})", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RadIrivozHelper::isRemoteSilentNotification(helperJSON(c.json)), c.silent) << c.json;
    }
}

TEST(RadIrivozHelper, NormalisationRewritesACopyIntoTheParsersLayout) {
    struct Case {
        const char* payload;
        std::optional<std::string> identifier;
        const char* expected; // "none" when there is no result
    };
    const std::string defaultAction = "com.apple.UNNotificationDefaultActionIdentifier";
    const Case cases[] = {
        {R"({"aps":{"alert":"x"},"custom":{"i":"m","a":{"k":"v"}},"o":[{"n":"Yes","i":"y"}],"m":"Msg"})", "y",
         R"({"aps":{"alert":"Msg"},"custom":{"i":"m","a":{"k":"v","actionButtons":[{"text":"Yes","id":"y"}],
             "actionSelected":"y"}},"o":[{"n":"Yes","i":"y"}],"m":"Msg"})"},
        {R"({"os_data":{"i":"o","buttons":[{"n":"A"},{"n":"B","i":"b"}]}})", defaultAction,
         R"({"os_data":{"i":"o","buttons":[{"n":"A"},{"n":"B","i":"b"}]},
             "actionButtons":[{"text":"A","id":"A"},{"text":"B","id":"b"}]})"},
        {R"({"os_data":{"i":"o","buttons":{"m":"Msg","o":[{"n":"A","i":"a"}]}}})", "a",
         R"({"os_data":{"i":"o","buttons":{"m":"Msg","o":[{"n":"A","i":"a"}]}},"aps":{"alert":"Msg"},
             "actionButtons":[{"text":"A","id":"a"}],"actionSelected":"a"})"},
        // No message in the dictionary form: "aps" stays as it was.
        {R"({"aps":{"alert":"keep"},"os_data":{"i":"o","buttons":{"o":[]}}})", defaultAction,
         R"({"aps":{"alert":"keep"},"os_data":{"i":"o","buttons":{"o":[]}},"actionButtons":[]})"},
        // No identifier: an earlier choice is dropped, and with nothing left the copy is plain.
        {R"({"custom":{"i":"m","a":{"actionSelected":"old"}}})", std::nullopt,
         R"({"custom":{"i":"m","a":{"actionSelected":"old"}}})"},
        {R"({"custom":{"i":"m","a":{"actionSelected":"old","k":1}}})", std::nullopt,
         R"({"custom":{"i":"m","a":{"k":1}}})"},
        {R"({"aps":{"alert":"x"}})", "y", "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        const plat::Dictionary input = helperJSON(c.payload);
        const plat::Dictionary before = input;
        auto result = RadIrivozHelper::formatApsPayloadIntoStandard(input, c.identifier);
        EXPECT_EQ(input, before) << "the argument is never changed";
        if (std::string(c.expected) == "none") {
            EXPECT_FALSE(result);
            continue;
        }
        ASSERT_TRUE(result);
        EXPECT_EQ(plat::Value(*result), helperValue(c.expected));
    }
}

TEST(RadIrivozHelper, RandomStringsAreLettersAndDigitsOfTheAskedLength) {
    EXPECT_EQ(RadIrivozHelper::randomStringWithLength(0), "");
    EXPECT_EQ(RadIrivozHelper::randomStringWithLength(-3), "");
    std::set<std::string> seen;
    std::set<char> characters;
    for (int i = 0; i < 200; ++i) {
        const std::string s = RadIrivozHelper::randomStringWithLength(16);
        ASSERT_EQ(s.size(), 16u);
        for (char c : s) {
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << s;
            characters.insert(c);
        }
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(characters.size(), 62u) << "the whole alphabet is drawn from";
    // Drawn through the platform's random source, so a seeded test repeats them.
    plat::Random::seed(7);
    const std::string first = RadIrivozHelper::randomStringWithLength(10);
    plat::Random::seed(7);
    EXPECT_EQ(RadIrivozHelper::randomStringWithLength(10), first);
    plat::Random::unseed();
}

TEST(RadIrivozHelper, EmailCheck) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"ada@example.org", true},
        {"Ada.Lovelace+tag@Sub.Example.ORG", true},
        {"ada@[192.168.0.1]", true},
        {"ada@example.o", false},
        {"ada@example", false},
        {"ada example@example.org", false},
        {"@example.org", false},
        {"", false},
        {" ada@example.org", false},
        {std::string(64, 'a') + "@" + std::string(180, 'b') + ".org", true},
        // Far longer than any address: refused before the expression runs, and without exhausting the stack.
        {std::string(2'000'000, 'a') + "@example.org", false},
        {std::string(300, 'a') + "@" + std::string(1'000'000, 'b') + ".org", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RadIrivozHelper::isValidEmail(c.text), c.valid) << c.text.substr(0, 80);
    }
}

TEST(RadIrivozHelper, HashesAreLowercaseHexOfTheUtf8Bytes) {
    EXPECT_EQ(RadIrivozHelper::hashUsingMD5("foo@example.com"), "b48def645758b95537d4424c84d1a9ff");
    EXPECT_EQ(RadIrivozHelper::hashUsingSha1("foo@example.com"), "767e74eab7081c41e0b83630511139d130249666");
    for (const std::string text : {"", "é", "日本語"}) {
        EXPECT_EQ(RadIrivozHelper::hashUsingMD5(text).size(), 32u);
        EXPECT_EQ(RadIrivozHelper::hashUsingSha1(text).size(), 40u);
    }
    EXPECT_EQ(RadIrivozHelper::hashUsingMD5("é"), RadIrivozHelper::lowercaseHex(plat::Digest::md5("\xc3\xa9")));
}

TEST(RadIrivozHelper, LaunchURLTextChecks) {
    EXPECT_EQ(RadIrivozHelper::trimURLSpacing(std::string(" \thttps://x.test/\t ")), "https://x.test/");
    EXPECT_EQ(RadIrivozHelper::trimURLSpacing(std::string("\nhttps://x.test/\n")), "\nhttps://x.test/\n");
    EXPECT_EQ(RadIrivozHelper::trimURLSpacing(std::nullopt), std::nullopt);
    EXPECT_FALSE(RadIrivozHelper::verifyURL(std::nullopt));
    EXPECT_TRUE(RadIrivozHelper::verifyURL(std::string("https://x.test/")));
    EXPECT_TRUE(RadIrivozHelper::isWWWScheme(*plat::URL::parse("HTTPS://x.test/")));
    EXPECT_TRUE(RadIrivozHelper::isWWWScheme(*plat::URL::parse("http://x.test/")));
    EXPECT_FALSE(RadIrivozHelper::isWWWScheme(*plat::URL::parse("ftp://x.test/")));
}

// Device-level: the notification objects and the launch URL read the application and show screens.
class HelperDeviceTest : public PushDeviceTest {
protected:
    void launchWithWindow(const std::string& os = "12.1") {
        boot(os);
        setDelegate(makeDelegateClass("HelperAppDelegate", {}));
        window = plat::UIWindow::make();
        window->setRootViewController(plat::UIViewController::make());
        window->makeKeyAndVisible();
        plat::sim::App::becomeActive();
        Virtual::runUntilIdle();
    }
    // Whether the alert controller on screen has this title.
    static std::string alertOnScreen() {
        auto alerts = plat::sim::App::recorder().alerts();
        return alerts.empty() ? std::string() : alerts.back().title + " | " + alerts.back().message;
    }
    std::shared_ptr<plat::UIWindow> window;
};

TEST_F(HelperDeviceTest, NotificationsAndOpenedResultsAsJSON) {
    launchWithWindow();
    RadIrivoz::setInFocusDisplayType(RIInFocusDisplayType::RIInFocusDisplayNotification);
    const std::string raw = R"({"aps":{"alert":"Hi","badge":2},"custom":{"i":"m-1"}})";
    auto payload = RINotificationPayload::parseWithApns(helperJSON(raw));
    auto notification =
        std::make_shared<const RINotification>(payload, RIInFocusDisplayType::RIInFocusDisplayNotification);
    EXPECT_EQ(helperValue(notification->stringify()),
              helperValue(R"({"payload":{"notificationID":"m-1","body":"Hi","actionButtons":[],"rawPayload":)" + raw +
                          R"(,"badge":2},"displayType":2,"shown":true,"isAppInFocus":true})"));
    EXPECT_EQ(notification->stringify().find(' '), std::string::npos) << "compact";

    RINotificationOpenedResult plain(notification, std::make_shared<const RINotificationAction>(
                                                       RIOpenedActionType::RIOpenedActionBody, std::nullopt));
    const plat::Value plainJSON = helperValue(plain.stringify());
    EXPECT_EQ(plainJSON["action"], helperValue("{}"));
    EXPECT_EQ(plainJSON["notification"], helperValue(notification->stringify())) << "an object, not text";
    RINotificationOpenedResult button(notification, std::make_shared<const RINotificationAction>(
                                                        RIOpenedActionType::RIOpenedActionButton, "y"));
    EXPECT_EQ(helperValue(button.stringify())["action"], helperValue(R"({"actionID":"y","type":1})"));

    auto silent = std::make_shared<const RINotification>(
        RINotificationPayload::parseWithApns(helperJSON(R"({"aps":{"content-available":0},"custom":{"i":"s"}})")),
        RIInFocusDisplayType::RIInFocusDisplayNone);
    EXPECT_EQ(helperValue(silent->stringify()),
              helperValue(R"({"payload":{"notificationID":"s","actionButtons":[],"rawPayload":{"aps":{"content-available":0},
                  "custom":{"i":"s"}},"contentAvailable":true},"shown":false,"isAppInFocus":true,"silentNotification":true})"));
}

TEST_F(HelperDeviceTest, ShownAndMutableContentOfANotification) {
    launchWithWindow();
    struct Case {
        const char* json;
        RIInFocusDisplayType setting;
        bool active;
        bool shown;
        bool mutableContent;
    };
    const Case cases[] = {
        {R"({"aps":{"alert":"x","mutable-content":1},"custom":{"i":"a"}})", RIInFocusDisplayType::RIInFocusDisplayNone,
         false, true, true},
        {R"({"aps":{"alert":"x","mutable-content":0},"custom":{"i":"a"}})", RIInFocusDisplayType::RIInFocusDisplayNone,
         true, false, false},
        {R"({"aps":{"alert":"x","mutable-content":"1"},"custom":{"i":"a"}})",
         RIInFocusDisplayType::RIInFocusDisplayInAppAlert, true, true, false},
        {R"({"aps":{"content-available":1},"custom":{"i":"a"}})", RIInFocusDisplayType::RIInFocusDisplayNotification,
         true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        RadIrivoz::setInFocusDisplayType(c.setting);
        if (c.active) {
            plat::sim::App::becomeActive();
        } else {
            plat::sim::App::resignActive();
        }
        RINotification n(RINotificationPayload::parseWithApns(helperJSON(c.json)), c.setting);
        EXPECT_EQ(n.wasShown(), c.shown);
        EXPECT_EQ(n.wasAppInFocus(), c.active);
        EXPECT_EQ(n.hasMutableContent(), c.mutableContent);
    }
}

TEST_F(HelperDeviceTest, TheLaunchURLOpensInTheAppOrThroughTheSystem) {
    launchWithWindow();
    struct Case {
        std::string url;
        std::optional<bool> inAppSetting; // none: nothing stored yet
        bool inApp;
    };
    const Case cases[] = {
        {"https://www.example.test/a", std::nullopt, true},
        {"https://www.example.test/b", false, false},
        {"https://" + std::string(deployment::kAppStoreHost) + "/app/id1", true, false},
        {"https://www.example.test/?next=" + std::string(deployment::kAppStoreHost), true, false},
        {"ftp://files.example.test/x", true, false},
        {"portal://open", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        if (c.inAppSetting) {
            RadIrivoz::enableInAppLaunchURL(*c.inAppSetting);
        } else {
            defaults().remove("RADIRIVOZ_INAPP_LAUNCH_URL");
        }
        const size_t openedBefore = plat::sim::App::recorder().openedURLs().size();
        auto webBefore = RadIrivozHelper::webVC();
        const std::string shownBefore =
            webBefore && webBefore->url() ? webBefore->url()->absoluteString() : std::string();
        RadIrivozHelper::displayWebView(*plat::URL::parse(c.url));
        Virtual::advanceBy(0.24);
        EXPECT_EQ(plat::sim::App::recorder().openedURLs().size(), openedBefore) << "not before 0.25 s";
        Virtual::advanceBy(0.02);
        Virtual::runUntilIdle();
        auto web = RadIrivozHelper::webVC();
        const std::string shown = web && web->url() ? web->url()->absoluteString() : std::string();
        if (c.inApp) {
            EXPECT_EQ(shown, c.url);
            EXPECT_EQ(plat::sim::App::recorder().openedURLs().size(), openedBefore);
        } else {
            EXPECT_EQ(shown, shownBefore);
            ASSERT_EQ(plat::sim::App::recorder().openedURLs().size(), openedBefore + 1);
            EXPECT_EQ(plat::sim::App::recorder().openedURLs().back().url, c.url);
        }
    }
    EXPECT_EQ(defaults().object("RADIRIVOZ_INAPP_LAUNCH_URL"), plat::Value(true)) << "stored on first use";
}

TEST_F(HelperDeviceTest, WithPromptingTheUserIsAskedFirstAndCancelOpensNothing) {
    launchWithWindow();
    RadIrivoz::initWithLaunchOptions(plat::Value(), std::string(radirivoz_test::kAppId), nullptr, nullptr,
                                     {{"kOSSettingsKeyAutoPrompt", plat::Value(false)},
                                      {"kOSSSettingsKeyPromptBeforeOpeningPushURL", plat::Value(true)},
                                      {"kOSSettingsKeyInAppLaunchURL", plat::Value(false)}});
    Virtual::runUntilIdle();
    ASSERT_TRUE(RadIrivoz::shouldPromptToShowURL());
    RadIrivozHelper::displayWebView(*plat::URL::parse("https://example.org/path"));
    Virtual::runUntilIdle();
    EXPECT_EQ(alertOnScreen(), "Open Website? | Would you like to open https://example.org");
    ASSERT_TRUE(plat::sim::App::tapAlertAction("Cancel"));
    Virtual::advanceBy(1);
    EXPECT_TRUE(plat::sim::App::recorder().openedURLs().empty());

    RadIrivozHelper::displayWebView(*plat::URL::parse("https://example.org/path"));
    Virtual::runUntilIdle();
    ASSERT_TRUE(plat::sim::App::tapAlertAction("Open"));
    Virtual::advanceBy(0.49);
    EXPECT_TRUE(plat::sim::App::recorder().openedURLs().empty()) << "0.25 s for the answer, 0.25 s to open";
    Virtual::advanceBy(0.02);
    ASSERT_EQ(plat::sim::App::recorder().openedURLs().size(), 1u);
    EXPECT_EQ(plat::sim::App::recorder().openedURLs().front().url, "https://example.org/path");
}

TEST_F(HelperDeviceTest, DialogsShowOneAtATimeAndAnswer025SecondsAfterTheTap) {
    launchWithWindow();
    auto dialogs = RadIrivozDialogController::sharedInstance();
    std::vector<std::string> answers;
    for (const char* title : {"First", "Second", "Third"}) {
        dialogs->presentDialogWithTitle(title, "message", std::string("Yes"), "No", [&answers, title](bool yes) {
            answers.push_back(std::string(title) + (yes ? " yes" : " no"));
        });
    }
    Virtual::runUntilIdle();
    EXPECT_EQ(dialogs->queueCount(), 3u);
    EXPECT_EQ(alertOnScreen(), "First | message");
    ASSERT_TRUE(plat::sim::App::tapAlertAction("Yes"));
    Virtual::advanceBy(0.2);
    EXPECT_TRUE(answers.empty());
    Virtual::advanceBy(0.06);
    EXPECT_EQ(answers, std::vector<std::string>{"First yes"});
    EXPECT_EQ(alertOnScreen(), "Second | message");
    ASSERT_TRUE(plat::sim::App::tapAlertAction("No"));
    Virtual::advanceBy(0.3);
    ASSERT_TRUE(plat::sim::App::tapAlertAction("Yes"));
    Virtual::advanceBy(0.3);
    EXPECT_EQ(answers, (std::vector<std::string>{"First yes", "Second no", "Third yes"}));
    EXPECT_EQ(dialogs->queueCount(), 0u);
}

TEST_F(HelperDeviceTest, ADialogThatCannotShowAnswersNoAndTheNextStillShows) {
    launchWithWindow();
    auto root = window->rootViewController();
    auto blocker = plat::UIViewController::make();
    ASSERT_TRUE(root->presentViewController(blocker, false)); // the root cannot present a second screen
    auto dialogs = RadIrivozDialogController::sharedInstance();
    std::vector<bool> answers;
    dialogs->presentDialogWithTitle("Hidden", "m", std::string("Yes"), "No", [&](bool yes) { answers.push_back(yes); });
    dialogs->presentDialogWithTitle("Later", "m", std::nullopt, "Close", [&](bool yes) { answers.push_back(yes); });
    Virtual::advanceBy(0.3);
    EXPECT_EQ(answers, std::vector<bool>{false});
    root->dismissViewControllerAnimated(false);
    Virtual::advanceBy(0.3);
    EXPECT_EQ(answers, (std::vector<bool>{false, false})) << "the second could not show either while blocked";
}

TEST_F(HelperDeviceTest, LogLinesWithinTheVisualLevelShowAsDialogs) {
    launchWithWindow();
    RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_NONE, ONE_S_LOG_LEVEL::ONE_S_LL_ERROR);
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_WARN, "quiet");
    RadIrivoz::radirivoz_Log(ONE_S_LOG_LEVEL::ONE_S_LL_ERROR, "loud");
    Virtual::runUntilIdle();
    EXPECT_EQ(alertOnScreen(), "ERROR:  | loud");
    EXPECT_EQ(RadIrivozDialogController::sharedInstance()->queueCount(), 1u);
}

} // namespace
