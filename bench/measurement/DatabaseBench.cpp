// The measurement database's raw-event write path against raw SQLite on the same file layout, side by side,
// with the speed ratios printed at the end. Ours stores 10,000 events in one performTransaction the way the
// event pipeline does for each: the metadata record stored unless present (encoded and fingerprinted), the
// raw events trimmed to the stored-events limit, the event encoded and inserted. The baseline steps one
// prepared "INSERT INTO raw_events" of the same five columns, with the same encoded bytes, 10,000 times in one
// transaction. Both run on a new file and on one holding 50,000 raw events, with SQLite's default PRAGMAs
// (the database sets none). Goal: at least 0.3x the baseline's events per second at both fills.

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/messages/DMSMessageFields.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "measurement/storage/DMSEvent.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kBenchEventsPerTransaction = 10000;
constexpr int64_t kBenchFingerprint = 4341407706725496041;

const std::vector<DMSEvent>& benchEvents() {
    static const std::vector<DMSEvent> events = [] {
        std::vector<DMSEvent> made;
        made.reserve(kBenchEventsPerTransaction);
        for (int i = 0; i < kBenchEventsPerTransaction; ++i) {
            plat::Dictionary parameters{{"value", plat::Value(int64_t{42})},
                                        {"price", plat::Value(9.99)},
                                        {"item", plat::Value("hat")}};
            auto event = DMSEvent::initWithOrigin("app", true, "bench_event", 1700000000.0 + i, 0, parameters);
            if (!event) {
                std::fprintf(stderr, "bench_measurement_database: the event was refused\n");
                std::exit(1);
            }
            made.push_back(std::move(*event));
        }
        return made;
    }();
    return events;
}

// What the baseline writes: the bytes ours stores for each event (its encoding without the name).
const std::vector<plat::Data>& benchEncodedEvents() {
    static const std::vector<plat::Data> encoded = [] {
        std::vector<plat::Data> made;
        for (const DMSEvent& event : benchEvents()) {
            DMSEventFields fields = event.protoEventFields();
            fields.name.reset();
            made.push_back(*DMSPBEventFromFields(fields)->protoBuffer());
        }
        return made;
    }();
    return encoded;
}

std::shared_ptr<DMSPBMeasurementBundle> benchMetadata() {
    const uint8_t bytes[] = {0x08, 0x01, 0x30, 0xd0, 0x0f, 0x42, 0x03, 0x69, 0x6f, 0x73, 0x72,
                             0x05, 0x63, 0x6f, 0x6d, 0x2e, 0x78, 0xd0, 0x01, 0xe8, 0x07};
    return DMSPBMeasurementBundle::initWithBuffer(plat::Data(std::begin(bytes), std::end(bytes)));
}

bool benchExec(sqlite3* handle, const char* sql) {
    return sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The same rows on both sides: `count` raw events of one metadata record.
bool benchFill(sqlite3* handle, int64_t count) {
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(handle,
                           "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                           "VALUES (?, ?, ?, ?, ?)",
                           -1, &insert, nullptr) != SQLITE_OK ||
        !benchExec(handle, "BEGIN EXCLUSIVE TRANSACTION")) {
        sqlite3_finalize(insert);
        return false;
    }
    const plat::Data& data = benchEncodedEvents().front();
    bool ok = true;
    for (int64_t i = 0; i < count && ok; ++i) {
        sqlite3_bind_text(insert, 1, "bench_event", -1, SQLITE_STATIC);
        sqlite3_bind_double(insert, 2, 1690000000.0 + static_cast<double>(i));
        sqlite3_bind_int64(insert, 3, kBenchFingerprint);
        sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 5, 0);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    return benchExec(handle, ok ? "END TRANSACTION" : "ROLLBACK") && ok;
}

// Back to the fill: the rows a round added go, outside the timing.
void benchRestore(benchmark::State& state, sqlite3* handle, int64_t fill) {
    state.PauseTiming();
    std::string sql = "DELETE FROM raw_events WHERE rowid > " + std::to_string(fill);
    if (!benchExec(handle, sql.c_str()) || !benchExec(handle, "DELETE FROM raw_events_metadata")) {
        state.SkipWithError("restoring the fill failed");
    }
    state.ResumeTiming();
}

// Every run of a benchmark starts from a file of its own: a file left by the previous run would hold its fill
// twice over.
std::string benchNewFileName(const std::string& side, int64_t fill) {
    static int runs = 0;
    return "bench-" + side + "-" + std::to_string(fill) + "-" + std::to_string(++runs) + ".sql";
}

void BM_RawEventWrites_Database(benchmark::State& state) {
    int64_t fill = state.range(0);
    std::string name = benchNewFileName("ours", fill);
    auto database = DMSDatabase::initWithDatabaseName(name, nullptr);
    if (!database || !benchFill(database->sqliteStore()->sqliteHandle(), fill)) {
        state.SkipWithError("no database");
        return;
    }
    auto metadata = benchMetadata();
    const auto& events = benchEvents();
    for (auto _ : state) {
        bool committed = database->performTransaction([&] {
            for (const DMSEvent& event : events) {
                if (!database->insertIfNotExistsRawEventMetadata(metadata, nullptr) ||
                    !database->deleteRawEventsOverAbsoluteLimit(nullptr) ||
                    !database->insertRawEvent(&event, kBenchFingerprint, false, nullptr)) {
                    return false;
                }
            }
            return true;
        });
        if (!committed) {
            state.SkipWithError("transaction failed");
            break;
        }
        benchRestore(state, database->sqliteStore()->sqliteHandle(), fill);
    }
    state.SetItemsProcessed(state.iterations() * kBenchEventsPerTransaction);
}

void BM_RawEventWrites_SQLite(benchmark::State& state) {
    int64_t fill = state.range(0);
    std::string name = benchNewFileName("raw", fill);
    // The same schema, made by the database, then used through SQLite alone.
    std::string path = DMSMeasurementFilePath(name);
    if (!DMSDatabase::initWithDatabaseName(name, nullptr)) {
        state.SkipWithError("no schema");
        return;
    }
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK ||
        !benchFill(handle, fill)) {
        sqlite3_close(handle);
        state.SkipWithError("no file");
        return;
    }
    const auto& events = benchEvents();
    const auto& encoded = benchEncodedEvents();
    for (auto _ : state) {
        sqlite3_stmt* insert = nullptr;
        bool ok = sqlite3_prepare_v2(handle,
                                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                                     -1, &insert, nullptr) == SQLITE_OK &&
                  benchExec(handle, "BEGIN EXCLUSIVE TRANSACTION");
        for (size_t i = 0; ok && i < events.size(); ++i) {
            const std::string& eventName = events[i].name();
            sqlite3_bind_text(insert, 1, eventName.data(), static_cast<int>(eventName.size()), SQLITE_STATIC);
            sqlite3_bind_double(insert, 2, events[i].timestamp());
            sqlite3_bind_int64(insert, 3, kBenchFingerprint);
            sqlite3_bind_blob(insert, 4, encoded[i].data(), static_cast<int>(encoded[i].size()), SQLITE_STATIC);
            sqlite3_bind_int64(insert, 5, 0);
            ok = sqlite3_step(insert) == SQLITE_DONE;
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        if (!benchExec(handle, ok ? "END TRANSACTION" : "ROLLBACK") || !ok) {
            state.SkipWithError("transaction failed");
            break;
        }
        benchRestore(state, handle, fill);
    }
    sqlite3_close(handle);
    state.SetItemsProcessed(state.iterations() * kBenchEventsPerTransaction);
}

BENCHMARK(BM_RawEventWrites_Database)->Arg(0)->Arg(50000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawEventWrites_SQLite)->Arg(0)->Arg(50000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's time per iteration for the ratios.
class DatabaseRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // With --benchmark_repetitions, the median of the repetitions.
        for (const auto& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            if (run.run_type == Run::RT_Iteration && !medians.count(run.run_name.str())) {
                times[run.run_name.str()] = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians.insert(run.run_name.str());
                times[run.run_name.str()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    std::set<std::string> medians;
};

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    // A scratch app home, never the user's.
    char folder[] = "/tmp/bench-measurement-database-XXXXXX";
    if (!::mkdtemp(folder)) {
        return 1;
    }
    plat::AppHome::configure(std::string(folder) + "/home");
    (void)plat::AppHome::createFolders();
    benchEncodedEvents();
    benchmark::Initialize(&argc, argv);
    DatabaseRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    for (const char* fill : {"0", "50000"}) {
        std::string ours = std::string("BM_RawEventWrites_Database/") + fill + "/real_time";
        std::string base = std::string("BM_RawEventWrites_SQLite/") + fill + "/real_time";
        if (t.count(ours) && t.count(base)) {
            std::printf("raw-event writes on a file of %s events: database %.0f events/s, raw SQLite %.0f events/s, "
                        "speed ratio %.2fx (goal >= 0.3x)\n",
                        fill, kBenchEventsPerTransaction / (t[ours] / 1000), kBenchEventsPerTransaction / (t[base] / 1000),
                        t[base] / t[ours]);
        }
    }
    benchmark::Shutdown();
    std::string cleanup = std::string("rm -rf '") + folder + "' '" + folder + "/home.device'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
