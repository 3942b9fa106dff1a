// The upload and the configuration fetch against devserver's measurement back end over HTTPS: the back end
// reads the batch with its own reader, and every scripted answer has the effect the client gives it.

#include "devserver/MeasurementRoutes.hpp"
#include "devserver/Server.hpp"
#include "measurement/audiences/DMSAudienceConditions.hpp"
#include "measurement/tests/MeasurementUploadFixture.hpp"
#include "platform/foundation/AppHome.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace {

using B = DMSPBMeasurementBundle;
using devserver::Reply;

class DMSUploadServerTest : public dms::test::EngineFixture {
protected:
    // The device's clock stays at the real time here: the server's certificate is valid from now on.
    void SetUp() override {
        t0 = std::floor(plat::Clock::now());
        plat::Virtual::setWall(t0);
        service = devserver::installMeasurementRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = home.root() + "/measurement-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kMeasurementHost));
        plat::Dictionary info;
        info.set("CFBundleIdentifier", plat::Value("com.example.portal"));
        info.set("CFBundleShortVersionString", plat::Value("1.0"));
        info.set("CFBundleVersion", plat::Value("1.0.3"));
        makeBundle(dms::test::engineOptionsFile(), info);
    }
    void TearDown() override { server.stop(); }

    void start() {
        plat::sim::Network::setReachability(plat::kReachabilityFlagsReachable);
        startEngine();
        settle();
    }
    // Lets the loopback I/O in; when nothing happens, virtual time moves on to the next timer.
    static bool waitUntil(const std::function<bool()>& done) {
        for (int step = 0; step < 60; ++step) {
            if (plat::Virtual::runUntil(done, 0.5)) {
                return true;
            }
            auto pending = plat::Virtual::pendingTimers();
            if (!pending.empty()) {
                plat::Virtual::advanceTo(pending.front().deadline);
            }
        }
        return done();
    }
    size_t uploads() const { return devserver::measurementUploads(server).size(); }
    static DMSMeasurement& controller() { return *DMSMeasurement::sharedInstance(); }
    static DMSPersistedConfig& persisted() { return *DMSPersistedConfig::sharedInstance(); }
    std::vector<DMSQueuedBundle> queued() {
        std::vector<DMSQueuedBundle> bundles;
        controller().scheduler().dispatchSyncOnWorkerQueueBlockID("test", [&] {
            plat::Error error;
            bundles = controller().database()->queryBundlesWithCountLimit(100, 100000000, &error).value_or(bundles);
        });
        return bundles;
    }
    bool idle() const { return !DMSMeasurement::sharedInstance()->isNetworkRequestPending(); }

    devserver::Server server;
    std::shared_ptr<devserver::MeasurementService> service;
    double t0 = 0;
};

TEST_F(DMSUploadServerTest, TheFirstLaunchReachesTheBackEndWhichReadsItsBatch) {
    service->setConfiguration(7);
    start();
    ASSERT_TRUE(waitUntil([&] { return uploads() == 1 && idle(); }));
    const auto configs = devserver::measurementConfigRequests(server);
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_EQ(configs[0].appID, dms::test::kEngineAppID);
    EXPECT_EQ(configs[0].queryValue("platform"), "ios");
    EXPECT_EQ(configs[0].queryValue("rmp_version"), "50300");
    EXPECT_EQ(configs[0].queryValue("app_instance_id"), persisted().appInstanceID());
    EXPECT_TRUE(configs[0].ifModifiedSince.empty());

    const auto upload = devserver::measurementUploads(server)[0];
    ASSERT_TRUE(upload.problem.empty()) << upload.problem;
    ASSERT_EQ(upload.bundles.size(), 1u);
    const auto& bundle = upload.bundles[0];
    EXPECT_EQ(bundle.intTag(1), 1);
    EXPECT_EQ(bundle.textTag(8), "ios");
    EXPECT_EQ(bundle.textTag(14), "com.example.portal");
    EXPECT_EQ(bundle.textTag(16), "1.0");
    EXPECT_EQ(bundle.intTag(17), 50300);
    EXPECT_EQ(bundle.intTag(18), 50300);
    // Virtual time moves on while loopback I/O is slow (a loaded machine): the send time is at the alarm or
    // a little after it.
    EXPECT_GE(bundle.intTag(4).value_or(0), (t0 + 15) * 1000);
    EXPECT_LE(bundle.intTag(4).value_or(0), (t0 + 60) * 1000);
    EXPECT_EQ(bundle.intTag(5), t0 * 1000);
    EXPECT_EQ(bundle.intTag(6), t0 * 1000);
    EXPECT_EQ(bundle.textTag(21), persisted().appInstanceID());
    EXPECT_EQ(bundle.textTag(25), dms::test::kEngineAppID);
    EXPECT_EQ(bundle.intTag(23), 1);
    EXPECT_EQ(bundle.intTag(35), 7);
    EXPECT_EQ(bundle.intTag(31), 1);
    EXPECT_EQ(bundle.intTag(32), 0);
    EXPECT_EQ(bundle.intTag(33), 3);
    for (uint32_t absent : {7u, 26u, 19u, 20u}) {
        EXPECT_FALSE(bundle.intTag(absent) || bundle.textTag(absent)) << absent;
    }
    EXPECT_EQ(bundle.eventNames(), (std::vector<std::string>{"_f", "_e"}));
    EXPECT_EQ(bundle.events[0].param("_o")->stringValue, "auto");
    EXPECT_EQ(bundle.events[1].param("_et")->intValue, 1);
    EXPECT_EQ(bundle.attribute("_fi")->intValue, 1);
    EXPECT_EQ(bundle.attribute("_fot")->intValue, (static_cast<int64_t>(t0) / 3600 + 1) * 3600000);
    EXPECT_EQ(bundle.attribute("_lte")->intValue, 1);
    EXPECT_TRUE(queued().empty());
    EXPECT_GE(persisted().lastSuccessfulUploadTimestamp(), t0 + 15);
    EXPECT_LE(persisted().lastSuccessfulUploadTimestamp(), t0 + 60);
}

struct ServerStatusCase {
    const char* name;
    int status;
    bool dropped;
    bool success;
    bool backoff;
};

class DMSUploadServerStatusTest : public DMSUploadServerTest,
                                  public ::testing::WithParamInterface<ServerStatusCase> {};

// "Retry-After" is no part of the protocol: it must change nothing.
TEST_P(DMSUploadServerStatusTest, EachScriptedUploadAnswerHasItsEffect) {
    const auto& c = GetParam();
    service->queueUploadReply(c.dropped ? Reply::dropped()
                                        : Reply::text(c.status, "").withHeader("Retry-After", "1"));
    start();
    ASSERT_TRUE(waitUntil([&] { return uploads() == 1 && idle(); }));
    const auto bundles = queued();
    if (c.success) {
        EXPECT_TRUE(bundles.empty());
        EXPECT_DOUBLE_EQ(persisted().lastFailedUploadTimestamp(), 0);
        return;
    }
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(NANOGetInt32(bundles[0].bundle, B::kRetryCount), 1);
    EXPECT_GT(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_EQ(persisted().lastBackoffTimestamp() > 0, c.backoff);
}

INSTANTIATE_TEST_SUITE_P(Answers, DMSUploadServerStatusTest,
                         ::testing::Values(ServerStatusCase{"s200", 200, false, true, false},
                                           ServerStatusCase{"s204", 204, false, true, false},
                                           ServerStatusCase{"s304", 304, false, false, false},
                                           ServerStatusCase{"s404", 404, false, false, false},
                                           ServerStatusCase{"s429", 429, false, false, true},
                                           ServerStatusCase{"s500", 500, false, false, false},
                                           ServerStatusCase{"s503", 503, false, false, true},
                                           ServerStatusCase{"dropped", 0, true, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DMSUploadServerTest, ASecondUploadWhileTheAnswerIsDelayedIsIgnored) {
    service->queueUploadReply(Reply::text(204, "").after(std::chrono::milliseconds(800)));
    start();
    // The batch has arrived; its answer has not.
    ASSERT_TRUE(waitUntil([&] { return uploads() == 1 && !idle(); }));
    controller().scheduler().scheduleOnWorkerQueueBlockID("test", [] { controller().uploadData(); });
    settle();
    EXPECT_GE(countOf(23034), 1u);
    ASSERT_TRUE(waitUntil([&] { return idle() && queued().empty(); }));
    EXPECT_EQ(uploads(), 1u);
}

TEST_F(DMSUploadServerTest, RefusedConfigurationsKeepTheOneInForceAndUploadsGoOn) {
    std::string random(64, '\xff');
    std::string truncated = devserver::encodeMeasurementConfig(9, dms::test::kEngineAppID, {});
    truncated.resize(truncated.size() - 3);
    service->setConfiguration(7);
    start();
    ASSERT_TRUE(waitUntil([&] { return uploads() == 1 && idle(); }));
    ASSERT_EQ(controller().ownRemoteConfig()->version(), 7);
    const std::string bodies[] = {
        random,
        truncated,
        devserver::encodeMeasurementConfig(9, "1:2222:ios:fedcba9876543210", {}),
        devserver::encodeMeasurementConfig(9, dms::test::kEngineAppID, {{"measurement.big", std::string(1048577, 'x')}}),
    };
    size_t fetches = devserver::measurementConfigRequests(server).size();
    for (const auto& body : bodies) {
        service->queueConfigReply(Reply::text(200, body, "application/x-protobuf").withHeader("Last-Modified", "x"));
        controller().scheduler().scheduleOnWorkerQueueBlockID("test", [] { controller().fetchRemoteConfig(); });
        ++fetches;
        ASSERT_TRUE(waitUntil([&] { return devserver::measurementConfigRequests(server).size() == fetches && idle(); }));
        EXPECT_EQ(controller().ownRemoteConfig()->version(), 7);
    }
    EXPECT_EQ(countOf(23135), 3u);
    EXPECT_EQ(countOf(23136), 1u);
    // The next event still leaves.
    DMSAnalytics::logEventWithName("after", {});
    ASSERT_TRUE(waitUntil([&] { return uploads() == 2 && idle(); }));
    EXPECT_EQ(devserver::measurementUploads(server)[1].bundles[0].eventNames(), std::vector<std::string>{"after"});
}

// An audience of the served configuration, an event that satisfies it, and the next uploaded bundle carries
// the audience's result as the back end reads it: new, with the filter's bit evaluated and true.
TEST_F(DMSUploadServerTest, AServedAudienceTravelsWithTheNextBundleAfterAMatchingEvent) {
    devserver::MeasurementEventFilterDefinition purchase;
    purchase.filterID = 0;
    purchase.eventName = "purchase";
    purchase.paramName = "value";
    purchase.condition.numberComparison = DMSComparisonTypeGreaterThan;
    purchase.condition.value = "10";
    devserver::MeasurementAudienceDefinition audience;
    audience.audienceID = 3;
    audience.eventFilters.push_back(purchase);
    service->setConfiguration(7);
    service->setAudiences({audience});
    start();
    ASSERT_TRUE(waitUntil([&] { return uploads() == 1 && idle(); }));
    ASSERT_EQ(controller().ownRemoteConfig()->version(), 7);
    EXPECT_TRUE(devserver::measurementUploads(server)[0].bundles.at(0).audiences.empty());

    DMSAnalytics::logEventWithName("purchase", {{"value", plat::Value(int64_t{25})}});
    ASSERT_TRUE(waitUntil([&] { return uploads() == 2 && idle(); }));
    const auto upload = devserver::measurementUploads(server)[1];
    ASSERT_TRUE(upload.problem.empty()) << upload.problem;
    const auto& bundle = upload.bundles.at(0);
    EXPECT_EQ(bundle.eventNames(), std::vector<std::string>{"purchase"});
    ASSERT_EQ(bundle.audiences.size(), 1u);
    const auto& result = bundle.audiences[0];
    EXPECT_EQ(result.audienceID, 3);
    EXPECT_EQ(result.newAudience, true);
    EXPECT_FALSE(result.previous);
    ASSERT_TRUE(result.current);
    EXPECT_TRUE(result.current->evaluatedTrue(0));
    EXPECT_EQ(result.current->status, std::vector<uint64_t>{1});
}

} // namespace
