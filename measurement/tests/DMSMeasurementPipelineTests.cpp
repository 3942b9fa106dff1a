// The event pipeline in virtual time: the safelist, the remote blacklist, the daily limits by the install's
// day, the limit on public names, real-time marking in debug mode, and the first-open count in the keychain.

#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/Clock.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using dms::test::EngineFixture;

class DMSMeasurementPipelineTest : public EngineFixture {
protected:
    void SetUp() override { makeBundle(); }

    DMSDailyCounts dailyCounts() {
        plat::Error error;
        auto counts = DMSMeasurement::sharedInstance()->database()->dailyCounts(&error);
        EXPECT_TRUE(counts);
        return counts.value_or(DMSDailyCounts(0, 0, 0, 0, 0, 0));
    }
    std::vector<int64_t> storedErrorCodes() const {
        std::vector<int64_t> codes;
        for (const auto& event : storedRawEvents()) {
            if (event.name == "_err") {
                codes.push_back(event.intParameter("_err").value_or(-1));
            }
        }
        return codes;
    }
    static void logPublic(const std::string& name) { DMSAnalytics::logEventWithName(name, {}); }
};

TEST_F(DMSMeasurementPipelineTest, OnlySafelistedEventsAreStoredAndTheyAreMarked) {
    startEngine({{DMSAnalytics::kOptionSafelistedEvents, plat::Value(plat::Array{plat::Value("a")})}});
    logPublic("b");
    logPublic("a");
    settle();
    const auto stored = storedRawEvents();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].name, "a");
    EXPECT_EQ(stored[0].intParameter("ga_safelisted"), 1);
    auto dropped = firstCall(23174);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->level, 3);
}

TEST_F(DMSMeasurementPipelineTest, BlacklistedEventsAreDroppedBeforeCountingWithAnErrorEventUnlessTheyAreOne) {
    std::shared_ptr<DMSRemoteConfig> config = DMSRemoteConfig::initWithAppID(dms::test::kEngineAppID, &configStorage);
    DMSMeasurementConfigFields fields;
    fields.appID = dms::test::kEngineAppID;
    fields.settings.emplace();
    fields.eventConfigs = {DMSEventConfigFields{"shop", true, std::nullopt, std::nullopt},
                           DMSEventConfigFields{"_err", true, std::nullopt, std::nullopt}};
    config->parseRemoteConfigFromMeasurementConfig(fields);
    DMSMeasurement::setRemoteConfigForTesting(config);
    startEngine();
    logPublic("shop");
    logPublic("fine");
    settle();
    // The first launch stored its first-open events before.
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "fine"}));
    // "shop" gave an error event, which is blacklisted itself and gives none.
    EXPECT_EQ(countOf(23052), 2u);
    EXPECT_EQ(dailyCounts().allEventsCount(), 3);
}

TEST_F(DMSMeasurementPipelineTest, ThePublicDailyLimitDropsWithAnErrorEventAndStillCounts) {
    useSettings({{"measurement.upload.max_public_events_per_day", std::string("2")}});
    startEngine();
    for (const char* name : {"p1", "p2", "p3"}) {
        logPublic(name);
    }
    settle();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"_f", "_e", "p1", "p2", "_err"}));
    EXPECT_EQ(storedErrorCodes(), std::vector<int64_t>{16});
    EXPECT_EQ(countOf(23057), 1u);
    const auto counts = dailyCounts();
    EXPECT_EQ(counts.publicEventsCount(), 3);
    // The dropped "p3" is not among all events; the error event and the first-open events are.
    EXPECT_EQ(counts.allEventsCount(), 5);
    EXPECT_EQ(counts.errorEventsCount(), 1);
}

// The first overflowing event of a day is reported, then every thousandth; the next day starts over.
TEST_F(DMSMeasurementPipelineTest, TheDailyLimitReportsEveryThousandthDropAndResetsAtTheInstallsMidnight) {
    useSettings({{"measurement.upload.max_events_per_day", std::string("5")}});
    startEngine();
    for (int i = 1; i <= 7; ++i) {
        logPublic("e" + std::to_string(i));
    }
    settle();
    EXPECT_EQ(storedNames().size(), 5u);
    EXPECT_EQ(countOf(23055), 1u);
    // The first-open events "_f" and "_e" took two of the five.
    for (int i = 8; i <= 1003; ++i) {
        logPublic("e" + std::to_string(i % 7));
    }
    settle();
    EXPECT_EQ(countOf(23055), 1u);
    logPublic("e1004");
    settle();
    EXPECT_EQ(countOf(23055), 2u);
    EXPECT_EQ(storedNames().size(), 5u);

    const double offset = DMSPersistedConfig::sharedInstance()->midnightOffset();
    const double now = plat::Clock::now();
    const double nextMidnight = (std::floor((now - offset) / 86400) + 1) * 86400 + offset;
    plat::Virtual::advanceBy(nextMidnight - now - 1);
    logPublic("still_today");
    settle();
    EXPECT_EQ(storedNames().size(), 5u);
    plat::Virtual::advanceBy(2);
    logPublic("tomorrow");
    settle();
    EXPECT_EQ(storedNames().back(), "tomorrow");
    EXPECT_EQ(dailyCounts().allEventsCount(), 1);
}

TEST_F(DMSMeasurementPipelineTest, AtMostFiveHundredPublicNamesAreEverStored) {
    startEngine();
    for (int i = 0; i < 500; ++i) {
        logPublic("name_" + std::to_string(i));
    }
    settle();
    EXPECT_EQ(countOf(23065), 0u);
    logPublic("name_500");
    logPublic("name_7");
    DMSAnalytics::logInternalEventWithOrigin("vzx", "_internal", {});
    settle();
    EXPECT_EQ(countOf(23065), 1u);
    const auto names = storedNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "name_500"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "name_7"), 2);
    EXPECT_EQ(std::count(names.begin(), names.end(), "_internal"), 1);
    EXPECT_EQ(storedErrorCodes(), std::vector<int64_t>{8});
}

TEST_F(DMSMeasurementPipelineTest, InDebugModeEveryEventIsStoredAsRealTime) {
    startEngine();
    logPublic("plain");
    settle();
    DMSMeasurement::monitor().setDebugModeEnabled(true);
    logPublic("debugged");
    DMSAnalytics::logInternalEventWithOrigin("auto", "_f", {});
    settle();
    DMSMeasurement::monitor().setDebugModeEnabled(false);
    auto stored = storedRawEvents();
    // After the first launch's "_f" and "_e".
    ASSERT_EQ(stored.size(), 5u);
    stored.erase(stored.begin(), stored.begin() + 2);
    EXPECT_FALSE(stored[0].realtime);
    EXPECT_TRUE(stored[1].realtime);
    EXPECT_TRUE(stored[2].realtime);
    EXPECT_EQ(stored[1].intParameter("_dbg"), 1);
}

// The keychain outlives a reinstall, so the count goes on from what an earlier install left.
TEST_F(DMSMeasurementPipelineTest, FirstOpensAreCountedInTheKeychainAndSaturate) {
    startEngine();
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, "1"}, {"2", "3"}, {"-4", "1"}, {"junk", "1"}, {"9223372036854775807", "9223372036854775807"}};
    for (const auto& [before, after] : cases) {
        if (before) {
            DMSKeychainWrapper::upsertKeychainValue(*before, "_pfo", "test.measurement");
        } else {
            DMSKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "test.measurement");
        }
        DMSAnalytics::logInternalEventWithOrigin("auto", "_f", {});
        settle();
        EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", "test.measurement"), after)
            << before.value_or("none");
    }
    DMSAnalytics::logInternalEventWithOrigin("auto", "_notfirst", {});
    settle();
    EXPECT_EQ(DMSKeychainWrapper::keychainValueWithIdentifier("_pfo", "test.measurement"), "9223372036854775807");
}

} // namespace
