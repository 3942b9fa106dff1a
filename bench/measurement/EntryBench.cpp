// The event entry's caller-side cost against its natural baseline, with the ratio printed at the end: logging
// an event with ten parameters (name and value checks, the time stamp in call order, the hand-over to the
// ordering queue) against copying the same dictionary and handing it to a serial queue (goal: at least 0.3x
// the speed). Then, without a goal, events per second through the whole pipeline (checks, three exclusive
// transactions per event, raw-event storage) against plain SQLite inserting one row per transaction.

#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/storage/DMSAEU.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"

#include "bench/common/TimeReporter.hpp"

#include "bench/measurement/BenchApp.hpp"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

plat::Dictionary entryBenchParameters() {
    plat::Dictionary parameters;
    for (int i = 0; i < 5; ++i) {
        parameters.set("text_" + std::to_string(i), plat::Value("value " + std::to_string(i)));
        parameters.set("number_" + std::to_string(i), plat::Value(int64_t{1000 + i}));
    }
    return parameters;
}

void drainEntryQueues() {
    DMSAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    DMSAnalytics::serialQueue()->sync([] {});
    if (DMSMeasurement::hasSharedInstance()) {
        DMSMeasurement::sharedInstance()->scheduler().dispatchSyncOnWorkerQueueBlockID("EntryBench:1", [] {});
    }
}

// Both sides hand work to threads that take it off them. Timed without pause, the caller outruns those
// threads and the growing backlog turns the loop into a measure of fresh heap pages. Every batch of calls is
// therefore taken off the queues with the clock stopped, the same way for both sides.
constexpr int64_t kEntryBatch = 256;

void BM_Entry_LogEventTenParameters(benchmark::State& state) {
    const plat::Dictionary parameters = entryBenchParameters();
    int64_t inBatch = 0;
    for (auto _ : state) {
        DMSAnalytics::logEventWithName("bench_event", parameters);
        if (++inBatch == kEntryBatch) {
            state.PauseTiming();
            drainEntryQueues();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    // After the timed loop: the queued work is not the caller's cost.
    drainEntryQueues();
}

void BM_Entry_CopyToSerialQueue(benchmark::State& state) {
    const plat::Dictionary parameters = entryBenchParameters();
    auto queue = plat::DispatchQueue::makeSerial("EntryBenchBaseline");
    int64_t inBatch = 0;
    for (auto _ : state) {
        plat::Dictionary copy = parameters;
        queue->async([copy = std::move(copy)] { benchmark::DoNotOptimize(copy); });
        if (++inBatch == kEntryBatch) {
            state.PauseTiming();
            queue->sync([] {});
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    queue->sync([] {});
}

BENCHMARK(BM_Entry_LogEventTenParameters);
BENCHMARK(BM_Entry_CopyToSerialQueue);


// Events per second through the controller, stored one by one as the app logs them.
double pipelineEventsPerSecond(int count) {
    const plat::Dictionary parameters = entryBenchParameters();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        DMSAnalytics::logEventWithName("pipeline_event", parameters);
    }
    drainEntryQueues();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return count / seconds;
}

// Plain SQLite: one row per exclusive transaction, in a file of its own beside the database.
double sqliteRowsPerSecond(const std::string& folder, int count) {
    sqlite3* db = nullptr;
    const std::string path = folder + "/baseline.sql";
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        return 0;
    }
    sqlite3_exec(db, "CREATE TABLE rows (name TEXT NOT NULL, timestamp REAL NOT NULL, data BLOB NOT NULL)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO rows VALUES ('pipeline_event', 1.5, zeroblob(120))", -1, &insert, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return count / seconds;
}


} // namespace

int main(int argc, char** argv) {
    const std::string root = bench::startMeasurementBenchApp("entry");
    if (root.empty()) {
        return 1;
    }
    drainEntryQueues();

    // The entry is timed with collection off: the caller's side is the same either way, while the controller
    // then drops each event at once instead of storing it, so the events logged by the timed loops (millions)
    // are gone before the next run instead of queuing behind the database's syncs.
    DMSAnalytics::setAnalyticsEnabled(false);
    drainEntryQueues();
    benchmark::Initialize(&argc, argv);
    bench::TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    if (t.count("BM_Entry_LogEventTenParameters") && t.count("BM_Entry_CopyToSerialQueue")) {
        std::printf("entry ratio (baseline time / entry time): %.2fx speed (goal >= 0.3x)\n",
                    t["BM_Entry_CopyToSerialQueue"] / t["BM_Entry_LogEventTenParameters"]);
    }
    DMSAnalytics::setAnalyticsEnabled(true);
    drainEntryQueues();
    constexpr int kPipelineEvents = 2000;
    const double pipeline = pipelineEventsPerSecond(kPipelineEvents);
    const double sqlite = sqliteRowsPerSecond(root, kPipelineEvents);
    std::printf("pipeline: %.0f events/s (3 exclusive transactions per event); plain SQLite: %.0f rows/s "
                "(1 exclusive transaction per row); %.2fx\n",
                pipeline, sqlite, sqlite > 0 ? pipeline / sqlite : 0.0);
    return 0;
}
