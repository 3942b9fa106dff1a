// Recording one custom event of five attributes in an event log: the kit's write operation (attribute rules,
// line format, open, append, close) against nlohmann's dump of the same payload written to a descriptor kept
// open (goal: at most 5x). main prints the ratio after the runs.

#include "ZazududIda/ZDAEvent.hpp"
#include "ZazududIda/ZDAMetadata.hpp"
#include "ZazududIda/ZDAWriteEventOperation.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

namespace {

std::string& benchFolder() {
    static std::string folder;
    return folder;
}

std::map<std::string, double>& nsPerEvent() {
    static std::map<std::string, double> m;
    return m;
}

void recordEvents(benchmark::State& state, const char* name, std::chrono::steady_clock::time_point start) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetItemsProcessed(state.iterations());
    nsPerEvent()[name] = seconds * 1e9 / static_cast<double>(state.iterations());
}

plat::Dictionary fiveAttributes() {
    return plat::Dictionary{{"screen", plat::Value("checkout")},
                            {"items", plat::Value(int64_t(3))},
                            {"total", plat::Value(59.9)},
                            {"coupon", plat::Value("SPRING")},
                            {"first_time", plat::Value(true)}};
}

void BM_ZDAWriteEventOperation(benchmark::State& state) {
    const plat::URL log = plat::URL::file(benchFolder() + "/ours.log");
    std::filesystem::remove(log.path());
    const ZDAMetadata metadata(ZDAMetadata::Fields{});
    const plat::Dictionary attributes = fiveAttributes();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto event = std::make_shared<ZDACustomEvent>("purchase_done", attributes);
        ZDAWriteEventOperation op(event, metadata, log);
        op.main();
        benchmark::DoNotOptimize(op.success());
    }
    recordEvents(state, "ours", start);
}
BENCHMARK(BM_ZDAWriteEventOperation)->UseRealTime();

void BM_NlohmannDumpAndWrite(benchmark::State& state) {
    const std::string path = benchFolder() + "/baseline.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the baseline log");
        return;
    }
    const nlohmann::json attributes = {
        {"screen", "checkout"}, {"items", 3}, {"total", 59.9}, {"coupon", "SPRING"}, {"first_time", true}};
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        nlohmann::json payload = {{"eventId", "1B4E28BA-2FA1-11D2-883F-0016D3CCA427"},
                                  {"custom_type", "purchase_done"},
                                  {"custom_attributes", attributes}};
        const std::string json = payload.dump();
        const std::string line = "1500\tcustom\t" + std::to_string(json.size()) + "\t" + json + "\n";
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    }
    recordEvents(state, "baseline", start);
    ::close(fd);
}
BENCHMARK(BM_NlohmannDumpAndWrite)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    char folder[] = "/tmp/events-write-bench-XXXXXX";
    if (!::mkdtemp(folder)) {
        return 1;
    }
    benchFolder() = folder;
    plat::AppHome::configure(std::string(folder) + "/home");
    (void)plat::AppHome::createFolders();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& m = nsPerEvent();
    if (m.count("ours") && m.count("baseline")) {
        std::printf("event write: %.0f ns, nlohmann dump + write: %.0f ns, ratio %.2fx (goal <= 5x)\n", m["ours"],
                    m["baseline"], m["ours"] / m["baseline"]);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
