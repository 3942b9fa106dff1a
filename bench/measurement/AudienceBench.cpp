// Bundling 1000 raw events with audience evaluation against bundling the same events with no audiences, with
// the ratio printed at the end (goal: at least 0.3x the speed). The audiences: 50 of two event filters each on
// the events' name, one a number filter and one a string filter (ten of them regular expressions), all
// dynamic, with dynamic filters on, so that every event is evaluated against every filter.

#include "measurement/audiences/DMSAudience.hpp"
#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/messages/DMSPBMessages.hpp"
#include "measurement/storage/DMSDatabase.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"

#include "bench/common/TimeReporter.hpp"

#include "bench/measurement/BenchApp.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kAudienceBenchEvents = 1000;

plat::Value audienceBenchObject(const std::shared_ptr<NANOMessage>& message) {
    return plat::Value(plat::rt::ObjectPtr(message));
}

std::shared_ptr<DMSPBFilter> audienceBenchParameterFilter(const std::string& parameter,
                                                          const std::shared_ptr<NANOMessage>& condition, bool number) {
    auto filter = DMSPBFilter::init();
    NANOSetMessage(filter, number ? DMSPBFilter::kNumberFilter : DMSPBFilter::kStringFilter, condition);
    NANOSetString(filter, DMSPBFilter::kParamName, plat::Value(parameter));
    return filter;
}

std::shared_ptr<DMSPBEventFilter> audienceBenchEventFilter(int32_t filterID, const std::shared_ptr<DMSPBFilter>& filter) {
    auto eventFilter = DMSPBEventFilter::init();
    NANOSetInt32(eventFilter, DMSPBEventFilter::kFilterID, filterID);
    NANOSetString(eventFilter, DMSPBEventFilter::kEventName, plat::Value("purchase"));
    NANOSetArray(eventFilter, DMSPBEventFilter::kFilters, plat::Array{audienceBenchObject(filter)});
    NANOSetBool(eventFilter, DMSPBEventFilter::kDynamicFilter, true);
    return eventFilter;
}

plat::Array audienceBenchAudiences() {
    plat::Array audiences;
    for (int32_t id = 0; id < 50; ++id) {
        auto number = DMSPBNumberFilter::init();
        NANOSetInt32(number, DMSPBNumberFilter::kComparisonType, 2);
        NANOSetString(number, DMSPBNumberFilter::kComparisonValue, plat::Value(std::to_string(id)));
        auto string = DMSPBStringFilter::init();
        NANOSetInt32(string, DMSPBStringFilter::kMatchType, id < 10 ? 1 : 5);
        NANOSetString(string, DMSPBStringFilter::kExpression, plat::Value(id < 10 ? "^item-[0-9]+$" : "item-7"));
        auto audience = DMSPBAudience::init();
        NANOSetInt32(audience, DMSPBAudience::kAudienceID, id);
        NANOSetArray(audience, DMSPBAudience::kEventFilters,
                     plat::Array{audienceBenchObject(audienceBenchEventFilter(
                                     0, audienceBenchParameterFilter("value", number, true))),
                                 audienceBenchObject(audienceBenchEventFilter(
                                     1, audienceBenchParameterFilter("item", string, false)))});
        audiences.push_back(audienceBenchObject(audience));
    }
    return audiences;
}

DMSMeasurement& audienceBenchController() {
    return *DMSMeasurement::sharedInstance();
}

// On the worker queue's own thread (a synchronous dispatch would run the block on the caller's), waited for.
void audienceBenchOnWorker(const std::function<void()>& block) {
    plat::DispatchSemaphore done(0);
    audienceBenchController().scheduler().scheduleOnWorkerQueueBlockID("AudienceBench:1", [&] {
        block();
        done.signal();
    });
    done.wait();
}

// Stores the raw events (untimed), then times bundling them all.
void audienceBenchBundle(benchmark::State& state) {
    for (auto _ : state) {
        double seconds = 0;
        audienceBenchOnWorker([&] {
            DMSMeasurement& controller = audienceBenchController();
            for (int i = 0; i < kAudienceBenchEvents; ++i) {
                plat::Dictionary parameters{{"value", plat::Value(int64_t{i % 100})},
                                            {"item", plat::Value("item-" + std::to_string(i % 20))}};
                auto event = DMSEvent::initWithOrigin("app", true, "purchase", plat::Clock::now(), 0, parameters);
                if (event) {
                    controller.writeEventOnWorkerQueue(std::move(*event));
                }
            }
            const auto start = std::chrono::steady_clock::now();
            // One header's events per call, as the upload step calls it.
            while (controller.database()->isRawEventsTableEmpty(nullptr) == std::optional<bool>(false)) {
                if (!controller.bundleRawEvents()) {
                    state.SkipWithError("bundling failed");
                    break;
                }
            }
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            controller.database()->sqliteStore()->deleteAllRecords("queue", nullptr);
        });
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(state.iterations() * kAudienceBenchEvents);
}

void BM_Audience_BundleWithAudiences(benchmark::State& state) {
    audienceBenchOnWorker([] {
        DMSMeasurement& controller = audienceBenchController();
        controller.database()->performTransaction(
            [&] { return controller.audience()->updateAudiences(audienceBenchAudiences()); });
    });
    audienceBenchBundle(state);
}

void BM_Audience_BundleWithoutAudiences(benchmark::State& state) {
    audienceBenchOnWorker([] {
        DMSDatabase* database = audienceBenchController().database();
        database->deleteAllEventFilters(nullptr);
        database->deleteAllPropertyFilters(nullptr);
        database->sqliteStore()->deleteAllRecords("audience_filter_values", nullptr);
    });
    audienceBenchBundle(state);
}

BENCHMARK(BM_Audience_BundleWithoutAudiences)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Audience_BundleWithAudiences)->UseManualTime()->Unit(benchmark::kMillisecond);


} // namespace

int main(int argc, char** argv) {
    if (bench::startMeasurementBenchApp("audience").empty()) {
        return 1;
    }
    // No upload pass may take the raw events away between the storing and the timed bundling.
    audienceBenchOnWorker([] {
        if (audienceBenchController().alarm()) {
            audienceBenchController().alarm()->cancel();
        }
    });

    benchmark::Initialize(&argc, argv);
    bench::TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    const std::string with = "BM_Audience_BundleWithAudiences/manual_time";
    const std::string without = "BM_Audience_BundleWithoutAudiences/manual_time";
    if (t.count(with) && t.count(without)) {
        std::printf("audience ratio (time without audiences / time with them): %.2fx speed (goal >= 0.3x)\n",
                    t[without] / t[with]);
    }
    return 0;
}
