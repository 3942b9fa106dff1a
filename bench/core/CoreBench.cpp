// The core's hot paths against their natural baselines, with the ratios printed at the end:
// - a log call filtered out by the level (the common case: debug lines in a normal run) against the bare
//   compare of a level with an atomic current level (goal: at most 3x);
// - gzip and inflate of 1 MiB through 1024-byte output chunks against zlib compressing or inflating the
//   same data in one call into a buffer of the right size (goal: at least 0.7x the throughput).

#include "core/DVUGzip.hpp"
#include "core/DVULogger.hpp"
#include "platform/dispatch/Backend.hpp"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace {

// Text-like data that compresses about as well as log files and stored bundles do.
const plat::Data& input() {
    static const plat::Data data = [] {
        const char* words[] = {"event", "param", "session", "value", "timestamp", "origin", "app", "screen",
                               "engagement", "user", "property", "1", "42", "1700000000", "true", "_c"};
        std::mt19937 random(7);
        plat::Data d;
        while (d.size() < (1u << 20)) {
            const char* w = words[random() % 16];
            d.insert(d.end(), w, w + std::char_traits<char>::length(w));
            d.push_back(random() % 8 == 0 ? '\n' : ' ');
        }
        d.resize(1u << 20);
        return d;
    }();
    return data;
}

plat::Data zlibGzipOneShot(const plat::Data& in) {
    z_stream s{};
    deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    plat::Data out(deflateBound(&s, in.size()));
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

plat::Data zlibInflateOneShot(const plat::Data& in, size_t size) {
    z_stream s{};
    inflateInit2(&s, 47);
    plat::Data out(size);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

void BM_Log_Filtered(benchmark::State& state) {
    long i = 0;
    for (auto _ : state) {
        DVULoggerWriteDebug("[Bench]", false, "I-BEN000001", "value %ld", ++i);
    }
}

void BM_Log_BareCompare(benchmark::State& state) {
    static std::atomic<long> current{DVULoggerLevelNotice};
    long written = 0;
    for (auto _ : state) {
        long level = DVULoggerLevelDebug;
        benchmark::DoNotOptimize(level);
        if (level <= current.load(std::memory_order_relaxed)) {
            ++written;
        }
        benchmark::DoNotOptimize(written);
    }
}

void BM_Gzip_Chunked(benchmark::State& state) {
    for (auto _ : state) {
        auto out = dvu_dataByGzippingData(input());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input().size()));
}

void BM_Gzip_ZlibOneShot(benchmark::State& state) {
    for (auto _ : state) {
        auto out = zlibGzipOneShot(input());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input().size()));
}

void BM_Inflate_Chunked(benchmark::State& state) {
    const plat::Data zipped = zlibGzipOneShot(input());
    for (auto _ : state) {
        auto out = dvu_dataByInflatingGzippedData(zipped);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input().size()));
}

void BM_Inflate_ZlibOneShot(benchmark::State& state) {
    const plat::Data zipped = zlibGzipOneShot(input());
    for (auto _ : state) {
        auto out = zlibInflateOneShot(zipped, input().size());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input().size()));
}

BENCHMARK(BM_Log_Filtered);
BENCHMARK(BM_Log_BareCompare);
BENCHMARK(BM_Gzip_Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gzip_ZlibOneShot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate_Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate_ZlibOneShot)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration (nanoseconds) for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime() *
                                              (run.time_unit == benchmark::kMillisecond ? 1e6 : 1.0);
            }
        }
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    plat::Backend::select(plat::BackendKind::threaded);
    DVULoggerSetUpOnce();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.times;
    if (t.count("BM_Log_Filtered") && t.count("BM_Log_BareCompare")) {
        std::printf("filtered log call: %.2f ns, bare level compare: %.2f ns, ratio %.2fx (goal <= 3x)\n",
                    t["BM_Log_Filtered"], t["BM_Log_BareCompare"], t["BM_Log_Filtered"] / t["BM_Log_BareCompare"]);
    }
    for (const char* what : {"Gzip", "Inflate"}) {
        const std::string ours = std::string("BM_") + what + "_Chunked";
        const std::string base = std::string("BM_") + what + "_ZlibOneShot";
        if (t.count(ours) && t.count(base)) {
            std::printf("%s 1 MiB: chunked %.2f ms, zlib one-shot %.2f ms, throughput ratio %.2fx (goal >= 0.7x)\n",
                        what, t[ours] / 1e6, t[base] / 1e6, t[base] / t[ours]);
        }
    }
    benchmark::Shutdown();
    return 0;
}
