// Conditional user properties through the running engine in virtual time: triggering, time-outs and expiry in
// the pass of every event (with the order of the events written around it), the validity bounds, clearing,
// the query and its time limit, analytics switched off, and a failed store that leaves nothing behind.

#include "measurement/audiences/DMSConditionalUserPropertyController.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/tests/MeasurementEngineFixture.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

using dms::test::EngineFixture;

class DMSConditionalUserPropertyTest : public EngineFixture {
protected:
    void SetUp() override {
        makeBundle();
        startEngine();
        start = plat::Clock::now();
        firstStoredCount = storedNames().size();
    }
    static DMSConditionalUserPropertyController& controller() {
        return DMSConditionalUserPropertyController::sharedInstance();
    }
    static std::optional<DMSEvent> templateEvent(const std::string& name) {
        return DMSEvent::initWithOrigin("app", false, name, 0, 0, plat::Dictionary{{"why", plat::Value(name)}});
    }
    static DMSConditionalUserProperty record(const std::string& trigger, double timeout = 60, double timeToLive = 120) {
        DMSConditionalUserProperty property;
        property.setOrigin("app");
        property.setValue(DMSValue::initWithString("gold"));
        property.setTriggerEventName(trigger);
        property.setTriggerTimeout(timeout);
        property.setTimeToLive(timeToLive);
        property.setTriggeredEvent(templateEvent("tier_on"));
        property.setTimedOutEvent(templateEvent("tier_late"));
        property.setExpiredEvent(templateEvent("tier_off"));
        return property;
    }
    // Moves the wall clock only, so no upload or session timer takes the raw events away meanwhile.
    void at(double offset) { plat::Virtual::setWall(start + offset); }
    void log(const std::string& name) {
        DMSAnalytics::logEventWithName(name, {});
        settle();
    }
    // The names stored since the engine started.
    std::vector<std::string> newNames() const {
        auto names = storedNames();
        return std::vector<std::string>(names.begin() + static_cast<long>(std::min(firstStoredCount, names.size())),
                                        names.end());
    }
    DMSDatabase* database() const { return DMSMeasurement::sharedInstance()->database(); }
    std::optional<DMSUserAttribute> property(const std::string& name) const {
        return database()->userAttributeWithName(name, nullptr);
    }
    std::optional<DMSConditionalUserProperty> stored(const std::string& name) const {
        return database()->conditionalUserPropertyWithName(name, nullptr);
    }

    double start = 0;
    size_t firstStoredCount = 0;
};

TEST_F(DMSConditionalUserPropertyTest, TriggerSetsThePropertyAndExpiryRemovesItAroundTheEventsThatCauseThem) {
    auto tier = record("buy");
    controller().setConditionalUserProperty(&tier, "tier");
    settle();
    ASSERT_TRUE(stored("tier"));
    EXPECT_FALSE(stored("tier")->isActive());
    EXPECT_FALSE(property("tier"));

    at(10);
    log("buy");
    auto set = property("tier");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->lastSetTimestamp(), start + 10);
    EXPECT_EQ(*set->value().stringValue(), "gold");
    ASSERT_TRUE(stored("tier"));
    EXPECT_TRUE(stored("tier")->isActive());
    EXPECT_EQ(newNames(), (std::vector<std::string>{"buy", "tier_on"}));

    at(100);
    log("tap"); // 90 s after triggering: still alive
    EXPECT_TRUE(property("tier"));

    at(200);
    log("tap");
    EXPECT_EQ(newNames(), (std::vector<std::string>{"buy", "tier_on", "tap", "tier_off", "tap"}));
    EXPECT_FALSE(property("tier"));
    EXPECT_FALSE(stored("tier"));
}

TEST_F(DMSConditionalUserPropertyTest, ATriggerAfterTheTimeoutRemovesTheRecordInsteadOfTriggering) {
    auto tier = record("buy");
    controller().setConditionalUserProperty(&tier, "tier");
    settle();
    at(61);
    log("buy");
    EXPECT_EQ(newNames(), (std::vector<std::string>{"tier_late", "buy"}));
    EXPECT_FALSE(property("tier"));
    EXPECT_FALSE(stored("tier"));
}

TEST_F(DMSConditionalUserPropertyTest, IntervalsOutsideTheBoundsAreRefusedBeforeAnythingIsScheduled) {
    const struct {
        double timeout;
        double timeToLive;
        int64_t refusal; // 0: accepted
    } cases[] = {
        {0.001, 120, 0},     {15552000, 120, 0},  {60, 0.001, 0},      {60, 15552000, 0},
        {0, 120, 11000},     {15552001, 120, 11000}, {-1, 120, 11000}, {60, 0, 11001},
        {60, 15552001, 11001},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = "p" + std::to_string(index++);
        monitor.clear();
        auto candidate = record("buy", c.timeout, c.timeToLive);
        controller().setConditionalUserProperty(&candidate, name);
        settle();
        EXPECT_EQ(stored(name).has_value(), c.refusal == 0) << c.timeout << " " << c.timeToLive;
        if (c.refusal) {
            EXPECT_EQ(countOf(c.refusal), 1u) << c.timeout << " " << c.timeToLive;
        }
    }
    // A name longer than 24 characters is refused by the validator as well.
    const std::string longName(25, 'n');
    auto candidate = record("buy");
    controller().setConditionalUserProperty(&candidate, longName);
    settle();
    EXPECT_FALSE(stored(longName));
}

TEST_F(DMSConditionalUserPropertyTest, WithoutTriggerItTakesEffectAtOnceAndSettingWithoutValueClearsIt) {
    auto tier = record("");
    controller().setConditionalUserProperty(&tier, "tier");
    settle();
    auto set = property("tier");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->lastSetTimestamp(), start);
    EXPECT_EQ(newNames(), (std::vector<std::string>{"tier_on"}));

    auto clearing = record("");
    clearing.setValue(std::nullopt);
    clearing.setExpiredEvent(templateEvent("tier_cleared"));
    at(5);
    controller().setConditionalUserProperty(&clearing, "tier");
    settle();
    EXPECT_FALSE(property("tier"));
    EXPECT_FALSE(stored("tier"));
    EXPECT_EQ(newNames(), (std::vector<std::string>{"tier_on", "tier_cleared"}));

    monitor.clear();
    controller().clearConditionalUserPropertyWithClearEvent(templateEvent("never"), "unknown");
    settle();
    EXPECT_EQ(countOf(11018), 1u);
    EXPECT_EQ(newNames(), (std::vector<std::string>{"tier_on", "tier_cleared"}));
}

TEST_F(DMSConditionalUserPropertyTest, QueryAnswersTheStoredRecordsOrNothingAfterThirtySeconds) {
    for (const char* name : {"tier_a", "tier_b", "rank"}) {
        auto candidate = record("buy");
        controller().setConditionalUserProperty(&candidate, name);
    }
    settle();
    auto found = controller().conditionalUserPropertiesWithNamePrefix(plat::Value("tier_"), plat::Value("app"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 2u);
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(plat::Value(int64_t{3}), std::monostate()));
    EXPECT_EQ(countOf(11003), 1u);

    // A worker busy past the time limit: the caller gives up, and the answer that comes later touches only
    // the state it shares with the worker block.
    const auto& queue = DMSMeasurement::sharedInstance()->scheduler().workerQueue();
    queue->suspend();
    const double before = plat::Clock::uptime();
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(std::monostate(), std::monostate()));
    EXPECT_GE(plat::Clock::uptime() - before, 30);
    queue->resume();
    settle();
}

TEST_F(DMSConditionalUserPropertyTest, WithAnalyticsDisabledNothingChangesAndTheQueryAnswersNothing) {
    auto kept = record("");
    controller().setConditionalUserProperty(&kept, "kept");
    settle();
    DMSAnalytics::setAnalyticsEnabled(false);
    settle();
    monitor.clear();
    auto candidate = record("");
    controller().setConditionalUserProperty(&candidate, "tier");
    controller().clearConditionalUserPropertyWithClearEvent(templateEvent("gone"), "kept");
    settle();
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(std::monostate(), std::monostate()));
    EXPECT_FALSE(stored("tier"));
    EXPECT_TRUE(stored("kept"));
    for (int64_t code : {11007, 11015, 11005}) {
        auto call = firstCall(code);
        ASSERT_TRUE(call) << code;
        EXPECT_EQ(call->level, 3) << code;
    }
}

TEST_F(DMSConditionalUserPropertyTest, ARecordThatCannotBeStoredLeavesNoPropertyAndNoEvent) {
    ASSERT_EQ(sqlite3_exec(database()->sqliteStore()->sqliteHandle(),
                           "CREATE TRIGGER refuse_record BEFORE INSERT ON conditional_properties "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    auto tier = record("");
    controller().setConditionalUserProperty(&tier, "tier");
    settle();
    EXPECT_EQ(countOf(11014), 1u);
    EXPECT_FALSE(property("tier"));
    EXPECT_TRUE(newNames().empty());
}

} // namespace
