// Ad exposure in virtual uptime: pieces of at least a second per unit and for ads as a whole, nested begins,
// cuts at screen changes and resignation, the unit limit, and a wall-clock change that must not count.

#include "measurement/engine/DMSAdExposureReporter.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

class DMSAdExposureReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        (void)DMSScreenViewReporter::sharedInstance();
        plat::NotificationCenter::defaultCenter().post(plat::UIApplicationDidBecomeActiveNotification);
        plat::Virtual::runUntilIdle();
    }
    static DMSAdExposureReporter& reporter() { return DMSAdExposureReporter::sharedInstance(); }
    // At `at` seconds after the start of the test.
    void at(double seconds, const std::function<void()>& step) {
        plat::Virtual::advanceTo(start + seconds);
        step();
        plat::Virtual::runUntilIdle();
    }
    // "name:_xt[:_ai][:_sc]" of each logged event.
    std::vector<std::string> logged() const {
        std::vector<std::string> found;
        for (const auto& event : recorder.events) {
            EXPECT_EQ(event.origin, "am");
            std::string line = event.name + ":" + std::to_string(event.parameters.find("_xt")->integerValue());
            if (const plat::Value* unit = event.parameters.find("_ai")) {
                line += ":" + unit->asString();
            }
            if (const plat::Value* screen = event.parameters.find("_sc")) {
                line += ":" + screen->asString();
            }
            found.push_back(line);
        }
        return found;
    }

    dms::test::MonitorRecorder monitor;
    dms::test::InternalEventRecorder recorder;
    double start = plat::Virtual::uptime();
};

TEST_F(DMSAdExposureReporterTest, PiecesShorterThanASecondAreDroppedAndLongerOnesLoggedPerUnitAndOverall) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, std::function<void()>>> steps;
        std::vector<std::string> expected;
    };
    auto begin = [](const char* unit) { return [unit] { reporter().beginAdUnitExposure(unit); }; };
    auto end = [](const char* unit) { return [unit] { reporter().endAdUnitExposure(unit); }; };
    const std::vector<Case> cases = {
        {"under a second", {{0, begin("banner")}, {0.9, end("banner")}}, {}},
        {"two and a half seconds", {{0, begin("banner")}, {2.5, end("banner")}}, {"_xu:2500:banner", "_xa:2500"}},
        {"nested begins need as many ends",
         {{0, begin("banner")}, {1, begin("banner")}, {2, end("banner")}, {3, end("banner")}},
         {"_xu:3000:banner", "_xa:3000"}},
        {"two units overlap; ads as a whole run from the first begin to the last end",
         {{0, begin("top")}, {1, begin("side")}, {2.5, end("top")}, {4, end("side")}},
         {"_xu:2500:top", "_xu:3000:side", "_xa:4000"}},
    };
    for (const Case& c : cases) {
        recorder.events.clear();
        start = plat::Virtual::uptime() + 10;
        for (const auto& [seconds, step] : c.steps) {
            at(seconds, step);
        }
        EXPECT_EQ(logged(), c.expected) << c.name;
    }
}

TEST_F(DMSAdExposureReporterTest, AScreenChangeCutsThePieceWithThePreviousScreenAndTheExposureGoesOn) {
    auto previous = DMSScreen::initWithName(std::nullopt, "HomeViewController", 7);
    auto next = DMSScreen::initWithName(std::nullopt, "CartViewController", 8);
    at(1, [] { reporter().beginAdUnitExposure("banner"); });
    at(5, [&] { reporter().handleScreenDidChangeFromScreen(previous, next); });
    EXPECT_EQ(logged(), (std::vector<std::string>{"_xu:4000:banner:HomeViewController", "_xa:4000:HomeViewController"}));
    EXPECT_EQ(recorder.events[0].parameters.find("_si")->integerValue(), 7);
    at(7, [] { reporter().endAdUnitExposure("banner"); });
    ASSERT_EQ(logged().size(), 4u);
    EXPECT_EQ(logged()[2], "_xu:2000:banner");
}

TEST_F(DMSAdExposureReporterTest, BackgroundTimeAndWallClockJumpsAreNeverCounted) {
    at(0, [] { reporter().beginAdUnitExposure("banner"); });
    at(2, [] { plat::NotificationCenter::defaultCenter().post(plat::UIApplicationWillResignActiveNotification); });
    EXPECT_EQ(logged(), (std::vector<std::string>{"_xu:2000:banner", "_xa:2000"}));
    at(62, [] { plat::NotificationCenter::defaultCenter().post(plat::UIApplicationDidBecomeActiveNotification); });
    // The device clock is set back an hour; exposure follows uptime.
    plat::Virtual::setWall(plat::Clock::now() - 3600);
    at(63.5, [] { reporter().endAdUnitExposure("banner"); });
    EXPECT_EQ(logged(), (std::vector<std::string>{"_xu:2000:banner", "_xa:2000", "_xu:1500:banner", "_xa:1500"}));
}

TEST_F(DMSAdExposureReporterTest, EmptyUnknownAndTooManyUnitsAreRefused) {
    at(0, [] {
        reporter().beginAdUnitExposure("");
        reporter().endAdUnitExposure("");
        reporter().endAdUnitExposure("never-begun");
        for (int i = 0; i < 101; ++i) {
            reporter().beginAdUnitExposure("unit-" + std::to_string(i));
        }
    });
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{1000, 1003, 1004, 1002}));
    monitor.clear();
    at(2, [] { reporter().endAdUnitExposure("unit-100"); });
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{1004});
    at(3, [] { reporter().endAdUnitExposure("unit-99"); });
    EXPECT_EQ(logged(), std::vector<std::string>{"_xu:3000:unit-99"});
}

TEST_F(DMSAdExposureReporterTest, NothingIsLoggedWithReportingOff) {
    reporter().setReportingEnabled(false);
    at(0, [] { reporter().beginAdUnitExposure("banner"); });
    at(3, [] { reporter().endAdUnitExposure("banner"); });
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{1007, 1005}));
}

} // namespace
