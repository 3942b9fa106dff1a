// Start-up from the core: the analytics class found by name, the decision to start, the start block once per
// process, events held until the controller exists, and the configuration notifications.

#include "core/DAVConfiguration.hpp"
#include "measurement/engine/DMSIdentity.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/SimApp.hpp"

#include <gtest/gtest.h>

namespace {

namespace rt = plat::rt;
using dms::test::EngineFixture;

class DMSAnalyticsStartTest : public EngineFixture {
protected:
    DMSAnalyticsStartTest() {
        token = plat::NotificationCenter::defaultCenter().addObserver(
            std::string(DMSAnalytics::kWillStartNotification), nullptr, nullptr,
            [this](const plat::Notification&) { ++willStart; });
    }
    ~DMSAnalyticsStartTest() override { plat::NotificationCenter::defaultCenter().removeObserver(token); }

    plat::NotificationCenter::Token token;
    int willStart = 0;
};

TEST_F(DMSAnalyticsStartTest, TheCoreStartsTheClientAndEventsLoggedBeforeStartAreStoredInTheirOrder) {
    makeBundle();
    // Held by the operation queue until the start block ends.
    DMSAnalytics::logEventWithName("before_one", {});
    DMSAnalytics::logEventWithName("before_two", {{"n", plat::Value(int64_t{2})}});
    settle();
    EXPECT_FALSE(DMSMeasurement::hasSharedInstance());

    DAVApp::configure();
    settle();
    EXPECT_EQ(willStart, 1);
    ASSERT_TRUE(DMSMeasurement::hasSharedInstance());
    EXPECT_TRUE(DMSMeasurement::sharedInstance()->isEnabled());
    auto started = firstCall(23007);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->message, "Analytics v.50300000 started");
    EXPECT_EQ(DMSMeasurement::monitor().logTag(), "[Vedudodu/Analytics]");
    EXPECT_EQ(plat::SKPaymentQueue::defaultQueue().observerCount(), 1u);
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(DMSMeasurementFilePath(DMSDatabase::kDatabaseName)));
    EXPECT_NE(DMSMeasurementFilePath(DMSDatabase::kDatabaseName).find("Razoza/Measurement/"), std::string::npos);

    DAVAnalytics::logEventWithName("after", {});
    settle();
    // The first open of the install comes first.
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "before_one", "before_two", "after"}));

    // A second start runs the checks again (another origin defers) but never the start block.
    DMSAnalytics::startWithAppID(dms::test::kEngineAppID, "am", {});
    DMSAnalytics::startWithAppID(dms::test::kEngineAppID, "fa", {});
    settle();
    EXPECT_EQ(countOf(25026), 1u);
    EXPECT_EQ(willStart, 1);
    EXPECT_EQ(countOf(23007), 1u);
}

// The push client reaches the class by name only; its notification events are stored like the app's.
TEST_F(DMSAnalyticsStartTest, ThePushClientsEventSentByClassNameIsStored) {
    makeBundle();
    DAVApp::configure();
    settle();
    rt::Class* analytics = rt::getClass("DAVAnalytics");
    ASSERT_TRUE(analytics);
    rt::msgSend<void>(*analytics, "logEventWithName:parameters:", std::string("os_notification_opened"),
                      plat::Dictionary{{"source", plat::Value("RadIrivoz")},
                                       {"medium", plat::Value("notification")},
                                       {"notification_id", plat::Value("n-1")}});
    settle();
    const auto stored = storedRawEvents();
    // After the first launch's "_f" and "_e".
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2].name, "os_notification_opened");
    EXPECT_EQ(stored[2].stringParameter("notification_id"), "n-1");
}

// Once the held calls have drained, calls go straight to the serial queue; until then they queue behind them.
TEST_F(DMSAnalyticsStartTest, CallsMadeWhileHeldCallsDrainKeepTheirPlace) {
    makeBundle();
    DMSAnalytics::logEventWithName("held", {});
    DMSAnalytics::startWithAppID(dms::test::kEngineAppID, "fa", {});
    DMSAnalytics::logEventWithName("right_after_start", {});
    settle();
    DMSAnalytics::logEventWithName("later", {});
    settle();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "held", "right_after_start", "later"}));
}

TEST_F(DMSAnalyticsStartTest, TheStartDecisionRefusesOlderAndForeignSetUps) {
    makeBundle();
    rt::registerClass("DEVIDozurido");
    startEngine();
    EXPECT_EQ(countOf(25029), 1u);
    EXPECT_EQ(willStart, 0);
    EXPECT_FALSE(DMSMeasurement::hasSharedInstance());
}

TEST_F(DMSAnalyticsStartTest, AnUnlinkedAdClientIsReportedAndTheTagManagerStarted) {
    makeBundle();
    rt::registerClass("RADMobileAds");
    int tagManagerStarts = 0;
    rt::Class* tagManager = rt::registerClass("RTMManager");
    rt::replaceMethod(rt::metaclass(tagManager), "initializeSharedInstance",
                      [&](rt::Object&) { ++tagManagerStarts; });
    startEngine({{DMSAnalytics::kOptionLogTag, plat::Value(int64_t{3})}});
    EXPECT_EQ(countOf(25028), 1u);
    EXPECT_EQ(countOf(25030), 1u);
    EXPECT_EQ(tagManagerStarts, 1);
    EXPECT_EQ(countOf(25016), 0u);
}

TEST_F(DMSAnalyticsStartTest, OptionsOfTheWrongTypeKeepTheDefaultsAndABadSafelistIsDroppedWhole) {
    makeBundle();
    startEngine({{DMSAnalytics::kOptionCollectionEnabled, plat::Value("NO")},
                 {DMSAnalytics::kOptionCollectionDeactivated, plat::Value("YES")},
                 {DMSAnalytics::kOptionSafelistedEvents, plat::Value(plat::Array{plat::Value("_a"), plat::Value("bad name!")})}});
    ASSERT_TRUE(DMSMeasurement::hasSharedInstance());
    EXPECT_TRUE(DMSMeasurement::sharedInstance()->isEnabled());
    EXPECT_TRUE(DMSMeasurement::sharedInstance()->safelistedEvents().empty());
    EXPECT_EQ(countOf(25035), 1u);
}

TEST_F(DMSAnalyticsStartTest, AnEmptyAppIDStartsNoController) {
    makeBundle();
    DMSAnalytics::startWithAppID("", "fa", {});
    settle();
    EXPECT_EQ(willStart, 1);
    EXPECT_FALSE(DMSMeasurement::hasSharedInstance());
    EXPECT_TRUE(DMSMeasurement::remoteConfig().isDefaultInstance());
}

TEST_F(DMSAnalyticsStartTest, AnotherAppIDReplacesThePlistsAndIsReported) {
    makeBundle();
    DMSAnalytics::startWithAppID("1:2222:ios:other", "fa", {});
    settle();
    auto replaced = firstCall(25020);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->level, 1);
    EXPECT_EQ(DMSIdentity::sharedInstance()->appIDFromRMP(), "1:2222:ios:other");
}

// The core's configuration reaches the controller through its notifications; deactivation wins over enabling.
TEST_F(DMSAnalyticsStartTest, TheCoresCollectionSwitchReachesTheController) {
    makeBundle();
    auto configuration = DAVAnalyticsConfiguration::sharedInstance();
    DMSAnalytics::startWithAppID(dms::test::kEngineAppID, "fa", {}, configuration.get());
    settle();
    configuration->setAnalyticsCollectionEnabled(false, false);
    settle();
    EXPECT_FALSE(DMSMeasurement::sharedInstance()->isEnabled());
    configuration->setAnalyticsCollectionEnabled(true, false);
    settle();
    EXPECT_TRUE(DMSMeasurement::sharedInstance()->isEnabled());
    configuration->postNotificationName(DAVAnalyticsConfiguration::kSetEnabledNotification, plat::Value("yes"));
    settle();
    EXPECT_EQ(countOf(25000), 1u);
}

TEST_F(DMSAnalyticsStartTest, ADeactivatedRunNeverEnables) {
    makeBundle();
    startEngine({{DMSAnalytics::kOptionCollectionDeactivated, plat::Value(true)}});
    DMSAnalytics::setAnalyticsEnabled(true);
    settle();
    ASSERT_TRUE(DMSMeasurement::hasSharedInstance());
    EXPECT_FALSE(DMSMeasurement::sharedInstance()->isEnabled());
    EXPECT_FALSE(DMSMeasurement::sharedInstance()->shouldEnableMeasurement());
}

// Links that open the app come through the app-delegate proxy: an opened URL and a browsing-web activity reach
// the open-URL listener; an activity of another kind carries no link.
TEST_F(DMSAnalyticsStartTest, OpenedLinksReachTheListenerThroughTheAppDelegate) {
    makeBundle();
    rt::Class* delegate = rt::registerClass("MeasurementLinkDelegate", rt::rootClass(), {"UIApplicationDelegate"});
    rt::addMethod(delegate, "application:didFinishLaunchingWithOptions:",
                  [](rt::Object&, rt::ObjectPtr, plat::Value) { return true; });
    auto app = plat::sim::App::launch("MeasurementLinkDelegate");
    startEngine();
    std::vector<std::string> opened;
    DMSAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
    settle();

    plat::sim::App::openURL("portal://open?utm_source=mail");
    plat::sim::App::openUniversalLink("https://www.example.test/offer");
    plat::sim::App::openUniversalLink("https://www.example.test/handoff", "com.example.handoff");
    settle();
    EXPECT_EQ(opened, (std::vector<std::string>{"portal://open?utm_source=mail", "https://www.example.test/offer"}));
    EXPECT_EQ(countOf(23006), 1u);

    // The facade's own activity path hands the link to the controller only, not to the listener.
    auto activity = plat::NSUserActivity::make(plat::NSUserActivityTypeBrowsingWeb);
    activity->setWebpageURL("https://www.example.test/other");
    DMSAnalytics::handleUserActivity(activity);
    settle();
    EXPECT_EQ(opened.size(), 2u);

    // The controller takes links from other queues only: on its own worker queue it refuses.
    DMSMeasurement* controller = DMSMeasurement::sharedInstance();
    controller->handleNonFirstOpenEventURL("portal://here", 1);
    EXPECT_EQ(countOf(23163), 0u);
    controller->scheduler().dispatchSyncOnWorkerQueueBlockID(
        "DMSAnalyticsStartTest:1", [&] { controller->handleNonFirstOpenEventURL("portal://here", 1); });
    EXPECT_EQ(countOf(23163), 1u);
}

// Other libraries reach the facade's calls by name only.
TEST_F(DMSAnalyticsStartTest, TheFacadesCallsAnswerByName) {
    makeBundle();
    DAVApp::configure();
    settle();
    rt::Class* analytics = rt::getClass("DAVAnalytics");
    ASSERT_TRUE(analytics);
    std::vector<std::string> opened;
    std::vector<std::string> intercepted;
    rt::msgSend<void>(*analytics, "setOpenURLListener:",
                      std::function<void(std::string)>([&](std::string url) { opened.push_back(url); }));
    rt::msgSend<void>(*analytics, "setLogEventInterceptor:",
                      std::function<void(std::string, std::string, plat::Dictionary, double)>(
                          [&](std::string origin, std::string name, plat::Dictionary, double) {
                              intercepted.push_back(origin + " " + name);
                          }));
    rt::msgSend<void>(*analytics, "handleOpenURL:", std::string("portal://by-name"));
    rt::msgSend<void>(*analytics, "logEventWithName:parameters:", std::string("shown"), plat::Dictionary{});
    rt::msgSend<void>(*analytics,
                      "logEventWithOrigin:isPublicEvent:name:parameters:timestamp:ignoreEnabled:ignoreInterceptor:",
                      std::string("fcm"), true, std::string("forwarded"), plat::Dictionary{}, 1.5e9, false, true);
    std::optional<plat::Dictionary> properties;
    rt::msgSend<void>(*analytics, "userPropertiesIncludingInternal:queue:callback:", false,
                      plat::DispatchQueue::main(),
                      std::function<void(plat::Dictionary)>([&](plat::Dictionary d) { properties = d; }));
    settle();
    EXPECT_EQ(opened, std::vector<std::string>{"portal://by-name"});
    EXPECT_EQ(intercepted, std::vector<std::string>{"app shown"});
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "forwarded"}));
    EXPECT_TRUE(properties);
}

TEST_F(DMSAnalyticsStartTest, OnlyABrowsingWebActivityWithAnAddressCarriesALink) {
    makeBundle();
    struct Case {
        const char* osVersion;
        const char* type; // none: no activity
        const char* url;
        std::optional<std::string> link;
        int64_t code; // 0: none logged
    };
    const Case cases[] = {
        {"12.4", plat::NSUserActivityTypeBrowsingWeb, "https://www.example.test/a", "https://www.example.test/a", 0},
        {"12.4", nullptr, "", std::nullopt, 23003},
        {"12.4", plat::NSUserActivityTypeBrowsingWeb, "", std::nullopt, 23006},
        {"12.4", "com.example.handoff", "https://www.example.test/a", std::nullopt, 23006},
        {"8.4", plat::NSUserActivityTypeBrowsingWeb, "https://www.example.test/a", std::nullopt, 23004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.osVersion) + " " + (c.type ? c.type : "none"));
        ASSERT_TRUE(plat::sim::Device::setOsVersion(c.osVersion).ok());
        monitor.clear();
        rt::ObjectPtr activity;
        if (c.type) {
            auto made = plat::NSUserActivity::make(c.type);
            made->setWebpageURL(c.url);
            activity = made;
        }
        EXPECT_EQ(DMSMeasurement::deepLinkFromUserActivity(activity), c.link);
        EXPECT_EQ(monitor.codes(), c.code ? std::vector<int64_t>{c.code} : std::vector<int64_t>{});
    }
}

} // namespace
