// Sessions in virtual time: the pending start after the minimum interval of foreground time, counting time
// accrued before a resignation; expiry after the timeout; session numbers; engagement periods and the timer.

#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/tests/MeasurementScreenFixture.hpp"
#include "platform/foundation/NotificationCenter.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using dms::test::ScreenFixture;

class DMSSessionReporterTest : public ScreenFixture {
protected:
    size_t sessionStarts() const { return eventsNamed("_s").size(); }
    static void away(double seconds) {
        plat::sim::App::resignActive();
        plat::sim::App::enterBackground();
        settle();
        plat::Virtual::advanceBy(seconds);
        plat::sim::App::enterForeground();
        plat::sim::App::becomeActive();
        settle();
    }
};

TEST_F(DMSSessionReporterTest, ASessionStartsTenSecondsIntoTheForegroundAndAgainAfterThirtyOneMinutesAway) {
    launch();
    plat::Virtual::advanceBy(9.5);
    EXPECT_EQ(sessionStarts(), 0u);
    plat::Virtual::advanceBy(0.5);
    ASSERT_EQ(sessionStarts(), 1u);
    EXPECT_EQ(eventsNamed("_s")[0].origin, "auto");

    // Back within the timeout: the same session goes on.
    away(60);
    plat::Virtual::advanceBy(20);
    EXPECT_EQ(sessionStarts(), 1u);

    away(31 * 60);
    plat::Virtual::advanceBy(9.9);
    EXPECT_EQ(sessionStarts(), 1u);
    plat::Virtual::advanceBy(0.1);
    EXPECT_EQ(sessionStarts(), 2u);
}

TEST_F(DMSSessionReporterTest, ResigningWhileAStartIsPendingKeepsTheForegroundTimeForTheNextActivation) {
    launch();
    plat::Virtual::advanceBy(4);
    plat::sim::App::resignActive();
    settle();
    EXPECT_FALSE(sessions()->sessionStartTimer()->scheduledTimestamp());
    plat::Virtual::advanceBy(30);
    EXPECT_EQ(sessionStarts(), 0u);
    EXPECT_NEAR(DMSPersistedConfig::sharedInstance()->engagementTimeBeforeSessionStart(), 4, 1e-6);

    plat::sim::App::becomeActive();
    settle();
    plat::Virtual::advanceBy(5.9);
    EXPECT_EQ(sessionStarts(), 0u);
    plat::Virtual::advanceBy(0.1);
    EXPECT_EQ(sessionStarts(), 1u);
}

TEST_F(DMSSessionReporterTest, SessionNumbersGrowByOneAndTheStartCarriesThemWithTheSessionID) {
    launch({{"measurement.sessions.session_number_enabled", "1"}, {"measurement.sessions.session_id_enabled", "1"},
            {"measurement.sessions.immediate_start_enabled", "1"}});
    away(31 * 60);
    away(31 * 60);
    // Session 1 started with the first open, on the worker queue; the reporter logged the two after it.
    const auto starts = eventsNamed("_s");
    ASSERT_EQ(starts.size(), 2u);
    for (size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(parameter(starts[i], "_sno"), plat::Value(static_cast<int64_t>(i + 2))) << i;
        ASSERT_TRUE(parameter(starts[i], "_sid"));
        EXPECT_NEAR(static_cast<double>(parameter(starts[i], "_sid")->integerValue()), plat::Clock::now(), 3800);
    }
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->sessionNumber(), 3);
    plat::Dictionary properties;
    DMSAnalytics::userPropertiesIncludingInternal(true, plat::DispatchQueue::main(),
                                                  [&](plat::Dictionary found) { properties = std::move(found); });
    settle();
    EXPECT_EQ(properties.find("_sno") ? properties.find("_sno")->integerValue() : -1, 3);
}

TEST_F(DMSSessionReporterTest, TheEngagementTimerLogsTheTimeAndIsReArmedEvenWithReportingOff) {
    launch({{"measurement.session.event_user_engagement_interval", "60000"}});
    int ticks = 0;
    plat::NotificationCenter::defaultCenter().addObserver(this, DMSSessionReporter::kEngagementTimerDidFireNotification,
                                                          nullptr, [&](const plat::Notification&) { ++ticks; });
    plat::Virtual::advanceBy(60);
    auto engagement = eventsNamed("_e");
    ASSERT_EQ(engagement.size(), 1u);
    EXPECT_EQ(parameter(engagement[0], "_et"), plat::Value(int64_t{60000}));
    EXPECT_EQ(ticks, 1);

    sessions()->setReportingEnabled(false);
    plat::Virtual::advanceBy(60);
    EXPECT_EQ(eventsNamed("_e").size(), 1u);
    EXPECT_EQ(ticks, 2);
    EXPECT_TRUE(sessions()->userEngagementTimer()->scheduledTimestamp());

    // The period restarted at the silent tick, so the next "_e" counts only from there.
    sessions()->setReportingEnabled(true);
    plat::Virtual::advanceBy(30);
    plat::sim::App::resignActive();
    settle();
    engagement = eventsNamed("_e");
    ASSERT_EQ(engagement.size(), 2u);
    EXPECT_EQ(parameter(engagement[1], "_et"), plat::Value(int64_t{30000}));
}

TEST_F(DMSSessionReporterTest, AnEngagementIntervalOfZeroArmsNoTimerInsteadOfFiringForever) {
    launch({{"measurement.session.event_user_engagement_interval", "0"}});
    plat::Virtual::advanceBy(3600);
    EXPECT_FALSE(sessions()->userEngagementTimer()->scheduledTimestamp());
    EXPECT_TRUE(eventsNamed("_e").empty());
    plat::sim::App::resignActive();
    settle();
    EXPECT_EQ(eventsNamed("_e").size(), 1u);
}

TEST_F(DMSSessionReporterTest, NegativeIntervalsBecomeZeroAndTheConfigurationNotificationsReachTheReporter) {
    launch();
    DMSMeasurement::sharedInstance()->setMinimumSessionInterval(-5);
    DMSMeasurement::sharedInstance()->setSessionTimeoutInterval(120);
    settle();
    EXPECT_EQ(sessions()->minimumSessionInterval(), 0);
    EXPECT_EQ(sessions()->timeoutSessionInterval(), 120);
    EXPECT_EQ(countOf(33000), 1u);
    // The pending start was re-armed with the new interval and has fired.
    plat::Virtual::advanceBy(0);
    EXPECT_EQ(sessionStarts(), 1u);
    away(121);
    plat::Virtual::advanceBy(0);
    EXPECT_EQ(sessionStarts(), 2u);
}

} // namespace

namespace {

TEST_F(DMSSessionReporterTest, AnEventInTheBackgroundExtendsTheSessionOrStartsANewOne) {
    launch({{"measurement.sessions.background_sessions_enabled", "1"},
            {"measurement.sessions.session_number_enabled", "1"}});
    plat::Virtual::advanceBy(10);
    ASSERT_EQ(sessionStarts(), 1u);
    plat::sim::App::resignActive();
    plat::sim::App::enterBackground();
    settle();

    auto stored = [this] {
        const auto names = storedNames();
        return std::count(names.begin(), names.end(), "_s");
    };
    plat::Virtual::advanceBy(20 * 60);
    DMSAnalytics::logEventWithName("sync", {{"extend_session", plat::Value(int64_t{1})}});
    settle();
    EXPECT_EQ(stored(), 0);
    EXPECT_NEAR(DMSPersistedConfig::sharedInstance()->lastSessionActivityClockTime(), plat::Clock::now(), 1);

    // Twenty minutes later the extended session still lives; thirty-one minutes after that it has expired.
    plat::Virtual::advanceBy(20 * 60);
    DMSAnalytics::logEventWithName("sync", {{"extend_session", plat::Value(int64_t{1})}});
    settle();
    EXPECT_EQ(stored(), 0);
    plat::Virtual::advanceBy(31 * 60);
    DMSAnalytics::logEventWithName("sync", {{"extend_session", plat::Value(int64_t{1})}});
    settle();
    EXPECT_EQ(stored(), 1);
    EXPECT_EQ(DMSPersistedConfig::sharedInstance()->sessionNumber(), 2);

    DMSAnalytics::logEventWithName("sync", {{"extend_session", plat::Value("yes")}});
    settle();
    EXPECT_EQ(countOf(23179), 1u);
}

} // namespace
