// Search-ad attribution in virtual time against the service stand-in: the daily retry schedule and its
// limit, the sample answer retried, an answer stored and reported once, and the absent service.

#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSSearchAdReporter.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/device/SearchAdsClient.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using plat::SearchAdsClientDriver;

class DMSSearchAdReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = DMSPersistedConfig::initWithSuiteName("search-ad-test");
        ASSERT_TRUE(config);
    }
    std::shared_ptr<DMSSearchAdReporter> make() {
        auto reporter = DMSSearchAdReporter::initWithWorkerQueue(scheduler.workerQueue(), config.get());
        if (reporter) {
            reporter->setSearchAdReporterEnabled(true);
        }
        return reporter;
    }
    std::vector<dms::test::InternalEvent> campaigns() const {
        std::vector<dms::test::InternalEvent> found;
        for (const auto& event : recorder.events) {
            if (event.name == "_cmp") {
                found.push_back(event);
            }
        }
        return found;
    }
    size_t countOf32(int64_t code) const {
        auto codes = monitor.codes();
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
    }
    static void days(double count) {
        plat::Virtual::advanceBy(count * 86400);
        plat::Virtual::runUntilIdle();
    }

    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
    dms::test::InternalEventRecorder recorder;
    DMSScheduler scheduler{"search-ad-worker"};
    std::unique_ptr<DMSPersistedConfig> config;
};

TEST_F(DMSSearchAdReporterTest, WithoutTheServiceTheReporterDoesNothing) {
    auto reporter = make();
    ASSERT_TRUE(reporter);
    reporter->start();
    days(2);
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{32003});
    EXPECT_EQ(config->searchAdRetryCount(), 0);
}

TEST_F(DMSSearchAdReporterTest, TheNinthRetryIsTheLastAndTheTenthIsNeverMade) {
    SearchAdsClientDriver::install();
    config->setSearchAdRetryCount(10);
    EXPECT_FALSE(make());
    config->setSearchAdRetryCount(9);
    auto reporter = make();
    ASSERT_TRUE(reporter);
    reporter->start();
    SearchAdsClientDriver::queueAttributionAnswer({plat::Value(), plat::Error{"ADClientError", 1, {}}});
    days(1);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 1);
    EXPECT_EQ(config->searchAdRetryCount(), 10);
    EXPECT_EQ(countOf32(32010), 1u);
    EXPECT_EQ(countOf32(32007), 1u);
    EXPECT_FALSE(reporter->searchAdReporterAlarm());
    days(3);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 1);
}

TEST_F(DMSSearchAdReporterTest, TheNextLookupWaitsADaySinceTheLastOne) {
    SearchAdsClientDriver::install();
    config->setLastSearchAdLookUpTimestamp(plat::Clock::now() - 100);
    auto reporter = make();
    reporter->start();
    auto when = reporter->searchAdReporterAlarm()->scheduledTimestamp();
    ASSERT_TRUE(when);
    EXPECT_NEAR(when->timeIntervalSince1970() - plat::Clock::now(), 86300, 1e-3);
}

TEST_F(DMSSearchAdReporterTest, ASampleAnswerIsRetriedAndTheRealOneReportedOnceWithTheClickTime) {
    SearchAdsClientDriver::install();
    config->setFirstOpenTimestampMilliseconds(1700000000000);
    // Never asked before: the first lookup is due at once.
    SearchAdsClientDriver::queueAttributionAnswer({SearchAdsClientDriver::sampleAttributionDetails(), {}});
    auto reporter = make();
    reporter->start();
    days(0);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 1);
    EXPECT_EQ(countOf32(32012), 1u);
    EXPECT_TRUE(campaigns().empty());
    EXPECT_FALSE(config->searchAdCampaignValue());
    SearchAdsClientDriver::queueAttributionAnswer(
        {SearchAdsClientDriver::attributionDetails(true, "Spring", "portal app"), {}});
    days(1);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 2);
    const auto events = campaigns();
    ASSERT_EQ(events.size(), 1u);
    const plat::Dictionary& p = events[0].parameters;
    EXPECT_EQ(events[0].origin, "auto");
    EXPECT_EQ(p.find("source")->asString(), "Apple");
    EXPECT_EQ(p.find("medium")->asString(), "search");
    EXPECT_EQ(p.find("campaign")->asString(), "Spring");
    EXPECT_EQ(p.find("term")->asString(), "portal app");
    EXPECT_EQ(p.find("click_timestamp")->integerValue(), 1699999999999);
    ASSERT_TRUE(config->searchAdCampaignValue());
    EXPECT_TRUE(config->searchAdCampaignValue()->boolValue());

    // A late second answer is not reported again; nor is a new reporter made.
    reporter->logCampaignEventWithSearchAdCampaign(true, std::string("Other"), std::nullopt);
    EXPECT_EQ(countOf32(32008), 1u);
    EXPECT_EQ(campaigns().size(), 1u);
    days(2);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 2);
    EXPECT_FALSE(make());
}

TEST_F(DMSSearchAdReporterTest, AnInstallThatIsNotAttributedIsStoredWithoutAnEventAndNeverAskedAgain) {
    SearchAdsClientDriver::install();
    config->setFirstOpenTimestampMilliseconds(1);
    auto reporter = make();
    reporter->start();
    SearchAdsClientDriver::queueAttributionAnswer(
        {SearchAdsClientDriver::attributionDetails(false, "Spring", "portal"), {}});
    days(1);
    ASSERT_TRUE(config->searchAdCampaignValue());
    EXPECT_FALSE(config->searchAdCampaignValue()->boolValue());
    EXPECT_TRUE(campaigns().empty());
    days(5);
    EXPECT_EQ(SearchAdsClientDriver::requestCount(), 1);
}

TEST_F(DMSSearchAdReporterTest, TheOlderInstallationAnswerIsUsedWhenTheDetailsAreNotOffered) {
    SearchAdsClientDriver::install({false, false, true});
    config->setFirstOpenTimestampMilliseconds(1);
    auto reporter = make();
    reporter->start();
    SearchAdsClientDriver::queueInstallationAnswer(true);
    days(1);
    const auto events = campaigns();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].parameters.find("click_timestamp"));
    EXPECT_FALSE(events[0].parameters.find("campaign"));
    EXPECT_EQ(countOf32(32009), 1u);
}

} // namespace
