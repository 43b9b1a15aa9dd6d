// Console reporter that keeps each benchmark's times per iteration, so a program can print kit/baseline ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace krvbench {

// Seconds per iteration; negative when the benchmark did not run.
struct Times {
    double cpu = -1.0;
    double wall = -1.0;
};

// Keeps the median when repetitions are asked for, else the single run, under the function name and, for
// benchmarks with arguments, under "function/args" too. CPU time is what ratios are judged on: on a shared machine
// the wall clock also counts the time other processes held the core.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++errors_;
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration;
            if (!median && !single) continue;
            const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
            const Times t{run.GetAdjustedCPUTime() / unit, run.GetAdjustedRealTime() / unit};
            std::vector<std::string> keys{run.run_name.function_name};
            if (!run.run_name.args.empty()) keys.push_back(run.run_name.function_name + "/" + run.run_name.args);
            for (const std::string& key : keys) {
                if (median) {
                    times_[key] = t;
                    fromMedian_[key] = true;
                } else if (!fromMedian_[key]) {
                    times_[key] = t;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int errors() const { return errors_; }
    Times times(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? Times{} : it->second;
    }
    // CPU seconds per iteration, 0 when the benchmark did not run.
    double get(const std::string& name) const {
        const double cpu = times(name).cpu;
        return cpu < 0 ? 0.0 : cpu;
    }

private:
    std::map<std::string, Times> times_;
    std::map<std::string, bool> fromMedian_;
    int errors_ = 0;
};

}  // namespace krvbench
