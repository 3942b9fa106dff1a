#pragma once
// The only code of the measurement client that talks to SQLite: one database file, opened and validated (and
// rebuilt once when unusable), tables kept in line with declared column lists, records turned into statements,
// parameterised statements cached for the life of the connection, exclusive transactions, and SQLite failures
// turned into measurement errors with a compact diagnostic context.
//
// No lock: the measurement worker queue alone calls a store.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Value.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Ordered [name, definition] pairs; a pair named "PRIMARY KEY" is a table constraint, never a column.
using DMSColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name -> new definition, for columns whose declared type changed.
using DMSModifyColumnInfo = std::map<std::string, std::string>;
// Column name -> ALTER statement that adds it, in the order the columns are to be added.
using DMSAddOnColumns = std::vector<std::pair<std::string, std::string>>;
using DMSRecord = plat::Dictionary;
using DMSRecords = std::vector<DMSRecord>;
// Row index (from 0) and row: true keeps the row and goes on, false stops before it.
using DMSRecordFilter = std::function<bool(uint32_t, const DMSRecord&)>;

inline constexpr const char* kDMSPrimaryKeyColumn = "PRIMARY KEY";

class DMSSqliteStore {
public:
    // Opens (creating the file and its folder) and validates; an unusable file is deleted and created anew
    // once. Null when the path is empty or the second open fails too.
    static std::unique_ptr<DMSSqliteStore> initWithDatabasePath(std::string_view path);
    ~DMSSqliteStore();
    DMSSqliteStore(const DMSSqliteStore&) = delete;
    DMSSqliteStore& operator=(const DMSSqliteStore&) = delete;

    sqlite3* sqliteHandle() const { return handle_; }

    // A number that changes whenever the table's rows may have changed through this connection: any row
    // inserted, updated or deleted by a statement (also one run on the handle itself, save a DELETE without
    // a condition there), the table emptied by deleteAllRecords, any rolled-back transaction, any text run
    // through executeSQL, and the connection closed or opened. Values are unique within the process (never 0,
    // never reused by another store), so readers can keep rows decoded while the number stays the same.
    uint64_t changeGenerationOfTable(std::string_view table) const;
    const std::string& databasePath() const { return databasePath_; }

    bool openAndValidateDatabase(plat::Error* error);
    bool validateDatabase(plat::Error* error);
    void closeDatabase();
    // Closes, then removes the file with its journal and write-ahead companions.
    bool closeAndDeleteDatabase();

    // Schema.
    bool ensureTable(std::string_view table, const DMSColumnInfo& elementary, const DMSColumnInfo& addOn,
                     const DMSModifyColumnInfo& modify, plat::Error* error);
    bool ensureTable(std::string_view table, const DMSColumnInfo& elementary, const DMSColumnInfo& addOn,
                     plat::Error* error);
    bool ensureTable(std::string_view table, std::string_view createSQL,
                     const std::vector<std::string>& requiredColumnNames, const DMSAddOnColumns& addOnColumns,
                     plat::Error* error);
    std::optional<bool> validateTable(std::string_view table, const std::vector<std::string>& requiredColumnNames,
                                      const DMSAddOnColumns& addOnColumns, plat::Error* error);
    bool ensureSchemaOfTable(std::string_view table, const DMSColumnInfo& elementary, const DMSColumnInfo& addOn,
                             plat::Error* error);
    bool dropTable(std::string_view table, plat::Error* error);
    bool renameTable(std::string_view oldName, std::string_view newName, plat::Error* error);
    // Copies the columns both tables have, by name.
    bool copyContents(std::string_view source, std::string_view destination, plat::Error* error);
    std::optional<bool> tableExists(std::string_view table, plat::Error* error);
    std::optional<std::vector<std::string>> columnsForTable(std::string_view table, plat::Error* error);
    std::optional<std::map<std::string, std::string>> columnInfoForTable(std::string_view table,
                                                                       plat::Error* error);
    std::optional<int64_t> rowCount(std::string_view table, plat::Error* error);
    // Without a column name or value: every row.
    std::optional<int64_t> rowCount(std::string_view table, std::string_view column,
                                    const std::optional<plat::Value>& value, plat::Error* error);

    // Records.
    bool upsertRecord(const DMSRecord& record, std::string_view table, plat::Error* error);
    bool updateRecord(const DMSRecord& record, std::string_view table, std::string_view column,
                      const std::optional<plat::Value>& value, plat::Error* error);
    bool increaseColumn(std::string_view column, int64_t amount, std::string_view table, std::string_view condition,
                        const plat::Array& parameters, plat::Error* error);
    bool deleteRecord(std::string_view table, std::string_view column, const std::optional<plat::Value>& value,
                      plat::Error* error);
    std::optional<int64_t> deleteRecords(std::string_view table, std::string_view condition,
                                         const plat::Array& parameters, plat::Error* error);
    bool deleteAllRecords(std::string_view table, plat::Error* error);

    // Queries: "select" only. Any step result other than a row or the end is an error.
    std::optional<DMSRecords> recordsForQuery(std::string_view query, const plat::Array& parameters,
                                              plat::Error* error);
    std::optional<DMSRecords> recordsForQuery(std::string_view query, const plat::Array& parameters,
                                              plat::Error* error, const DMSRecordFilter& filter);
    // None with the error unset: the value was SQL NULL.
    std::optional<plat::Value> numberForQuery(std::string_view query, const plat::Array& parameters,
                                              plat::Error* error);

    // Transactions: one exclusive transaction; the block answers true to commit. A throwing block is rolled
    // back and its exception travels on.
    bool performTransaction(const std::function<bool()>& block);
    bool beginTransaction();
    bool endTransaction();
    bool rollbackTransaction();

    // Statements.
    sqlite3_stmt* statementForQuery(std::string_view query, plat::Error* error);
    sqlite3_stmt* statementForQuery(std::string_view query, const plat::Array& parameters, plat::Error* error);
    void cleanUpStatement(sqlite3_stmt* statement, std::string_view query);
    sqlite3_stmt* prepareSQL(std::string_view sql, plat::Error* error);
    bool executeSQL(std::string_view sql, plat::Error* error);
    bool executeSQLStatement(sqlite3_stmt* statement, plat::Error* error);
    bool bindValues(const plat::Array& values, sqlite3_stmt* statement, plat::Error* error);
    static std::optional<plat::Value> valueAtColumn(int column, sqlite3_stmt* statement);
    std::optional<std::string> lastErrorMessage();
    std::optional<std::string> errorDescriptionForDatabaseOperation(std::string_view operation);
    std::string monitorContextForDatabaseOperation(std::string_view operation);
    void setDatabaseError(plat::Error* error, std::string_view operation);

private:
    explicit DMSSqliteStore(std::string path);
    void noteTableChanged(std::string_view table);
    void noteAllTablesChanged();
    void finalizeAndClearStatements();
    // Steps a prepared statement to its end, collecting every row; a step error is a code-3 error of
    // `operation`. Cleans the statement up.
    std::optional<DMSRecords> collectRows(sqlite3_stmt* statement, std::string_view query,
                                          std::string_view operation, plat::Error* error,
                                          const DMSRecordFilter& filter);

    sqlite3* handle_ = nullptr;
    std::string databasePath_;
    // Looked up by the query's text without copying it.
    struct StatementTextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, sqlite3_stmt*, StatementTextHash, std::equal_to<>> statementCache_;
    // Change generations: one for every table at once, and one per table that had a row change since.
    uint64_t allTablesGeneration_ = 0;
    std::unordered_map<std::string, uint64_t, StatementTextHash, std::equal_to<>> tableGenerations_;
};
