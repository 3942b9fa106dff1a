// The application delegate on the simulated device: what launch starts, and which screens opened
// notifications and universal links leave in the window.

#include "app/AppDelegate.hpp"

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "ZazududIda/Zuvidir.hpp"
#include "app/AppLoadHooks.hpp"
#include "app/ViewController.hpp"
#include "core/DAVApp.hpp"
#include "core/DVUAppDelegateSwizzler.hpp"
#include "crash/Vuzidorazav.hpp"
#include "deployment/Deployment.hpp"
#include "kit_host/Zuvadu.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "platform/webkit/SimWeb.hpp"
#include "platform/webkit/WebRecorder.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using plat::Virtual;

constexpr const char* kPortal = "https://portal.example.test";
constexpr const char* kOptionsFile = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>RAZOZA_APP_ID</key><string>1:123456789012:ios:0123456789abcdef</string>
<key>RCM_SENDER_ID</key><string>123456789012</string>
<key>BUNDLE_ID</key><string>test.example.portal</string>
</dict></plist>
)";

std::string quoted(const std::string& text) {
    return "\"" + text + "\"\n";
}

class AppDelegateTest : public ::testing::Test {
protected:
    // Boots the device with a bundle holding the options file and, when given, a Config.json.
    void boot(std::optional<std::string> config) {
        bundle.emplace(home.root() + "/Portal.app",
                       plat::Dictionary{{"CFBundleIdentifier", "test.example.portal"},
                                        {"UIMainStoryboardFile", "Main"},
                                        {"Zuvadu", plat::Dictionary{{"APIKey", "demo-key"}}}});
        bundle->add("RazozaService-Info.plist", kOptionsFile);
        if (config) {
            bundle->add("Config.json", *config);
        }
        plat::DeviceConfig device;
        device.appHome = home.home();
        device.bundlePath = bundle->path();
        ASSERT_TRUE(plat::boot(device, appLoadHooks()).ok());
        plat::sim::Web::pages().enable();
        plat::sim::Web::pages().set(kPortal, plat::sim::WebPage::html("<title>Portal</title>"));
        plat::sim::Web::pages().set(std::string(kPortal) + "/intranet/news",
                                    plat::sim::WebPage::html("<title>News</title>"));
    }
    void launch(std::optional<std::string> config = R"({"base_url": "https://portal.example.test"})") {
        boot(std::move(config));
        plat::sim::App::launch(AppDelegate::kClassName);
        Virtual::runUntilIdle();
        delegate =
            std::dynamic_pointer_cast<AppDelegate>(plat::UIApplication::sharedApplication()->delegate());
        ASSERT_TRUE(delegate);
        ASSERT_TRUE(delegate->window());
    }
    std::shared_ptr<plat::UIViewController> root() const { return delegate->window()->rootViewController(); }
    std::optional<std::string> rootRequestURL() const {
        auto screen = std::dynamic_pointer_cast<ViewController>(root());
        if (!screen || !screen->request().url()) {
            return std::nullopt;
        }
        return screen->request().url()->absoluteString();
    }
    static bool loaded(const std::string& url) {
        for (const auto& load : plat::sim::WebRecorder::shared().loads()) {
            if (load.url == url || load.url == url + "/") {
                return true;
            }
        }
        return false;
    }
    std::optional<std::string> baseURL() const {
        auto url = ASConfigService::shared().baseURL();
        return url ? std::optional(url->absoluteString()) : std::nullopt;
    }

    plat::test::TempAppHome home;
    std::optional<plat::test::FixtureBundle> bundle;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchWithoutConfigFileStartsAllThreeClientsAndAsksOnce) {
    boot(std::nullopt);
    plat::sim::ConsoleCapture console;
    auto application = plat::UIApplication::sharedApplication();
    auto instance = plat::rt::createInstance(AppDelegate::runtimeClass());
    application->setDelegate(instance);

    const bool launched = plat::rt::msgSend<bool>(instance, "application:didFinishLaunchingWithOptions:",
                                                  plat::rt::ObjectPtr(application), plat::Value());
    Virtual::runUntilIdle();

    EXPECT_TRUE(launched);
    // The kit host adds the event kit after the crash reporter.
    EXPECT_EQ(Zuvadu::sharedSDK().kitClasses(),
              (std::vector<plat::rt::Class*>{Vuzidorazav::runtimeClass(), Zuvidir::runtimeClass()}));
    EXPECT_TRUE(Vuzidorazav::sharedInstance()->hasStarted());
    EXPECT_TRUE(DAVApp::isDefaultAppConfigured());
    EXPECT_EQ(plat::UserDefaults::standardUserDefaults().string("RV_APP_ID"),
              std::string(deployment::kPushAppId));
    // Start-up itself does not prompt; the one prompt is the delegate's own.
    EXPECT_EQ(plat::sim::Notifications::authorizationRequests().size(), 1u);
    EXPECT_EQ(RadIrivoz::inFocusDisplayType(), RIInFocusDisplayType::RIInFocusDisplayNotification);
    EXPECT_EQ(console.out(), "User accepted notifications: true\n");
}

TEST_F(AppDelegateTest, LaunchLeavesTheStoryboardsFirstScreenInTheWindow) {
    launch();
    EXPECT_EQ(plat::rt::className(*root()), "UINavigationController");
    // The lifecycle methods exist and do nothing.
    plat::sim::App::enterBackground();
    plat::sim::App::enterForeground();
    EXPECT_EQ(root(), delegate->window()->rootViewController());
}

struct OpenedCase {
    const char* name;
    plat::Value targetUrl; // null: no additional data at all
    std::vector<std::string> printed;
    std::optional<std::string> newScreenURL;
};

void PrintTo(const OpenedCase& c, std::ostream* os) {
    *os << c.name;
}

class AppDelegateOpenedTest : public AppDelegateTest, public ::testing::WithParamInterface<OpenedCase> {};

TEST_P(AppDelegateOpenedTest, OpensTheTargetOrKeepsTheScreen) {
    const OpenedCase& c = GetParam();
    launch();
    const auto before = root();
    plat::Dictionary custom{{"i", plat::Value("msg-1")}};
    if (!c.targetUrl.isNull()) {
        custom.set("a", plat::Value(plat::Dictionary{{"targetUrl", c.targetUrl}}));
    }
    const plat::Dictionary userInfo{{"aps", plat::Value(plat::Dictionary{{"alert", "Hi"}})},
                                    {"custom", plat::Value(custom)}};
    plat::sim::ConsoleCapture console;

    RadIrivoz::handleNotificationOpened(userInfo, false, RIOpenedActionType::RIOpenedActionBody,
                                        RIInFocusDisplayType::RIInFocusDisplayNotification);
    Virtual::runUntilIdle();

    std::string expected;
    for (const auto& line : c.printed) {
        expected += quoted(line);
    }
    if (c.newScreenURL) {
        // The new screen's navigation policy prints its own lines after these.
        EXPECT_EQ(console.out().substr(0, expected.size()), expected);
        EXPECT_NE(root(), before);
        EXPECT_EQ(rootRequestURL(), c.newScreenURL);
        EXPECT_EQ(std::dynamic_pointer_cast<ViewController>(root())->request().timeoutInterval(), 60);
    } else {
        EXPECT_EQ(console.out(), expected);
        EXPECT_EQ(root(), before);
    }
    EXPECT_EQ(baseURL(), std::string(kPortal)) << "an opened notification never moves the base URL";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppDelegateOpenedTest,
    ::testing::Values(OpenedCase{"TargetText",
                                 plat::Value("https://portal.example.test/intranet/news"),
                                 {"Notification tapped",
                                  "Target url string: https://portal.example.test/intranet/news"},
                                 "https://portal.example.test/intranet/news"},
                      OpenedCase{"TargetNumber",
                                 plat::Value(42),
                                 {"Notification tapped", "Target url not found. Default URL will be used."},
                                 std::nullopt},
                      OpenedCase{"TargetTextThatIsNoURL",
                                 plat::Value("not a url"),
                                 {"Notification tapped", "Target url string: not a url",
                                  "The url parameter is not valid. Open url failed."},
                                 std::nullopt},
                      OpenedCase{"NoAdditionalData",
                                 plat::Value(),
                                 {"Notification tapped", "Target url not found. Default URL will be used."},
                                 std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppDelegateTest, AUniversalLinkMovesTheBaseURLAndInstallsANewRootScreen) {
    launch();
    const auto before = root();
    plat::sim::ConsoleCapture console;

    EXPECT_TRUE(plat::sim::App::openUniversalLink("https://portal.example.test/intranet/news"));
    Virtual::runUntilIdle();

    EXPECT_EQ(console.out().rfind(quoted("universal link tapped"), 0), 0u) << console.out();
    ASSERT_TRUE(delegate->universalLinkURL());
    EXPECT_EQ(delegate->universalLinkURL()->absoluteString(), "https://portal.example.test/intranet/news");
    EXPECT_EQ(baseURL(), "https://portal.example.test/intranet/news");
    EXPECT_NE(root(), before);
    EXPECT_EQ(rootRequestURL(), "https://portal.example.test/intranet/news");
    EXPECT_TRUE(delegate->window()->isKeyWindow());
    EXPECT_TRUE(loaded("https://portal.example.test/intranet/news"));
}

TEST_F(AppDelegateTest, TheProxiedShellDelegateStillHandsTheTokenToThePushClientAndTakesLinks) {
    launch();
    DVUAppDelegateSwizzler::proxyOriginalDelegate();
    Virtual::runUntilIdle();
    ASSERT_EQ(plat::rt::className(*delegate).rfind("DVU_AppDelegate-", 0), 0u) << plat::rt::className(*delegate);

    plat::sim::Device::autoRegister(plat::Data{0x01, 0x02, 0x0A, 0xFF});
    plat::UIApplication::sharedApplication()->registerForRemoteNotifications();
    Virtual::runUntilIdle();
    EXPECT_EQ(RadIrivoz::currentSubscriptionState()->pushToken(), "01020aff");

    EXPECT_TRUE(plat::sim::App::openUniversalLink("https://portal.example.test/intranet/news"));
    Virtual::runUntilIdle();
    EXPECT_EQ(rootRequestURL(), "https://portal.example.test/intranet/news");
}

struct IgnoredLinkCase {
    const char* name;
    const char* url;
    const char* type;
};

void PrintTo(const IgnoredLinkCase& c, std::ostream* os) {
    *os << c.name;
}

class AppDelegateIgnoredLinkTest : public AppDelegateTest,
                                   public ::testing::WithParamInterface<IgnoredLinkCase> {};

TEST_P(AppDelegateIgnoredLinkTest, IsTakenButChangesNothing) {
    launch();
    const auto before = root();
    plat::sim::ConsoleCapture console;

    EXPECT_TRUE(plat::sim::App::openUniversalLink(GetParam().url, GetParam().type));
    Virtual::runUntilIdle();

    EXPECT_EQ(console.out(), quoted("universal link tapped"));
    EXPECT_FALSE(delegate->universalLinkURL());
    EXPECT_EQ(baseURL(), std::string(kPortal));
    EXPECT_EQ(root(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppDelegateIgnoredLinkTest,
    ::testing::Values(IgnoredLinkCase{"EmptyType", "https://portal.example.test/intranet/news", ""},
                      IgnoredLinkCase{"NoWebAddress", "", "NSUserActivityTypeBrowsingWeb"},
                      IgnoredLinkCase{"WebAddressThatIsNoURL", "not a url", "NSUserActivityTypeBrowsingWeb"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppDelegateTest, AnyNonEmptyActivityTypeIsTaken) {
    launch();
    EXPECT_TRUE(plat::sim::App::openUniversalLink("https://portal.example.test/intranet/news",
                                                  "com.example.handoff"));
    Virtual::runUntilIdle();
    EXPECT_EQ(baseURL(), "https://portal.example.test/intranet/news");
}

} // namespace
