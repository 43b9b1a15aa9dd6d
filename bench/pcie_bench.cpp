// PCIe back end on emulated cards: frames and lookup-table loads against the same transfers made directly.
//
// Frames: KRVSetArray on a 4096-actuator one-card mirror (conversion, packing, two bursts with the card's
// 80 us pause between them) against the same two bursts of prepacked words sent with WriteMemBurst and the
// same pause. Tables: one KRV_PCIeWriteLUT (one read, 4099 register writes) against 4099 bare WriteReg calls.
// The goal for both is a rate of at least 0.8 of the baseline's; the ratios are printed after the runs. The
// frame baseline without the pause is reported as well, to show what the pause costs.
#include <KRV.h>
#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include <krv/Profile.h>
#include <krv/emu/pexcard.h>
#include <krv/platform/named_lock.h>

#include <benchmark/benchmark.h>

#include "support/MirrorTree.h"
#include "support/RatioReporter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kActuators = 4096;
constexpr uint32_t kFrameMemory = 32;
constexpr uint32_t kRegLut = 6;
constexpr uint32_t kRegOrientation = 7;
constexpr const char* kSerial = "BENCHPCIE01";
constexpr double kGoal = 0.8;

std::vector<double> frameValues() {
    std::vector<double> v(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) v[i] = static_cast<double>(i) / (kActuators - 1);
    return v;
}

void pause80us() {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(80)) {
    }
}

// One emulated card and an install tree with a 4096-actuator PCIe profile, opened through the core; all of it
// removed at exit. The card-access lock is this process's own.
class Bench {
public:
    Bench() : tree_("krv-pcie-bench") {
        const std::string& dir = tree_.path();
        if (dir.empty()) return;
        lockName_ = "krv-pcie-bench-" + std::to_string(getpid());
        setenv("PEXLINK_LOCK_NAME", lockName_.c_str(), 1);
        PEXCleanUp();
        PEXInit();
        setenv("PEXLINK_DEVICE_DIR", (dir + "/dev").c_str(), 1);
        setenv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_not_in_bench.so", 1);
        ::mkdir((dir + "/dev").c_str(), 0755);
        MirrorKit::Emu::CardOptions options;
        if (!MirrorKit::Emu::createCards(dir + "/dev", 1, options)) return;
        card_ = MirrorKit::Emu::Card::open(MirrorKit::Emu::cardDevicePath(dir + "/dev", 1));
        tree_.open(kSerial, {"type=1", "size=" + std::to_string(kActuators), "maxv=200", "vlim=200", "hva=2",
                             "use_fiber=1", "fiber_mode=1"});
    }
    ~Bench() {
        // Closing zeroes the card, so it comes before the card and the lock go.
        tree_.close();
        card_.reset();
        if (!lockName_.empty()) MirrorKit::platform::NamedLock::remove(lockName_);
    }
    DM* dm() const { return tree_.dm(); }
    KRVRC rc() const { return tree_.rc(); }
    MirrorKit::Emu::Card* card() const { return card_.get(); }

private:
    krvbench::MirrorTree tree_;
    std::string lockName_;
    std::unique_ptr<MirrorKit::Emu::Card> card_;
};

Bench& bench() {
    static Bench b;
    return b;
}

bool ready(benchmark::State& state) {
    if (bench().dm() && bench().card()) return true;
    state.SkipWithError((std::string("PCIe mirror not open: ") + KRVErrorString(bench().rc())).c_str());
    return false;
}

// The words KRVSetArray must put into the card's frame memory for frameValues().
std::vector<uint32_t> packedFrame() {
    const auto values = frameValues();
    std::vector<uint32_t> words(kActuators / 2);
    for (uint32_t k = 0; k < words.size(); ++k) {
        const auto lo = static_cast<uint32_t>(std::lround(values[2 * k] * 65535.0));
        const auto hi = static_cast<uint32_t>(std::lround(values[2 * k + 1] * 65535.0));
        words[k] = lo | (hi << 16);
    }
    return words;
}

void BM_KRVSetArray_4096(benchmark::State& state) {
    if (!ready(state)) return;
    DM* dm = bench().dm();
    const auto values = frameValues();
    // One checked frame first: a fast wrong answer is no result.
    if (KRVSetArray(dm, values.data(), nullptr) != NO_ERR ||
        bench().card()->frameWords(0, kActuators / 2) != packedFrame()) {
        state.SkipWithError("frame did not land on the card as expected");
        return;
    }
    for (auto _ : state) {
        if (KRVSetArray(dm, values.data(), nullptr) != NO_ERR) state.SkipWithError("KRVSetArray failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void sendBursts(benchmark::State& state, bool withPause) {
    if (!ready(state)) return;
    const auto words = packedFrame();
    const uint32_t half = kActuators / 4;
    const auto total = static_cast<uint32_t>(words.size());
    for (auto _ : state) {
        uint32_t rc = WriteMemBurst(1, kFrameMemory, half, words.data());
        if (withPause) pause80us();
        rc |= WriteMemBurst(1, kFrameMemory + half, total - half, words.data() + half);
        if (rc != 0) state.SkipWithError("WriteMemBurst failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Baseline_TwoBurstsWithPause(benchmark::State& state) { sendBursts(state, true); }
void BM_Baseline_TwoBurstsNoPause(benchmark::State& state) { sendBursts(state, false); }

void BM_KRV_PCIeWriteLUT(benchmark::State& state) {
    if (!ready(state)) return;
    DM* dm = bench().dm();
    std::vector<uint32_t> map(kActuators), enable(kActuators, 1);
    for (uint32_t i = 0; i < kActuators; ++i) map[i] = kActuators - 1 - i;
    if (KRV_PCIeWriteLUT(dm, map.data(), enable.data()) != NO_ERR || bench().card()->lut() != map) {
        state.SkipWithError("table did not land on the card as expected");
        return;
    }
    for (auto _ : state) {
        if (KRV_PCIeWriteLUT(dm, map.data(), enable.data()) != NO_ERR) state.SkipWithError("table load failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Baseline_4099WriteReg(benchmark::State& state) {
    if (!ready(state)) return;
    // The same writes as a table load: reset, 4096 entries, reset, orientation.
    for (auto _ : state) {
        uint32_t rc = WriteReg(1, kRegLut, 0x80000000u);
        for (uint32_t i = 0; i < kActuators; ++i) rc |= WriteReg(1, kRegLut, kActuators - 1 - i);
        rc |= WriteReg(1, kRegLut, 0x80000000u);
        rc |= WriteReg(1, kRegOrientation, 0);
        if (rc != 0) state.SkipWithError("WriteReg failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_KRVSetArray_4096);
BENCHMARK(BM_Baseline_TwoBurstsWithPause);
BENCHMARK(BM_Baseline_TwoBurstsNoPause);
BENCHMARK(BM_KRV_PCIeWriteLUT)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Baseline_4099WriteReg)->Unit(benchmark::kMillisecond);


void printRatio(const krvbench::RatioReporter& reporter, const char* what, const char* kit, const char* base,
                bool judged = true) {
    const double k = reporter.get(kit), b = reporter.get(base);
    if (k > 0 && b > 0) {
        // Rates are the inverse of the times: rate(kit) / rate(base) = time(base) / time(kit).
        const double ratio = b / k;
        if (judged) {
            std::printf("%s: %.1f us vs %.1f us per iteration, rate ratio %.2f (goal at least %.1f): %s\n", what,
                        k * 1e6, b * 1e6, ratio, kGoal, ratio >= kGoal ? "met" : "NOT met");
        } else {
            std::printf("%s: %.1f us vs %.1f us per iteration, rate ratio %.2f\n", what, k * 1e6, b * 1e6, ratio);
        }
    } else {
        std::printf("%s: ratio not available (filtered or failed)\n", what);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    printRatio(reporter, "KRVSetArray 4096 vs two bursts with the card's pause", "BM_KRVSetArray_4096",
               "BM_Baseline_TwoBurstsWithPause");
    printRatio(reporter, "KRVSetArray 4096 vs two bursts without a pause (for reference)", "BM_KRVSetArray_4096",
               "BM_Baseline_TwoBurstsNoPause", false);
    printRatio(reporter, "Table load vs 4099 WriteReg", "BM_KRV_PCIeWriteLUT", "BM_Baseline_4099WriteReg");
    benchmark::Shutdown();
    // A benchmark that could not run (or checked a wrong result) fails the program.
    return reporter.errors() == 0 ? 0 : 1;
}
