#pragma once
// Per-request latency samples for the network benchmarks: the goals are medians, which the framework's
// mean per iteration does not give. Each benchmark records its median under a short name; main prints
// the ratios from them at the end.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

} // namespace bench
