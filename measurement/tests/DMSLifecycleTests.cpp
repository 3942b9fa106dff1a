// The controller and the application's life: the background task of a resign, the launch deep link and the
// campaign events made from links, app-update events, the first-open time and the network log bridge.

#include "measurement/storage/DMSUserDefaults.hpp"
#include "measurement/tests/MeasurementUploadFixture.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "platform/uikit/UIRecorder.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::kUploadT0;
using dms::test::UploadFixture;

class DMSLifecycleTest : public UploadFixture {
protected:
    static void post(const char* name) {
        plat::NotificationCenter::defaultCenter().post(name);
        settle();
    }
    std::vector<dms::test::StoredRawEvent> stored(const std::string& name) const {
        std::vector<dms::test::StoredRawEvent> found;
        for (auto& event : storedRawEvents()) {
            if (event.name == name) {
                found.push_back(event);
            }
        }
        return found;
    }
};

TEST_F(DMSLifecycleTest, ASecondResignEndsTheFirstBackgroundTaskAndForegroundEndsTheLast) {
    plat::rt::registerClass("MeasurementLifecycleDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
    plat::sim::App::launch("MeasurementLifecycleDelegate");
    start();
    post(plat::UIApplicationWillResignActiveNotification);
    post(plat::UIApplicationWillResignActiveNotification);
    auto tasks = plat::sim::UIRecorder::shared().backgroundTasks();
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0].name, "DMSAnalyticsMeasurementBackgroundTask");
    EXPECT_TRUE(tasks[0].ended);
    EXPECT_FALSE(tasks[1].ended);
    EXPECT_EQ(countOf(23144), 2u);
    EXPECT_EQ(countOf(23142), 1u);
    // The resign also asked for an upload.
    EXPECT_GE(countOf(23033), 2u);
    post(plat::UIApplicationWillEnterForegroundNotification);
    EXPECT_TRUE(plat::sim::UIRecorder::shared().backgroundTasks()[1].ended);
    EXPECT_EQ(controller().backgroundUpdateTask(), plat::UIBackgroundTaskInvalid);
}

TEST_F(DMSLifecycleTest, WithBackgroundUploadsOffAResignOnlyFlushes) {
    useSettings({{"measurement.upload.upload_when_app_in_background_enabled", std::string("0")}});
    start();
    post(plat::UIApplicationWillResignActiveNotification);
    EXPECT_TRUE(plat::sim::UIRecorder::shared().backgroundTasks().empty());
    EXPECT_EQ(countOf(23144), 0u);
}

// The launch link waits in the user defaults and becomes a campaign event right after the first open,
// stamped with the first-open time and clicked just before it.
TEST_F(DMSLifecycleTest, TheLaunchLinkBecomesACampaignAfterTheFirstOpen) {
    auto activity = plat::NSUserActivity::make(plat::NSUserActivityTypeBrowsingWeb);
    activity->setWebpageURL("https://portal.example.test/x?utm_source=news&utm_campaign=winter&utm_term=");
    plat::Dictionary options;
    options.set(plat::UIApplicationLaunchOptionsURLKey, plat::Value("portal://open?utm_source=url"));
    options.set(plat::UIApplicationLaunchOptionsUserActivityDictionaryKey,
                plat::Value(plat::Dictionary{{"UIApplicationLaunchOptionsUserActivityKey",
                                              plat::Value(plat::rt::ObjectPtr(activity))}}));
    plat::Virtual::setWall(kUploadT0 - 30);
    DMSMeasurement::handleAppDidFinishLaunching(options);
    auto& defaults = DMSUserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults.stringForKey(plat::Value("/razoza/measurement/deep_link")), activity->webpageURL());
    plat::Virtual::setWall(kUploadT0);
    start();
    const auto campaigns = stored("_cmp");
    ASSERT_EQ(campaigns.size(), 1u);
    EXPECT_EQ(campaigns[0].stringParameter("source"), "news");
    EXPECT_EQ(campaigns[0].stringParameter("campaign"), "winter");
    EXPECT_FALSE(campaigns[0].stringParameter("term"));
    const int64_t firstOpen = persisted().firstOpenTimestampMilliseconds();
    EXPECT_EQ(campaigns[0].intParameter("click_timestamp"), firstOpen - 1);
    // The link was made before the first open: the event takes the first-open time.
    EXPECT_EQ(campaigns[0].fields.timestampMillis, firstOpen);
    EXPECT_FALSE(defaults.stringForKey(plat::Value("/razoza/measurement/deep_link")));
}

TEST_F(DMSLifecycleTest, WithoutAUserActivityTheLaunchURLIsRecorded) {
    plat::Dictionary options;
    options.set(plat::UIApplicationLaunchOptionsURLKey, plat::Value("portal://open?gclid=g1"));
    DMSMeasurement::handleAppDidFinishLaunching(options);
    EXPECT_EQ(DMSUserDefaults::standardUserDefaults().stringForKey(plat::Value("/razoza/measurement/deep_link")),
              "portal://open?gclid=g1");
    EXPECT_DOUBLE_EQ(DMSUserDefaults::standardUserDefaults().doubleForKey(
                         plat::Value("/razoza/measurement/deep_link_timestamp_seconds")),
                     plat::Clock::now());
}

TEST_F(DMSLifecycleTest, CampaignLinksMapTheirQueryKeys) {
    struct Case {
        const char* url;
        std::vector<std::pair<std::string, std::string>> parameters; // empty: no campaign
        int64_t code;
    };
    const Case cases[] = {
        {"https://a.test/?utm_content=c", {}, 23001},
        {"https://a.test/", {}, 23000},
        {"https://a.test/?utm_source=x&utm_term=", {{"source", "x"}}, 0},
        {"https://a.test/?gclid=g&aclid=a&anid=n&cp1=p&utm_medium=m&utm_content=c&other=o",
         {{"gclid", "g"}, {"aclid", "a"}, {"anid", "n"}, {"cp1", "p"}, {"medium", "m"}, {"content", "c"}},
         0},
        {"https://a.test/?utm_campaign=%E2%9C%93&utm_source=%zz", {{"campaign", "\xE2\x9C\x93"}}, 0},
    };
    start({}, false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        monitor.clear();
        const size_t before = stored("_cmp").size();
        onWorker([&] { controller().handleOpenURLOnWorkerQueue(c.url, std::nullopt, plat::Clock::now()); });
        const auto campaigns = stored("_cmp");
        if (c.parameters.empty()) {
            EXPECT_EQ(campaigns.size(), before);
            EXPECT_EQ(countOf(c.code), 1u);
            continue;
        }
        ASSERT_EQ(campaigns.size(), before + 1);
        const auto& event = campaigns.back();
        for (const auto& [name, value] : c.parameters) {
            EXPECT_EQ(event.stringParameter(name), value) << name;
        }
        size_t own = 0;
        for (const auto& param : event.fields.params) {
            own += param.name && param.name->front() != '_';
        }
        EXPECT_EQ(own, c.parameters.size());
    }
}

TEST_F(DMSLifecycleTest, UserActivitiesGiveTheirWebLinkOnly) {
    auto web = plat::NSUserActivity::make(plat::NSUserActivityTypeBrowsingWeb);
    web->setWebpageURL("https://portal.example.test/p");
    auto handoff = plat::NSUserActivity::make("com.example.handoff");
    handoff->setWebpageURL("https://portal.example.test/p");
    auto empty = plat::NSUserActivity::make(plat::NSUserActivityTypeBrowsingWeb);
    EXPECT_EQ(DMSMeasurement::deepLinkFromUserActivity(web), "https://portal.example.test/p");
    EXPECT_FALSE(DMSMeasurement::deepLinkFromUserActivity(handoff));
    EXPECT_FALSE(DMSMeasurement::deepLinkFromUserActivity(empty));
    EXPECT_FALSE(DMSMeasurement::deepLinkFromUserActivity(nullptr));
    EXPECT_EQ(countOf(23006), 2u);
    EXPECT_EQ(countOf(23003), 1u);
}

TEST_F(DMSLifecycleTest, ASecondLaunchWithANewVersionReportsTheUpdateNotAFirstOpen) {
    start({}, false);
    ASSERT_EQ(persisted().appVersion(), "1.0");
    EXPECT_EQ(DMSMeasurement::timestampMillisRoundedUpToNextHour(1704103200000), 1704106800000);
    // As if the next launch of version 1.1 found the same store.
    persisted().setAppVersion(std::string("0.9"));
    onWorker([] {
        controller().reportAppUpdateOnWorkerQueue();
        controller().reportFirstOpenOnWorkerQueue();
    });
    const auto updates = stored("_au");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].stringParameter("_pv"), "0.9");
    EXPECT_EQ(stored("_f").size(), 1u);
    EXPECT_DOUBLE_EQ(onWorker([] { return controller().firstOpenTimestamp(); }), kUploadT0);
}

TEST_F(DMSLifecycleTest, NetworkLogLevelsMapOntoTheMonitors) {
    const std::pair<long, int64_t> cases[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {2, 3}, {9, 3}};
    DMSMeasurement::monitor().setDebugModeEnabled(true);
    for (const auto& [network, expected] : cases) {
        SCOPED_TRACE(network);
        monitor.clear();
        DMSMeasurement::logNetworkLine(network, 900100 + network, std::string("line"), {plat::Value("ctx")});
        const auto call = firstCall(900100 + network);
        ASSERT_TRUE(call);
        EXPECT_EQ(call->level, expected);
    }
}

} // namespace
