// The upload on the scripted network in virtual time: a first launch reaches the measurement host with its
// first-open events, the replies move the persisted times and the retry counts, the schedule follows the
// retry ladder and the back-off, and a batch holds one compatible run of bundles.

#include "measurement/tests/MeasurementUploadFixture.hpp"

#include <gtest/gtest.h>

namespace {

using dms::test::kUploadT0;
using dms::test::UploadFixture;
using B = DMSPBMeasurementBundle;

class DMSUploadTest : public UploadFixture {};

TEST_F(DMSUploadTest, AFirstLaunchFetchesTheConfigurationThenUploadsItsFirstOpen) {
    batchReplies.push_back(plat::ScriptedReply::text(204, ""));
    start();
    auto raw = storedRawEvents();
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0].name, "_f");
    EXPECT_TRUE(raw[0].realtime);
    EXPECT_EQ(raw[0].stringParameter("_o"), "auto");
    EXPECT_EQ(raw[0].intParameter("_pfo"), 0);
    EXPECT_EQ(raw[0].intParameter("_uwa"), 0);
    EXPECT_EQ(raw[0].intParameter("_c"), 1);
    EXPECT_EQ(raw[1].name, "_e");
    EXPECT_EQ(raw[1].intParameter("_et"), 1);
    EXPECT_DOUBLE_EQ(alarmTime(), kUploadT0 + 15);

    advance(14);
    EXPECT_TRUE(net->requests().empty());
    advance(1);
    const auto all = net->requests();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].method, "GET");
    EXPECT_EQ(all[0].url, std::string(dms::test::kUploadConfigPrefix) + "1:1111:ios:0123456789abcdef?app_instance_id=" +
                              *persisted().appInstanceID() + "&platform=ios&rmp_version=50300");
    EXPECT_FALSE(header(all[0], "If-Modified-Since"));
    EXPECT_EQ(all[1].method, "POST");
    EXPECT_EQ(header(all[1], "Content-Encoding"), "gzip");

    const auto batches = uploads();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 1u);
    const auto& bundle = batches[0][0];
    EXPECT_EQ(bundle.tag32(B::kProtocolVersion), 1);
    EXPECT_EQ(bundle.text(B::kPlatform), "ios");
    EXPECT_EQ(bundle.text(B::kAppID), "com.example.portal");
    EXPECT_EQ(bundle.text(B::kAppVersion), "1.0");
    EXPECT_EQ(bundle.tag(B::kRmpVersion), 50300);
    EXPECT_EQ(bundle.tag(B::kUploadingRmpVersion), 50300);
    EXPECT_EQ(bundle.tag(B::kUploadTimestampMillis), 1704103215000);
    EXPECT_EQ(bundle.tag(B::kStartTimestampMillis), 1704103200000);
    EXPECT_EQ(bundle.tag(B::kEndTimestampMillis), 1704103200000);
    EXPECT_EQ(bundle.text(B::kAppInstanceID), persisted().appInstanceID());
    EXPECT_EQ(bundle.text(B::kRmpAppID), dms::test::kEngineAppID);
    EXPECT_EQ(bundle.tag32(B::kBundleSequentialIndex), 1);
    EXPECT_EQ(bundle.tag(B::kConfigVersion), 7);
    EXPECT_EQ(bundle.tag32(B::kAppVersionMajor), 1);
    EXPECT_EQ(bundle.tag32(B::kAppVersionMinor), 0);
    EXPECT_EQ(bundle.tag32(B::kAppVersionRelease), 3);
    for (int32_t absent : {B::kPreviousBundleEndTimestampMillis, B::kPreviousBundleStartTimestampMillis,
                           B::kResettableDeviceID, B::kLimitedAdTracking}) {
        EXPECT_FALSE(bundle.has(absent)) << absent;
    }
    EXPECT_EQ(bundle.eventNames(), (std::vector<std::string>{"_f", "_e"}));
    EXPECT_EQ(bundle.attribute("_fi"), 1);
    EXPECT_EQ(bundle.attribute("_fot"), 1704106800000);
    EXPECT_EQ(bundle.attribute("_lte"), 1);

    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(storedRawEvents().empty());
    EXPECT_DOUBLE_EQ(persisted().lastSuccessfulUploadTimestamp(), kUploadT0 + 15);
    EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_EQ(persisted().configServerLastModifiedString(), plat::Value("Mon, 01 Jan 2024 10:00:00 GMT"));
    EXPECT_FALSE(onWorker([] { return controller().hasDataToUpload(); }));
}

// A failed first upload keeps the bundle with one retry and times the next try from the failure; 429 and 503
// also back off; a dropped connection counts as status 0 without back-off. A later success clears both times.
struct UploadFailureCase {
    const char* name;
    int status;
    bool dropped;
    double nextAlarm;
    bool backoff;
};

class DMSUploadFailureTest : public UploadFixture, public ::testing::WithParamInterface<UploadFailureCase> {};

TEST_P(DMSUploadFailureTest, AFailedReplyCountsARetryAndTimesTheNextTry) {
    const auto& c = GetParam();
    batchReplies.push_back(c.dropped ? plat::ScriptedReply::error(plat::WireFailure::connectionLost)
                                     : plat::ScriptedReply::text(c.status, ""));
    start();
    advance(15);
    ASSERT_EQ(requests("POST").size(), 1u);
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(NANOGetInt32(bundles[0].bundle, B::kRetryCount), 1);
    EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), kUploadT0 + 15);
    EXPECT_DOUBLE_EQ(persisted().lastBackoffTimestamp(), c.backoff ? kUploadT0 + 15 : 0);
    EXPECT_DOUBLE_EQ(alarmTime(), c.nextAlarm);
    EXPECT_FALSE(controller().isNetworkRequestPending());

    batchReplies.clear();
    batchReplies.push_back(plat::ScriptedReply::text(200, "ok"));
    advance(c.nextAlarm - plat::Clock::now());
    ASSERT_EQ(requests("POST").size(), 2u);
    EXPECT_TRUE(queued().empty());
    EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_DOUBLE_EQ(persisted().lastBackoffTimestamp(), 0);
    EXPECT_DOUBLE_EQ(persisted().lastSuccessfulUploadTimestamp(), c.nextAlarm);
}

INSTANTIATE_TEST_SUITE_P(Statuses, DMSUploadFailureTest,
                         ::testing::Values(UploadFailureCase{"s503", 503, false, kUploadT0 + 43215, true},
                                           UploadFailureCase{"s429", 429, false, kUploadT0 + 43215, true},
                                           UploadFailureCase{"s500", 500, false, kUploadT0 + 1815, false},
                                           UploadFailureCase{"s404", 404, false, kUploadT0 + 1815, false},
                                           UploadFailureCase{"s302", 302, false, kUploadT0 + 1815, false},
                                           UploadFailureCase{"dropped", 0, true, kUploadT0 + 1815, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// r is the latest data time plus the initial delay; after a failure the tries fall at r + 1800, r + 5400, ...
// until the first one after the failure; six steps that never pass it give no upload at all.
TEST_F(DMSUploadTest, TheNextUploadTimeFollowsSuccessFailureAndDebugMode) {
    start();
    const double latest = kUploadT0;
    const double r = latest + 15;
    struct Case {
        const char* what;
        double success;
        double failure;
        double expected;
    };
    const Case cases[] = {
        {"fresh data", 0, 0, r},
        // Real-time data: the interval is 10 s, so a success 5 s ago waits for success + 10.
        {"success 5 s ago", kUploadT0 - 5, 0, kUploadT0 + 5},
        {"success two hours ago", kUploadT0 - 7200, 0, r},
        {"failure at the data", 0, latest, r + 1800},
        {"failure after the first step", 0, r + 1800, r + 1800 + 3600},
        {"failure after three steps", 0, r + 1800 + 3600 + 7200 + 1, r + 1800 + 3600 + 7200 + 14400},
        {"failure beyond six steps", 0, r + 1800 * 63, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        persisted().setLastSuccessfulUploadTimestamp(c.success);
        persisted().setLastFailedUploadTimestamp(c.failure);
        EXPECT_DOUBLE_EQ(onWorker([] { return controller().nextUploadingTime(); }), c.expected);
    }
}

TEST_F(DMSUploadTest, DebugModeUploadsWithinASecond) {
    DMSMeasurement::monitor().setDebugModeEnabled(true);
    start();
    advance(1);
    EXPECT_EQ(requests("GET").size(), 1u);
    EXPECT_EQ(requests("POST").size(), 1u);
}

TEST_F(DMSUploadTest, AnArmedAlarmIsNeverMovedLater) {
    start();
    ASSERT_DOUBLE_EQ(alarmTime(), kUploadT0 + 15);
    persisted().setLastBackoffTimestamp(kUploadT0);
    onWorker([] { controller().updateSchedule(); });
    EXPECT_DOUBLE_EQ(alarmTime(), kUploadT0 + 15);
    EXPECT_EQ(countOf(23027), 1u);
}

TEST_F(DMSUploadTest, WithoutNetworkNothingIsArmedUntilReachabilityReturns) {
    start({}, false);
    EXPECT_DOUBLE_EQ(alarmTime(), 0);
    EXPECT_GE(countOf(23026), 1u);
    plat::sim::Network::setReachability(plat::kReachabilityFlagsReachable);
    settle();
    EXPECT_DOUBLE_EQ(alarmTime(), kUploadT0 + 15);
}

TEST_F(DMSUploadTest, ASecondUploadWhileOneIsInFlightIsIgnored) {
    batchReplies.push_back(plat::ScriptedReply::text(204, "").after(5));
    start();
    advance(15);
    ASSERT_EQ(requests("POST").size(), 1u);
    ASSERT_TRUE(controller().isNetworkRequestPending());
    onWorker([] { controller().uploadData(); });
    EXPECT_EQ(countOf(23034), 1u);
    EXPECT_EQ(requests("POST").size(), 1u);
    advance(5);
    EXPECT_FALSE(controller().isNetworkRequestPending());
    EXPECT_TRUE(queued().empty());
}

// A batch whose record is refused is not posted: its success would delete another batch's rows.
TEST_F(DMSUploadTest, ARefusedInFlightRecordDoesNotPost) {
    start();
    advance(15);
    const auto posted = requests("POST").size();
    onWorker([] {
        EXPECT_TRUE(controller().setUploadInProgressWithBundleIDs({999}));
        controller().database()->performTransaction([] { return controller().bundleRawEvents(); });
    });
    DMSAnalytics::logEventWithName("later", {});
    settle();
    onWorker([] {
        controller().bundleRawEvents();
        controller().uploadData();
    });
    EXPECT_EQ(countOf(23047), 1u);
    EXPECT_EQ(requests("POST").size(), posted);
    EXPECT_FALSE(controller().isNetworkRequestPending());
}

// The batch is the leading run of bundles with the first one's app ID and device key.
TEST_F(DMSUploadTest, ABatchHoldsOneCompatibleRun) {
    auto make = [](const std::string& appID, const std::string& resettable, const std::string& vendor) {
        auto bundle = B::init();
        NANOSetString(bundle, B::kAppID, plat::Value(appID));
        if (!resettable.empty()) {
            NANOSetString(bundle, B::kResettableDeviceID, plat::Value(resettable));
        }
        if (!vendor.empty()) {
            NANOSetString(bundle, B::kVendorDeviceID, plat::Value(vendor));
        }
        return bundle;
    };
    struct Case {
        const char* what;
        std::vector<std::shared_ptr<B>> bundles;
        std::optional<std::string> resettable;
        std::optional<std::string> vendor;
        size_t expected;
    };
    const Case cases[] = {
        {"two app IDs", {make("a", "", ""), make("a", "", ""), make("b", "", ""), make("a", "", "")}, {}, {}, 2},
        {"devices X, X, Y", {make("a", "X", ""), make("a", "X", ""), make("a", "Y", "")}, "X", {}, 2},
        {"an empty device ID fits", {make("a", "X", ""), make("a", "", ""), make("a", "X", "")}, "X", {}, 3},
        {"vendor IDs", {make("a", "", "V"), make("a", "", "W")}, {}, "V", 1},
        {"both keys refused", {make("a", "X", "V")}, "X", "V", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DMSMeasurement::filteredBundlesWithCompatibleAppID("a", c.resettable, c.vendor, c.bundles).size(),
                  c.expected);
    }
    EXPECT_EQ(countOf(23042), 1u);
}

// A success whose deletion fails suspends uploads for an hour of uptime, but never with the uptime unknown.
TEST_F(DMSUploadTest, AFailedDeletionSuspendsUploadsForAnHourOfUptime) {
    batchReplies.push_back(plat::ScriptedReply::text(204, ""));
    start();
    advance(15);
    // The reply arrived for bundles that are already gone: deleting row IDs that are absent succeeds, so the
    // failure is made by removing the table under the connection.
    onWorker([] {
        plat::Error error;
        controller().database()->sqliteStore()->executeSQL("DROP TABLE queue", &error);
        EXPECT_TRUE(controller().setUploadInProgressWithBundleIDs({1}));
        controller().networkUploadCompletionHandlerWithResponse(
            std::make_shared<plat::HTTPURLResponse>(*plat::URL::parse("https://x.test/a"), 204, "HTTP/1.1",
                                                    plat::HTTPHeaderFields{}),
            std::nullopt);
    });
    EXPECT_EQ(countOf(23045), 1u);
    EXPECT_GT(controller().suspendedUploadTimestamp(), 0);
}

} // namespace
