// The caller-side cost of `logEventWithName:parameters:` while the screen reporter follows a screen (each
// call reads the current screen's parameters on the caller's thread, through the reporter's queue) against the
// same call with screen reporting switched off in Info.plist (goal: at least 0.7x the speed). The switch is
// read once per process, so each side runs in a child process of its own and hands its time per call to the
// parent through a pipe; both sides set up the same launched app and key window.

#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "measurement/engine/DMSScreenViewReporter.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/uikit/UIWindow.hpp"

#include "bench/common/TimeReporter.hpp"

#include "bench/measurement/BenchApp.hpp"

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

plat::Dictionary screenBenchParameters() {
    plat::Dictionary parameters;
    for (int i = 0; i < 5; ++i) {
        parameters.set("text_" + std::to_string(i), plat::Value("value " + std::to_string(i)));
        parameters.set("number_" + std::to_string(i), plat::Value(int64_t{1000 + i}));
    }
    return parameters;
}

void drainScreenBenchQueues() {
    DMSAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    DMSAnalytics::serialQueue()->sync([] {});
    if (DMSMeasurement::hasSharedInstance()) {
        DMSMeasurement::sharedInstance()->scheduler().dispatchSyncOnWorkerQueueBlockID("ScreenBench:1", [] {});
    }
}

// As the entry benchmark does: the queued work is taken off the queues with the clock stopped every batch,
// so that the loop measures the caller's side and not a growing backlog.
constexpr int64_t kScreenBenchBatch = 256;

void BM_Screen_LogEventTenParameters(benchmark::State& state) {
    const plat::Dictionary parameters = screenBenchParameters();
    int64_t inBatch = 0;
    for (auto _ : state) {
        DMSAnalytics::logEventWithName("bench_event", parameters);
        if (++inBatch == kScreenBenchBatch) {
            state.PauseTiming();
            drainScreenBenchQueues();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    drainScreenBenchQueues();
}

BENCHMARK(BM_Screen_LogEventTenParameters);


// The engine started on a launched app whose key window shows a controller of the app's own; with reporting
// on, the screen is current once this returns. The real time per call, or a negative value on failure.
double runScreenBenchSide(bool screenReporting, int argc, char** argv) {
    const std::string reporting = std::string("<key>") + DMSScreenViewReporter::kScreenReportingEnabledKey + "</key>" +
                                  (screenReporting ? "<true/>" : "<false/>");
    if (bench::startMeasurementBenchApp("screen", reporting).empty()) {
        return -1;
    }
    drainScreenBenchQueues();

    plat::rt::registerClass("ScreenBenchAppDelegate", plat::rt::rootClass(), {"UIApplicationDelegate"});
    auto app = plat::sim::App::launch("ScreenBenchAppDelegate");
    plat::rt::Class* home = plat::rt::registerClass<plat::UIViewController>("Portal.HomeViewController",
                                                                            plat::UIViewController::runtimeClass());
    auto controller = std::dynamic_pointer_cast<plat::UIViewController>(plat::rt::createInstance(home));
    auto window = plat::UIWindow::make();
    window->setRootViewController(controller);
    window->makeKeyAndVisible();
    const bool current = plat::Virtual::runUntil(
        [] { return DMSScreenViewReporter::sharedInstance().screenParameters().find("_sc") != nullptr; }, 5);
    if (current != screenReporting) {
        std::fprintf(stderr, "screen reporting %s, yet the screen is %scurrent\n", screenReporting ? "on" : "off",
                     current ? "" : "not ");
        return -1;
    }
    // Collection off, as in the entry benchmark: the caller's side is the same, and the controller drops
    // each event at once instead of storing millions of them.
    DMSAnalytics::setAnalyticsEnabled(false);
    drainScreenBenchQueues();

    benchmark::Initialize(&argc, argv);
    bench::TimeReporter reporter;
    std::printf("screen reporting %s:\n", screenReporting ? "on" : "off");
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    const auto found = reporter.times.find("BM_Screen_LogEventTenParameters");
    return found == reporter.times.end() ? -1 : found->second;
}

// One side in a child process of its own (the switch is read once per process); its time per call, or none.
std::optional<double> screenBenchSideInChild(bool screenReporting, int argc, char** argv) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return std::nullopt;
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        ::close(channel[0]);
        const double time = runScreenBenchSide(screenReporting, argc, argv);
        const bool written = ::write(channel[1], &time, sizeof time) == static_cast<ssize_t>(sizeof time);
        std::fflush(stdout);
        ::_exit(written && time > 0 ? 0 : 1);
    }
    ::close(channel[1]);
    double time = -1;
    const bool read = ::read(channel[0], &time, sizeof time) == static_cast<ssize_t>(sizeof time);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!read || time <= 0) {
        return std::nullopt;
    }
    return time;
}

} // namespace

// The two sides take turns, each round a pair of fresh processes, so that the machine's load falls on both
// alike; the ratio printed is the median of the rounds' ratios. PORTAL_BENCH_ROUNDS sets the rounds (5).
int main(int argc, char** argv) {
    const char* roundsText = std::getenv("PORTAL_BENCH_ROUNDS");
    const int rounds = roundsText && std::atoi(roundsText) > 0 ? std::atoi(roundsText) : 5;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        const auto off = screenBenchSideInChild(false, argc, argv);
        const auto on = screenBenchSideInChild(true, argc, argv);
        if (!off || !on) {
            std::fprintf(stderr, "round %d: a side failed\n", round + 1);
            return 1;
        }
        ratios.push_back(*off / *on);
        std::printf("round %d: reporting off %.0f ns, on %.0f ns per call: %.2fx\n", round + 1, *off, *on,
                    ratios.back());
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("screen ratio (reporting off time / reporting on time): %.2fx speed, median of %d rounds "
                "(%.2f-%.2fx) (goal >= 0.7x)\n",
                ratios[ratios.size() / 2], rounds, ratios.front(), ratios.back());
    return 0;
}
