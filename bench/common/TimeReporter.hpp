#pragma once
// A console reporter that also keeps each benchmark's real time per iteration, for programs that print time
// ratios after the run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace bench
