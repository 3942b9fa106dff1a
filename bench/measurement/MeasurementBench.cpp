// The monitor's hot path against its natural baseline, with the ratio printed at the end: a level-7 call with
// two contexts while debug mode is off (neither printed nor sampled, the common case of debug lines in a
// normal run) against a call of an empty out-of-line function taking the same arguments (goal: at least 0.5x
// the speed, that is at most twice the time).

#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"

#include "bench/common/TimeReporter.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace {

__attribute__((noinline)) void emptyMonitorCall(int64_t level, int64_t code, std::optional<std::string_view> message,
                                                const int64_t& first, const char* const& second) {
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(code);
    benchmark::DoNotOptimize(message);
    benchmark::DoNotOptimize(first);
    benchmark::DoNotOptimize(second);
}

void BM_Monitor_FilteredDebugCall(benchmark::State& state) {
    auto& monitor = DMSMeasurement::monitor();
    int64_t value = 12345;
    for (auto _ : state) {
        monitor.logWithLevel(7, 23000, "Debug line with contexts", value, "private text");
    }
}

void BM_Monitor_EmptyCall(benchmark::State& state) {
    int64_t value = 12345;
    const char* text = "private text";
    for (auto _ : state) {
        emptyMonitorCall(7, 23000, "Debug line with contexts", value, text);
    }
}

BENCHMARK(BM_Monitor_FilteredDebugCall);
BENCHMARK(BM_Monitor_EmptyCall);


} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    // The monitor keeps its sample in the app home: a scratch one, never the user's.
    char folder[] = "/tmp/bench-measurement-XXXXXX";
    if (!::mkdtemp(folder)) {
        return 1;
    }
    plat::AppHome::configure(std::string(folder) + "/home");
    (void)plat::AppHome::createFolders();
    benchmark::Initialize(&argc, argv);
    bench::TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    if (t.count("BM_Monitor_FilteredDebugCall") && t.count("BM_Monitor_EmptyCall")) {
        double ours = t["BM_Monitor_FilteredDebugCall"];
        double base = t["BM_Monitor_EmptyCall"];
        std::printf("filtered monitor call: %.2f ns, empty out-of-line call: %.2f ns, speed ratio %.2fx (goal >= 0.5x)\n",
                    ours, base, base / ours);
    }
    benchmark::Shutdown();
    std::string cleanup = std::string("rm -rf '") + folder + "' '" + folder + "/home.device'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
