// Reading the generated 4092-actuator calibration table (a 4092 x 4092 double matrix), plain and
// compressed, with the kit's MAT reader against libmatio reading the same file.
//
// Both read every variable of the file into memory. libmatio keeps MATLAB's column-major layout;
// the kit's reader also lays each matrix out row-major, which is the extra work it must hide. The
// goal is at most 1.5 times libmatio's time for each file; the ratios are printed after the runs.
// Times are process CPU time (system time included), so that other work on a shared machine does
// not count, while any helper thread of a reader would.
#include <krv/MatFileReader.h>

#include <benchmark/benchmark.h>

#include "support/RatioReporter.h"
#include <matio.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace {

constexpr double kGoal = 1.5;

std::string tablePath(bool compressed)
{
    const char* env = std::getenv("KRV_TESTDATA_DIR");
    const std::string dir = env && *env ? env : KRV_BENCH_TESTDATA_DIR;
    return dir + "/calibration/cdm_4092" + (compressed ? "_z" : "") + ".mat";
}

MirrorKit::MatlabVariables kitRead(const std::string& path)
{
    MirrorKit::MatFileReader r;
    if (!r.open(path))
        throw std::runtime_error("cannot open " + path);
    auto vars = r.read();
    r.close();
    return vars;
}

// Reads every variable with libmatio; returns how many there were, and hands each to `keep`.
template <class F>
int matioRead(const std::string& path, F keep)
{
    mat_t* mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
    if (!mat)
        return -1;
    int count = 0;
    while (matvar_t* v = Mat_VarReadNext(mat)) {
        keep(v);
        Mat_VarFree(v);
        ++count;
    }
    Mat_Close(mat);
    return count;
}

void BM_KitReader(benchmark::State& state, bool compressed)
{
    const std::string path = tablePath(compressed);
    for (auto _ : state) {
        auto vars = kitRead(path);
        benchmark::DoNotOptimize(vars.data());
    }
}

void BM_Libmatio(benchmark::State& state, bool compressed)
{
    const std::string path = tablePath(compressed);
    for (auto _ : state) {
        const int n = matioRead(path, [](matvar_t* v) { benchmark::DoNotOptimize(v->data); });
        if (n <= 0)
            state.SkipWithError("libmatio could not read the table");
    }
}

// Before timing: both readers must see the same reconstructor, element by element.
bool sameContent(bool compressed)
{
    const std::string path = tablePath(compressed);
    const cv::Mat kit = MirrorKit::MatFileReader::find<cv::Mat>(kitRead(path), "DM_reconstructor");
    bool ok = false;
    matioRead(path, [&](matvar_t* v) {
        if (std::string(v->name) != "DM_reconstructor" || v->rank != 2 || v->class_type != MAT_C_DOUBLE)
            return;
        const size_t rows = v->dims[0], cols = v->dims[1];
        if (static_cast<size_t>(kit.rows) != rows || static_cast<size_t>(kit.cols) != cols)
            return;
        const auto* d = static_cast<const double*>(v->data);
        for (size_t c = 0; c < cols; ++c)
            for (size_t r = 0; r < rows; ++r)
                if (kit.at<double>(static_cast<int>(r), static_cast<int>(c)) != d[c * rows + r])
                    return;
        ok = true;
    });
    return ok;
}


}  // namespace

int main(int argc, char** argv)
{
    for (bool z : {false, true}) {
        if (!std::ifstream(tablePath(z)).good()) {
            std::fprintf(stderr, "missing %s (build the krv_testdata_big target)\n", tablePath(z).c_str());
            return 1;
        }
        if (!sameContent(z)) {
            std::fprintf(stderr, "the kit's reader and libmatio disagree on %s\n", tablePath(z).c_str());
            return 1;
        }
    }
    for (bool z : {false, true}) {
        const char* tag = z ? "compressed" : "plain";
        benchmark::RegisterBenchmark((std::string("KitReader/") + tag).c_str(), BM_KitReader, z)
            ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Repetitions(5);
        benchmark::RegisterBenchmark((std::string("Libmatio/") + tag).c_str(), BM_Libmatio, z)
            ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Repetitions(5);
    }
    benchmark::Initialize(&argc, argv);
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n");
    bool all = true;
    for (const char* tag : {"plain", "compressed"}) {
        const double kit = reporter.get(std::string("KitReader/") + tag);
        const double base = reporter.get(std::string("Libmatio/") + tag);
        if (kit <= 0 || base <= 0) {
            std::printf("%s: ratio not available (both benchmarks must run)\n", tag);
            all = false;
            continue;
        }
        const double ratio = kit / base;
        std::printf("%s 4092x4092 table: kit %.1f ms, libmatio %.1f ms CPU time: ratio %.2f (goal at most %.1f): %s\n",
                    tag, kit * 1e3, base * 1e3, ratio, kGoal, ratio <= kGoal ? "met" : "NOT met");
        all = all && ratio <= kGoal;
    }
    return all ? 0 : 2;
}
