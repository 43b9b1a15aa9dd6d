// Loading a continuous-mirror calibration table against one LU factorization (LAPACK dgetrf) of its matrix.
//
// A load reads the table, reduces and scales the reconstructor, factorizes it (checking its condition), scans
// the flat pistons for the piston range and evaluates the mid-stroke command and slope. The goal is at most 4
// times one dgetrf of the same matrix for the generated 4092- and 952-actuator tables; the ratios are printed
// after the runs. The goal is judged on process CPU time (all threads, so that other work on a shared machine
// does not count while every helper thread of either side does); wall-clock ratios are printed beside it.
#include "KRV_CDMCalibration.h"
#include "krv/MatFileReader.h"

#include <benchmark/benchmark.h>

#include "support/RatioReporter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);

namespace {

constexpr double kGoal = 4.0;

std::string tablePath(int actuators) {
    const char* env = std::getenv("KRV_TESTDATA_DIR");
    const std::string dir = env && *env ? env : KRV_BENCH_TESTDATA_DIR;
    return dir + "/calibration/cdm_" + std::to_string(actuators) + ".mat";
}

void BM_Dgetrf(benchmark::State& state) {
    const int actuators = static_cast<int>(state.range(0));
    MirrorKit::MatFileReader reader;
    if (!reader.open(tablePath(actuators))) {
        state.SkipWithError("no generated table");
        return;
    }
    const cv::Mat a = MirrorKit::MatFileReader::find<cv::Mat>(reader.read(), "DM_reconstructor").clone();
    const int n = a.rows;
    std::vector<double> work(a.total());
    std::vector<int> pivots(static_cast<size_t>(n));
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), a.ptr<double>(), sizeof(double) * work.size());
        state.ResumeTiming();
        int info = 0;
        dgetrf_(&n, &n, work.data(), &n, pivots.data(), &info);
        benchmark::DoNotOptimize(work.data());
        if (info != 0) state.SkipWithError("singular matrix");
    }
}

void BM_CalibrationLoad(benchmark::State& state) {
    const int actuators = static_cast<int>(state.range(0));
    for (auto _ : state) {
        MirrorKit::KRV_CDMCalibration cal(static_cast<uint32_t>(actuators));
        if (cal.load(tablePath(actuators)) != NO_ERR) {
            state.SkipWithError("the table does not load");
            break;
        }
        benchmark::DoNotOptimize(cal.pistonMin());
        if (cal.solverMethod() != MirrorKit::ReconstructorSolver::Method::LU)
            state.SkipWithError("the table was solved by SVD");
    }
}

BENCHMARK(BM_Dgetrf)->Arg(952)->Arg(4092)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_CalibrationLoad)->Arg(952)->Arg(4092)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Compares the load with one LU factorization of the same matrix, for each table size.
int summary(const krvbench::RatioReporter& reporter) {
    int failures = 0;
    for (const char* n : {"952", "4092"}) {
        const krvbench::Times load = reporter.times(std::string("BM_CalibrationLoad/") + n);
        const krvbench::Times lu = reporter.times(std::string("BM_Dgetrf/") + n);
        if (load.cpu < 0 || lu.cpu < 0) {
            std::printf("%s actuators: not measured\n", n);
            ++failures;
            continue;
        }
        const double ratio = load.cpu / lu.cpu;
        std::printf("%s actuators: load %.1f ms, dgetrf %.1f ms (process CPU), ratio %.2f (goal <= %.1f) %s; "
                    "wall-clock ratio %.2f\n",
                    n, load.cpu * 1e3, lu.cpu * 1e3, ratio, kGoal, ratio <= kGoal ? "met" : "MISSED",
                    load.wall / lu.wall);
        failures += ratio > kGoal;
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return summary(reporter) ? 1 : 0;
}
