// The SQLite table store: open and recovery, table ensure, validation and migration, the statement cache,
// queries, transactions and the errors SQLite failures become.

#include "measurement/storage/DMSSqliteStore.hpp"
#include "measurement/tests/MeasurementTestSupport.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/SqliteFaultVfs.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace {

using portal::testing::SqliteFaultVfs;

class DMSSqliteStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        SqliteFaultVfs::install();
        SqliteFaultVfs::reset();
        path = home.home() + "/Library/Application Support/Razoza/Measurement/store.sql";
    }
    void TearDown() override { SqliteFaultVfs::reset(); }

    std::unique_ptr<DMSSqliteStore> open() {
        auto store = DMSSqliteStore::initWithDatabasePath(path);
        EXPECT_NE(store, nullptr);
        return store;
    }
    static std::vector<std::string> storeTestCodes(const dms::test::MonitorRecorder& recorder) {
        std::vector<std::string> codes;
        for (auto code : recorder.codes()) {
            codes.push_back(std::to_string(code));
        }
        return codes;
    }
    static std::string storeTestContext(const plat::Error& error) {
        const plat::Value* context = error.userInfoValue("DMSMonitorContext");
        return context && context->isString() ? context->asString() : "<none>";
    }

    plat::test::TempAppHome home;
    std::string path;
    dms::test::MonitorRecorder monitor;
};

const DMSColumnInfo kStoreTestEvents = {{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}};

TEST_F(DMSSqliteStoreTest, RefusalsCarryTheirCodeAndText) {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->executeSQL("CREATE TABLE x (a)", nullptr) && store->executeSQL("CREATE TABLE y (a)", nullptr));
    auto closed = DMSSqliteStore::initWithDatabasePath(home.home() + "/other.sql");
    ASSERT_TRUE(closed);
    closed->closeDatabase();
    struct Case {
        std::function<bool(plat::Error*)> call;
        int64_t code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[&](plat::Error* e) { return store->ensureTable("", kStoreTestEvents, {}, e); }, 1,
         "Received empty table name for ensure table"},
        {[&](plat::Error* e) { return store->ensureTable("t", DMSColumnInfo{}, {}, e); }, 1,
         "Received empty elementary column info for ensure table"},
        {[&](plat::Error* e) { return store->upsertRecord({}, "t", e); }, 1, "Received empty record for upsert"},
        {[&](plat::Error* e) { return store->upsertRecord({{"a", 1}}, "", e); }, 1,
         "Received empty table name for upsert"},
        {[&](plat::Error* e) { return store->updateRecord({{"a", 1}}, "t", "k", std::nullopt, e); }, 1,
         "Nil column value for update"},
        {[&](plat::Error* e) { return store->deleteRecord("t", "", plat::Value(1), e); }, 1,
         "Received empty column for delete record"},
        {[&](plat::Error* e) { return store->deleteRecords("t", "", {}, e).has_value(); }, 1,
         "Received empty condition for delete record"},
        {[&](plat::Error* e) { return store->recordsForQuery(" select 1", {}, e).has_value(); }, 1,
         "Received invalid select query"},
        {[&](plat::Error* e) { return store->recordsForQuery("WITH x AS (SELECT 1) SELECT * FROM x", {}, e).has_value(); },
         1, "Received invalid select query"},
        {[&](plat::Error* e) { return store->recordsForQuery("SELECT 1", {}, e, nullptr).has_value(); }, 1,
         "Received empty filter for selecting records"},
        {[&](plat::Error* e) { return store->numberForQuery("", {}, e).has_value(); }, 1,
         "Received empty query to get numeric result"},
        {[&](plat::Error* e) { return store->renameTable("t", "t", e); }, 1, "Received duplicate name for rename table"},
        {[&](plat::Error* e) { return store->copyContents("t", "", e); }, 1,
         "Received empty destination name for copy table"},
        {[&](plat::Error* e) { return store->executeSQL("DELETE FROM x; DELETE FROM y", e); }, 1,
         "Query contained more than one SQL statement."},
        {[&](plat::Error* e) { return store->statementForQuery("SELECT ?", e) != nullptr; }, 1,
         "Received empty parameters"},
        {[&](plat::Error* e) { return store->increaseColumn("nothing", 1, "sqlite_master", "1", {}, e); }, 1,
         "Invalid column or table name"},
        {[&](plat::Error* e) { return closed->upsertRecord({{"a", 1}}, "t", e); }, 2,
         "Upsert record failed. Database not open."},
        {[&](plat::Error* e) { return closed->recordsForQuery("SELECT 1", {}, e).has_value(); }, 2,
         "Query records failed. Database not open."},
        {[&](plat::Error* e) { return closed->deleteAllRecords("t", e); }, 2,
         "Delete all records failed. Database not open."},
        {[&](plat::Error* e) { return closed->validateDatabase(e); }, 2,
         "Validate database failed. Database not open."},
    };
    for (const auto& c : cases) {
        plat::Error error;
        EXPECT_FALSE(c.call(&error)) << c.text;
        EXPECT_EQ(error.code, c.code) << c.text;
        EXPECT_EQ(error.localizedDescription(), c.text);
        EXPECT_EQ(error.domain, "com.razoza.rmp.measurement.ErrorDomain");
    }
    monitor.clear();
    EXPECT_FALSE(closed->performTransaction([] { return true; }));
    EXPECT_FALSE(store->performTransaction(nullptr));
    EXPECT_EQ(monitor.codes(), (std::vector<int64_t>{34007, 34006}));
}

TEST_F(DMSSqliteStoreTest, RecordsRoundTripThroughUpsertUpdateAndQueries) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->ensureTable("t", {{"k", "TEXT NOT NULL PRIMARY KEY"}, {"n", "INTEGER"}, {"r", "REAL"},
                                         {"b", "BLOB"}},
                                   {}, &error))
        << error.description();
    ASSERT_TRUE(store->upsertRecord({{"k", "a"}, {"n", 1}, {"r", 1.5}, {"b", plat::Data{1, 2}}}, "t", &error));
    ASSERT_TRUE(store->upsertRecord({{"k", "b"}, {"n", 2}, {"r", nullptr}, {"b", plat::Data{}}}, "t", &error));
    ASSERT_TRUE(store->updateRecord({{"n", 7}}, "t", "k", plat::Value("a"), &error));
    ASSERT_TRUE(store->increaseColumn("n", 3, "t", "k = ?", {plat::Value("b")}, &error)) << error.description();

    auto rows = store->recordsForQuery("select k, n, r, b from t where n > ? order by k", {plat::Value(0)}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0]["n"].asInt64(), 7);
    EXPECT_EQ((*rows)[0]["r"].asDouble(), 1.5);
    EXPECT_EQ((*rows)[0]["b"].asData(), (plat::Data{1, 2}));
    EXPECT_EQ((*rows)[1]["n"].asInt64(), 5);
    EXPECT_TRUE((*rows)[1]["r"].isNull());

    // The cached statement is bound again on every use: another value, another answer.
    auto again = store->recordsForQuery("select k, n, r, b from t where n > ? order by k", {plat::Value(6)}, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), 1u);
    // ... and refused without its parameters, cached or not.
    plat::Error refused;
    EXPECT_FALSE(store->recordsForQuery("select k, n, r, b from t where n > ? order by k", {}, &refused));
    EXPECT_EQ(refused.localizedDescription(), "Received empty parameters");

    EXPECT_EQ(store->rowCount("t", &error), 2);
    EXPECT_EQ(store->rowCount("t", "k", plat::Value("b"), &error), 1);
    plat::Error nullError;
    EXPECT_FALSE(store->numberForQuery("SELECT max(r) FROM t WHERE k = 'b'", {}, &nullError));
    EXPECT_EQ(nullError.code, 0);
    plat::Error noRow;
    EXPECT_FALSE(store->numberForQuery("SELECT n FROM t WHERE k = 'zzz'", {}, &noRow));
    EXPECT_EQ(noRow.code, 3);
    EXPECT_EQ(store->deleteRecords("t", "k = ?", {plat::Value("nothing")}, &error), 0);

    monitor.clear();
    auto none = store->recordsForQuery("SELECT * FROM t", {}, &error, [](uint32_t, const DMSRecord&) { return false; });
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{34005});
}

TEST_F(DMSSqliteStoreTest, ValidationAddsMissingAddOnsAndRefusesUnknownOrMissingRequiredColumns) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (name TEXT NOT NULL, timestamp INTEGER NOT NULL, extra TEXT)",
                                  &error));
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {{"is_realtime", "INTEGER"}}, &error))
        << error.description();
    auto columns = store->columnsForTable("t", &error);
    ASSERT_TRUE(columns);
    EXPECT_NE(std::find(columns->begin(), columns->end(), "is_realtime"), columns->end());

    ASSERT_TRUE(store->executeSQL("CREATE TABLE u (name TEXT NOT NULL, other INTEGER NOT NULL)", &error));
    plat::Error unknown;
    EXPECT_FALSE(store->ensureTable("u", {{"name", "TEXT NOT NULL"}}, {}, &unknown));
    EXPECT_EQ(unknown.code, 2);
    EXPECT_EQ(unknown.localizedDescription(), "Table contains unknown non-optional columns");

    plat::Error missing;
    EXPECT_FALSE(store->ensureTable("u", {{"name", "TEXT NOT NULL"}, {"absent", "TEXT NOT NULL"}}, {}, &missing));
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.localizedDescription(), "Table is missing required columns");
}

TEST_F(DMSSqliteStoreTest, MigrationRebuildsOnlyChangedTablesAndKeepsRowsInOrder) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    // An older layout with a column the schema no longer knows (nullable, so it validates).
    ASSERT_TRUE(store->executeSQL("CREATE TABLE t (name TEXT NOT NULL, timestamp INTEGER NOT NULL, legacy TEXT)",
                                  &error));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(store->upsertRecord({{"name", "e" + std::to_string(i)}, {"timestamp", 10 - i}, {"legacy", "x"}},
                                        "t", &error));
    }
    const DMSModifyColumnInfo modify = {{"timestamp", "REAL NOT NULL"}};
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {{"is_realtime", "INTEGER"}}, modify, &error))
        << error.description();
    auto info = store->columnInfoForTable("t", &error);
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (std::map<std::string, std::string>{
                         {"name", "TEXT"}, {"timestamp", "REAL"}, {"is_realtime", "INTEGER"}}));
    auto rows = store->recordsForQuery("SELECT rowid, name, timestamp FROM t ORDER BY rowid", {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ((*rows)[i]["name"].asString(), "e" + std::to_string(i));
        EXPECT_EQ((*rows)[i]["timestamp"].doubleValue(), 10 - i);
    }
    EXPECT_EQ(store->tableExists("t_old", &error), false);

    // Types equal: untouched (rowids and the table's text stay).
    auto sqlBefore = store->recordsForQuery("SELECT sql FROM sqlite_master WHERE name = ?", {plat::Value("t")}, &error);
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {{"is_realtime", "INTEGER"}}, modify, &error));
    auto sqlAfter = store->recordsForQuery("SELECT sql FROM sqlite_master WHERE name = ?", {plat::Value("t")}, &error);
    ASSERT_TRUE(sqlBefore && sqlAfter);
    EXPECT_EQ((*sqlBefore)[0]["sql"].asString(), (*sqlAfter)[0]["sql"].asString());
}

TEST_F(DMSSqliteStoreTest, AFileThatIsNoDatabaseIsRecreatedQuietly) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(
                    path.substr(0, path.rfind('/')), true)
                    .ok());
    {
        std::ofstream out(path, std::ios::binary);
        std::string junk(4096, '\xFF');
        out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    EXPECT_TRUE(store->ensureTable("t", kStoreTestEvents, {}, &error)) << error.description();
    auto codes = monitor.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 34001), 0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 34002), 0);
}

TEST_F(DMSSqliteStoreTest, DiskFullBecomesACodeThreeErrorWithItsContext) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {}, &error));
    ASSERT_TRUE(store->upsertRecord({{"name", "a"}, {"timestamp", 1}}, "t", &error));

    auto free = plat::FileManager::defaultManager().volumeAvailableCapacity(path);
    ASSERT_TRUE(free.ok());
    ASSERT_GE(free.value(), 1048576u);
    std::string space = std::to_string(static_cast<int>(std::floor(std::log10(double(free.value() >> 20)))));

    SqliteFaultVfs::fail(SqliteFaultVfs::Operation::Write, SQLITE_FULL, -1);
    plat::Error full;
    EXPECT_FALSE(store->deleteAllRecords("t", &full));
    EXPECT_EQ(full.code, 3);
    EXPECT_EQ(full.localizedDescription(), "Database operation \"delete all records\" failed with sqlite code 13 and "
                                           "error message \"database or disk is full\"");
    EXPECT_EQ(storeTestContext(full), "delete all records,13,A," + space);

    // The volume's attributes cannot be read: the space part is empty.
    plat::sim::Faults::fail("file.statvfs", "", 5, plat::sim::Faults::kAlways);
    plat::Error unreadable;
    EXPECT_FALSE(store->deleteAllRecords("t", &unreadable));
    EXPECT_EQ(storeTestContext(unreadable), "delete all records,13,A,");
    plat::sim::Faults::reset();
    SqliteFaultVfs::reset();
    EXPECT_TRUE(store->deleteAllRecords("t", &error)) << error.description();
    EXPECT_EQ(store->rowCount("t", &error), 0);
}

TEST_F(DMSSqliteStoreTest, ACommitWhoseSyncFailsLeavesNoOpenTransactionBehind) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {}, &error));
    SqliteFaultVfs::fail(SqliteFaultVfs::Operation::Sync, SQLITE_IOERR_FSYNC, -1);
    monitor.clear();
    EXPECT_FALSE(store->performTransaction(
        [&] { return store->upsertRecord({{"name", "lost"}, {"timestamp", 1}}, "t", &error); }));
    EXPECT_GT(SqliteFaultVfs::firedCount(), 0);
    auto codes = monitor.codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), 34012), codes.end());
    EXPECT_TRUE(sqlite3_get_autocommit(store->sqliteHandle()));
    SqliteFaultVfs::reset();

    EXPECT_TRUE(store->performTransaction(
        [&] { return store->upsertRecord({{"name", "kept"}, {"timestamp", 2}}, "t", &error); }));
    auto rows = store->recordsForQuery("SELECT name FROM t", {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["name"].asString(), "kept");
}

TEST_F(DMSSqliteStoreTest, TransactionsCommitRollBackAndPassExceptionsOn) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->ensureTable("t", kStoreTestEvents, {}, &error));
    auto insert = [&](const char* name) { return store->upsertRecord({{"name", name}, {"timestamp", 1}}, "t", &error); };
    EXPECT_TRUE(store->performTransaction([&] { return insert("a"); }));
    monitor.clear();
    EXPECT_FALSE(store->performTransaction([&] { return insert("b") && false; }));
    EXPECT_EQ(monitor.codes(), std::vector<int64_t>{34010});
    EXPECT_THROW(store->performTransaction([&]() -> bool {
        insert("c");
        throw std::runtime_error("inside");
    }),
                 std::runtime_error);
    auto rows = store->recordsForQuery("SELECT name FROM t", {}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ((*rows)[0]["name"].asString(), "a");
    EXPECT_TRUE(store->performTransaction([&] { return insert("d"); }));
}

// Readers keep decoded rows while a table's change generation stays the same, so every way its rows can
// change must move it, and nothing else may be needed to see a change: a missed write means stale audience
// definitions.
TEST_F(DMSSqliteStoreTest, EveryWayATablesRowsChangeMovesItsChangeGenerationAndReadsDoNot) {
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    ASSERT_TRUE(store->ensureTable("t", {{"k", "TEXT NOT NULL PRIMARY KEY"}, {"n", "INTEGER"}}, {}, &error));
    ASSERT_TRUE(store->ensureTable("other", {{"k", "TEXT NOT NULL PRIMARY KEY"}}, {}, &error));
    ASSERT_TRUE(store->upsertRecord({{"k", "a"}, {"n", 1}}, "t", &error));
    auto raw = [&](const char* sql) { return sqlite3_exec(store->sqliteHandle(), sql, nullptr, nullptr, nullptr); };
    const struct {
        const char* label;
        std::function<bool()> write;
    } changes[] = {
        {"upsert", [&] { return store->upsertRecord({{"k", "b"}, {"n", 2}}, "t", &error); }},
        {"upsert replacing a row", [&] { return store->upsertRecord({{"k", "b"}, {"n", 3}}, "t", &error); }},
        {"update", [&] { return store->updateRecord({{"n", 7}}, "t", "k", plat::Value("a"), &error); }},
        {"increase", [&] { return store->increaseColumn("n", 1, "t", "k = ?", {plat::Value("a")}, &error); }},
        {"delete with a condition", [&] { return store->deleteRecords("t", "k = ?", {plat::Value("b")}, &error) == 1; }},
        {"delete one record", [&] { return store->deleteRecord("t", "k", plat::Value("a"), &error); }},
        {"insert on the handle", [&] { return raw("INSERT INTO t (k, n) VALUES ('c', 1)") == SQLITE_OK; }},
        {"update on the handle", [&] { return raw("UPDATE t SET n = 5") == SQLITE_OK; }},
        {"empty the table", [&] { return store->deleteAllRecords("t", &error); }},
        {"raw SQL", [&] { return store->executeSQL("INSERT INTO t (k, n) VALUES ('d', 1)", &error); }},
        {"closed and opened again", [&] {
             store->closeDatabase();
             return store->openAndValidateDatabase(&error);
         }},
    };
    for (const auto& change : changes) {
        const uint64_t before = store->changeGenerationOfTable("t");
        EXPECT_NE(before, 0u);
        ASSERT_TRUE(change.write()) << change.label << ": " << error.description();
        EXPECT_NE(store->changeGenerationOfTable("t"), before) << change.label;
    }

    // A rollback takes back rows that a reader may have seen inside the transaction.
    for (bool onHandle : {false, true}) {
        uint64_t inside = 0;
        auto write = [&] {
            const bool written = store->upsertRecord({{"k", "r"}, {"n", 1}}, "t", &error);
            inside = store->changeGenerationOfTable("t");
            return written;
        };
        if (onHandle) {
            ASSERT_EQ(raw("BEGIN"), SQLITE_OK);
            ASSERT_TRUE(write());
            ASSERT_EQ(raw("ROLLBACK"), SQLITE_OK);
        } else {
            ASSERT_FALSE(store->performTransaction([&] { return write() && false; }));
        }
        EXPECT_NE(store->changeGenerationOfTable("t"), inside) << (onHandle ? "on the handle" : "through the store");
    }

    const uint64_t settled = store->changeGenerationOfTable("t");
    ASSERT_TRUE(store->recordsForQuery("SELECT * FROM t", {}, &error));
    ASSERT_TRUE(store->performTransaction([&] { return store->upsertRecord({{"k", "x"}}, "other", &error); }));
    EXPECT_EQ(raw("DELETE FROM other WHERE k = 'x'"), SQLITE_OK);
    EXPECT_EQ(store->changeGenerationOfTable("t"), settled) << "reads and other tables' writes leave it alone";

    // Another store never hands out a number this one used.
    std::string otherPath = home.home() + "/other.sql";
    auto second = DMSSqliteStore::initWithDatabasePath(otherPath);
    ASSERT_TRUE(second);
    EXPECT_NE(second->changeGenerationOfTable("t"), settled);
}

TEST_F(DMSSqliteStoreTest, AReadErrorInTheMiddleOfAQueryIsNoShortResult) {
    {
        auto store = open();
        ASSERT_TRUE(store);
        plat::Error error;
        ASSERT_TRUE(store->ensureTable("t", {{"name", "TEXT NOT NULL"}, {"pad", "BLOB"}}, {}, &error));
        ASSERT_TRUE(store->performTransaction([&] {
            for (int i = 0; i < 200; ++i) {
                if (!store->upsertRecord({{"name", std::to_string(i)}, {"pad", plat::Data(900, 7)}}, "t", &error)) {
                    return false;
                }
            }
            return true;
        }));
    }
    auto store = open();
    ASSERT_TRUE(store);
    plat::Error error;
    // Pages come from the file, not from what the integrity check left in the cache.
    ASSERT_TRUE(store->executeSQL("PRAGMA cache_size = 1", &error)) << error.description();
    sqlite3_db_release_memory(store->sqliteHandle());
    // The next page read fails after the query started.
    uint32_t seen = 0;
    auto rows = store->recordsForQuery("SELECT name, pad FROM t", {}, &error, [&](uint32_t, const DMSRecord&) {
        if (++seen == 3) {
            SqliteFaultVfs::fail(SqliteFaultVfs::Operation::Read, SQLITE_IOERR_READ, -1, "store.sql");
        }
        return true;
    });
    int fired = SqliteFaultVfs::firedCount();
    SqliteFaultVfs::reset();
    EXPECT_GT(fired, 0) << seen;
    EXPECT_FALSE(rows);
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(storeTestContext(error).rfind("query records,", 0), 0u) << storeTestContext(error);
}

} // namespace
