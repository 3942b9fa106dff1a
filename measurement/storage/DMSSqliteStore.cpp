#include "measurement/storage/DMSSqliteStore.hpp"

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/messages/DMSError.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "platform/foundation/FileManager.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <set>

namespace {

DMSMonitor& storeMonitor() {
    return DMSMeasurement::monitor();
}

bool sqliteStoreContainsNoCase(std::string_view text, std::string_view word) {
    auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

std::string sqliteStoreUpper(std::string text) {
    for (auto& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string sqliteStoreFirstWord(const std::string& definition) {
    auto blank = definition.find(' ');
    return blank == std::string::npos ? definition : definition.substr(0, blank);
}

const char* const kSqliteStoreCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// Shared by every store, so that a generation handed out once never means another state later.
uint64_t sqliteStoreNextGeneration() {
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}

} // namespace

DMSSqliteStore::DMSSqliteStore(std::string path) : databasePath_(std::move(path)) {
    noteAllTablesChanged();
}

uint64_t DMSSqliteStore::changeGenerationOfTable(std::string_view table) const {
    auto found = tableGenerations_.find(table);
    return found == tableGenerations_.end() ? allTablesGeneration_ : std::max(allTablesGeneration_, found->second);
}

void DMSSqliteStore::noteTableChanged(std::string_view table) {
    const uint64_t generation = sqliteStoreNextGeneration();
    if (auto found = tableGenerations_.find(table); found != tableGenerations_.end()) {
        found->second = generation;
    } else {
        tableGenerations_.emplace(std::string(table), generation);
    }
}

void DMSSqliteStore::noteAllTablesChanged() {
    allTablesGeneration_ = sqliteStoreNextGeneration();
}

DMSSqliteStore::~DMSSqliteStore() {
    closeDatabase();
}

std::unique_ptr<DMSSqliteStore> DMSSqliteStore::initWithDatabasePath(std::string_view path) {
    if (path.empty()) {
        storeMonitor().logWithLevel(4, 34000, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<DMSSqliteStore> store(new DMSSqliteStore(std::string(path)));
    plat::Error openError;
    if (store->openAndValidateDatabase(&openError)) {
        return store;
    }
    if (!store->closeAndDeleteDatabase()) {
        storeMonitor().logWithLevel(1, 34001, "Failed to delete existing database file. Error", openError);
        return nullptr;
    }
    plat::Error secondError;
    if (!store->openAndValidateDatabase(&secondError)) {
        storeMonitor().logWithLevel(1, 34002, "Failed to recreate database file. Error", secondError);
        return nullptr;
    }
    return store;
}

bool DMSSqliteStore::openAndValidateDatabase(plat::Error* error) {
    auto& files = plat::FileManager::defaultManager();
    if (files.fileExists(databasePath_)) {
        auto attributes = files.attributesOfItem(databasePath_);
        if (!attributes) {
            if (error) {
                *error = attributes.error();
            }
            return false;
        }
        const plat::Value* immutable = attributes.value().find(plat::NSFileImmutable);
        if (immutable && immutable->boolValue()) {
            auto unlocked = files.setImmutable(databasePath_, false);
            if (!unlocked) {
                if (error) {
                    *error = unlocked.error();
                }
                return false;
            }
        }
    } else {
        auto slash = databasePath_.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            auto created = files.createDirectory(std::string_view(databasePath_).substr(0, slash), true);
            if (!created) {
                if (error) {
                    *error = created.error();
                }
                return false;
            }
        }
    }
    if (sqlite3_open_v2(databasePath_.c_str(), &handle_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        setDatabaseError(error, "initialize sqlite handle");
        closeDatabase();
        return false;
    }
    noteAllTablesChanged();
    // Every row change of the connection, by table; a rollback may undo any of them. Emptying a table
    // without a condition is not reported by SQLite and is noted by deleteAllRecords.
    sqlite3_update_hook(
        handle_,
        [](void* store, int, const char*, const char* table, sqlite3_int64) {
            static_cast<DMSSqliteStore*>(store)->noteTableChanged(table ? std::string_view(table) : std::string_view());
        },
        this);
    sqlite3_rollback_hook(handle_, [](void* store) { static_cast<DMSSqliteStore*>(store)->noteAllTablesChanged(); },
                          this);
    plat::Error backupError;
    if (!DMSExcludePathFromBackup(databasePath_, &backupError)) {
        storeMonitor().logWithLevel(4, 34017, "Failed to exclude database file from backup", backupError);
    }
    if (!validateDatabase(error)) {
        closeDatabase();
        return false;
    }
    return true;
}

bool DMSSqliteStore::validateDatabase(plat::Error* error) {
    if (!handle_) {
        DMSSetError(error, 2, "Validate database failed. Database not open.");
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    bool passed = false;
    if (sqlite3_prepare_v2(handle_, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        passed = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok";
    }
    sqlite3_finalize(statement);
    if (!passed) {
        setDatabaseError(error, "validate database");
    }
    return passed;
}

void DMSSqliteStore::finalizeAndClearStatements() {
    for (auto& [query, statement] : statementCache_) {
        sqlite3_finalize(statement);
    }
    statementCache_.clear();
}

void DMSSqliteStore::closeDatabase() {
    if (!handle_) {
        return;
    }
    finalizeAndClearStatements();
    noteAllTablesChanged();
    sqlite3_update_hook(handle_, nullptr, nullptr);
    sqlite3_rollback_hook(handle_, nullptr, nullptr);
    int result = sqlite3_close(handle_);
    if (result != SQLITE_OK) {
        storeMonitor().logWithLevel(4, 34018, "Failed to close database. Got error code", plat::Value(result));
        // Statements still held elsewhere would keep the connection alive: let SQLite close it once they go.
        sqlite3_close_v2(handle_);
    }
    handle_ = nullptr;
}

bool DMSSqliteStore::closeAndDeleteDatabase() {
    closeDatabase();
    auto& files = plat::FileManager::defaultManager();
    if (files.fileExists(databasePath_)) {
        (void)files.setImmutable(databasePath_, false);
        auto removed = files.removeItem(databasePath_);
        if (!removed) {
            storeMonitor().logWithLevel(4, 34019, "Failed to delete database", removed.error());
            return false;
        }
    }
    // A journal left beside a new file would be rolled back into it.
    for (const char* suffix : kSqliteStoreCompanionSuffixes) {
        std::string companion = databasePath_ + suffix;
        if (files.fileExists(companion)) {
            auto removed = files.removeItem(companion);
            if (!removed) {
                storeMonitor().logWithLevel(4, 34019, "Failed to delete database", removed.error());
                return false;
            }
        }
    }
    return true;
}

// Schema.

bool DMSSqliteStore::ensureTable(std::string_view table, const DMSColumnInfo& elementary,
                                 const DMSColumnInfo& addOn, const DMSModifyColumnInfo& modify,
                                 plat::Error* error) {
    if (!ensureTable(table, elementary, addOn, error)) {
        return false;
    }
    if (modify.empty()) {
        return true;
    }
    auto modified = [&modify](const DMSColumnInfo& columns) {
        DMSColumnInfo result;
        for (const auto& [name, definition] : columns) {
            if (name == kDMSPrimaryKeyColumn) {
                continue;
            }
            auto it = modify.find(name);
            result.emplace_back(name, it == modify.end() ? definition : it->second);
        }
        return result;
    };
    return ensureSchemaOfTable(table, modified(elementary), modified(addOn), error);
}

bool DMSSqliteStore::ensureTable(std::string_view table, const DMSColumnInfo& elementary,
                                 const DMSColumnInfo& addOn, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for ensure table") ||
        !DMSRequire(!elementary.empty(), error, 1, "Received empty elementary column info for ensure table")) {
        return false;
    }
    std::string create = "CREATE TABLE IF NOT EXISTS " + std::string(table) + " ( ";
    std::vector<std::string> required;
    for (const auto& [name, definition] : elementary) {
        create += name + " " + definition + ", ";
        if (name != kDMSPrimaryKeyColumn) {
            required.push_back(name);
        }
    }
    create.replace(create.size() - 2, 2, ");");
    DMSAddOnColumns addOnColumns;
    for (const auto& [name, definition] : addOn) {
        if (!name.empty()) {
            addOnColumns.emplace_back(name,
                                      "ALTER TABLE " + std::string(table) + " ADD COLUMN " + name + " " + definition);
        }
    }
    return ensureTable(table, create, required, addOnColumns, error);
}

bool DMSSqliteStore::ensureTable(std::string_view table, std::string_view createSQL,
                                 const std::vector<std::string>& requiredColumnNames,
                                 const DMSAddOnColumns& addOnColumns, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for ensure table") ||
        !DMSRequire(!requiredColumnNames.empty(), error, 1, "Received no table columns for ensure table") ||
        !DMSRequire(!createSQL.empty(), error, 1, "Received empty create statement for ensure table") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Ensure table failed. Database not open.")) {
        return false;
    }
    auto exists = tableExists(table, error);
    if (!exists) {
        return false;
    }
    if (!*exists && !executeSQL(createSQL, error)) {
        return false;
    }
    auto valid = validateTable(table, requiredColumnNames, addOnColumns, error);
    return valid.value_or(false);
}

std::optional<bool> DMSSqliteStore::validateTable(std::string_view table,
                                                  const std::vector<std::string>& requiredColumnNames,
                                                  const DMSAddOnColumns& addOnColumns, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for validate table") ||
        !DMSRequire(!requiredColumnNames.empty(), error, 1, "Received no table columns for validate table") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Validate table failed. Database not open.")) {
        return std::nullopt;
    }
    auto columns = columnsForTable(table, error);
    if (!columns) {
        return std::nullopt;
    }
    // A table without columns is no table: say so, so the caller never mistakes it for success.
    if (columns->empty()) {
        DMSSetError(error, 2, "Table does not exist for validate table");
        return std::nullopt;
    }
    std::set<std::string> remaining(columns->begin(), columns->end());
    for (const auto& name : requiredColumnNames) {
        if (!remaining.contains(name)) {
            DMSSetError(error, 2, "Table is missing required columns");
            return false;
        }
    }
    for (const auto& name : requiredColumnNames) {
        remaining.erase(name);
    }
    for (const auto& [name, alter] : addOnColumns) {
        if (remaining.erase(name) == 0 && !executeSQL(alter, error)) {
            return false;
        }
    }
    if (!remaining.empty()) {
        sqlite3_stmt* statement = prepareSQL("PRAGMA table_info(" + std::string(table) + ")", error);
        if (!statement) {
            return false;
        }
        bool unknownRequired = false;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* name = sqlite3_column_text(statement, 1);
            if (name && remaining.contains(reinterpret_cast<const char*>(name)) &&
                sqlite3_column_int(statement, 3) != 0) {
                unknownRequired = true;
                break;
            }
        }
        sqlite3_finalize(statement);
        if (unknownRequired) {
            DMSSetError(error, 2, "Table contains unknown non-optional columns");
            return false;
        }
    }
    return true;
}

bool DMSSqliteStore::ensureSchemaOfTable(std::string_view table, const DMSColumnInfo& elementary,
                                         const DMSColumnInfo& addOn, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for ensure table schema") ||
        !DMSRequire(!elementary.empty(), error, 1, "Received empty column info for ensure table schema")) {
        return false;
    }
    auto current = columnInfoForTable(table, error);
    if (!current) {
        return false;
    }
    if (current->empty()) {
        DMSSetError(error, 2, "Table does not exist for ensure table schema");
        return false;
    }
    std::map<std::string, std::string> expected;
    for (const auto& [name, definition] : elementary) {
        if (name != kDMSPrimaryKeyColumn && !name.empty() && !definition.empty()) {
            expected[name] = sqliteStoreFirstWord(definition);
        }
    }
    for (const auto& [name, definition] : addOn) {
        if (!name.empty() && !definition.empty()) {
            expected[name] = definition;
        }
    }
    if (*current == expected) {
        return true;
    }
    std::string name(table);
    std::string old = name + "_old";
    plat::Error stepError;
    bool rebuilt = performTransaction([&] {
        return renameTable(name, old, &stepError) && ensureTable(name, elementary, addOn, &stepError) &&
               copyContents(old, name, &stepError) && dropTable(old, &stepError);
    });
    if (!rebuilt && error) {
        *error = stepError;
    }
    return rebuilt;
}

bool DMSSqliteStore::dropTable(std::string_view table, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for drop table")) {
        return false;
    }
    return executeSQL("DROP TABLE " + std::string(table), error);
}

bool DMSSqliteStore::renameTable(std::string_view oldName, std::string_view newName, plat::Error* error) {
    if (!DMSRequire(!oldName.empty(), error, 1, "Received empty old name for rename table") ||
        !DMSRequire(!newName.empty(), error, 1, "Received empty new name for rename table") ||
        !DMSRequire(oldName != newName, error, 1, "Received duplicate name for rename table")) {
        return false;
    }
    return executeSQL("ALTER TABLE " + std::string(oldName) + " RENAME TO " + std::string(newName), error);
}

bool DMSSqliteStore::copyContents(std::string_view source, std::string_view destination, plat::Error* error) {
    if (!DMSRequire(!source.empty(), error, 1, "Received empty source name for copy table") ||
        !DMSRequire(!destination.empty(), error, 1, "Received empty destination name for copy table") ||
        !DMSRequire(source != destination, error, 1, "Received duplicate name for copy table")) {
        return false;
    }
    auto from = columnsForTable(source, error);
    auto to = from ? columnsForTable(destination, error) : std::nullopt;
    if (!to) {
        return false;
    }
    // By name, not by position: a column the old table has and the new one lacks is left behind.
    std::string list;
    for (const auto& column : *to) {
        if (std::find(from->begin(), from->end(), column) != from->end()) {
            list += (list.empty() ? "" : ", ") + column;
        }
    }
    if (list.empty()) {
        return true;
    }
    return executeSQL("INSERT INTO " + std::string(destination) + " (" + list + ") SELECT " + list + " FROM " +
                          std::string(source),
                      error);
}

std::optional<bool> DMSSqliteStore::tableExists(std::string_view table, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for table exists") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Table exists failed. Database not open.")) {
        return std::nullopt;
    }
    static constexpr std::string_view kQuery = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
    sqlite3_stmt* statement = prepareSQL(kQuery, error);
    if (!statement) {
        return std::nullopt;
    }
    plat::Array parameters{plat::Value(std::string(table))};
    if (!bindValues(parameters, statement, error)) {
        sqlite3_finalize(statement);
        return std::nullopt;
    }
    bool found = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_finalize(statement);
    return found;
}

std::optional<std::vector<std::string>> DMSSqliteStore::columnsForTable(std::string_view table,
                                                                        plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for get columns") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Get table columns failed. Database not open.")) {
        return std::nullopt;
    }
    std::string query = "PRAGMA table_info(" + std::string(table) + ")";
    auto rows = collectRows(prepareSQL(query, error), query, "get table columns", error, nullptr);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const auto& row : *rows) {
        const plat::Value* name = row.find("name");
        if (name && name->isString() && !name->asString().empty()) {
            names.push_back(name->asString());
        }
    }
    return names;
}

std::optional<std::map<std::string, std::string>> DMSSqliteStore::columnInfoForTable(std::string_view table,
                                                                                   plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for column info") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Get table column info failed. Database not open.")) {
        return std::nullopt;
    }
    std::string query = "PRAGMA table_info(" + std::string(table) + ")";
    auto rows = collectRows(prepareSQL(query, error), query, "get table column info", error, nullptr);
    if (!rows) {
        return std::nullopt;
    }
    std::map<std::string, std::string> info;
    for (const auto& row : *rows) {
        const plat::Value* name = row.find("name");
        const plat::Value* type = row.find("type");
        if (name && type && name->isString() && type->isString() && !name->asString().empty() &&
            !type->asString().empty()) {
            info[name->asString()] = type->asString();
        }
    }
    return info;
}

std::optional<int64_t> DMSSqliteStore::rowCount(std::string_view table, plat::Error* error) {
    return rowCount(table, {}, std::nullopt, error);
}

std::optional<int64_t> DMSSqliteStore::rowCount(std::string_view table, std::string_view column,
                                                const std::optional<plat::Value>& value, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for row count") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Row count failed. Database not open.")) {
        return std::nullopt;
    }
    std::string query = "SELECT count(1) FROM " + std::string(table);
    plat::Array parameters;
    if (!column.empty() && value) {
        query += " WHERE " + std::string(column) + "=?";
        parameters.push_back(*value);
    }
    auto number = numberForQuery(query, parameters, error);
    if (!number) {
        return std::nullopt;
    }
    return number->integerValue();
}

// Records.

namespace {

bool sqliteStoreBindable(const plat::Value& value) {
    switch (value.kind()) {
    case plat::Value::Kind::Null:
    case plat::Value::Kind::Bool:
    case plat::Value::Kind::Int:
    case plat::Value::Kind::UInt:
    case plat::Value::Kind::Double:
    case plat::Value::Kind::String:
    case plat::Value::Kind::Data:
        return true;
    default:
        return false;
    }
}

} // namespace

bool DMSSqliteStore::upsertRecord(const DMSRecord& record, std::string_view table, plat::Error* error) {
    if (!DMSRequire(!record.empty(), error, 1, "Received empty record for upsert") ||
        !DMSRequire(!table.empty(), error, 1, "Received empty table name for upsert") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Upsert record failed. Database not open.")) {
        return false;
    }
    std::string columns;
    std::string marks;
    plat::Array values;
    for (const auto& [name, value] : record) {
        if (!sqliteStoreBindable(value)) {
            storeMonitor().logWithLevel(4, 34020, "Record has value of unexpected type");
            return false;
        }
        columns += name + ", ";
        marks += "?, ";
        values.push_back(value);
    }
    columns.resize(columns.size() - 2);
    marks.resize(marks.size() - 2);
    // The text depends only on the table and the column list, so the statement is cached like a query's.
    std::string sql = "INSERT OR REPLACE INTO " + std::string(table) + " (" + columns + ") VALUES (" + marks + ");";
    sqlite3_stmt* statement = statementForQuery(sql, values, error);
    if (!statement) {
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        setDatabaseError(error, "execute statement");
    }
    cleanUpStatement(statement, sql);
    return done;
}

bool DMSSqliteStore::updateRecord(const DMSRecord& record, std::string_view table, std::string_view column,
                                  const std::optional<plat::Value>& value, plat::Error* error) {
    if (!DMSRequire(!record.empty(), error, 1, "Empty record for update") ||
        !DMSRequire(!table.empty(), error, 1, "Empty table name for update") ||
        !DMSRequire(!column.empty(), error, 1, "Empty column name for update") ||
        !DMSRequire(value.has_value(), error, 1, "Nil column value for update") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Update record failed. Database not open.")) {
        return false;
    }
    std::string sets;
    plat::Array values;
    for (const auto& [name, item] : record) {
        if (!sqliteStoreBindable(item)) {
            storeMonitor().logWithLevel(4, 34021, "Record has value of unexpected type (update)");
            DMSSetError(error, 1, "Failed to bind parameter of unexpected type to update statement");
            return false;
        }
        sets += name + "=?,";
        values.push_back(item);
    }
    sets.pop_back();
    values.push_back(*value);
    sqlite3_stmt* statement =
        prepareSQL("UPDATE " + std::string(table) + " SET " + sets + " WHERE " + std::string(column) + "=?", error);
    if (!statement) {
        return false;
    }
    if (!bindValues(values, statement, error)) {
        sqlite3_finalize(statement);
        return false;
    }
    return executeSQLStatement(statement, error);
}

bool DMSSqliteStore::increaseColumn(std::string_view column, int64_t amount, std::string_view table,
                                    std::string_view condition, const plat::Array& parameters,
                                    plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Empty table name for increase column") ||
        !DMSRequire(!column.empty(), error, 1, "Empty column name for increase column") ||
        !DMSRequire(!condition.empty(), error, 1, "Empty condition for increase column") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Increase column failed. Database not open.")) {
        return false;
    }
    auto info = columnInfoForTable(table, error);
    if (!info) {
        return false;
    }
    auto it = info->find(std::string(column));
    if (!DMSRequire(it != info->end(), error, 1, "Invalid column or table name") ||
        !DMSRequire(sqliteStoreUpper(it->second) == "INTEGER", error, 1, "Column type is not integer.")) {
        return false;
    }
    std::string c(column);
    std::string query = "UPDATE " + std::string(table) + " SET " + c + " = " + c + " + " + std::to_string(amount) +
                        " WHERE " + std::string(condition);
    sqlite3_stmt* statement = statementForQuery(query, parameters, error);
    if (!statement) {
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        setDatabaseError(error, "increase records value");
    }
    cleanUpStatement(statement, query);
    return done;
}

bool DMSSqliteStore::deleteRecord(std::string_view table, std::string_view column,
                                  const std::optional<plat::Value>& value, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for delete record") ||
        !DMSRequire(!column.empty(), error, 1, "Received empty column for delete record") ||
        !DMSRequire(value.has_value(), error, 1, "Received nil value for delete record") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Delete record failed. Database not open.")) {
        return false;
    }
    sqlite3_stmt* statement =
        prepareSQL("DELETE FROM " + std::string(table) + " WHERE " + std::string(column) + "=?", error);
    if (!statement) {
        return false;
    }
    plat::Array parameters{*value};
    if (!bindValues(parameters, statement, error)) {
        sqlite3_finalize(statement);
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        setDatabaseError(error, "delete record");
    }
    sqlite3_finalize(statement);
    return done;
}

std::optional<int64_t> DMSSqliteStore::deleteRecords(std::string_view table, std::string_view condition,
                                                     const plat::Array& parameters, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for delete record") ||
        !DMSRequire(!condition.empty(), error, 1, "Received empty condition for delete record") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Delete records with condition failed. Database not open.")) {
        return std::nullopt;
    }
    std::string query = "DELETE FROM " + std::string(table) + " WHERE " + std::string(condition);
    sqlite3_stmt* statement = statementForQuery(query, parameters, error);
    if (!statement) {
        return std::nullopt;
    }
    std::optional<int64_t> deleted;
    if (sqlite3_step(statement) == SQLITE_DONE) {
        deleted = sqlite3_changes(handle_);
    } else {
        setDatabaseError(error, "delete records with condition");
    }
    cleanUpStatement(statement, query);
    return deleted;
}

bool DMSSqliteStore::deleteAllRecords(std::string_view table, plat::Error* error) {
    if (!DMSRequire(!table.empty(), error, 1, "Received empty table name for delete all records") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Delete all records failed. Database not open.")) {
        return false;
    }
    std::string query = "DELETE FROM " + std::string(table);
    sqlite3_stmt* statement = statementForQuery(query, {}, error);
    if (!statement) {
        return false;
    }
    noteTableChanged(table);
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        setDatabaseError(error, "delete all records");
    }
    cleanUpStatement(statement, query);
    return done;
}

// Queries.

std::optional<DMSRecords> DMSSqliteStore::recordsForQuery(std::string_view query, const plat::Array& parameters,
                                                          plat::Error* error) {
    return recordsForQuery(query, parameters, error, [](uint32_t, const DMSRecord&) { return true; });
}

std::optional<DMSRecords> DMSSqliteStore::recordsForQuery(std::string_view query, const plat::Array& parameters,
                                                          plat::Error* error, const DMSRecordFilter& filter) {
    if (!DMSRequire(!query.empty(), error, 1, "Received empty query for records for query") ||
        !DMSRequire(static_cast<bool>(filter), error, 1, "Received empty filter for selecting records") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Query records failed. Database not open.") ||
        !DMSRequire(query.size() >= 6 && sqliteStoreUpper(std::string(query.substr(0, 6))) == "SELECT", error, 1,
                    "Received invalid select query")) {
        return std::nullopt;
    }
    sqlite3_stmt* statement = statementForQuery(query, parameters, error);
    if (!statement) {
        return std::nullopt;
    }
    return collectRows(statement, query, "query records", error, filter);
}

std::optional<DMSRecords> DMSSqliteStore::collectRows(sqlite3_stmt* statement, std::string_view query,
                                                      std::string_view operation, plat::Error* error,
                                                      const DMSRecordFilter& filter) {
    if (!statement) {
        return std::nullopt;
    }
    DMSRecords records;
    uint32_t index = 0;
    int step = SQLITE_ROW;
    bool stopped = false;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        DMSRecord record;
        int count = sqlite3_column_count(statement);
        for (int column = 0; column < count; ++column) {
            const char* name = sqlite3_column_name(statement, column);
            if (!name) {
                storeMonitor().logWithLevel(4, 34003, "Failed to get column name");
                continue;
            }
            auto value = valueAtColumn(column, statement);
            if (!value) {
                storeMonitor().logWithLevel(4, 34004, "Value is nil for column", plat::Value(name));
                continue;
            }
            record.set(name, std::move(*value));
        }
        bool keep = !filter || filter(index, record);
        ++index;
        if (!keep) {
            stopped = true;
            break;
        }
        records.push_back(std::move(record));
    }
    // A damaged page must not read as a short result.
    if (!stopped && step != SQLITE_DONE) {
        setDatabaseError(error, operation);
        cleanUpStatement(statement, query);
        return std::nullopt;
    }
    if (index > 0 && records.empty()) {
        storeMonitor().logWithLevel(4, 34005, "Database contains records that were all filtered out");
    }
    cleanUpStatement(statement, query);
    return records;
}

std::optional<plat::Value> DMSSqliteStore::numberForQuery(std::string_view query, const plat::Array& parameters,
                                                          plat::Error* error) {
    if (!DMSRequire(!query.empty(), error, 1, "Received empty query to get numeric result") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Query numeric result failed. Database not open.")) {
        return std::nullopt;
    }
    sqlite3_stmt* statement = statementForQuery(query, parameters, error);
    if (!statement) {
        return std::nullopt;
    }
    std::optional<plat::Value> number;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        auto value = valueAtColumn(0, statement);
        if (value && value->isNumber()) {
            number = std::move(value);
        } else if (!value || !value->isNull()) {
            DMSSetError(error, 1, "Found result that was not numeric");
        }
    } else {
        setDatabaseError(error, "query numeric result");
    }
    cleanUpStatement(statement, query);
    return number;
}

// Transactions.

bool DMSSqliteStore::performTransaction(const std::function<bool()>& block) {
    if (!block) {
        storeMonitor().logWithLevel(1, 34006, "Received nil transaction block");
        return false;
    }
    if (!handle_) {
        storeMonitor().logWithLevel(1, 34007, "Perform transaction failed. Database not open");
        return false;
    }
    if (!beginTransaction()) {
        storeMonitor().logWithLevel(1, 34008, "Failed to begin transaction");
        return false;
    }
    bool commit = false;
    try {
        commit = block();
    } catch (...) {
        if (!rollbackTransaction()) {
            storeMonitor().logWithLevel(1, 34009, "Failed to rollback transaction after exception");
        }
        throw;
    }
    if (!commit) {
        storeMonitor().logWithLevel(0, 34010, "Transaction failed");
        if (!rollbackTransaction()) {
            storeMonitor().logWithLevel(1, 34011, "Failed to rollback transaction");
        }
        return false;
    }
    if (!endTransaction()) {
        storeMonitor().logWithLevel(1, 34012, "Failed to end transaction");
        // A transaction left open would make every later BEGIN fail, so nothing would be written again.
        if (handle_ && !sqlite3_get_autocommit(handle_) && !rollbackTransaction()) {
            storeMonitor().logWithLevel(1, 34011, "Failed to rollback transaction");
        }
        return false;
    }
    return true;
}

bool DMSSqliteStore::beginTransaction() {
    if (!handle_) {
        storeMonitor().logWithLevel(1, 34013, "Begin transaction failed. Database not open");
        return false;
    }
    return sqlite3_exec(handle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool DMSSqliteStore::endTransaction() {
    if (!handle_) {
        storeMonitor().logWithLevel(1, 34014, "End transaction failed. Database not open");
        return false;
    }
    return sqlite3_exec(handle_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool DMSSqliteStore::rollbackTransaction() {
    if (!handle_) {
        storeMonitor().logWithLevel(1, 34015, "Rollback transaction failed. Database not open");
        return false;
    }
    return sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Statements.

sqlite3_stmt* DMSSqliteStore::statementForQuery(std::string_view query, plat::Error* error) {
    return statementForQuery(query, {}, error);
}

sqlite3_stmt* DMSSqliteStore::statementForQuery(std::string_view query, const plat::Array& parameters,
                                                plat::Error* error) {
    if (!DMSRequire(handle_ != nullptr, error, 2, "Statement for query failed. Database not open.")) {
        return nullptr;
    }
    bool hasPlaceholder = query.find('?') != std::string_view::npos;
    // Checked on cache hits too: a cached statement run without its parameters answers as if nothing matched.
    if (!DMSRequire(!hasPlaceholder || !parameters.empty(), error, 1, "Received empty parameters")) {
        return nullptr;
    }
    sqlite3_stmt* statement = nullptr;
    if (auto it = statementCache_.find(query); it != statementCache_.end()) {
        statement = it->second;
    } else {
        statement = prepareSQL(query, error);
        if (!statement) {
            return nullptr;
        }
        if (hasPlaceholder || !sqliteStoreContainsNoCase(query, "WHERE")) {
            statementCache_.emplace(std::string(query), statement);
        }
    }
    if (!parameters.empty() && !bindValues(parameters, statement, error)) {
        cleanUpStatement(statement, query);
        return nullptr;
    }
    return statement;
}

void DMSSqliteStore::cleanUpStatement(sqlite3_stmt* statement, std::string_view query) {
    if (!statement) {
        return;
    }
    auto it = statementCache_.find(query);
    if (it == statementCache_.end()) {
        sqlite3_finalize(statement);
        return;
    }
    if (it->second != statement) {
        storeMonitor().logWithLevel(4, 34016, "Statement is not the same one in the cache");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
}

sqlite3_stmt* DMSSqliteStore::prepareSQL(std::string_view sql, plat::Error* error) {
    if (!DMSRequire(!sql.empty(), error, 1, "Received empty SQL string to prepare") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Prepare SQL failed. Database not open.")) {
        return nullptr;
    }
    std::string text(sql);
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(handle_, text.c_str(), -1, &statement, &tail) != SQLITE_OK || !statement) {
        setDatabaseError(error, "prepare statement");
        sqlite3_finalize(statement);
        return nullptr;
    }
    if (tail && *tail != '\0') {
        sqlite3_finalize(statement);
        DMSSetError(error, 1, "Query contained more than one SQL statement.");
        return nullptr;
    }
    return statement;
}

bool DMSSqliteStore::executeSQL(std::string_view sql, plat::Error* error) {
    if (!DMSRequire(!sql.empty(), error, 1, "Received empty SQL string to execute") ||
        !DMSRequire(handle_ != nullptr, error, 2, "Execute SQL failed. Database not open.")) {
        return false;
    }
    sqlite3_stmt* statement = prepareSQL(sql, error);
    if (!statement) {
        return false;
    }
    // Any text at all: a DELETE without a condition or a schema change goes unreported otherwise.
    noteAllTablesChanged();
    return executeSQLStatement(statement, error);
}

bool DMSSqliteStore::executeSQLStatement(sqlite3_stmt* statement, plat::Error* error) {
    if (!DMSRequire(statement != nullptr, error, 1, "Execute SQL statement failed. Statement is NULL.")) {
        return false;
    }
    if (!handle_) {
        sqlite3_finalize(statement);
        DMSSetError(error, 2, "Execute SQL statement failed. Database not open.");
        return false;
    }
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) {
        setDatabaseError(error, "execute statement");
    }
    sqlite3_finalize(statement);
    return done;
}

bool DMSSqliteStore::bindValues(const plat::Array& values, sqlite3_stmt* statement, plat::Error* error) {
    if (!DMSRequire(statement != nullptr, error, 1, "Failed to bind to NULL statement")) {
        return false;
    }
    sqlite3_clear_bindings(statement);
    bool ok = true;
    for (size_t i = 0; i < values.size(); ++i) {
        const plat::Value& value = values[i];
        int position = static_cast<int>(i + 1);
        int result = SQLITE_MISUSE;
        switch (value.kind()) {
        case plat::Value::Kind::Data: {
            const plat::Data& bytes = value.asData();
            // The caller's values outlive the statement's run; cleanup clears the binding.
            result = sqlite3_bind_blob(statement, position, bytes.empty() ? "" : static_cast<const void*>(bytes.data()),
                                       static_cast<int>(bytes.size()), SQLITE_STATIC);
            break;
        }
        case plat::Value::Kind::Double:
            result = sqlite3_bind_double(statement, position, value.doubleValue());
            break;
        case plat::Value::Kind::Bool:
        case plat::Value::Kind::Int:
        case plat::Value::Kind::UInt:
            result = sqlite3_bind_int64(statement, position, value.longLongValue());
            break;
        case plat::Value::Kind::String: {
            const std::string& text = value.asString();
            result = sqlite3_bind_text(statement, position, text.c_str(), static_cast<int>(text.size()),
                                       SQLITE_TRANSIENT);
            break;
        }
        case plat::Value::Kind::Null:
            result = sqlite3_bind_null(statement, position);
            break;
        default:
            break;
        }
        if (result != SQLITE_OK) {
            if (ok) {
                setDatabaseError(error, "bind values");
            }
            ok = false;
        }
    }
    return ok;
}

std::optional<plat::Value> DMSSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
    if (!statement) {
        return std::nullopt;
    }
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return plat::Value(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
        return plat::Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
        const unsigned char* text = sqlite3_column_text(statement, column);
        if (!text) {
            return std::nullopt;
        }
        return plat::Value(std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_column_bytes(statement, column))));
    }
    case SQLITE_BLOB: {
        const void* blob = sqlite3_column_blob(statement, column);
        int size = sqlite3_column_bytes(statement, column);
        if (!blob) {
            // SQLite answers a null pointer for an empty blob.
            return size == 0 ? std::optional<plat::Value>(plat::Value(plat::Data{})) : std::nullopt;
        }
        auto* bytes = static_cast<const uint8_t*>(blob);
        return plat::Value(plat::Data(bytes, bytes + size));
    }
    case SQLITE_NULL:
        return plat::Value();
    default:
        return std::nullopt;
    }
}

std::optional<std::string> DMSSqliteStore::lastErrorMessage() {
    if (!handle_) {
        storeMonitor().logWithLevel(1, 34022, "Failed to get last error message. Database not open");
        return std::nullopt;
    }
    return std::string(sqlite3_errmsg(handle_));
}

std::optional<std::string> DMSSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) {
    if (!handle_) {
        return std::nullopt;
    }
    return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " +
           std::to_string(sqlite3_errcode(handle_)) + " and error message \"" + sqlite3_errmsg(handle_) + "\"";
}

std::string DMSSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) {
    auto& files = plat::FileManager::defaultManager();
    std::string context = operation.empty() ? std::string("Unknown operation") : std::string(operation);
    context += "," + std::to_string(handle_ ? sqlite3_errcode(handle_) : SQLITE_MISUSE);
    context += files.isWritable(databasePath_) ? ",A," : ",NA,";
    auto free = files.volumeAvailableCapacity(databasePath_);
    if (free) {
        uint64_t bytes = free.value();
        if (bytes < 1048576) {
            context += "-1";
        } else {
            context += std::to_string(static_cast<int64_t>(std::floor(std::log10(static_cast<double>(bytes >> 20)))));
        }
    }
    return context;
}

void DMSSqliteStore::setDatabaseError(plat::Error* error, std::string_view operation) {
    if (!error) {
        return;
    }
    auto description = errorDescriptionForDatabaseOperation(operation);
    DMSSetErrorWithContext(error, 3,
                           description.value_or("Database operation \"" + std::string(operation) +
                                                "\" failed: database not open"),
                           monitorContextForDatabaseOperation(operation));
}
