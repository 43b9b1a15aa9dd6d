// Console reporter that keeps each benchmark's CPU time per iteration, so a program can print kit/baseline ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace krvbench {

// Keeps the median when repetitions are asked for, else the single run. CPU time: on a shared machine the wall
// clock also counts the time other processes held the core.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++errors_;
                continue;
            }
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds_[name] = seconds(run);
                fromMedian_[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !fromMedian_[name]) {
                seconds_[name] = seconds(run);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int errors() const { return errors_; }
    // Seconds per iteration, 0 when the benchmark did not run.
    double get(const std::string& name) const {
        auto it = seconds_.find(name);
        return it == seconds_.end() ? 0.0 : it->second;
    }

private:
    static double seconds(const Run& run) {
        return run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    std::map<std::string, double> seconds_;
    std::map<std::string, bool> fromMedian_;
    int errors_ = 0;
};

}  // namespace krvbench
