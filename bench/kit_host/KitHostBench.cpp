// The kit host's two hot paths against their natural baselines, on the threaded backend:
// - a read of the file-backed defaults (a sync onto its serial queue) against a std::unordered_map look-up
//   under a std::mutex, over the same 100 keys (goal: at most 10x);
// - the reader's walk over every load command of a 64 MiB fat file against a hand-written loop over the
//   same mapping (goal: at most 1.5x).
// main prints both ratios after the runs.

#include "kit_host/VZRMachO.hpp"
#include "kit_host/VZRUserDefaults.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Value.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kKeys = 100;
constexpr uint64_t kFatSize = 64ull << 20;

std::map<std::string, double>& nsPerItem() {
    static std::map<std::string, double> m;
    return m;
}

void record(benchmark::State& state, const char* name, double items, double seconds) {
    state.SetItemsProcessed(static_cast<int64_t>(items));
    nsPerItem()[name] = seconds * 1e9 / items;
}

std::vector<std::string> keys() {
    std::vector<std::string> out;
    for (int i = 0; i < kKeys; ++i)
        out.push_back("com.vuzidorazav.key." + std::to_string(i));
    return out;
}

void BM_VZRUserDefaultsObjectForKey(benchmark::State& state) {
    auto& defaults = VZRUserDefaults::standardUserDefaults();
    const auto names = keys();
    for (int i = 0; i < kKeys; ++i)
        defaults.setString("value-" + std::to_string(i), names[i]);
    size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto v = defaults.objectForKey(names[i++ % kKeys]);
        benchmark::DoNotOptimize(v);
    }
    record(state, "defaults", static_cast<double>(state.iterations()),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_VZRUserDefaultsObjectForKey)->UseRealTime();

void BM_MutexMapLookup(benchmark::State& state) {
    std::mutex mutex;
    std::unordered_map<std::string, plat::Value> map;
    const auto names = keys();
    for (int i = 0; i < kKeys; ++i)
        map.emplace(names[i], plat::Value("value-" + std::to_string(i)));
    size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::optional<plat::Value> v;
        {
            std::lock_guard lock(mutex);
            auto it = map.find(names[i++ % kKeys]);
            if (it != map.end())
                v = it->second;
        }
        benchmark::DoNotOptimize(v);
    }
    record(state, "map", static_cast<double>(state.iterations()),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_MutexMapLookup)->UseRealTime();

// A fat file of two 32 MiB slices, each a 64-bit header followed by 16-byte load commands.
std::string fatFixture() {
    const std::string path = plat::AppHome::tmp() + "/bench-fat";
    if (std::filesystem::exists(path))
        return path;
    const uint64_t slice = kFatSize / 2;
    std::vector<uint8_t> bytes(kFatSize, 0);
    auto put = [&](uint64_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); };
    auto putBig = [&](uint64_t at, uint32_t v) { put(at, __builtin_bswap32(v)); };
    putBig(0, 0xCAFEBABE);
    putBig(4, 2);
    for (int s = 0; s < 2; ++s) {
        const uint64_t offset = s == 0 ? 4096 : slice;
        const uint64_t size = (s == 0 ? slice : kFatSize) - offset;
        putBig(8 + 20 * s, 0x0100000C);
        putBig(8 + 20 * s + 4, 0);
        putBig(8 + 20 * s + 8, static_cast<uint32_t>(offset));
        putBig(8 + 20 * s + 12, static_cast<uint32_t>(size));
        const uint32_t commands = static_cast<uint32_t>((size - 32) / 16);
        put(offset, 0xFEEDFACF);
        put(offset + 4, 0x0100000C);
        put(offset + 16, commands);
        for (uint64_t c = 0; c < commands; ++c) {
            put(offset + 32 + 16 * c, 0x80000000 | static_cast<uint32_t>(c & 0xFF));
            put(offset + 32 + 16 * c + 4, 16);
        }
    }
    (void)plat::writeData(path, bytes);
    return path;
}

void BM_ReaderWalk64MiB(benchmark::State& state) {
    VZRMachOFile file;
    if (!VZRMachOFileMap(&file, fatFixture().c_str())) {
        state.SkipWithError("cannot map the fixture");
        return;
    }
    uint64_t commands = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        uint64_t sum = 0;
        VZRMachOFileEnumerateSlices(&file, [&](VZRMachOSliceInfo* slice) {
            VZRMachOSliceEnumerateLoadCommands(slice, [&](const VZRMachOLoadCommand& c) { sum += c.type; ++commands; });
        });
        benchmark::DoNotOptimize(sum);
    }
    record(state, "reader", static_cast<double>(commands),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    VZRMachOFileUnmap(&file);
}
BENCHMARK(BM_ReaderWalk64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

// What one would write by hand for this one file: fat table, then each slice's commands, with the same
// end-of-file checks.
void BM_HandWrittenWalk64MiB(benchmark::State& state) {
    VZRMachOFile file;
    if (!VZRMachOFileMap(&file, fatFixture().c_str())) {
        state.SkipWithError("cannot map the fixture");
        return;
    }
    const auto* base = static_cast<const uint8_t*>(file.mappedFile);
    const uint64_t size = file.mappedSize;
    auto word = [&](uint64_t at) {
        uint32_t v;
        std::memcpy(&v, base + at, 4);
        return v;
    };
    uint64_t commands = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        uint64_t sum = 0;
        const uint32_t slices = __builtin_bswap32(word(4));
        for (uint32_t s = 0; s < slices; ++s) {
            const uint64_t offset = __builtin_bswap32(word(8 + 20 * s + 8));
            const uint32_t count = word(offset + 16);
            uint64_t at = offset + 32;
            for (uint32_t c = 0; c < count && at + 8 <= size; ++c) {
                const uint32_t cmdsize = word(at + 4);
                if (cmdsize < 8 || cmdsize > size - at)
                    break;
                sum += word(at);
                ++commands;
                at += cmdsize;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    record(state, "hand", static_cast<double>(commands),
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    VZRMachOFileUnmap(&file);
}
BENCHMARK(BM_HandWrittenWalk64MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    char folder[] = "/tmp/kit-host-bench-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    plat::AppHome::configure(std::string(folder) + "/home");
    (void)plat::AppHome::createFolders();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& m = nsPerItem();
    if (m.count("defaults") && m.count("map"))
        std::printf("defaults read: %.1f ns, mutex map: %.1f ns, ratio %.2fx (goal <= 10x)\n", m["defaults"],
                    m["map"], m["defaults"] / m["map"]);
    if (m.count("reader") && m.count("hand"))
        std::printf("load-command walk: %.2f ns/command, hand-written: %.2f ns/command, ratio %.2fx (goal <= 1.5x)\n",
                    m["reader"], m["hand"], m["reader"] / m["hand"]);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
