// KRVSetArray + KRVGetArray on a dummy 4096-actuator mirror against a plain clamp-convert-copy loop.
//
// The baseline does the least any implementation must do per frame: clamp each value to [0,1], convert it to
// driver units with exact half-away-from-zero rounding (bit-identical to lround, written inline because the
// library call alone costs about as much as everything else), and copy the 4096 results. The goal is that the
// kit's round trip costs at most 1.5 times the baseline; the ratio is printed after both have run.
#include <KRV.h>

#include <krv/Profile.h>

#include <benchmark/benchmark.h>

#include "support/MirrorTree.h"
#include "support/RatioReporter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kActuators = 4096;
constexpr uint32_t kMaxVoltage = 300;
constexpr uint32_t kVoltageLimit = 270;
constexpr double kRatio = static_cast<double>(kVoltageLimit) / kMaxVoltage;
constexpr const char* kSerial = "BENCH409601";
constexpr double kGoal = 1.5;

// Values around [0,1] with some outside it, the same on every run.
std::vector<double> frameValues() {
    std::vector<double> v(kActuators);
    uint32_t seed = 12345;
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = -0.1 + 1.2 * (seed >> 8) / 16777216.0;
    }
    return v;
}

// lround for non-negative values below 2^32: the fraction is exact after truncation, so comparing it with 0.5
// rounds exactly as lround does, including at x.5 and just below it.
inline uint32_t roundHalfAway(double x) {
    const uint32_t whole = static_cast<uint32_t>(x);
    return whole + (x - static_cast<double>(whole) >= 0.5 ? 1u : 0u);
}

inline uint32_t toUnits(double value) {
    const double x = value < 0.0 ? 0.0 : (value > 1.0 ? 1.0 : value);
    return roundHalfAway(x * 65535.0 * kRatio);
}

// The dummy mirror of the benchmark, on its own temporary install tree; removed at exit.
class DummyMirror {
public:
    DummyMirror() : tree_("krv-bench") {
        tree_.open(kSerial, {"type=2", "size=" + std::to_string(kActuators), "maxv=" + std::to_string(kMaxVoltage),
                             "vlim=" + std::to_string(kVoltageLimit)});
    }
    DM* dm() const { return tree_.dm(); }
    KRVRC rc() const { return tree_.rc(); }

private:
    krvbench::MirrorTree tree_;
};

DummyMirror& mirror() {
    static DummyMirror m;
    return m;
}

void BM_SetGetArray_Dummy4096(benchmark::State& state) {
    DM* dm = mirror().dm();
    if (!dm) {
        state.SkipWithError((std::string("KRVOpen failed: ") + KRVErrorString(mirror().rc())).c_str());
        return;
    }
    const std::vector<double> in = frameValues();
    std::vector<double> out(kActuators);
    // One checked round trip first: a fast wrong answer is no result.
    if (KRVSetArray(dm, in.data(), nullptr) != NO_ERR || KRVGetArray(dm, out.data(), kActuators) != NO_ERR) {
        state.SkipWithError("KRVSetArray or KRVGetArray failed");
        return;
    }
    for (uint32_t i = 0; i < kActuators; ++i) {
        const double expected = toUnits(in[i]) / 65535.0 / kRatio;
        if (std::fabs(out[i] - std::min(expected, 1.0)) > 1e-12) {
            state.SkipWithError(("actuator " + std::to_string(i) + " read back wrong").c_str());
            return;
        }
    }
    for (auto _ : state) {
        KRVSetArray(dm, in.data(), nullptr);
        KRVGetArray(dm, out.data(), kActuators);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kActuators);
}

void BM_Baseline_ClampConvertCopy4096(benchmark::State& state) {
    const std::vector<double> in = frameValues();
    std::vector<uint32_t> units(kActuators), copy(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) {
        const double x = std::clamp(in[i], 0.0, 1.0) * 65535.0 * kRatio;
        if (toUnits(in[i]) != static_cast<uint32_t>(std::lround(x))) {
            state.SkipWithError(("baseline rounding differs from lround at value " + std::to_string(i)).c_str());
            return;
        }
    }
    for (auto _ : state) {
        for (uint32_t i = 0; i < kActuators; ++i) units[i] = toUnits(in[i]);
        std::copy(units.begin(), units.end(), copy.begin());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kActuators);
}

BENCHMARK(BM_SetGetArray_Dummy4096);
BENCHMARK(BM_Baseline_ClampConvertCopy4096);


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double kit = reporter.get("BM_SetGetArray_Dummy4096");
    const double base = reporter.get("BM_Baseline_ClampConvertCopy4096");
    if (kit > 0 && base > 0) {
        const double ratio = kit / base;
        std::printf("\nSetArray+GetArray %.0f ns, baseline %.0f ns CPU time per 4096-value frame: ratio %.2f (goal at most %.1f): %s\n",
                    kit * 1e9, base * 1e9, ratio, kGoal, ratio <= kGoal ? "met" : "NOT met");
    } else {
        std::printf("\nratio not available: both benchmarks must run (filter or failure)\n");
    }
    benchmark::Shutdown();
    // A benchmark that could not run (or checked a wrong result) fails the program.
    return reporter.errors() == 0 ? 0 : 1;
}
