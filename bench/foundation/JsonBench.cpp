// Parse and write of a ~1 MB JSON document: JSONSerialization (building plat::Value)
// against nlohmann-json's own DOM, its natural baseline. The ratio of the two is what
// matters; compare BM_*_Value with BM_*_Nlohmann of the same run.

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/foundation/Json.hpp"
#include "platform/foundation/Random.hpp"

namespace {

// A document shaped like the service replies the system reads: arrays of records with
// strings, integers, reals, bools, nulls and small nested objects.
const std::string& document() {
    static const std::string doc = [] {
        plat::Random::seed(1);
        std::string s = "{\"items\":[";
        for (int i = 0; s.size() < 1024 * 1024; ++i) {
            if (i) {
                s += ',';
            }
            s += "{\"id\":" + std::to_string(plat::Random::u64() >> 1) + ",\"name\":\"item " +
                 std::to_string(i) +
                 " caf\\u00e9 \\/ path\",\"price\":" + std::to_string(plat::Random::unit() * 1000) +
                 ",\"active\":" + (i % 3 ? "true" : "false") +
                 ",\"tags\":[\"alpha\",\"beta\",\"gamma\"],\"meta\":{\"created\":\"2021-03-04T05:06:07Z\","
                 "\"score\":" +
                 std::to_string(i % 97) + ",\"note\":null}}";
        }
        s += "],\"count\":1}";
        return s;
    }();
    return doc;
}

void BM_Parse_Value(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        auto v = plat::JSONSerialization::jsonObject(doc);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_Parse_Nlohmann(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        auto j = nlohmann::json::parse(doc);
        benchmark::DoNotOptimize(j);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_Write_Value(benchmark::State& state) {
    const plat::Value v = *plat::JSONSerialization::jsonObject(document());
    for (auto _ : state) {
        auto out = plat::JSONSerialization::data(v);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}

void BM_Write_Nlohmann(benchmark::State& state) {
    const nlohmann::json j = nlohmann::json::parse(document());
    for (auto _ : state) {
        std::string out = j.dump();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}

} // namespace

BENCHMARK(BM_Parse_Value)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_Nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_Value)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_Nlohmann)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
