// The measurement database file: its place and schema, migration of an older layout, recovery from a file
// that cannot be brought in line, row caps, updates and reset.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include "core/DVUGzip.hpp"
#include "platform/dispatch/Clock.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace {

class DMSDatabaseTest : public ::testing::Test {
protected:
    std::string databasePath() const { return DMSMeasurementFilePath(DMSDatabase::kDatabaseName); }

    // Writes a file with the given statements before the database first opens it.
    void prepareFile(const std::vector<std::string>& statements) {
        std::string path = databasePath();
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(path.substr(0, path.rfind('/')), true).ok());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        for (const auto& sql : statements) {
            ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        }
        sqlite3_close(db);
    }
    std::vector<int64_t> countOf(std::initializer_list<int64_t> wanted) const {
        std::vector<int64_t> found;
        for (auto code : monitor.codes()) {
            if (std::find(wanted.begin(), wanted.end(), code) != wanted.end()) {
                found.push_back(code);
            }
        }
        return found;
    }

    plat::test::TempAppHome home;
    dms::test::MonitorRecorder monitor;
};

// What PRAGMA table_info answers for each table of a new file: name, type, NOT NULL, key position.
const std::map<std::string, std::vector<std::string>> kDatabaseTestSchemaFixture = {
    {"app_metadata",
     {"last_bundle_index INTEGER 1 0", "last_bundle_end_timestamp REAL 1 0", "last_bundle_start_timestamp REAL 0 0",
      "day INTEGER 0 0", "daily_conversions_count INTEGER 0 0", "daily_events_count INTEGER 0 0",
      "daily_public_events_count INTEGER 0 0", "daily_error_events_count INTEGER 0 0",
      "remote_config_data BLOB 0 0", "remote_config_timestamp REAL 0 0",
      "daily_real_time_conversion_events_count INTEGER 0 0"}},
    {"raw_events_metadata", {"metadata_fingerprint INTEGER 1 1", "metadata BLOB 1 0"}},
    {"raw_events",
     {"name TEXT 1 0", "timestamp REAL 1 0", "metadata_fingerprint INTEGER 1 0", "data BLOB 1 0",
      "is_realtime INTEGER 0 0"}},
    {"events",
     {"name TEXT 1 1", "lifetime_count INTEGER 1 0", "current_bundle_count INTEGER 1 0",
      "last_fire_timestamp REAL 1 0", "last_bundled_timestamp REAL 0 0", "last_sampled_complex_event_id INTEGER 0 0",
      "last_sampling_rate INTEGER 0 0", "last_exempt_from_sampling INTEGER 0 0", "last_bundled_day INTEGER 0 0"}},
    {"user_attributes", {"name TEXT 1 1", "set_timestamp REAL 1 0", "value BLOB 1 0", "origin TEXT 0 0"}},
    {"queue",
     {"data BLOB 1 0", "bundle_end_timestamp REAL 1 0", "is_realtime INTEGER 0 0", "retry_count INTEGER 0 0"}},
    {"event_filters", {"audience_id INTEGER 1 1", "filter_id INTEGER 1 2", "event_name TEXT 1 0", "data BLOB 1 0"}},
    {"property_filters",
     {"audience_id INTEGER 1 1", "filter_id INTEGER 1 2", "property_name TEXT 1 0", "data BLOB 1 0"}},
    {"audience_filter_values", {"audience_id INTEGER 1 1", "current_results BLOB 0 0", "previous_results BLOB 0 0"}},
    {"purchase_transactions", {"fingerprint TEXT 1 1"}},
    {"conditional_properties",
     {"name TEXT 1 1", "origin TEXT 1 0", "value BLOB 1 0", "creation_timestamp REAL 1 0", "active INTEGER 1 0",
      "trigger_timeout REAL 1 0", "triggered_timestamp REAL 1 0", "time_to_live REAL 1 0",
      "trigger_event_name TEXT 0 0", "timed_out_event BLOB 0 0", "triggered_event BLOB 0 0",
      "expired_event BLOB 0 0"}},
    {"main_event_params", {"event_id INTEGER 1 1", "children_to_process INTEGER 1 0", "main_event BLOB 1 0"}},
};

std::vector<std::string> databaseTestTableInfo(DMSSqliteStore& store, const std::string& table) {
    std::vector<std::string> columns;
    sqlite3_stmt* statement = nullptr;
    std::string sql = "PRAGMA table_info(" + table + ")";
    EXPECT_EQ(sqlite3_prepare_v2(store.sqliteHandle(), sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        columns.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1))) + " " +
                          reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)) + " " +
                          std::to_string(sqlite3_column_int(statement, 3)) + " " +
                          std::to_string(sqlite3_column_int(statement, 5)));
    }
    sqlite3_finalize(statement);
    return columns;
}

TEST_F(DMSDatabaseTest, ANewFileHoldsTheWholeSchemaAndAppMetadataRowOne) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    EXPECT_EQ(database->sqliteStore()->databasePath(),
              home.home() + "/Library/Application Support/Razoza/Measurement/razoza-app-measurement.sql");
    EXPECT_EQ(DMSDatabase::schema().size(), kDatabaseTestSchemaFixture.size());
    for (const auto& [table, columns] : kDatabaseTestSchemaFixture) {
        EXPECT_EQ(databaseTestTableInfo(*database->sqliteStore(), table), columns) << table;
    }
    plat::Error error;
    auto rows = database->sqliteStore()->recordsForQuery(
        "SELECT rowid, last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM app_metadata",
        {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["rowid"].asInt64(), 1);
    EXPECT_EQ((*rows)[0]["last_bundle_index"].asInt64(), 0);
    EXPECT_EQ((*rows)[0]["last_bundle_start_timestamp"].asDouble(), 0.0);
    EXPECT_EQ((*rows)[0]["last_bundle_end_timestamp"].asDouble(), 0.0);

    auto metadata = database->queryAppMetadata(&error);
    ASSERT_TRUE(metadata);
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleEndTimestamp(12.5);
    ASSERT_TRUE(database->updateAppMetadata(*metadata, &error)) << error.description();
    database.reset();
    // Reopened: the row is kept, not created again.
    auto reopened = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(reopened);
    auto again = reopened->queryAppMetadata(&error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->lastBundleIndex(), 1);
    EXPECT_EQ(again->lastBundleEndTimestamp(), 12.5);
}

TEST_F(DMSDatabaseTest, AnEmptyNameIsRefusedWithoutAFile) {
    EXPECT_FALSE(DMSDatabase::initWithDatabaseName("", nullptr));
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{12000});
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(databasePath()));
}

TEST_F(DMSDatabaseTest, AnOlderLayoutIsMigratedWithItsRows) {
    prepareFile({"CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint "
                 "INTEGER NOT NULL, data BLOB NOT NULL)",
                 "INSERT INTO raw_events VALUES ('a', 100, 7, x'01')", "INSERT INTO raw_events VALUES ('b', 200, 7, x'02')",
                 "INSERT INTO raw_events VALUES ('c', 300, 8, x'03')"});
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    EXPECT_EQ(databaseTestTableInfo(*database->sqliteStore(), "raw_events"),
              kDatabaseTestSchemaFixture.at("raw_events"));
    plat::Error error;
    auto rows = database->sqliteStore()->recordsForQuery(
        "SELECT name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events ORDER BY rowid", {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[0]["name"].asString(), "a");
    EXPECT_EQ((*rows)[1]["timestamp"].doubleValue(), 200);
    EXPECT_EQ((*rows)[2]["metadata_fingerprint"].asInt64(), 8);
    EXPECT_EQ((*rows)[2]["data"].asData(), plat::Data{3});
    EXPECT_TRUE((*rows)[2]["is_realtime"].isNull());
}

TEST_F(DMSDatabaseTest, AForeignTableLayoutDiscardsTheFileAndTheNextInitStartsFresh) {
    prepareFile({"CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, owner TEXT NOT NULL)",
                 "INSERT INTO queue VALUES (x'00', 1, 'x')"});
    EXPECT_FALSE(DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr));
    EXPECT_EQ(countOf({12047, 12002, 12003}), (std::vector<int64_t>{12047, 12002}));
    auto& files = plat::FileManager::defaultManager();
    EXPECT_FALSE(files.fileExists(databasePath()));
    EXPECT_FALSE(files.fileExists(databasePath() + "-journal"));

    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    EXPECT_EQ(database->sqliteStore()->rowCount("queue", &error), 0);
    auto metadata = database->queryAppMetadata(&error);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->lastBundleIndex(), 0);
}

TEST_F(DMSDatabaseTest, CappedUpsertsAndUpdatesOfMissingRows) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    auto property = [](const std::string& name, int64_t value) {
        return [name, value] {
            return std::optional<DMSRecord>(
                DMSRecord{{"name", name}, {"set_timestamp", 1.0}, {"value", value}, {"origin", "app"}});
        };
    };
    plat::Error error;
    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            std::string name = "p" + std::to_string(i);
            if (!database->upsertDataType(true, "user_attributes", "name", plat::Value(name), 1000, &error,
                                          property(name, i))) {
                return false;
            }
        }
        return true;
    })) << error.description();
    plat::Error full;
    EXPECT_FALSE(database->upsertDataType(true, "user_attributes", "name", plat::Value("p1000"), 1000, &full,
                                          property("p1000", 1)));
    EXPECT_EQ(full.code, 2);
    EXPECT_EQ(full.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database->upsertDataType(true, "user_attributes", "name", plat::Value("p5"), 1000, &error,
                                         property("p5", 55)));
    EXPECT_EQ(database->sqliteStore()->rowCount("user_attributes", &error), 1000);

    plat::Error missing;
    EXPECT_FALSE(database->updateDataType(true, "user_attributes", "name", plat::Value("absent"), &missing,
                                          property("absent", 1)));
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.localizedDescription(), "Failed to update record. Item doesn't exist");
    EXPECT_EQ(database->sqliteStore()->rowCount("user_attributes", "name", plat::Value("absent"), &error), 0);
}

TEST_F(DMSDatabaseTest, ResetWipesEvenWhenTheFileCannotBeDeleted) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    ASSERT_TRUE(database->sqliteStore()->upsertRecord({{"fingerprint", "f"}}, "purchase_transactions", &error));
    auto metadata = database->queryAppMetadata(&error);
    metadata->incrementLastBundleIndex();
    ASSERT_TRUE(database->updateAppMetadata(*metadata, &error));

    plat::sim::Faults::fail("file.remove", "razoza-app-measurement.sql", 13 /* EACCES */, plat::sim::Faults::kAlways);
    database->reset();
    plat::sim::Faults::reset();
    EXPECT_EQ(countOf({12055}), std::vector<int64_t>{12055});
    ASSERT_TRUE(database->sqliteStore());
    EXPECT_EQ(database->sqliteStore()->rowCount("purchase_transactions", &error), 0);
    auto fresh = database->queryAppMetadata(&error);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->lastBundleIndex(), 0);

    // And with a file that can go: a new one.
    ASSERT_TRUE(database->sqliteStore()->upsertRecord({{"fingerprint", "g"}}, "purchase_transactions", &error));
    database->reset();
    EXPECT_EQ(database->sqliteStore()->rowCount("purchase_transactions", &error), 0);
}

TEST_F(DMSDatabaseTest, PurchaseFingerprintsAreNewOnceAndRollOverAfterAThousand) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("first", &error), true);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("first", &error), false);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
    // Text from the app is bound, never formatted into the statement.
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("x' OR '1'='1", &error), true);
    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (database->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), &error) != true) {
                return false;
            }
        }
        return true;
    })) << error.description();
    EXPECT_EQ(database->sqliteStore()->rowCount("purchase_transactions", &error), 1000);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("first", &error), true);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("p999", &error), false);
}

TEST_F(DMSDatabaseTest, UserPropertiesKeepTheirValuesCapAndLifetimePrefix) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    auto put = [&](const std::string& name, const DMSValue& value, double at, const std::string& origin = "app") {
        auto attribute = DMSUserAttribute::initWithOrigin(origin, name, value, at);
        EXPECT_TRUE(attribute) << name;
        return attribute && database->updateUserAttribute(&*attribute, &error);
    };
    ASSERT_TRUE(put("_ltv_usd", DMSValue::initWithInt64(5000000), 2));
    ASSERT_TRUE(put("_ltv_eur", DMSValue::initWithDouble(1.25), 3));
    ASSERT_TRUE(put("Altv_score", DMSValue::initWithInt64(1), 4));
    ASSERT_TRUE(put("_LTV_usd", DMSValue::initWithString("x"), 5, "auto"));
    ASSERT_TRUE(put("colour", DMSValue::initWithString("blue"), 6));

    auto lifetime = database->allLifetimeValueUserAttributes(&error);
    ASSERT_TRUE(lifetime);
    ASSERT_EQ(lifetime->size(), 2u);
    EXPECT_EQ((*lifetime)[0].name(), "_ltv_eur");
    EXPECT_EQ((*lifetime)[0].value().doubleValue(), 1.25);
    EXPECT_EQ((*lifetime)[1].name(), "_ltv_usd");
    EXPECT_EQ((*lifetime)[1].value().int64Value(), 5000000);

    auto colour = database->userAttributeWithName("colour", &error);
    ASSERT_TRUE(colour);
    EXPECT_EQ(colour->value().stringValue(), "blue");
    EXPECT_EQ(database->containsUserAttributeWithName("colour", &error), true);
    EXPECT_EQ(database->publicUserAttributeCount(&error), 2);
    EXPECT_EQ(database->userAttributeCountForOrigin("auto", &error), 1);
    auto visible = database->userAttributesIncludingInternal(false, &error);
    ASSERT_TRUE(visible);
    EXPECT_EQ(visible->size(), 2u);
    EXPECT_EQ(database->userAttributesIncludingInternal(true, &error)->size(), 5u);
    ASSERT_TRUE(database->deleteUserAttributeWithName("colour", &error));
    EXPECT_EQ(database->containsUserAttributeWithName("colour", &error), false);

    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 996; ++i) {
            if (!put("p" + std::to_string(i), DMSValue::initWithInt64(i), 10)) {
                return false;
            }
        }
        return true;
    })) << error.description();
    plat::Error full;
    auto extra = DMSUserAttribute::initWithOrigin("app", "one_more", DMSValue::initWithInt64(1), 11);
    EXPECT_FALSE(database->updateUserAttribute(&*extra, &full));
    EXPECT_EQ(full.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(put("p3", DMSValue::initWithInt64(33), 12));
    EXPECT_EQ(database->userAttributeWithName("p3", &error)->value().int64Value(), 33);
}

TEST_F(DMSDatabaseTest, DailyCountsStartOverOnANewDayAndSurviveInRowOne) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    auto counts = database->dailyCounts(&error);
    ASSERT_TRUE(counts);
    int32_t today = counts->day();
    EXPECT_EQ(today, static_cast<int32_t>(std::floor(plat::Clock::now() / 86400)));
    counts->incrementCountsForCurrentDay(today, true, true);
    counts->incrementCountsForCurrentDay(today, false, false);
    counts->incrementErrorEventsCountForCurrentDay(today);
    counts->incrementRealtimeCountsForCurrentDay(today);
    ASSERT_TRUE(database->updateDailyCounts(*counts, &error)) << error.description();
    auto stored = database->dailyCounts(&error);
    ASSERT_TRUE(stored);
    EXPECT_EQ((std::vector<int32_t>{stored->day(), stored->allEventsCount(), stored->publicEventsCount(),
                                    stored->conversionsCount(), stored->errorEventsCount(), stored->realtimeCount()}),
              (std::vector<int32_t>{today, 3, 1, 1, 1, 1}));
    stored->incrementCountsForCurrentDay(today + 1, false, true);
    EXPECT_EQ((std::vector<int32_t>{stored->day(), stored->allEventsCount(), stored->publicEventsCount(),
                                    stored->conversionsCount(), stored->errorEventsCount(), stored->realtimeCount()}),
              (std::vector<int32_t>{today + 1, 1, 0, 1, 0, 0}));
    stored->decrementAllEventsCount();
    stored->decrementAllEventsCount();
    EXPECT_EQ(stored->allEventsCount(), 0);
}

TEST(DMSAppMetadataTest, IndexStaysWithinItsRange) {
    dms::test::MonitorRecorder monitor;
    EXPECT_FALSE(DMSAppMetadata::initWithLastBundleIndex(-1, 0, 0));
    auto metadata = DMSAppMetadata::initWithLastBundleIndex(2147483647, 1, 2);
    ASSERT_TRUE(metadata);
    metadata->incrementLastBundleIndex();
    EXPECT_EQ(metadata->lastBundleIndex(), 0);
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{4000, 4001}));
}

// Settings for the database's limits, as the controller's configuration would give them.
class DatabaseTestConfigStorage : public DMSMeasurementConfigStorage {
public:
    std::optional<DMSMeasurementConfigFields> queryMeasurementConfig(plat::Error*) override { return std::nullopt; }
    bool updateRemoteConfig(const DMSMeasurementConfigFields&, plat::Error*) override { return true; }
    std::optional<double> lastRemoteConfigUpdateTimestamp(plat::Error*) override { return 0.0; }
};

class DatabaseTestSettings {
public:
    explicit DatabaseTestSettings(std::vector<DMSConfigSetting> settings) {
        std::shared_ptr<DMSRemoteConfig> config = DMSRemoteConfig::initWithAppID("1:app", &storage_);
        DMSMeasurementConfigFields fields;
        fields.appID = "1:app";
        fields.settings = std::move(settings);
        config->parseRemoteConfigFromMeasurementConfig(fields);
        DMSMeasurement::setRemoteConfigForTesting(config);
    }
    ~DatabaseTestSettings() { DMSMeasurement::setRemoteConfigForTesting(nullptr); }

private:
    DatabaseTestConfigStorage storage_;
};

plat::Data databaseTestBytes(std::initializer_list<int> bytes) {
    plat::Data data;
    for (int byte : bytes) {
        data.push_back(static_cast<uint8_t>(byte));
    }
    return data;
}

DMSEvent databaseTestEvent(const std::string& name, double timestamp, const plat::Dictionary& parameters = {}) {
    auto event = DMSEvent::initWithOrigin("app", true, name, timestamp, 0, parameters);
    EXPECT_TRUE(event) << name;
    return *event;
}

TEST_F(DMSDatabaseTest, AMetadataRecordIsStoredOnceUnderItsFingerprint) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Data bytes = databaseTestBytes(
        {0x08, 0x01, 0x30, 0xd0, 0x0f, 0x42, 0x03, 0x69, 0x6f, 0x73, 0x72, 0x05, 0x63, 0x6f, 0x6d, 0x2e, 0x78, 0xd0,
         0x01, 0xe8, 0x07});
    auto metadata = DMSPBMeasurementBundle::initWithBuffer(bytes);
    ASSERT_TRUE(metadata);
    plat::Error error;
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, &error)) << error.description();
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, &error)) << error.description();
    auto rows = database->sqliteStore()->recordsForQuery("SELECT * FROM raw_events_metadata", {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["metadata_fingerprint"].asInt64(), 4341407706725496041);
    EXPECT_EQ((*rows)[0]["metadata"].asData(), bytes);
    auto stored = database->queryRawEventsMetadataWithFingerprint(4341407706725496041, &error);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->protoBuffer(), bytes);
    EXPECT_FALSE(database->queryRawEventsMetadataWithFingerprint(1, &error));

    // A record with nothing to encode is refused; so is none at all.
    plat::Error empty;
    EXPECT_FALSE(database->insertIfNotExistsRawEventMetadata(DMSPBMeasurementBundle::init(), &empty));
    EXPECT_EQ(empty.code, 2);
    EXPECT_FALSE(database->insertIfNotExistsRawEventMetadata(nullptr, &empty));
    EXPECT_EQ(countOf({12011}), std::vector<int64_t>{12011});

    // No raw event refers to it: it is unused.
    ASSERT_TRUE(database->deleteUnusedRawEventsMetadata(&error));
    EXPECT_EQ(database->sqliteStore()->rowCount("raw_events_metadata", &error), 0);
}

TEST_F(DMSDatabaseTest, RawEventsReadBackInPagesAndNameTheRowsThatCannotBeRead) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    EXPECT_EQ(database->isRawEventsTableEmpty(&error), true);
    EXPECT_FALSE(database->nextMetadataFingerprintToProcess(&error));
    EXPECT_EQ(error.code, 0);
    EXPECT_FALSE(database->queryLatestRawEventTime(&error));
    EXPECT_EQ(error.code, 0);

    auto first = databaseTestEvent("shop", 100.5, {{"item", "hat"}, {"count", 3}, {"price", 9.75}});
    first.mutableParameters().set("_pv", DMSValue::initWithInt64(1));
    auto second = databaseTestEvent("later", 200.25);
    ASSERT_TRUE(database->insertRawEvent(&first, 7, false, &error)) << error.description();
    // Rows that cannot be turned back into events: undecodable bytes, an event without origin.
    ASSERT_TRUE(database->sqliteStore()->upsertRecord(
        {{"name", "bad"}, {"timestamp", 150.0}, {"metadata_fingerprint", 7}, {"data", databaseTestBytes({0x0a, 0x09})}},
        "raw_events", &error));
    auto originless = DMSPBEventFromFields(DMSEventFields{{{"x", "y", std::nullopt, std::nullopt}}, {}, 1000, {}});
    ASSERT_TRUE(database->sqliteStore()->upsertRecord(
        {{"name", "odd"}, {"timestamp", 160.0}, {"metadata_fingerprint", 7}, {"data", *originless->protoBuffer()}},
        "raw_events", &error));
    ASSERT_TRUE(database->insertRawEvent(&second, 7, true, &error)) << error.description();
    ASSERT_TRUE(database->insertRawEvent(&second, 8, false, &error)) << error.description();
    plat::Error refused;
    EXPECT_FALSE(database->insertRawEvent(nullptr, 7, false, &refused));
    EXPECT_EQ(refused.localizedDescription(), "Received empty event for inserting in the database");

    // Stored without the name, which has its column.
    auto stored = database->sqliteStore()->recordsForQuery("SELECT data FROM raw_events WHERE rowid = 1", {}, &error);
    ASSERT_TRUE(stored);
    EXPECT_FALSE(DMSEventFieldsFromMessage(DMSPBEvent::initWithBuffer((*stored)[0]["data"].asData())).name);

    auto page = database->rawEventsWithMetadataFingerprint(7, &error, nullptr);
    ASSERT_TRUE(page) << error.description();
    ASSERT_EQ(page->events.size(), 2u);
    EXPECT_EQ(page->unreadableRowIDs, (std::vector<int64_t>{2, 3}));
    const DMSEvent& read = page->events[0].rawEvent();
    EXPECT_EQ(page->events[0].rowID(), 1);
    EXPECT_EQ(page->events[0].metadataFingerprint(), 7);
    EXPECT_EQ(read.name(), "shop");
    EXPECT_EQ(read.origin(), "app");
    EXPECT_EQ(read.timestamp(), 100.5);
    EXPECT_EQ(read.parameters().find("item")->stringValue(), "hat");
    EXPECT_EQ(read.parameters().find("count")->int64Value(), 3);
    EXPECT_EQ(read.parameters().find("price")->doubleValue(), 9.75);
    EXPECT_EQ(read.parameters().find("_pv")->int64Value(), 1);
    EXPECT_EQ(page->events[1].rowID(), 4);
    EXPECT_EQ(page->events[1].rawEvent().name(), "later");

    // The caller's filter ends the page at the first row it refuses.
    auto firstTwo = database->rawEventsWithMetadataFingerprint(7, &error,
                                                               [](uint32_t index, const DMSRecord&) { return index < 2; });
    ASSERT_TRUE(firstTwo);
    EXPECT_EQ(firstTwo->events.size(), 1u);
    EXPECT_EQ(firstTwo->unreadableRowIDs, std::vector<int64_t>{2});

    EXPECT_EQ(database->isRawEventsTableEmpty(&error), false);
    EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), true);
    EXPECT_EQ(database->queryLatestRawEventTime(&error), 200.25);
    EXPECT_EQ(database->nextMetadataFingerprintToProcess(&error), 7);
    ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(4, &error));
    EXPECT_EQ(database->containsRawEventWithMetadataFingerprint(7, &error), false);
    EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), false);
    EXPECT_EQ(database->nextMetadataFingerprintToProcess(&error), 8);

    plat::Error conversion;
    DMSRecord noRowID{{"data", databaseTestBytes({})}, {"metadata_fingerprint", 1}};
    EXPECT_FALSE(database->rawEventDataFromDictionary(&noRowID, &conversion));
    EXPECT_EQ(conversion.localizedDescription(), "Unable to find row ID in the database dictionary");
    EXPECT_FALSE(database->rawEventDataFromDictionary(nullptr, &conversion));
    EXPECT_EQ(conversion.localizedDescription(), "Received empty dictionary for getting raw event data");
}

TEST_F(DMSDatabaseTest, TrimmingKeepsRoomForTheNextEventAndTheAgePurgeGoesBothWays) {
    DatabaseTestSettings settings(std::vector<DMSConfigSetting>{{"measurement.store.max_stored_events_per_app", "5"}});
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    double now = plat::Clock::now();
    for (int i = 0; i < 10; ++i) {
        auto event = databaseTestEvent("e" + std::to_string(i), now);
        ASSERT_TRUE(database->insertRawEvent(&event, 1, false, &error)) << error.description();
    }
    EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 6);
    auto left = database->sqliteStore()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, &error);
    ASSERT_TRUE(left);
    std::vector<std::string> names;
    for (const auto& row : *left) {
        names.push_back(row.find("name")->asString());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"e6", "e7", "e8", "e9"}));
    EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);

    // Age: 100 s in the past and in the future are both beyond 50 s; metadata nobody refers to goes too.
    ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(100, &error));
    auto metadataOf = [&](int64_t fingerprint) {
        return database->sqliteStore()->upsertRecord(
            {{"metadata_fingerprint", fingerprint}, {"metadata", databaseTestBytes({0x08, 0x01})}},
            "raw_events_metadata", &error);
    };
    ASSERT_TRUE(metadataOf(1) && metadataOf(2) && metadataOf(3));
    auto past = databaseTestEvent("past", now - 100);
    auto present = databaseTestEvent("present", now - 10);
    auto future = databaseTestEvent("future", now + 100);
    ASSERT_TRUE(database->insertRawEvent(&past, 1, false, &error) && database->insertRawEvent(&present, 2, false, &error) &&
                database->insertRawEvent(&future, 3, false, &error));
    plat::Error negative;
    EXPECT_FALSE(database->deleteStaleRawEventsDataOlderThanMaxAge(-1, &negative));
    EXPECT_EQ(negative.localizedDescription(), "Cannot delete stale raw events given negative time period");
    ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(50, &error)) << error.description();
    auto kept = database->sqliteStore()->recordsForQuery("SELECT name FROM raw_events", {}, &error);
    ASSERT_EQ(kept->size(), 1u);
    EXPECT_EQ((*kept)[0].find("name")->asString(), "present");
    auto fingerprints = database->sqliteStore()->recordsForQuery("SELECT metadata_fingerprint FROM raw_events_metadata",
                                                                 {}, &error);
    ASSERT_EQ(fingerprints->size(), 1u);
    EXPECT_EQ((*fingerprints)[0].find("metadata_fingerprint")->asInt64(), 2);
}

// A bundle ending at `end` seconds whose encoding is exactly `size` bytes (the app ID pads it).
std::shared_ptr<DMSPBMeasurementBundle> databaseTestBundle(double end, size_t size = 0) {
    auto bundle = DMSPBMeasurementBundle::init();
    NANOSetInt64(bundle, DMSPBMeasurementBundle::kEndTimestampMillis, static_cast<int64_t>(end * 1000));
    NANOSetString(bundle, DMSPBMeasurementBundle::kAppID, plat::Value("a"));
    size_t bare = bundle->protoBuffer()->size();
    if (size > bare) {
        NANOSetString(bundle, DMSPBMeasurementBundle::kAppID, plat::Value(std::string(size - bare + 1, 'a')));
    }
    return bundle;
}

std::vector<int64_t> databaseTestRowIDs(const std::optional<std::vector<DMSQueuedBundle>>& bundles) {
    std::vector<int64_t> rowIDs;
    for (const auto& queued : bundles.value_or(std::vector<DMSQueuedBundle>{})) {
        rowIDs.push_back(queued.rowID);
    }
    return rowIDs;
}

TEST_F(DMSDatabaseTest, QueuedBundlesAreReadOldestFirstWithinTheirBudgets) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    double now = plat::Clock::now();
    EXPECT_EQ(database->isQueuedBundleTableEmpty(&error), true);
    // Inserted out of order: read by end time.
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 10, 50), false, &error)) << error.description();
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 30, 60), false, &error));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 5, 10), true, &error));
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 1000, &error)),
              (std::vector<int64_t>{2, 1, 3}));
    // 60 + 50 would pass 100: the scan ends there, though 10 would still fit.
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 100, &error)), std::vector<int64_t>{2});
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 110, &error)), (std::vector<int64_t>{2, 1}));
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(2, 1000, &error)), (std::vector<int64_t>{2, 1}));
    // The first bundle is taken whatever its size, and sizes are those of the uncompressed encoding.
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 59, &error)), std::vector<int64_t>{2});
    auto first = database->queryBundlesWithCountLimit(1, 0, &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at(0).bundle->protoBuffer(), databaseTestBundle(now - 30, 60)->protoBuffer());

    EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), true);
    EXPECT_NEAR(*database->queryLatestBundleTime(&error), now - 5, 0.001);
    auto byIDs = database->queryBundlesWithRowIDs({plat::Value(3), plat::Value(1)}, &error);
    EXPECT_EQ(databaseTestRowIDs(byIDs), (std::vector<int64_t>{1, 3}));
    ASSERT_TRUE(database->deleteBundlesWithRowIDs({plat::Value(3), plat::Value(2)}, &error));
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 1000, &error)), std::vector<int64_t>{1});
    EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), false);
}

TEST_F(DMSDatabaseTest, BundlesAreRefusedWithoutTheirEssentialsAndStaleOnesPurged) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    double now = plat::Clock::now();
    double maxQueueTime = DMSMeasurement::remoteConfig().maxQueueTime();
    // A raw event far outside the queue time shows whether a purge ran.
    auto old = databaseTestEvent("old", now - maxQueueTime - 100);
    ASSERT_TRUE(database->insertRawEvent(&old, 1, false, &error));

    auto noAppID = databaseTestBundle(now);
    NANOClearField(noAppID, DMSPBMeasurementBundle::kAppID);
    struct Refusal {
        std::shared_ptr<DMSPBMeasurementBundle> bundle;
        const char* description;
    } refusals[] = {
        {DMSPBMeasurementBundle::init(), "Failed to insert nil bundle"},
        {nullptr, "Failed to insert nil bundle"},
        {noAppID, "Failed to insert bundle without App ID"},
        {databaseTestBundle(0), "Failed to insert bundle without valid timestamp"},
        {databaseTestBundle(-1), "Failed to insert bundle without valid timestamp"},
    };
    for (const auto& refusal : refusals) {
        plat::Error refused;
        EXPECT_FALSE(database->insertBundle(refusal.bundle, false, &refused)) << refusal.description;
        EXPECT_EQ(refused.code, 1);
        EXPECT_EQ(refused.localizedDescription(), refusal.description);
    }
    EXPECT_EQ(database->isRawEventsTableEmpty(&error), false);
    EXPECT_EQ(database->isQueuedBundleTableEmpty(&error), true);

    // The first insertion purges; a bundle outside the queue time is still stored, with a warning.
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now + maxQueueTime + 100), false, &error));
    EXPECT_EQ(database->isRawEventsTableEmpty(&error), true);
    EXPECT_EQ(countOf({12016, 12018}), (std::vector<int64_t>{12016, 12018}));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - maxQueueTime - 100), false, &error));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now), false, &error));
    // Not due again within the purge interval.
    EXPECT_EQ(database->maybeDeleteStaleData(&error), false);
    EXPECT_EQ(database->sqliteStore()->rowCount("queue", &error), 3);
    plat::Error negative;
    EXPECT_FALSE(database->deleteStaleBundlesOlderThanMaxAge(-1, &negative));
    EXPECT_EQ(negative.localizedDescription(), "Cannot delete stale bundles after negative time period");
    ASSERT_TRUE(database->deleteStaleBundlesOlderThanMaxAge(maxQueueTime, &error));
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(10, 1000, &error)), std::vector<int64_t>{3});
}

TEST_F(DMSDatabaseTest, RetryCountsGrowUpToTheLimitAndTravelWithTheBundle) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    double now = plat::Clock::now();
    auto retried = databaseTestBundle(now - 2);
    NANOSetInt32(retried, DMSPBMeasurementBundle::kRetryCount, 4);
    ASSERT_TRUE(database->insertBundle(retried, false, &error));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 1), false, &error));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now), false, &error));
    ASSERT_TRUE(database->sqliteStore()->executeSQL("UPDATE queue SET retry_count = 2147483647 WHERE rowid = 3", &error));

    ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({plat::Value(1), plat::Value(2), plat::Value(3)},
                                                                 &error))
        << error.description();
    EXPECT_EQ(countOf({12054}), std::vector<int64_t>{12054});
    auto bundles = database->queryBundlesWithCountLimit(10, 100000, &error);
    ASSERT_TRUE(bundles);
    ASSERT_EQ(bundles->size(), 3u);
    std::vector<int32_t> counts;
    for (const auto& queued : *bundles) {
        counts.push_back(NANOGetInt32(queued.bundle, DMSPBMeasurementBundle::kRetryCount));
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{5, 1, 2147483647}));

    struct Refusal {
        plat::Array rowIDs;
        const char* description;
    } refusals[] = {
        {{}, "Received empty row IDs to process"},
        {{plat::Value(1), plat::Value("2")}, "Received invalid type for row ID to process"},
    };
    for (const auto& refusal : refusals) {
        plat::Error refused;
        EXPECT_FALSE(database->deleteBundlesWithRowIDs(refusal.rowIDs, &refused));
        EXPECT_EQ(refused.localizedDescription(), refusal.description);
        EXPECT_FALSE(database->queryBundlesWithRowIDs(refusal.rowIDs, &refused));
        EXPECT_EQ(refused.localizedDescription(), refusal.description);
    }
    plat::Error refused;
    EXPECT_FALSE(database->incrementRetryCounterForBundlesWithIDs({}, &refused));
    EXPECT_EQ(refused.localizedDescription(), "Failed to increment retry counter");
    EXPECT_EQ(database->sqliteStore()->rowCount("queue", &error), 3);
}

TEST_F(DMSDatabaseTest, AQueueRowThatCannotBeReadIsDroppedInsteadOfBlockingTheRest) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    double now = plat::Clock::now();
    auto gzipped = [](const plat::Data& bytes) { return *dvu_dataByGzippingData(bytes); };
    // At the head of the queue: bytes that are no gzip, gzip of bytes that are no bundle, and empty data.
    DMSRecord corrupt[] = {
        {{"data", databaseTestBytes({0x1f, 0x8b, 0x08, 0x00, 0x01})}, {"bundle_end_timestamp", now - 30}},
        {{"data", gzipped(databaseTestBytes({0x0a, 0x7f, 0x01}))}, {"bundle_end_timestamp", now - 20}},
        {{"data", plat::Data()}, {"bundle_end_timestamp", now - 15}},
    };
    for (const auto& row : corrupt) {
        ASSERT_TRUE(database->sqliteStore()->upsertRecord(row, "queue", &error)) << error.description();
    }
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 10), false, &error));
    ASSERT_TRUE(database->insertBundle(databaseTestBundle(now - 5), false, &error));

    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(4, 100000, &error)), std::vector<int64_t>{4});
    EXPECT_EQ(countOf({12049, 12050, 12051}), (std::vector<int64_t>{12050, 12051, 12049}));
    EXPECT_EQ(database->sqliteStore()->rowCount("queue", &error), 2);
    EXPECT_EQ(databaseTestRowIDs(database->queryBundlesWithCountLimit(4, 100000, &error)),
              (std::vector<int64_t>{4, 5}));
}

TEST_F(DMSDatabaseTest, EventAggregatesKeepEveryFieldAndReadMissingOnesAsDefaults) {
    auto database = DMSDatabase::initWithDatabaseName(DMSDatabase::kDatabaseName, nullptr);
    ASSERT_TRUE(database);
    plat::Error error;
    auto shop = DMSEventAggregates::initWithName("shop", 7, 2, 100.5);
    ASSERT_TRUE(shop);
    shop->setLastBundledTimestamp(90.25);
    shop->setLastSampledComplexEventID(int64_t{1} << 40);
    shop->setLastSamplingRate(10);
    shop->setLastExemptFromSampling(true);
    shop->setLastBundledDay(20000);
    ASSERT_TRUE(database->updateEventAggregates(&*shop, &error)) << error.description();
    // Written by an older version: the add-on columns are NULL.
    ASSERT_TRUE(database->sqliteStore()->upsertRecord(
        {{"name", "_s"}, {"lifetime_count", 3}, {"current_bundle_count", 1}, {"last_fire_timestamp", 5.0}}, "events",
        &error));

    auto read = database->eventAggregatesWithName("shop", &error);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::make_tuple(read->lifetimeCount(), read->currentBundleCount(), read->lastFireTimestamp(),
                              read->lastBundledTimestamp(), read->lastSampledComplexEventID(),
                              read->lastSamplingRate(), read->lastExemptFromSampling(), read->lastBundledDay()),
              std::make_tuple(7, 2, 100.5, 90.25, std::optional<int64_t>(int64_t{1} << 40), 10, true, 20000));
    auto old = database->eventAggregatesWithName("_s", &error);
    ASSERT_TRUE(old);
    EXPECT_EQ(std::make_tuple(old->lastBundledTimestamp(), old->lastSampledComplexEventID(), old->lastSamplingRate(),
                              old->lastExemptFromSampling(), old->lastBundledDay()),
              std::make_tuple(0.0, std::optional<int64_t>(), 1, false, 0));
    EXPECT_FALSE(database->eventAggregatesWithName("absent", &error));

    // Clearing the complex-event ID is written as well.
    read->setLastSampledComplexEventID(std::nullopt);
    ASSERT_TRUE(database->updateEventAggregates(&*read, &error));
    EXPECT_FALSE(database->eventAggregatesWithName("shop", &error)->lastSampledComplexEventID());

    EXPECT_FALSE(database->updateEventAggregates(nullptr, &error));
    EXPECT_EQ(countOf({12019}), std::vector<int64_t>{12019});
    EXPECT_EQ(database->publicEventCount(&error), 1);

    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 998; ++i) {
            auto aggregates = DMSEventAggregates::initWithName("e" + std::to_string(i), 1, 1, 1);
            if (!database->updateEventAggregates(&*aggregates, &error)) {
                return false;
            }
        }
        return true;
    })) << error.description();
    auto all = database->allEventAggregates(&error);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1000u);
    plat::Error full;
    auto extra = DMSEventAggregates::initWithName("one_more", 1, 1, 1);
    EXPECT_FALSE(database->updateEventAggregates(&*extra, &full));
    EXPECT_EQ(full.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database->updateEventAggregates(&*shop, &error));
    EXPECT_EQ(database->publicEventCount(&error), 999);
}

} // namespace

