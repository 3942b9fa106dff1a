#pragma once
// Per-request latency samples for the network benchmarks: the goals are medians, which the framework's
// mean per iteration does not give. Each benchmark records its median under a short name; main prints
// the ratios from them at the end.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Medians in microseconds, by short name.
inline std::map<std::string, double>& medians() {
    static std::map<std::string, double> m;
    return m;
}

inline double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

inline double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

inline void recordMedian(benchmark::State& state, const char* name, const std::vector<double>& samples) {
    const double m = median(samples);
    state.counters["median_us"] = m;
    medians()[name] = m;
}

// The latency lines for the medians recorded as `ours` (and `ours`-interleaved) against "easy-same" (and
// "easy-same-interleaved") and "easy"; `label` names ours in the text.
inline void printLatencyRatios(const std::string& ours, const char* label) {
    auto& m = medians();
    if (m.count(ours) && m.count("easy-same") && m.count("easy")) {
        std::printf("median latency: %s %.1f us, easy with the same headers %.1f us, bare easy %.1f us\n",
                    label, m[ours], m["easy-same"], m["easy"]);
        std::printf("latency ratio: %.2fx of easy with the same headers, %.2fx of bare easy\n",
                    m[ours] / m["easy-same"], m[ours] / m["easy"]);
    }
    const std::string inTurns = ours + "-interleaved";
    if (m.count(inTurns) && m.count("easy-same-interleaved")) {
        std::printf("taken in turns: %s %.1f us, easy with the same headers %.1f us, latency ratio %.2fx\n",
                    label, m[inTurns], m["easy-same-interleaved"], m[inTurns] / m["easy-same-interleaved"]);
    }
}

} // namespace bench
