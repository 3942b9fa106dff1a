#pragma once
// A console reporter that also keeps each benchmark's items per second, for programs that print throughput
// ratios after the run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class PerSecondReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) {
                perSecond[run.benchmark_name()] = items->second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> perSecond;
};

} // namespace bench
