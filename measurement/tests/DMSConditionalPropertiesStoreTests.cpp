// The database's conditional user properties (rows, the time queries with absolute differences, the literal
// prefix and exact origin query, corrupt event blobs) and the main events of complex events.

#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/dispatch/Backend.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

namespace {

constexpr double kStoreTestNow = 1700000000;

std::optional<DMSEvent> storeTestEvent(const std::string& name, plat::Dictionary parameters = {}) {
    return DMSEvent::initWithOrigin("app", false, name, kStoreTestNow, 0, parameters);
}

DMSConditionalUserProperty storeTestProperty(const std::string& name, const std::string& origin = "app") {
    DMSConditionalUserProperty property;
    property.setName(name);
    property.setOrigin(origin);
    property.setValue(DMSValue::initWithString("gold"));
    property.setTriggerTimeout(60);
    property.setTimeToLive(120);
    property.setCreationTimestamp(kStoreTestNow);
    return property;
}

std::vector<std::string> storeTestNames(const std::optional<std::vector<DMSConditionalUserProperty>>& properties) {
    std::vector<std::string> names;
    for (const auto& property : properties.value_or(std::vector<DMSConditionalUserProperty>())) {
        names.push_back(property.name());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class DMSConditionalPropertiesStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::Virtual::setWall(kStoreTestNow);
        database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
        ASSERT_TRUE(database);
    }
    // One statement on the database's own connection.
    void execute(const std::string& sql) {
        ASSERT_TRUE(database->sqliteStore()->performTransaction([&] {
            return sqlite3_exec(database->sqliteStore()->sqliteHandle(), sql.c_str(), nullptr, nullptr, nullptr) ==
                   SQLITE_OK;
        })) << sql;
    }
    std::string columnText(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        std::string text;
        if (sqlite3_prepare_v2(database->sqliteStore()->sqliteHandle(), sql.c_str(), -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* value = sqlite3_column_text(statement, 0);
            text = value ? reinterpret_cast<const char*>(value) : "NULL";
        }
        sqlite3_finalize(statement);
        return text;
    }
    void store(const DMSConditionalUserProperty& property) {
        plat::Error error;
        ASSERT_TRUE(database->updateConditionalUserProperty(&property, &error)) << error.localizedDescription();
    }

    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
    std::unique_ptr<DMSDatabase> database;
};

TEST_F(DMSConditionalPropertiesStoreTest, RowsKeepEveryFieldAndTheStoredValueRule) {
    auto property = storeTestProperty("tier");
    property.setValue(DMSValue::initWithDouble(2.5));
    property.setTriggerEventName("buy");
    property.setTriggeredEvent(storeTestEvent("tier_set", plat::Dictionary{{"level", plat::Value(int64_t{3})}}));
    property.setExpiredEvent(storeTestEvent("tier_gone"));
    property.setActive(true);
    property.setTriggeredTimestamp(kStoreTestNow + 5);
    store(property);

    EXPECT_EQ(columnText("SELECT typeof(value) FROM conditional_properties"), "real");
    EXPECT_EQ(columnText("SELECT timed_out_event FROM conditional_properties"), "NULL");

    auto read = database->conditionalUserPropertyWithName("tier", nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->origin(), "app");
    ASSERT_TRUE(read->value());
    EXPECT_EQ(*read->value(), DMSValue::initWithDouble(2.5));
    EXPECT_EQ(read->triggerEventName(), "buy");
    EXPECT_EQ(read->triggerTimeout(), 60);
    EXPECT_EQ(read->timeToLive(), 120);
    EXPECT_TRUE(read->isActive());
    EXPECT_EQ(read->creationTimestamp(), kStoreTestNow);
    EXPECT_EQ(read->triggeredTimestamp(), kStoreTestNow + 5);
    ASSERT_TRUE(read->triggeredEvent());
    EXPECT_EQ(read->triggeredEvent()->name(), "tier_set");
    const DMSValue* level = read->triggeredEvent()->parameters().find("level");
    ASSERT_TRUE(level);
    EXPECT_EQ(level->int64Value(), 3);
    EXPECT_FALSE(read->timedOutEvent());
    ASSERT_TRUE(read->expiredEvent());
    EXPECT_EQ(read->expiredEvent()->name(), "tier_gone");

    // Rewriting the record without its events and trigger leaves none of the old ones behind.
    auto plain = storeTestProperty("tier");
    store(plain);
    EXPECT_EQ(columnText("SELECT count(1) FROM conditional_properties"), "1");
    EXPECT_EQ(columnText("SELECT trigger_event_name FROM conditional_properties"), "NULL");
    read = database->conditionalUserPropertyWithName("tier", nullptr);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->triggeredEvent());
    EXPECT_FALSE(read->expiredEvent());
    EXPECT_EQ(columnText("SELECT typeof(value) FROM conditional_properties"), "text");
}

TEST_F(DMSConditionalPropertiesStoreTest, RefusedRowsAreNeverWritten) {
    auto noName = storeTestProperty("");
    auto noOrigin = storeTestProperty("a", "");
    auto noValue = storeTestProperty("b");
    noValue.setValue(std::nullopt);
    const struct {
        const DMSConditionalUserProperty* property;
        int64_t code;
    } cases[] = {{nullptr, 12039}, {&noName, 12040}, {&noOrigin, 12041}, {&noValue, 12042}};
    for (const auto& c : cases) {
        monitor.clear();
        plat::Error error;
        EXPECT_FALSE(database->updateConditionalUserProperty(c.property, &error)) << c.code;
        auto codes = monitor.codes();
        EXPECT_NE(std::find(codes.begin(), codes.end(), c.code), codes.end()) << c.code;
    }
    EXPECT_EQ(columnText("SELECT count(1) FROM conditional_properties"), "0");
}

TEST_F(DMSConditionalPropertiesStoreTest, TimeQueriesTakeTheAbsoluteDistanceFromNow) {
    auto timedOut = storeTestProperty("timed_out"); // pending, created 10 s ago, 5 s to wait
    timedOut.setTriggerEventName("buy");
    timedOut.setTriggerTimeout(5);
    timedOut.setCreationTimestamp(kStoreTestNow - 10);
    auto waiting = storeTestProperty("waiting"); // pending, created 10 s ago, 60 s to wait
    waiting.setTriggerEventName("buy");
    waiting.setCreationTimestamp(kStoreTestNow - 10);
    auto future = storeTestProperty("future"); // created 100 s in the future: as late as 100 s ago
    future.setTriggerEventName("buy");
    future.setCreationTimestamp(kStoreTestNow + 100);
    auto noTrigger = storeTestProperty("no_trigger"); // pending without a trigger name: never triggered
    auto living = storeTestProperty("living"); // active, triggered 100 s ago, 100 s to live
    living.setActive(true);
    living.setTimeToLive(100);
    living.setTriggeredTimestamp(kStoreTestNow - 100);
    auto expired = storeTestProperty("expired"); // active, triggered 101 s ago, 100 s to live
    expired.setActive(true);
    expired.setTimeToLive(100);
    expired.setTriggeredTimestamp(kStoreTestNow - 101);
    for (const auto* property : {&timedOut, &waiting, &future, &noTrigger, &living, &expired}) {
        store(*property);
    }

    EXPECT_EQ(storeTestNames(database->timedOutConditionalUserPropertiesWithError(nullptr)),
              (std::vector<std::string>{"future", "timed_out"}));
    EXPECT_EQ(storeTestNames(database->triggeredConditionalUserPropertiesWithEventName("buy", nullptr)),
              (std::vector<std::string>{"waiting"}));
    EXPECT_EQ(storeTestNames(database->expiredConditionalUserPropertiesWithError(nullptr)),
              (std::vector<std::string>{"expired"}));

    plat::Error error;
    EXPECT_FALSE(database->triggeredConditionalUserPropertiesWithEventName("", &error));
    EXPECT_EQ(error.code, 1);
}

TEST_F(DMSConditionalPropertiesStoreTest, PrefixMatchesLiterallyAndOriginExactly) {
    for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
             {"ab_c", "app"}, {"abXc", "app"}, {"Ab_d", "app"}, {"ab_e", "apq"}, {"ab%f", "App"}}) {
        store(storeTestProperty(name, origin));
    }
    const struct {
        const char* prefix;
        const char* origin;
        std::vector<std::string> expected;
    } cases[] = {
        {"ab_", "", {"ab_c", "ab_e"}},
        {"ab_", "app", {"ab_c"}},
        {"ab%", "", {"ab%f"}},
        {"%", "", {}},
        {"", "ap_", {}},
        {"", "app", {"Ab_d", "abXc", "ab_c"}},
        {"", "", {"Ab_d", "ab%f", "abXc", "ab_c", "ab_e"}},
    };
    for (const auto& c : cases) {
        plat::Error error;
        auto found = database->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, &error);
        ASSERT_TRUE(found) << c.prefix << " " << c.origin;
        EXPECT_EQ(storeTestNames(found), c.expected) << "prefix '" << c.prefix << "' origin '" << c.origin << "'";
    }
}

TEST_F(DMSConditionalPropertiesStoreTest, CorruptEventBlobHidesItsRowFromEveryQuery) {
    auto property = storeTestProperty("broken");
    property.setTriggerEventName("buy");
    property.setTriggeredEvent(storeTestEvent("set"));
    store(property);
    store(storeTestProperty("fine"));
    execute("UPDATE conditional_properties SET triggered_event = x'ffffffff' WHERE name = 'broken'");

    EXPECT_FALSE(database->conditionalUserPropertyWithName("broken", nullptr));
    EXPECT_EQ(storeTestNames(database->conditionalUserPropertiesWithPrefix("", "", nullptr)),
              (std::vector<std::string>{"fine"}));
    EXPECT_TRUE(database->triggeredConditionalUserPropertiesWithEventName("buy", nullptr)->empty());
    auto codes = monitor.codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), 12036), codes.end());
    // The row stays until it is deleted by name.
    EXPECT_TRUE(database->deleteConditionalUserPropertyWithName("broken", nullptr));
    EXPECT_EQ(columnText("SELECT count(1) FROM conditional_properties"), "1");
}

TEST_F(DMSConditionalPropertiesStoreTest, TableHoldsAtMostOneThousandNames) {
    execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
            "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, trigger_timeout, "
            "triggered_timestamp, time_to_live) SELECT 'p' || i, 'app', 1, 0, 0, 1, 0, 1 FROM n");
    plat::Error error;
    auto oneMore = storeTestProperty("one_more");
    EXPECT_FALSE(database->updateConditionalUserProperty(&oneMore, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    auto existing = storeTestProperty("p1");
    EXPECT_TRUE(database->updateConditionalUserProperty(&existing, nullptr));
}

TEST_F(DMSConditionalPropertiesStoreTest, ComplexEventsKeepOneRowPerEventID) {
    plat::Error error;
    EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(7, &error));
    EXPECT_TRUE(error.domain.empty());

    auto main = storeTestEvent("purchase", plat::Dictionary{{"_eid", plat::Value(int64_t{7})}});
    ASSERT_TRUE(main);
    EXPECT_TRUE(database->updateComplexEventForAudienceEvaluationWithEventID(7, 3, &*main, nullptr));
    EXPECT_TRUE(database->updateComplexEventForAudienceEvaluationWithEventID(7, 2, &*main, nullptr));
    EXPECT_EQ(columnText("SELECT count(1) FROM main_event_params"), "1");
    auto pair = database->mainEventAndChildCountPairWithEventID(7, nullptr);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->childrenToProcess, 2);
    EXPECT_EQ(pair->mainEvent.name(), "purchase");

    EXPECT_FALSE(database->updateComplexEventForAudienceEvaluationWithEventID(8, 1, nullptr, &error));
    EXPECT_EQ(error.localizedDescription(), "Received nil main event");

    execute("UPDATE main_event_params SET main_event = x'ff' WHERE event_id = 7");
    EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(7, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_TRUE(database->deleteComplexEventForAudienceEvaluationWithEventID(7, nullptr));
    EXPECT_EQ(columnText("SELECT count(1) FROM main_event_params"), "0");
}

} // namespace
