#include "measurement/storage/DMSDatabase.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSPersistedConfig.hpp"
#include "measurement/engine/DMSRemoteConfig.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/messages/DMSMessageFields.hpp"
#include "measurement/messages/DMSParameterChecks.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSCategories.hpp"
#include "core/DVUGzip.hpp"
#include "measurement/storage/DMSDataTypeValidator.hpp"
#include "measurement/storage/DMSValue.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/FileManager.hpp"

#include <cmath>
#include <limits>
#include <set>
#include <type_traits>

namespace {

DMSMonitor& databaseMonitor() {
    return DMSMeasurement::monitor();
}

DMSColumnInfo databaseKeyPair(const char* first, const char* second) {
    return {{kDMSPrimaryKeyColumn, "(" + std::string(first) + ", " + std::string(second) + ")"}};
}

DMSColumnInfo databaseJoined(DMSColumnInfo columns, const DMSColumnInfo& more) {
    columns.insert(columns.end(), more.begin(), more.end());
    return columns;
}

std::vector<DMSTableSchema> databaseMakeSchema() {
    return {
        {"app_metadata",
         {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
         {{"last_bundle_start_timestamp", "REAL"},
          {"day", "INTEGER"},
          {"daily_conversions_count", "INTEGER"},
          {"daily_events_count", "INTEGER"},
          {"daily_public_events_count", "INTEGER"},
          {"daily_error_events_count", "INTEGER"},
          {"remote_config_data", "BLOB"},
          {"remote_config_timestamp", "REAL"},
          {"daily_real_time_conversion_events_count", "INTEGER"}},
         {}},
        {"raw_events_metadata",
         {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
         {},
         {}},
        {"raw_events",
         {{"name", "TEXT NOT NULL"},
          {"timestamp", "INTEGER NOT NULL"},
          {"metadata_fingerprint", "INTEGER NOT NULL"},
          {"data", "BLOB NOT NULL"}},
         {{"is_realtime", "INTEGER"}},
         {{"timestamp", "REAL NOT NULL"}}},
        {"events",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"lifetime_count", "INTEGER NOT NULL"},
          {"current_bundle_count", "INTEGER NOT NULL"},
          {"last_fire_timestamp", "REAL NOT NULL"}},
         {{"last_bundled_timestamp", "REAL"},
          {"last_sampled_complex_event_id", "INTEGER"},
          {"last_sampling_rate", "INTEGER"},
          {"last_exempt_from_sampling", "INTEGER"},
          {"last_bundled_day", "INTEGER"}},
         {}},
        {"user_attributes",
         {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
         {{"origin", "TEXT"}},
         {}},
        {"queue",
         {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
         {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
         {}},
        {"event_filters",
         databaseJoined({{"audience_id", "INTEGER NOT NULL"},
                         {"filter_id", "INTEGER NOT NULL"},
                         {"event_name", "TEXT NOT NULL"},
                         {"data", "BLOB NOT NULL"}},
                        databaseKeyPair("audience_id", "filter_id")),
         {},
         {}},
        {"property_filters",
         databaseJoined({{"audience_id", "INTEGER NOT NULL"},
                         {"filter_id", "INTEGER NOT NULL"},
                         {"property_name", "TEXT NOT NULL"},
                         {"data", "BLOB NOT NULL"}},
                        databaseKeyPair("audience_id", "filter_id")),
         {},
         {}},
        {"audience_filter_values",
         {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
         {},
         {}},
        {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
        {"conditional_properties",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"value", "BLOB NOT NULL"},
          {"creation_timestamp", "REAL NOT NULL"},
          {"active", "INTEGER NOT NULL"},
          {"trigger_timeout", "REAL NOT NULL"},
          {"triggered_timestamp", "REAL NOT NULL"},
          {"time_to_live", "REAL NOT NULL"},
          {"trigger_event_name", "TEXT"},
          {"timed_out_event", "BLOB"},
          {"triggered_event", "BLOB"},
          {"expired_event", "BLOB"}},
         {},
         {}},
        {"main_event_params",
         {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"children_to_process", "INTEGER NOT NULL"},
          {"main_event", "BLOB NOT NULL"}},
         {},
         {}},
    };
}

const char* const kDatabaseCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// The store's numeric query, none when the store is closed (or the value is NULL, with the error unset).
std::optional<plat::Value> databaseNumberForQuery(DMSSqliteStore* store, std::string_view query,
                                                  const plat::Array& parameters, plat::Error* error) {
    if (!DMSRequire(store != nullptr, error, 2, "Query numeric result failed. Database not open.")) {
        return std::nullopt;
    }
    return store->numberForQuery(query, parameters, error);
}

std::optional<bool> databaseBoolForQuery(DMSSqliteStore* store, std::string_view query, const plat::Array& parameters,
                                         plat::Error* error) {
    auto number = databaseNumberForQuery(store, query, parameters, error);
    return number ? std::optional<bool>(number->boolValue()) : std::nullopt;
}

std::optional<double> databaseDoubleForQuery(DMSSqliteStore* store, std::string_view query, plat::Error* error) {
    auto number = databaseNumberForQuery(store, query, {}, error);
    return number ? std::optional<double>(number->doubleValue()) : std::nullopt;
}


std::optional<int64_t> databaseIntegerForQuery(DMSSqliteStore* store, std::string_view query,
                                               const plat::Array& parameters, plat::Error* error) {
    auto number = databaseNumberForQuery(store, query, parameters, error);
    return number ? std::optional<int64_t>(number->integerValue()) : std::nullopt;
}

} // namespace

// DMSAppMetadata

std::optional<DMSAppMetadata> DMSAppMetadata::initWithLastBundleIndex(int32_t index, double startTimestamp,
                                                                      double endTimestamp) {
    if (index < 0) {
        databaseMonitor().logWithLevel(4, 4000,
                                       "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    return DMSAppMetadata(index, startTimestamp, endTimestamp);
}

void DMSAppMetadata::incrementLastBundleIndex() {
    if (lastBundleIndex_ == std::numeric_limits<int32_t>::max()) {
        lastBundleIndex_ = 0;
        databaseMonitor().logWithLevel(4, 4001, "Bundle index overflow. Bundle index reset to 0.");
        return;
    }
    ++lastBundleIndex_;
}

// DMSDatabase

const std::vector<DMSTableSchema>& DMSDatabase::schema() {
    static const std::vector<DMSTableSchema> tables = databaseMakeSchema();
    return tables;
}

DMSDatabase::~DMSDatabase() = default;

std::unique_ptr<DMSDatabase> DMSDatabase::initWithDatabaseName(std::string_view name,
                                                               DMSPersistedConfig* persistedConfig) {
    if (name.empty()) {
        databaseMonitor().logWithLevel(1, 12000, "Received empty database name in init");
        return nullptr;
    }
    std::unique_ptr<DMSDatabase> database(new DMSDatabase());
    if (!database->initializeDatabaseResources("Init", DMSMeasurementFilePath(name))) {
        return nullptr;
    }
    database->persistedConfig_ = persistedConfig;
    return database;
}

bool DMSDatabase::initializeDatabaseResources(std::string_view context, const std::string& databasePath) {
    std::string word(context);
    databasePath_ = databasePath;
    sqliteStore_.reset();
    sqliteStore_ = DMSSqliteStore::initWithDatabasePath(databasePath);
    if (!sqliteStore_) {
        databaseMonitor().logWithLevel(1, 12001, "Failed to open database (" + word + ")");
        return false;
    }
    if (!ensureAllTables()) {
        databaseMonitor().logWithLevel(1, 12002, "Failed to create or validate required database tables (" + word + ")");
        // Closed before deleting: writes through a connection to an unlinked file would vanish, and a journal
        // left behind could be rolled back into the next file.
        sqliteStore_->closeDatabase();
        plat::Error deleteError;
        if (!DMSDeleteFileAtPath(databasePath, &deleteError)) {
            databaseMonitor().logWithLevel(
                4, 12003, "Failed to delete old database file after failed validation. Error (" + word + ")",
                deleteError);
        }
        auto& files = plat::FileManager::defaultManager();
        for (const char* suffix : kDatabaseCompanionSuffixes) {
            std::string companion = databasePath + suffix;
            if (files.fileExists(companion)) {
                (void)DMSDeleteFileAtPath(companion, nullptr);
            }
        }
        return false;
    }
    if (!initializeAppMetadata()) {
        databaseMonitor().logWithLevel(1, 12004, "Failed to initialize App Metadata table (" + word + ")");
        return false;
    }
    return true;
}

bool DMSDatabase::ensureAllTables() {
    if (!sqliteStore_) {
        return false;
    }
    for (const auto& table : schema()) {
        plat::Error error;
        if (!sqliteStore_->ensureTable(table.name, table.elementary, table.addOn, table.modify, &error)) {
            // A refusal without an error is a refusal all the same.
            if (error.code == 0) {
                error = dms_errorWithCode(2, "Failed to ensure table " + table.name);
            }
            databaseMonitor().logWithLevel(1, 12047, "Failed to ensure table. Table, error", plat::Value(table.name),
                                           error);
            return false;
        }
    }
    return true;
}

bool DMSDatabase::initializeAppMetadata() {
    return performTransaction([this] {
        plat::Error error;
        auto metadata = queryAppMetadata(&error);
        if (!metadata && error.code != 0) {
            databaseMonitor().logWithLevel(1, 12005, "Failed to query app metadata");
            return false;
        }
        if (metadata) {
            return true;
        }
        auto fresh = DMSAppMetadata::initWithLastBundleIndex(0, 0, 0);
        plat::Error writeError;
        bool written = upsertDataType(true, "app_metadata", "rowid", plat::Value("1"), 1, &writeError, [&] {
            return std::optional<DMSRecord>(DMSRecord{{"rowid", "1"},
                                                      {"last_bundle_index", int64_t{fresh->lastBundleIndex()}},
                                                      {"last_bundle_start_timestamp", fresh->lastBundleStartTimestamp()},
                                                      {"last_bundle_end_timestamp", fresh->lastBundleEndTimestamp()}});
        });
        if (!written) {
            databaseMonitor().logWithLevel(1, 12006, "Unable to update the app metadata. Error", writeError);
        }
        return written;
    });
}

bool DMSDatabase::emptyAllTables() {
    return sqliteStore_ && sqliteStore_->performTransaction([this] {
        for (const auto& table : schema()) {
            if (!sqliteStore_->deleteAllRecords(table.name, nullptr)) {
                return false;
            }
        }
        return true;
    });
}

void DMSDatabase::reset() {
    std::string path = sqliteStore_ ? sqliteStore_->databasePath() : databasePath_;
    bool deleted = !sqliteStore_ || sqliteStore_->closeAndDeleteDatabase();
    if (!deleted) {
        databaseMonitor().logWithLevel(4, 12055, "Failed to delete database data");
    }
    if (!initializeDatabaseResources("Reset", path)) {
        return;
    }
    // The file survived: a reset still must not keep the old data.
    if (!deleted && emptyAllTables()) {
        initializeAppMetadata();
    }
}

bool DMSDatabase::performTransaction(const std::function<bool()>& block) {
    if (!sqliteStore_) {
        databaseMonitor().logWithLevel(1, 34007, "Perform transaction failed. Database not open");
        return false;
    }
    return sqliteStore_->performTransaction(block);
}

// Typed rows.

bool DMSDatabase::allDataTypesFromTable(std::string_view table, int64_t limit, plat::Error* error,
                                        const CreateDataType& block) {
    if (!DMSRequire(static_cast<bool>(block), error, 1, "Received nil block to get all data types")) {
        return false;
    }
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return false;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " + std::to_string(limit), {}, error);
    if (!rows) {
        return false;
    }
    for (const auto& row : *rows) {
        block(row);
    }
    return true;
}

bool DMSDatabase::dataTypesFromTable(std::string_view table, std::string_view column,
                                     const std::optional<plat::Value>& value, plat::Error* error,
                                     const CreateDataType& block) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name to create data type from table") ||
        !DMSRequire(!column.empty(), error, 1, "Received empty column name to create data type from table") ||
        !DMSRequire(value.has_value(), error, 1, "Received nil column value to create data type from table") ||
        !DMSRequire(static_cast<bool>(block), error, 2, "Received nil block to create data type from table") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return false;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + std::string(table) + " WHERE " + std::string(column) + " = ?", {*value}, error);
    if (!rows) {
        return false;
    }
    size_t converted = 0;
    for (const auto& row : *rows) {
        converted += block(row) ? 1 : 0;
    }
    if (!rows->empty() && converted == 0) {
        DMSSetError(error, 2, "Failed to initialize data types from dictionaries");
        return false;
    }
    return true;
}

bool DMSDatabase::insertDataType(bool, std::string_view table, plat::Error* error, const CreateDictionary& block) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for inserting") ||
        !DMSRequire(static_cast<bool>(block), error, 1, "Received nil block to create dictionary for inserting")) {
        return false;
    }
    auto row = block();
    if (!DMSRequire(row.has_value(), error, 2, "Failed to insert unknown data type") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->upsertRecord(*row, table, error);
}

bool DMSDatabase::upsertDataType(bool hasObject, std::string_view table, std::string_view column,
                                 const plat::Value& value, int64_t tableLimit, plat::Error* error,
                                 const CreateDictionary& block) {
    if (!DMSRequire(hasObject, error, 1, "Received empty data type to upsert") ||
        !DMSRequire(!table.empty(), error, 1, "Received empty table name for checking upsert") ||
        !DMSRequire(static_cast<bool>(block), error, 1, "Received nil block to create dictionary for upserting") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Row count failed. Database not open.")) {
        return false;
    }
    auto matching = sqliteStore_->rowCount(table, column, value, error);
    if (!matching) {
        return false;
    }
    auto total = sqliteStore_->rowCount(table, error);
    if (!total) {
        return false;
    }
    if (!DMSRequire(*matching > 0 || *total < tableLimit, error, 2, "Failed to insert data type. Table is full")) {
        return false;
    }
    auto row = block();
    if (!DMSRequire(row.has_value(), error, 2, "Failed to insert/update unknown data type")) {
        return false;
    }
    return sqliteStore_->upsertRecord(*row, table, error);
}

bool DMSDatabase::updateDataType(bool hasObject, std::string_view table, std::string_view column,
                                 const plat::Value& value, plat::Error* error, const CreateDictionary& block) {
    if (!DMSRequire(hasObject, error, 1, "Received empty data type to update") ||
        !DMSRequire(!table.empty(), error, 1, "Received empty table name for updating") ||
        !DMSRequire(static_cast<bool>(block), error, 1, "Received nil block to create dictionary for updating") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Row count failed. Database not open.")) {
        return false;
    }
    auto matching = sqliteStore_->rowCount(table, column, value, error);
    if (!matching) {
        return false;
    }
    if (!DMSRequire(*matching > 0, error, 2, "Failed to update record. Item doesn't exist")) {
        return false;
    }
    auto row = block();
    if (!DMSRequire(row.has_value(), error, 2, "Failed to update unknown data type")) {
        return false;
    }
    return sqliteStore_->updateRecord(*row, table, column, value, error);
}

// App metadata.

std::optional<DMSAppMetadata> DMSDatabase::queryAppMetadata(plat::Error* error) {
    std::optional<DMSAppMetadata> result;
    dataTypesFromTable("app_metadata", "rowid", plat::Value("1"), error, [&](const DMSRecord& row) {
        const plat::Value* index = row.find("last_bundle_index");
        const plat::Value* end = row.find("last_bundle_end_timestamp");
        const plat::Value* start = row.find("last_bundle_start_timestamp");
        if (!index || !index->isNumber() || !end || !end->isNumber()) {
            return false;
        }
        double startValue = start && start->isNumber() ? start->doubleValue() : 0;
        result = DMSAppMetadata::initWithLastBundleIndex(static_cast<int32_t>(index->integerValue()), startValue,
                                                         end->doubleValue());
        return result.has_value();
    });
    return result;
}

bool DMSDatabase::updateAppMetadata(const DMSAppMetadata& metadata, plat::Error* error) {
    return updateDataType(true, "app_metadata", "rowid", plat::Value("1"), error, [&] {
        return std::optional<DMSRecord>(DMSRecord{{"rowid", "1"},
                                                  {"last_bundle_index", int64_t{metadata.lastBundleIndex()}},
                                                  {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
                                                  {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}});
    });
}

// Purchase fingerprints.

std::optional<bool> DMSDatabase::insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                                         plat::Error* error) {
    if (fingerprint.empty()) {
        return false;
    }
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query numeric result failed. Database not open.")) {
        return std::nullopt;
    }
    plat::Value value{std::string(fingerprint)};
    auto present = sqliteStore_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)", {value}, error);
    if (!present) {
        return std::nullopt;
    }
    if (present->boolValue()) {
        return false;
    }
    if (!sqliteStore_->upsertRecord({{"fingerprint", value}}, "purchase_transactions", error)) {
        return std::nullopt;
    }
    auto pruned = sqliteStore_->deleteRecords(
        "purchase_transactions",
        "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
        {plat::Value(1000)}, error);
    if (!pruned) {
        return std::nullopt;
    }
    return true;
}

bool DMSDatabase::deletePurchaseFingerprint(std::string_view fingerprint, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecords("purchase_transactions", "fingerprint = ?",
                                       {plat::Value(std::string(fingerprint))}, error)
        .has_value();
}

// User properties.

plat::Value DMSDatabaseStoredValue(const DMSValue& value) {
    if (const std::string* text = value.ifString()) {
        return plat::Value(*text);
    }
    if (value.isDouble()) {
        return plat::Value(value.doubleValue());
    }
    return plat::Value(value.int64Value());
}

namespace {

std::optional<DMSUserAttribute> databaseUserAttributeFromRow(const DMSRecord& row) {
    const plat::Value* name = row.find("name");
    const plat::Value* origin = row.find("origin");
    const plat::Value* timestamp = row.find("set_timestamp");
    const plat::Value* stored = row.find("value");
    if (!name || !name->isString() || !origin || !origin->isString() || !timestamp || !timestamp->isNumber() ||
        !stored) {
        return std::nullopt;
    }
    auto value = DMSValue::valueFromObject(std::optional<plat::Value>(*stored));
    if (!value) {
        return std::nullopt;
    }
    return DMSUserAttribute::initWithOrigin(origin->asString(), name->asString(), value, timestamp->doubleValue());
}

} // namespace

bool DMSDatabase::updateUserAttribute(const DMSUserAttribute* attribute, plat::Error* error) {
    auto row = [attribute]() -> std::optional<DMSRecord> {
        if (!attribute) {
            databaseMonitor().logWithLevel(4, 12021, "Received empty user property for getting dictionary representation");
            return std::nullopt;
        }
        if (attribute->origin().empty()) {
            databaseMonitor().logWithLevel(
                1, 12022, "Received user property with empty origin for getting dictionary representation");
            return std::nullopt;
        }
        if (attribute->name().empty()) {
            databaseMonitor().logWithLevel(4, 12023,
                                           "Received user property with empty name for getting dictionary representation");
            return std::nullopt;
        }
        const std::string* text = attribute->value().ifString();
        if (attribute->value().isString() && (!text || text->empty())) {
            databaseMonitor().logWithLevel(1, 12024, "Received empty string value for user property");
            return std::nullopt;
        }
        return DMSRecord{{"name", attribute->name()},
                         {"set_timestamp", attribute->lastSetTimestamp()},
                         {"value", DMSDatabaseStoredValue(attribute->value())},
                         {"origin", attribute->origin()}};
    };
    if (!attribute) {
        row();
    }
    return upsertDataType(attribute != nullptr, "user_attributes", "name",
                          plat::Value(attribute ? attribute->name() : std::string()), 1000, error, row);
}

std::optional<DMSUserAttribute> DMSDatabase::userAttributeWithName(std::string_view name, plat::Error* error) {
    std::optional<DMSUserAttribute> found;
    dataTypesFromTable("user_attributes", "name", plat::Value(std::string(name)), error, [&](const DMSRecord& row) {
        found = databaseUserAttributeFromRow(row);
        return found.has_value();
    });
    return found;
}

std::optional<bool> DMSDatabase::containsUserAttributeWithName(std::string_view name, plat::Error* error) {
    if (!DMSRequire(!name.empty(), error, 1, "Received empty user property name for exists query") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Query numeric result failed. Database not open.")) {
        return std::nullopt;
    }
    auto number = sqliteStore_->numberForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                                               {plat::Value(std::string(name))}, error);
    if (!number) {
        return std::nullopt;
    }
    return number->boolValue();
}

bool DMSDatabase::deleteUserAttributeWithName(std::string_view name, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete record failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecord("user_attributes", "name", plat::Value(std::string(name)), error);
}

std::optional<int64_t> DMSDatabase::publicUserAttributeCount(plat::Error* error) {
    return databaseIntegerForQuery(sqliteStore_.get(), "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<int64_t> DMSDatabase::userAttributeCountForOrigin(std::string_view origin, plat::Error* error) {
    if (!DMSRequire(!origin.empty(), error, 1, "Received empty user property origin for count query") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Query numeric result failed. Database not open.")) {
        return std::nullopt;
    }
    auto number = sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                                               {plat::Value(std::string(origin))}, error);
    return number ? std::optional<int64_t>(number->integerValue()) : std::nullopt;
}

std::optional<std::vector<DMSUserAttribute>> DMSDatabase::allLifetimeValueUserAttributes(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    // A literal, case-sensitive prefix: LIKE would take "_" for any character and ignore letter case.
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT * FROM user_attributes WHERE substr(name, 1, length(?1)) = ?1 ORDER BY set_timestamp DESC",
        {plat::Value("_ltv_")}, error);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<DMSUserAttribute> attributes;
    for (const auto& row : *rows) {
        if (auto attribute = databaseUserAttributeFromRow(row)) {
            attributes.push_back(std::move(*attribute));
        }
    }
    return attributes;
}

std::optional<std::vector<DMSUserAttribute>> DMSDatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                                          plat::Error* error) {
    std::vector<DMSUserAttribute> attributes;
    const auto& publicNames = DMSUserPropertyNameTable();
    bool read = allDataTypesFromTable("user_attributes", 1000, error, [&](const DMSRecord& row) {
        auto attribute = databaseUserAttributeFromRow(row);
        if (!attribute) {
            return false;
        }
        const std::string& name = attribute->name();
        if (!includeInternal && (name.empty() || name[0] == '_' || DMSDataTypeValidator::hasReservedPrefixes(name) ||
                                 publicNames.contains(name))) {
            return false;
        }
        attributes.push_back(std::move(*attribute));
        return true;
    });
    if (!read) {
        return std::nullopt;
    }
    return attributes;
}

// Daily counts.

void DMSDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion) {
    if (day != day_) {
        *this = DMSDailyCounts(day, isConversion ? 1 : 0, 1, isPublicEvent ? 1 : 0, 0, 0);
        return;
    }
    ++allEventsCount_;
    publicEventsCount_ += isPublicEvent ? 1 : 0;
    conversionsCount_ += isConversion ? 1 : 0;
}

void DMSDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
    if (day != day_) {
        *this = DMSDailyCounts(day, 0, 1, 0, 1, 0);
        return;
    }
    ++allEventsCount_;
    ++errorEventsCount_;
}

void DMSDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
    if (day != day_) {
        *this = DMSDailyCounts(day, 0, 0, 0, 0, 1);
        return;
    }
    ++realtimeCount_;
}

void DMSDailyCounts::decrementAllEventsCount() {
    allEventsCount_ = allEventsCount_ > 0 ? allEventsCount_ - 1 : 0;
}

void DMSDailyCounts::resetWithNewDay(int32_t day) {
    *this = DMSDailyCounts(day, 0, 0, 0, 0, 0);
}

std::optional<DMSDailyCounts> DMSDatabase::dailyCounts(plat::Error* error) {
    double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
    auto today = static_cast<int32_t>(std::floor((plat::Clock::now() - offset) / 86400));
    std::optional<DMSDailyCounts> counts;
    dataTypesFromTable("app_metadata", "rowid", plat::Value("1"), error, [&](const DMSRecord& row) {
        auto read = [&row](const char* column, int32_t otherwise) {
            const plat::Value* value = row.find(column);
            return value && value->isNumber() ? value->intValue() : otherwise;
        };
        counts = DMSDailyCounts(read("day", today), read("daily_conversions_count", 0), read("daily_events_count", 0),
                                read("daily_public_events_count", 0), read("daily_error_events_count", 0),
                                read("daily_real_time_conversion_events_count", 0));
        return true;
    });
    return counts;
}

bool DMSDatabase::updateDailyCounts(const DMSDailyCounts& counts, plat::Error* error) {
    return updateDataType(true, "app_metadata", "rowid", plat::Value("1"), error, [&] {
        return std::optional<DMSRecord>(
            DMSRecord{{"day", int64_t{counts.day()}},
                      {"daily_conversions_count", int64_t{counts.conversionsCount()}},
                      {"daily_events_count", int64_t{counts.allEventsCount()}},
                      {"daily_public_events_count", int64_t{counts.publicEventsCount()}},
                      {"daily_error_events_count", int64_t{counts.errorEventsCount()}},
                      {"daily_real_time_conversion_events_count", int64_t{counts.realtimeCount()}}});
    });
}

// Raw events and their metadata.

namespace {

constexpr int64_t kDatabaseMaxRawEventsMetadata = 100000;
constexpr int64_t kDatabaseRawEventsPageSize = 1000;

std::optional<plat::Data> databaseEncoding(NANOMessageRef message) {
    if (!message.get()) {
        return std::nullopt;
    }
    auto encoding = message.get()->protoBuffer();
    if (!encoding || encoding->empty()) {
        return std::nullopt;
    }
    return encoding;
}

} // namespace

bool DMSDatabase::insertIfNotExistsRawEventMetadata(NANOMessageRef metadata, plat::Error* error) {
    auto encoding = databaseEncoding(metadata);
    // The pipeline stores the same header with event after event: its fingerprint is known without a digest.
    int64_t fingerprint = 0;
    if (encoding && *encoding == lastMetadataEncoding_) {
        fingerprint = lastMetadataFingerprint_;
    } else {
        fingerprint = dms_64LSBMD5(encoding ? *encoding : plat::Data());
        if (encoding) {
            lastMetadataEncoding_ = *encoding;
            lastMetadataFingerprint_ = fingerprint;
        }
    }
    if (encoding) {
        if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Row count failed. Database not open.")) {
            return false;
        }
        auto present = sqliteStore_->rowCount("raw_events_metadata", "metadata_fingerprint", plat::Value(fingerprint),
                                              error);
        if (!present) {
            return false;
        }
        if (*present > 0) {
            return true;
        }
    }
    return upsertDataType(metadata.get() != nullptr, "raw_events_metadata", "metadata_fingerprint",
                          plat::Value(fingerprint), kDatabaseMaxRawEventsMetadata, error,
                          [&]() -> std::optional<DMSRecord> {
                              if (!encoding) {
                                  databaseMonitor().logWithLevel(
                                      4, 12011,
                                      "Received empty measurement bundle metadata for getting dictionary "
                                      "representation");
                                  return std::nullopt;
                              }
                              return DMSRecord{{"metadata_fingerprint", fingerprint}, {"metadata", *encoding}};
                          });
}

std::shared_ptr<DMSPBMeasurementBundle> DMSDatabase::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                           plat::Error* error) {
    std::shared_ptr<DMSPBMeasurementBundle> bundle;
    dataTypesFromTable("raw_events_metadata", "metadata_fingerprint", plat::Value(fingerprint), error,
                       [&](const DMSRecord& row) {
                           if (row.empty()) {
                               databaseMonitor().logWithLevel(4, 12012,
                                                              "Received empty dictionary for getting measurement bundle");
                               return false;
                           }
                           const plat::Value* bytes = row.find("metadata");
                           if (!bytes || !bytes->isData() || bytes->asData().empty()) {
                               databaseMonitor().logWithLevel(
                                   4, 12013, "Event metadata should not be empty for getting measurement bundle");
                               return false;
                           }
                           bundle = DMSPBMeasurementBundle::initWithBuffer(bytes->asData());
                           return bundle != nullptr;
                       });
    return bundle;
}

bool DMSDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_
        ->deleteRecords("raw_events_metadata", "metadata_fingerprint == ?", {plat::Value(fingerprint)}, error)
        .has_value();
}

bool DMSDatabase::deleteUnusedRawEventsMetadata(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_
        ->deleteRecords("raw_events_metadata",
                        "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {}, error)
        .has_value();
}

bool DMSDatabase::insertRawEvent(const DMSEvent* event, int64_t metadataFingerprint, bool isRealtime,
                                 plat::Error* error) {
    if (!DMSRequire(event != nullptr, error, 1, "Received empty event for inserting in the database")) {
        return false;
    }
    return insertDataType(true, "raw_events", error, [&]() -> std::optional<DMSRecord> {
        // The name has its own column. (A raw-event record of row ID 0 around an event always exists, so the
        // event is not copied into one just to be read.)
        DMSEventFields fields = event->protoEventFields();
        fields.name.reset();
        auto data = DMSPBEventFromFields(fields)->protoBuffer();
        if (!data) {
            return std::nullopt;
        }
        return DMSRecord{{"name", event->name()},
                         {"timestamp", event->timestamp()},
                         {"metadata_fingerprint", metadataFingerprint},
                         {"data", std::move(*data)},
                         {"is_realtime", int64_t{isRealtime ? 1 : 0}}};
    });
}

std::optional<DMSRawEventData> DMSDatabase::rawEventDataFromDictionary(const DMSRecord* row, plat::Error* error) {
    auto present = [row](const char* column) {
        const plat::Value* value = row->find(column);
        return value && !value->isNull() ? value : nullptr;
    };
    if (!DMSRequire(row != nullptr, error, 1, "Received empty dictionary for getting raw event data")) {
        return std::nullopt;
    }
    const plat::Value* rowID = present("rowid");
    const plat::Value* data = present("data");
    const plat::Value* fingerprint = present("metadata_fingerprint");
    if (!DMSRequire(rowID != nullptr, error, 1, "Unable to find row ID in the database dictionary") ||
        !DMSRequire(data != nullptr, error, 1, "Unable to find event data in the database dictionary") ||
        !DMSRequire(fingerprint != nullptr, error, 1, "Unable to find event metadata in the database dictionary")) {
        return std::nullopt;
    }
    std::shared_ptr<DMSPBEvent> message;
    if (data->isData()) {
        message = DMSPBEvent::initWithBuffer(data->asData());
    }
    if (!DMSRequire(message != nullptr, error, 2, "Failed to parse event from data")) {
        return std::nullopt;
    }
    DMSEventFields fields = DMSEventFieldsFromMessage(message);
    const plat::Value* name = present("name");
    const plat::Value* timestamp = present("timestamp");
    std::string origin;
    plat::Dictionary parameters;
    for (const DMSEventParamFields& param : fields.params) {
        std::string paramName = param.name.value_or("");
        if (paramName == "_o") {
            if (!DMSRequire(param.stringValue.has_value(), error, 2,
                            "Cannot create an event from database. Origin parameter is not a string")) {
                return std::nullopt;
            }
            origin = *param.stringValue;
        } else if (param.stringValue) {
            parameters.set(paramName, plat::Value(*param.stringValue));
        } else if (param.intValue) {
            parameters.set(paramName, plat::Value(*param.intValue));
        } else if (param.doubleValue) {
            parameters.set(paramName, plat::Value(*param.doubleValue));
        } else {
            databaseMonitor().logWithLevel(
                4, 12015, "Unknown event parameter type from converting an event from database. Event param name",
                DMSReadableParameterName(plat::Value(paramName)));
        }
    }
    if (!DMSRequire(!origin.empty(), error, 2, "Cannot create an event from database. Missing origin parameter")) {
        return std::nullopt;
    }
    auto event = DMSEvent::initWithOrigin(origin, false, name && name->isString() ? name->asString() : std::string(),
                                          timestamp && timestamp->isNumber() ? timestamp->doubleValue() : 0,
                                          static_cast<double>(fields.previousTimestampMillis.value_or(0)) / 1000,
                                          parameters);
    auto raw = DMSRawEventData::initWithRawEvent(event, rowID->isNumber() ? rowID->integerValue() : -1,
                                                 fingerprint->isNumber() ? fingerprint->integerValue() : 0);
    if (!DMSRequire(raw.has_value(), error, 2, "Failed to initialize raw event data from dictionary")) {
        return std::nullopt;
    }
    return raw;
}

std::optional<DMSRawEventsPage> DMSDatabase::rawEventsWithMetadataFingerprint(int64_t fingerprint, plat::Error* error,
                                                                             const DMSRecordFilter& eventFilter) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
        {plat::Value(fingerprint), plat::Value(kDatabaseRawEventsPageSize)}, error,
        eventFilter ? eventFilter : DMSRecordFilter([](uint32_t, const DMSRecord&) { return true; }));
    if (!rows) {
        return std::nullopt;
    }
    DMSRawEventsPage page;
    page.events.reserve(rows->size());
    for (const DMSRecord& row : *rows) {
        if (auto raw = rawEventDataFromDictionary(&row, nullptr)) {
            page.events.push_back(std::move(*raw));
        } else if (const plat::Value* rowID = row.find("rowid"); rowID && rowID->isNumber()) {
            page.unreadableRowIDs.push_back(rowID->integerValue());
        }
    }
    return page;
}

std::optional<bool> DMSDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint, plat::Error* error) {
    return databaseBoolForQuery(sqliteStore_.get(),
                                "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                                {plat::Value(fingerprint)}, error);
}

std::optional<bool> DMSDatabase::isRawEventsTableEmpty(plat::Error* error) {
    return databaseBoolForQuery(sqliteStore_.get(), "SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<bool> DMSDatabase::containsRealtimeRawEventsWithError(plat::Error* error) {
    return databaseBoolForQuery(sqliteStore_.get(),
                                "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

std::optional<double> DMSDatabase::queryLatestRawEventTime(plat::Error* error) {
    return databaseDoubleForQuery(sqliteStore_.get(), "SELECT MAX(timestamp) FROM raw_events", error);
}

std::optional<int64_t> DMSDatabase::nextMetadataFingerprintToProcess(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
    if (!rows) {
        return std::nullopt;
    }
    if (!DMSRequire(rows->size() == 1, error, 2, "Only one event metadata should be processed")) {
        return std::nullopt;
    }
    const plat::Value* fingerprint = (*rows)[0].find("metadata_fingerprint");
    if (!fingerprint || !fingerprint->isNumber()) {
        return std::nullopt;
    }
    return fingerprint->integerValue();
}

bool DMSDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecords("raw_events", "rowid <= ?", {plat::Value(rowID)}, error).has_value();
}

std::optional<int64_t> DMSDatabase::deleteRawEventsOverAbsoluteLimit(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return std::nullopt;
    }
    int64_t keep = int64_t{DMSMeasurement::remoteConfig().maxEventsStored()} - 1;
    // Row IDs are unique, so a span of row IDs within the limit holds no more rows than that: nothing to
    // delete, and the DELETE's walk over the newest rows is spared. (Each bound alone is one index lookup; both
    // in one aggregate would scan the table.)
    plat::Error spanError;
    auto span = sqliteStore_->numberForQuery("SELECT (SELECT max(rowid) FROM raw_events) - (SELECT min(rowid) FROM raw_events) + 1", {}, &spanError);
    if (!span) {
        if (spanError.code != 0) {
            if (error) {
                *error = spanError;
            }
            return std::nullopt;
        }
        return 0; // no raw events
    }
    if (span->integerValue() <= keep) {
        return 0;
    }
    return sqliteStore_->deleteRecords(
        "raw_events", "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
        {plat::Value(keep)}, error);
}

bool DMSDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, plat::Error* error) {
    if (!DMSRequire(maxAge >= 0, error, 1, "Cannot delete stale raw events given negative time period") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    auto deleted = sqliteStore_->deleteRecords("raw_events",
                                               "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
                                               {plat::Value(plat::Clock::now()), plat::Value(maxAge)}, error);
    if (!deleted) {
        return false;
    }
    return *deleted == 0 || deleteUnusedRawEventsMetadata(error);
}

// The bundle queue.

namespace {

constexpr int64_t kDatabaseRetryLimit = 2147483647;

// "rowid IN (?,?,?)" with one placeholder per ID; none (and the error set) for an empty list or an element
// that is no number.
std::optional<std::string> databaseRowIDCondition(const plat::Array& rowIDs, plat::Error* error) {
    if (!DMSRequire(!rowIDs.empty(), error, 1, "Received empty row IDs to process")) {
        return std::nullopt;
    }
    std::string marks;
    for (const plat::Value& rowID : rowIDs) {
        if (!DMSRequire(rowID.isNumber(), error, 1, "Received invalid type for row ID to process")) {
            return std::nullopt;
        }
        marks += marks.empty() ? "?" : ",?";
    }
    return "rowid IN (" + marks + ")";
}

} // namespace

bool DMSDatabase::insertBundle(NANOMessageRef bundle, bool isRealtime, plat::Error* error) {
    auto encoding = databaseEncoding(bundle);
    if (!DMSRequire(encoding.has_value(), error, 1, "Failed to insert nil bundle")) {
        return false;
    }
    auto appID = NANOGetString(bundle, DMSPBMeasurementBundle::kAppID);
    if (!DMSRequire(appID && !appID->empty(), error, 1, "Failed to insert bundle without App ID")) {
        return false;
    }
    int64_t endMillis = NANOGetInt64(bundle, DMSPBMeasurementBundle::kEndTimestampMillis);
    if (!DMSRequire(endMillis > 0, error, 1, "Failed to insert bundle without valid timestamp")) {
        return false;
    }
    if (!maybeDeleteStaleData(error)) {
        return false;
    }
    double endTimestamp = static_cast<double>(endMillis) / 1000;
    if (std::fabs(plat::Clock::now() - endTimestamp) > DMSMeasurement::remoteConfig().maxQueueTime()) {
        databaseMonitor().logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
    }
    plat::Error compressionError;
    auto compressed = dvu_dataByGzippingData(*encoding, &compressionError);
    if (!compressed || compressed->empty()) {
        DMSSetError(error, 2, "Failed to compress bundle");
        databaseMonitor().logWithLevel(1, 12017, "Cannot compress data. Error", compressionError);
        return false;
    }
    databaseMonitor().logWithLevel(7, 12018, "Saving bundle. size (bytes)", std::to_string(compressed->size()));
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->upsertRecord({{"bundle_end_timestamp", endTimestamp},
                                       {"data", std::move(*compressed)},
                                       {"is_realtime", int64_t{isRealtime ? 1 : 0}},
                                       {"retry_count", int64_t{NANOGetInt32(bundle, DMSPBMeasurementBundle::kRetryCount)}}},
                                      "queue", error);
}

std::optional<DMSQueuedBundle> DMSDatabase::queuedBundleFromRow(const DMSRecord& row) {
    if (row.empty()) {
        databaseMonitor().logWithLevel(1, 12052, "Cannot process empty rowData");
        return std::nullopt;
    }
    const plat::Value* rowID = row.find("rowid");
    const plat::Value* data = row.find("data");
    std::shared_ptr<DMSPBMeasurementBundle> bundle;
    if (!data || !data->isData() || data->asData().empty()) {
        databaseMonitor().logWithLevel(1, 12049, "Cannot decompress an empty bundle data");
    } else {
        plat::Error inflateError;
        auto inflated = dvu_dataByInflatingGzippedData(data->asData(), &inflateError);
        if (!inflated) {
            databaseMonitor().logWithLevel(1, 12050, "Cannot decompress data. Error", inflateError);
        } else if (!(bundle = DMSPBMeasurementBundle::initWithBuffer(*inflated))) {
            databaseMonitor().logWithLevel(1, 12051, "Unable to parse bundle from decompressed data");
        }
    }
    if (!rowID || !rowID->isNumber()) {
        return std::nullopt;
    }
    if (!bundle) {
        // Kept, it would be skipped by every read and, at the head of the queue, hold back every upload until
        // the age purge.
        if (sqliteStore_) {
            sqliteStore_->deleteRecords("queue", "rowid = ?", {*rowID}, nullptr);
        }
        return std::nullopt;
    }
    const plat::Value* retryCount = row.find("retry_count");
    if (retryCount && retryCount->isNumber() && retryCount->integerValue() > 0) {
        NANOSetInt32(bundle, DMSPBMeasurementBundle::kRetryCount,
                     static_cast<int32_t>(std::min<int64_t>(retryCount->integerValue(), kDatabaseRetryLimit)));
    }
    return DMSQueuedBundle{std::move(bundle), rowID->integerValue()};
}

std::optional<std::vector<DMSQueuedBundle>> DMSDatabase::queuedBundlesForQuery(std::string_view query,
                                                                                 const plat::Array& parameters,
                                                                                 int64_t sizeLimit,
                                                                                 plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(query, parameters, error);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<DMSQueuedBundle> bundles;
    int64_t total = 0;
    for (const DMSRecord& row : *rows) {
        auto queued = queuedBundleFromRow(row);
        if (!queued) {
            continue;
        }
        if (sizeLimit >= 0) {
            auto encoding = queued->bundle->protoBuffer();
            int64_t size = encoding ? static_cast<int64_t>(encoding->size()) : 0;
            if (!bundles.empty() && total + size > sizeLimit) {
                break;
            }
            total += size;
        }
        bundles.push_back(std::move(*queued));
        if (sizeLimit >= 0 && total > sizeLimit) {
            break;
        }
    }
    return bundles;
}

std::optional<std::vector<DMSQueuedBundle>> DMSDatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                     int64_t sizeLimit,
                                                                                     plat::Error* error) {
    return queuedBundlesForQuery("SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
                                 {plat::Value(countLimit)}, std::max<int64_t>(sizeLimit, 0), error);
}

std::optional<std::vector<DMSQueuedBundle>> DMSDatabase::queryBundlesWithRowIDs(const plat::Array& rowIDs,
                                                                                plat::Error* error) {
    auto condition = databaseRowIDCondition(rowIDs, error);
    if (!condition) {
        return std::nullopt;
    }
    return queuedBundlesForQuery("SELECT rowid, data, retry_count FROM queue WHERE " + *condition, rowIDs, -1, error);
}

bool DMSDatabase::deleteBundlesWithRowIDs(const plat::Array& rowIDs, plat::Error* error) {
    auto condition = databaseRowIDCondition(rowIDs, error);
    if (!condition ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_->deleteRecords("queue", *condition, rowIDs, error).has_value();
}

bool DMSDatabase::incrementRetryCounterForBundlesWithIDs(const plat::Array& rowIDs, plat::Error* error) {
    if (!DMSRequire(!rowIDs.empty(), error, 1, "Failed to increment retry counter")) {
        return false;
    }
    auto atLimit = databaseBoolForQuery(sqliteStore_.get(),
                                        "SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                                        {plat::Value(kDatabaseRetryLimit)}, error);
    if (!atLimit) {
        return false;
    }
    if (*atLimit) {
        databaseMonitor().logWithLevel(1, 12054,
                                       "The number of upload retries exceeds the limit. Will remain unchanged.");
    }
    auto condition = databaseRowIDCondition(rowIDs, error);
    if (!condition) {
        return false;
    }
    plat::Array parameters = rowIDs;
    parameters.push_back(plat::Value(kDatabaseRetryLimit));
    return sqliteStore_->increaseColumn("retry_count", 1, "queue", *condition + " AND retry_count < ?", parameters,
                                        error);
}

std::optional<bool> DMSDatabase::isQueuedBundleTableEmpty(plat::Error* error) {
    return databaseBoolForQuery(sqliteStore_.get(), "SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

std::optional<bool> DMSDatabase::containsRealtimeBundlesWithError(plat::Error* error) {
    return databaseBoolForQuery(sqliteStore_.get(), "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)",
                                {}, error);
}

std::optional<double> DMSDatabase::queryLatestBundleTime(plat::Error* error) {
    return databaseDoubleForQuery(sqliteStore_.get(), "SELECT MAX(bundle_end_timestamp) FROM queue", error);
}

std::optional<bool> DMSDatabase::maybeDeleteStaleData(plat::Error* error) {
    double now = plat::Clock::now();
    double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : lastDeleteStaleDataTimestamp_;
    DMSRemoteConfig& settings = DMSMeasurement::remoteConfig();
    if (std::fabs(now - last) <= settings.databaseDeleteStaleBundlesInterval()) {
        return false;
    }
    double maxAge = settings.maxQueueTime();
    if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) || !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
        return std::nullopt;
    }
    if (persistedConfig_) {
        persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
    } else {
        lastDeleteStaleDataTimestamp_ = now;
    }
    return true;
}

bool DMSDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, plat::Error* error) {
    if (!DMSRequire(maxAge >= 0, error, 1, "Cannot delete stale bundles after negative time period") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    return sqliteStore_
        ->deleteRecords("queue", "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                        {plat::Value(plat::Clock::now()), plat::Value(maxAge)}, error)
        .has_value();
}

// Event aggregates.

namespace {

std::optional<DMSEventAggregates> databaseEventAggregatesFromRow(const DMSRecord& row) {
    const plat::Value* name = row.find("name");
    const plat::Value* lifetime = row.find("lifetime_count");
    const plat::Value* current = row.find("current_bundle_count");
    const plat::Value* lastFire = row.find("last_fire_timestamp");
    if (!name || !name->isString() || !lifetime || !lifetime->isNumber() || !current || !current->isNumber() ||
        !lastFire || !lastFire->isNumber()) {
        return std::nullopt;
    }
    auto aggregates = DMSEventAggregates::initWithName(name->asString(), lifetime->intValue(), current->intValue(),
                                                       lastFire->doubleValue());
    if (!aggregates) {
        return std::nullopt;
    }
    auto number = [&row](const char* column) -> const plat::Value* {
        const plat::Value* value = row.find(column);
        return value && value->isNumber() ? value : nullptr;
    };
    const plat::Value* value = nullptr;
    aggregates->setLastBundledTimestamp((value = number("last_bundled_timestamp")) ? value->doubleValue() : 0);
    if ((value = number("last_sampled_complex_event_id"))) {
        aggregates->setLastSampledComplexEventID(value->integerValue());
    }
    aggregates->setLastSamplingRate((value = number("last_sampling_rate")) ? value->intValue() : 1);
    aggregates->setLastExemptFromSampling((value = number("last_exempt_from_sampling")) && value->boolValue());
    aggregates->setLastBundledDay((value = number("last_bundled_day")) ? value->intValue() : 0);
    return aggregates;
}

} // namespace

std::optional<std::vector<DMSEventAggregates>> DMSDatabase::allEventAggregates(plat::Error* error) {
    std::vector<DMSEventAggregates> all;
    bool read = allDataTypesFromTable("events", 1000, error, [&](const DMSRecord& row) {
        auto aggregates = databaseEventAggregatesFromRow(row);
        if (aggregates) {
            all.push_back(std::move(*aggregates));
        }
        return aggregates.has_value();
    });
    if (!read) {
        return std::nullopt;
    }
    return all;
}

std::optional<DMSEventAggregates> DMSDatabase::eventAggregatesWithName(std::string_view name, plat::Error* error) {
    std::optional<DMSEventAggregates> found;
    dataTypesFromTable("events", "name", plat::Value(std::string(name)), error, [&](const DMSRecord& row) {
        found = databaseEventAggregatesFromRow(row);
        return found.has_value();
    });
    return found;
}

bool DMSDatabase::updateEventAggregates(const DMSEventAggregates* aggregates, plat::Error* error) {
    auto row = [aggregates]() -> std::optional<DMSRecord> {
        if (!aggregates) {
            databaseMonitor().logWithLevel(
                4, 12019, "Received empty event aggregates object for getting dictionary representation");
            return std::nullopt;
        }
        if (aggregates->name().empty()) {
            databaseMonitor().logWithLevel(
                4, 12020, "Received event aggregates object with empty name for getting dictionary representation");
            return std::nullopt;
        }
        DMSRecord record{{"name", aggregates->name()},
                         {"lifetime_count", int64_t{aggregates->lifetimeCount()}},
                         {"current_bundle_count", int64_t{aggregates->currentBundleCount()}},
                         {"last_fire_timestamp", aggregates->lastFireTimestamp()},
                         {"last_bundled_timestamp", aggregates->lastBundledTimestamp()},
                         {"last_sampling_rate", int64_t{aggregates->lastSamplingRate()}},
                         {"last_exempt_from_sampling", int64_t{aggregates->lastExemptFromSampling() ? 1 : 0}},
                         {"last_bundled_day", int64_t{aggregates->lastBundledDay()}}};
        if (aggregates->lastSampledComplexEventID()) {
            record.set("last_sampled_complex_event_id", *aggregates->lastSampledComplexEventID());
        }
        return record;
    };
    if (!aggregates) {
        row();
    }
    return upsertDataType(aggregates != nullptr, "events", "name",
                          plat::Value(aggregates ? aggregates->name() : std::string()), 1000, error, row);
}

std::optional<int64_t> DMSDatabase::publicEventCount(plat::Error* error) {
    return databaseIntegerForQuery(sqliteStore_.get(), "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

// Audience filters and results.

namespace {

// Audience and filter IDs are 32-bit; anything else in the column is no ID.
std::optional<int32_t> databaseInt32Column(const DMSRecord& row, const char* column) {
    const plat::Value* value = row.find(column);
    if (!value || !value->isNumber()) {
        return std::nullopt;
    }
    int64_t number = value->integerValue();
    if (number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(number);
}

std::optional<plat::Data> databaseBytesColumn(const DMSRecord& row, const char* column) {
    const plat::Value* value = row.find(column);
    if (!value || !value->isData() || value->asData().empty()) {
        return std::nullopt;
    }
    return value->asData();
}

// What differs between the event and the property filters: their table, name column and texts.
struct DatabaseFilterKind {
    const char* table;
    const char* nameColumn;
    const char* emptyNameQuery;
    int64_t emptyRowCode;
    const char* emptyRow;
    const char* emptyUpdate;
    int64_t emptyNameCode;
    const char* emptyName;
    int64_t emptyDataCode;
    const char* emptyData;
    const char* emptyDelete;
};

const DatabaseFilterKind kDatabaseEventFilters{
    "event_filters",
    "event_name",
    "Received empty event name for getting event filters",
    12025,
    "Received empty dictionary for getting event filter",
    "Received empty event filters to update",
    12027,
    "Received event filter with empty event name for getting dictionary representation",
    12028,
    "Received event filter with empty data for getting dictionary representation",
    "Received empty event filters to delete"};

const DatabaseFilterKind kDatabasePropertyFilters{
    "property_filters",
    "property_name",
    "Received empty property name for getting property filters",
    12029,
    "Received empty dictionary for getting property filter",
    "Received empty property filters to update",
    12031,
    "Received property filter with empty property name for getting dictionary representation",
    12032,
    "Received property filter with empty data for getting dictionary representation",
    "Received empty property filters to delete"};

template <class Filter> const std::string& databaseFilterName(const Filter& filter) {
    if constexpr (std::is_same_v<Filter, DMSEventFilter>) {
        return filter.eventName();
    } else {
        return filter.propertyName();
    }
}

template <class Filter>
std::optional<std::vector<Filter>> databaseFiltersForName(DMSDatabase& database, const DatabaseFilterKind& kind,
                                                          std::string_view name, plat::Error* error) {
    if (!DMSRequire(!name.empty(), error, 1, kind.emptyNameQuery)) {
        return std::nullopt;
    }
    std::vector<Filter> filters;
    bool read = database.dataTypesFromTable(kind.table, kind.nameColumn, plat::Value(std::string(name)), error,
                                            [&](const DMSRecord& row) {
                                                if (row.empty()) {
                                                    databaseMonitor().logWithLevel(4, kind.emptyRowCode, kind.emptyRow);
                                                    return false;
                                                }
                                                auto audienceID = databaseInt32Column(row, "audience_id");
                                                auto filterID = databaseInt32Column(row, "filter_id");
                                                const plat::Value* filterName = row.find(kind.nameColumn);
                                                const plat::Value* data = row.find("data");
                                                if (!audienceID || !filterID || !filterName || !filterName->isString() ||
                                                    !data || !data->isData()) {
                                                    return false;
                                                }
                                                filters.emplace_back(*audienceID, *filterID, filterName->asString(),
                                                                     data->asData());
                                                return true;
                                            });
    if (!read) {
        return std::nullopt;
    }
    return filters;
}

template <class Filter>
bool databaseUpdateFilters(DMSSqliteStore* store, const DatabaseFilterKind& kind, const std::vector<Filter>& filters,
                           plat::Error* error) {
    if (!DMSRequire(!filters.empty(), error, 1, kind.emptyUpdate) ||
        !DMSRequire(store != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    for (const Filter& filter : filters) {
        const std::string& name = databaseFilterName(filter);
        if (name.empty()) {
            databaseMonitor().logWithLevel(4, kind.emptyNameCode, kind.emptyName);
        } else if (filter.data().empty()) {
            databaseMonitor().logWithLevel(4, kind.emptyDataCode, kind.emptyData);
        }
        if (!DMSRequire(!name.empty() && !filter.data().empty(), error, 2, "Failed to insert/update unknown data type")) {
            return false;
        }
        DMSRecord row{{"audience_id", int64_t{filter.audienceID()}},
                      {"filter_id", int64_t{filter.filterID()}},
                      {kind.nameColumn, name},
                      {"data", filter.data()}};
        if (!store->upsertRecord(row, kind.table, error)) {
            return false;
        }
    }
    return true;
}

template <class Filter>
bool databaseDeleteFilters(DMSSqliteStore* store, const DatabaseFilterKind& kind, const std::vector<Filter>& filters,
                           plat::Error* error) {
    if (!DMSRequire(!filters.empty(), error, 1, kind.emptyDelete) ||
        !DMSRequire(store != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    // The IDs are integers of ours, never text from outside, so they can stand in the statement.
    std::string condition;
    for (const Filter& filter : filters) {
        condition += (condition.empty() ? "" : " OR ") + std::string("(audience_id=") +
                     std::to_string(filter.audienceID()) + " AND filter_id=" + std::to_string(filter.filterID()) + ")";
    }
    return store->deleteRecords(kind.table, condition, {}, error).has_value();
}

std::optional<DMSFilterResult> databaseFilterResultFromRow(const DMSRecord& row) {
    if (row.empty()) {
        databaseMonitor().logWithLevel(4, 12033, "Received empty dictionary for getting filter result");
        return std::nullopt;
    }
    auto audienceID = databaseInt32Column(row, "audience_id");
    if (!audienceID) {
        return std::nullopt;
    }
    return DMSFilterResult(*audienceID, databaseBytesColumn(row, "current_results").value_or(plat::Data()),
                           databaseBytesColumn(row, "previous_results"));
}

} // namespace

std::optional<std::vector<int32_t>> DMSDatabase::allAudienceIDs(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<int32_t> audienceIDs;
    for (const DMSRecord& row : *rows) {
        auto audienceID = databaseInt32Column(row, "audience_id");
        if (!DMSRequire(audienceID.has_value(), error, 1, "Received nil audience ID for querying all audience IDs")) {
            return std::nullopt;
        }
        audienceIDs.push_back(*audienceID);
    }
    return audienceIDs;
}

std::optional<std::vector<DMSEventFilter>> DMSDatabase::eventFiltersForEventName(std::string_view eventName,
                                                                                 plat::Error* error) {
    return databaseFiltersForName<DMSEventFilter>(*this, kDatabaseEventFilters, eventName, error);
}

std::optional<std::vector<DMSPropertyFilter>> DMSDatabase::propertyFiltersForPropertyName(std::string_view propertyName,
                                                                                          plat::Error* error) {
    return databaseFiltersForName<DMSPropertyFilter>(*this, kDatabasePropertyFilters, propertyName, error);
}

bool DMSDatabase::updateEventFilters(const std::vector<DMSEventFilter>& filters, plat::Error* error) {
    return databaseUpdateFilters(sqliteStore_.get(), kDatabaseEventFilters, filters, error);
}

bool DMSDatabase::updatePropertyFilters(const std::vector<DMSPropertyFilter>& filters, plat::Error* error) {
    return databaseUpdateFilters(sqliteStore_.get(), kDatabasePropertyFilters, filters, error);
}

bool DMSDatabase::deleteEventFilters(const std::vector<DMSEventFilter>& filters, plat::Error* error) {
    return databaseDeleteFilters(sqliteStore_.get(), kDatabaseEventFilters, filters, error);
}

bool DMSDatabase::deletePropertyFilters(const std::vector<DMSPropertyFilter>& filters, plat::Error* error) {
    return databaseDeleteFilters(sqliteStore_.get(), kDatabasePropertyFilters, filters, error);
}

bool DMSDatabase::deleteAllEventFilters(plat::Error* error) {
    return DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete all records failed. Database not open.") &&
           sqliteStore_->deleteAllRecords("event_filters", error);
}

bool DMSDatabase::deleteAllPropertyFilters(plat::Error* error) {
    return DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete all records failed. Database not open.") &&
           sqliteStore_->deleteAllRecords("property_filters", error);
}

std::optional<std::map<int32_t, DMSFilterResult>> DMSDatabase::allFilterResults(plat::Error* error) {
    std::map<int32_t, DMSFilterResult> results;
    bool read = allDataTypesFromTable("audience_filter_values", -1, error, [&](const DMSRecord& row) {
        auto result = databaseFilterResultFromRow(row);
        if (result) {
            results.insert_or_assign(result->audienceID(), std::move(*result));
        }
        return result.has_value();
    });
    if (!read) {
        return std::nullopt;
    }
    return results;
}

std::optional<DMSFilterResult> DMSDatabase::filterResultForAudienceID(int32_t audienceID, plat::Error* error) {
    std::optional<DMSFilterResult> found;
    dataTypesFromTable("audience_filter_values", "audience_id", plat::Value(int64_t{audienceID}), error,
                       [&](const DMSRecord& row) {
                           found = databaseFilterResultFromRow(row);
                           return found.has_value();
                       });
    return found;
}

bool DMSDatabase::updateFilterResults(const std::vector<DMSFilterResult>& results, plat::Error* error) {
    if (!DMSRequire(!results.empty(), error, 1, "Received empty filter results to update") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    for (const DMSFilterResult& result : results) {
        if (result.currentResults().empty()) {
            databaseMonitor().logWithLevel(4, 12035,
                                           "Received filter result with empty data for getting dictionary representation");
            DMSSetError(error, 2, "Failed to insert/update unknown data type");
            return false;
        }
        const auto& previous = result.previousResults();
        DMSRecord row{{"audience_id", int64_t{result.audienceID()}},
                      {"current_results", result.currentResults()},
                      {"previous_results", previous && !previous->empty() ? plat::Value(*previous) : plat::Value()}};
        if (!sqliteStore_->upsertRecord(row, "audience_filter_values", error)) {
            return false;
        }
    }
    return true;
}

bool DMSDatabase::deleteFilterResults(const std::vector<DMSFilterResult>& results, plat::Error* error) {
    if (!DMSRequire(!results.empty(), error, 1, "Received empty filter results to delete") ||
        !DMSRequire(sqliteStore_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return false;
    }
    std::set<int32_t> audienceIDs;
    std::string list;
    for (const DMSFilterResult& result : results) {
        if (audienceIDs.insert(result.audienceID()).second) {
            list += (list.empty() ? "" : ",") + std::to_string(result.audienceID());
        }
    }
    return sqliteStore_->deleteRecords("audience_filter_values", "audience_id IN (" + list + ")", {}, error)
        .has_value();
}

// The stored configuration.

DMSMeasurementConfigFields DMSMeasurementConfigFieldsFromMessage(NANOMessageRef config) {
    DMSMeasurementConfigFields fields;
    if (!config.get()) {
        return fields;
    }
    if (NANOHasField(config, DMSPBMeasurementConfig::kVersion)) {
        fields.version = NANOGetInt64(config, DMSPBMeasurementConfig::kVersion);
    }
    fields.appID = NANOGetString(config, DMSPBMeasurementConfig::kAppID);
    fields.adnetAppID = NANOGetString(config, DMSPBMeasurementConfig::kAdnetAppID);
    auto settings = NANOGetArray(config, DMSPBMeasurementConfig::kSettings, &DMSPBSetting::messageClass());
    if (settings && !settings->empty()) {
        fields.settings.emplace();
        for (const plat::Value& element : *settings) {
            if (auto* setting = dynamic_cast<DMSPBSetting*>(element.ifObject())) {
                fields.settings->push_back(DMSConfigSetting{NANOGetString(setting, DMSPBSetting::kName).value_or(""),
                                                            NANOGetString(setting, DMSPBSetting::kValue)});
            }
        }
    }
    auto eventConfigs = NANOGetArray(config, DMSPBMeasurementConfig::kEventConfig, &DMSPBEventConfig::messageClass());
    for (const plat::Value& element : eventConfigs.value_or(plat::Array())) {
        auto* eventConfig = dynamic_cast<DMSPBEventConfig*>(element.ifObject());
        if (!eventConfig) {
            continue;
        }
        DMSEventConfigFields out;
        out.name = NANOGetString(eventConfig, DMSPBEventConfig::kName).value_or("");
        if (NANOHasField(eventConfig, DMSPBEventConfig::kBlacklisted)) {
            out.blacklisted = NANOGetBool(eventConfig, DMSPBEventConfig::kBlacklisted);
        }
        if (NANOHasField(eventConfig, DMSPBEventConfig::kCustomConversion)) {
            out.customConversion = NANOGetBool(eventConfig, DMSPBEventConfig::kCustomConversion);
        }
        if (NANOHasField(eventConfig, DMSPBEventConfig::kSamplingRate)) {
            out.samplingRate = NANOGetInt32(eventConfig, DMSPBEventConfig::kSamplingRate);
        }
        fields.eventConfigs.push_back(std::move(out));
    }
    return fields;
}

std::shared_ptr<DMSPBMeasurementConfig> DMSPBMeasurementConfigFromFields(const DMSMeasurementConfigFields& fields) {
    auto config = DMSPBMeasurementConfig::init();
    if (fields.version) {
        NANOSetInt64(config, DMSPBMeasurementConfig::kVersion, *fields.version);
    }
    if (fields.appID) {
        NANOSetString(config, DMSPBMeasurementConfig::kAppID, plat::Value(*fields.appID));
    }
    if (fields.adnetAppID) {
        NANOSetString(config, DMSPBMeasurementConfig::kAdnetAppID, plat::Value(*fields.adnetAppID));
    }
    if (fields.settings && !fields.settings->empty()) {
        plat::Array settings;
        for (const DMSConfigSetting& setting : *fields.settings) {
            auto message = DMSPBSetting::init();
            NANOSetString(message, DMSPBSetting::kName, plat::Value(setting.name));
            if (setting.value) {
                NANOSetString(message, DMSPBSetting::kValue, plat::Value(*setting.value));
            }
            settings.push_back(plat::Value(plat::rt::ObjectPtr(message)));
        }
        NANOSetArray(config, DMSPBMeasurementConfig::kSettings, settings);
    }
    if (!fields.eventConfigs.empty()) {
        plat::Array eventConfigs;
        for (const DMSEventConfigFields& eventConfig : fields.eventConfigs) {
            auto message = DMSPBEventConfig::init();
            NANOSetString(message, DMSPBEventConfig::kName, plat::Value(eventConfig.name));
            if (eventConfig.blacklisted) {
                NANOSetBool(message, DMSPBEventConfig::kBlacklisted, *eventConfig.blacklisted);
            }
            if (eventConfig.customConversion) {
                NANOSetBool(message, DMSPBEventConfig::kCustomConversion, *eventConfig.customConversion);
            }
            if (eventConfig.samplingRate) {
                NANOSetInt32(message, DMSPBEventConfig::kSamplingRate, static_cast<int32_t>(*eventConfig.samplingRate));
            }
            eventConfigs.push_back(plat::Value(plat::rt::ObjectPtr(message)));
        }
        NANOSetArray(config, DMSPBMeasurementConfig::kEventConfig, eventConfigs);
    }
    return config;
}

bool DMSDatabase::updateRemoteConfig(NANOMessageRef config, plat::Error* error) {
    auto encoding = databaseEncoding(config);
    if (!DMSRequire(encoding.has_value(), error, 1, "Invalid measurement config data")) {
        return false;
    }
    auto appID = NANOGetString(config, DMSPBMeasurementConfig::kAppID);
    if (!DMSRequire(appID && !appID->empty(), error, 1, "Missing Razoza app ID in measurement configuration")) {
        return false;
    }
    return updateDataType(true, "app_metadata", "rowid", plat::Value("1"), error, [&] {
        return std::optional<DMSRecord>(
            DMSRecord{{"remote_config_data", *encoding}, {"remote_config_timestamp", plat::Clock::now()}});
    });
}

bool DMSDatabase::updateRemoteConfig(const DMSMeasurementConfigFields& config, plat::Error* error) {
    return updateRemoteConfig(DMSPBMeasurementConfigFromFields(config), error);
}

bool DMSDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, plat::Error* error) {
    return updateDataType(true, "app_metadata", "rowid", plat::Value("1"), error, [&] {
        return std::optional<DMSRecord>(DMSRecord{{"remote_config_timestamp", timestamp}});
    });
}

std::shared_ptr<DMSPBMeasurementConfig> DMSDatabase::queryMeasurementConfigWithError(plat::Error* error) {
    if (!DMSRequire(sqliteStore_ != nullptr, error, 2, "Query records failed. Database not open.")) {
        return nullptr;
    }
    auto rows = sqliteStore_->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
    if (!rows || rows->empty()) {
        return nullptr;
    }
    auto data = databaseBytesColumn((*rows)[0], "remote_config_data");
    if (!data) {
        return nullptr;
    }
    auto config = DMSPBMeasurementConfig::initWithBuffer(*data);
    DMSRequire(config != nullptr, error, 2, "Remote config data is corrupted");
    return config;
}

std::optional<DMSMeasurementConfigFields> DMSDatabase::queryMeasurementConfig(plat::Error* error) {
    auto config = queryMeasurementConfigWithError(error);
    if (!config) {
        return std::nullopt;
    }
    return DMSMeasurementConfigFieldsFromMessage(config);
}

std::optional<double> DMSDatabase::lastRemoteConfigUpdateTimestamp(plat::Error* error) {
    return databaseDoubleForQuery(sqliteStore_.get(), "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", error);
}
