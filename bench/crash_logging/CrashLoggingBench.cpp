// One user log line (VZRLog of a 100-byte message) and one custom key (setObjectValue:forKey:) per call, as
// the crash reporter does them: a synchronous hop onto the logging queue, open, append, close. The baseline
// is write() of the same line to a descriptor kept open. Runs on the threaded backend with a context in a
// temporary report folder.

#include "bench/common/CrashContext.hpp"
#include "bench/common/Medians.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUserLogging.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string& benchHome() {
    static std::string home;
    return home;
}

const std::string& message() {
    static const std::string text(100, 'm');
    return text;
}

bool startContext() {
    return bench::startCrashContext("bench_crash_logging", &benchHome());
}

void BM_VZRLog(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        VZRLog("%@", plat::Value(message()));
        samples.push_back(bench::microsSince(start));
    }
    bench::recordMedian(state, "log", samples);
}

void BM_SetObjectValue(benchmark::State& state) {
    std::vector<double> samples;
    uint64_t n = 0;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        VZRUserLoggingRecordUserKeyValue("key" + std::to_string(n++ % 16), plat::Value(message()));
        samples.push_back(bench::microsSince(start));
    }
    bench::recordMedian(state, "key", samples);
}

// The "log" line of one message, written to a descriptor kept open.
void BM_WriteLine(benchmark::State& state) {
    std::string line = "{\"log\":{\"msg\":\"";
    for (unsigned char c : message()) {
        static const char* digits = "0123456789abcdef";
        line += digits[c >> 4];
        line += digits[c & 15];
    }
    line += "\",\"time\":1700000000000}}\n";
    const std::string path = benchHome() + "/baseline";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = bench::Clock::now();
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
        samples.push_back(bench::microsSince(start));
    }
    ::close(fd);
    bench::recordMedian(state, "write", samples);
}

BENCHMARK(BM_WriteLine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VZRLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SetObjectValue)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    if (!startContext()) {
        std::fprintf(stderr, "cannot start the crash-time context\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& m = bench::medians();
    if (m.count("write") && m.count("log") && m.count("key")) {
        std::printf("per call: write() %.2f us, VZRLog %.2f us, setObjectValue:forKey: %.2f us\n", m["write"],
                    m["log"], m["key"]);
        std::printf("ratio to write(): VZRLog %.1fx, setObjectValue:forKey: %.1fx (goal <= 20x)\n",
                    m["log"] / m["write"], m["key"] / m["write"]);
    }
    std::error_code ignored;
    std::filesystem::remove_all(benchHome(), ignored);
    return 0;
}
