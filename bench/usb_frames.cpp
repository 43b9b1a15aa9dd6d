// One frame to a 160-channel drive unit through KRVSetArray, against the same 320-byte bulk transfer made
// with libusb directly, both on one emulated unit in the same run. Prints the ratio of the two frame rates.
#include <KRV.h>

#include "KRV_USB.h"
#include "support/KrvTestSupport.h"
#include "krv/emu/UsbUnits.h"

#include <krv/platform/com.h>

#include <benchmark/benchmark.h>
#include <libusb.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kVendor = 0x1781;
constexpr uint16_t kProduct160 = 0x0ED8;
constexpr unsigned char kBulkOut = 0x02;

MirrorKit::emu::UsbUnitBed* gBed = nullptr;
krvtest::InstallTree* gTree = nullptr;
int gUnit = -1;

// The baseline: what a bare libusb program pays for the same frame on the same unit. With eventThread, a
// second thread handles libusb's events (as any program watching for hot-plug does, and as the server does),
// and the transfer only waits for its completion; without, the calling thread handles them itself.
void libusbBulk320(benchmark::State& state, bool eventThread) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return state.SkipWithError("libusb_init failed");
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx, kVendor, kProduct160);
    if (!handle || libusb_claim_interface(handle, 0) != 0) {
        if (handle) libusb_close(handle);
        libusb_exit(ctx);
        return state.SkipWithError("cannot open the emulated unit");
    }
    std::atomic<bool> running{eventThread};
    std::thread events;
    if (eventThread) {
        events = std::thread([&] {
            while (running) {
                timeval tv{0, 100000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
    }
    std::vector<unsigned char> block(320);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i);
    for (auto _ : state) {
        int sent = 0;
        if (libusb_bulk_transfer(handle, kBulkOut, block.data(), 320, &sent, 5000) != 0 || sent != 320) {
            state.SkipWithError("bulk transfer failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    libusb_release_interface(handle, 0);
    running = false;
    libusb_close(handle);  // wakes the event thread
    if (events.joinable()) events.join();
    libusb_exit(ctx);
    gBed->clearRecords(gUnit);
}

void BM_LibusbBulk320(benchmark::State& state) { libusbBulk320(state, false); }
void BM_LibusbBulk320EventThread(benchmark::State& state) { libusbBulk320(state, true); }

// The kit's path: frame conversion in the core, channel block in the back end, one synchronous server transfer.
void BM_KRVSetArray160(benchmark::State& state) {
    auto dm = std::make_unique<DM>(gTree->record());
    if (KRVOpen(dm.get(), "USBBENCH001") != NO_ERR) return state.SkipWithError("KRVOpen failed");
    std::vector<double> frame(160);
    for (size_t a = 0; a < frame.size(); ++a) frame[a] = a / 160.0;
    for (auto _ : state) {
        if (KRVSetArray(dm.get(), frame.data(), nullptr) != NO_ERR) {
            state.SkipWithError("KRVSetArray failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    KRVClose(dm.get());
    KRV_USBReleaseHostDriver();
    gBed->clearRecords(gUnit);
}

BENCHMARK(BM_LibusbBulk320)->UseRealTime();
BENCHMARK(BM_LibusbBulk320EventThread)->UseRealTime();
BENCHMARK(BM_KRVSetArray160)->UseRealTime();

// Keeps the console output and remembers each benchmark's time per frame.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred) perFrame[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> perFrame;
};

// The emulated unit needs umockdev's preload library, which must be in place before the program starts.
void reexecUnderWrapper(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if ((preload && std::strstr(preload, "umockdev")) || std::getenv("KRV_BENCH_REEXEC")) return;
    setenv("KRV_BENCH_REEXEC", "1", 1);
    std::vector<char*> args;
    args.push_back(const_cast<char*>("umockdev-wrapper"));
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("umockdev-wrapper", args.data());
    std::perror("umockdev-wrapper");
}

}  // namespace

int main(int argc, char** argv) {
    reexecUnderWrapper(argc, argv);
    // Emulated transfers wait on other threads, so their times follow the machine's load: repeated runs in
    // random order, compared by their medians, keep the two paths under the same conditions. Flags given on
    // the command line come later and win.
    std::vector<char*> args{argv[0], const_cast<char*>("--benchmark_repetitions=9"),
                            const_cast<char*>("--benchmark_enable_random_interleaving=true")};
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    gBed = new MirrorKit::emu::UsbUnitBed;
    if (!gBed->available()) {
        std::fprintf(stderr, "emulated USB units unavailable (umockdev-wrapper missing?): skipped\n");
        return 77;
    }
    gTree = new krvtest::InstallTree;
    setenv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so", 1);
    if (MirrorKit::com::registerServer(DRAVIX_PATH, false) != S_OK) {
        std::fprintf(stderr, "cannot register the host-driver server\n");
        return 1;
    }
    KRVConfigureLog(nullptr, KRV_LOG_WARN);
    MirrorKit::emu::UsbUnitConfig unit;
    unit.serialNumber = "DU0000BENCH";
    gUnit = gBed->addUnit(unit);
    std::vector<uint32_t> map(160);
    for (uint32_t c = 0; c < 160; ++c) map[c] = c;
    krvtest::writeMap(gTree->maps() + "/bench.map", map);
    krvtest::writeProfile(gTree->profiles() + "/USBBENCH001.dm",
                          {"type=0", "size=160", "maxv=200", "vlim=200", "driver_sn=DU0000BENCH", "map=bench.map"});

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // With --benchmark_repetitions the medians are compared, else the single runs.
    auto perFrame = [&](const std::string& name) {
        auto it = reporter.perFrame.find(name + "/real_time_median");
        if (it == reporter.perFrame.end()) it = reporter.perFrame.find(name + "/real_time");
        return it == reporter.perFrame.end() ? 0.0 : it->second;
    };
    const double kit = perFrame("BM_KRVSetArray160");
    for (const char* baseline : {"BM_LibusbBulk320", "BM_LibusbBulk320EventThread"}) {
        const double base = perFrame(baseline);
        if (base > 0 && kit > 0)
            std::printf("KRVSetArray frame rate / %s frame rate = %.3f (goal >= 0.8)\n", baseline, base / kit);
    }

    delete gTree;
    delete gBed;
    return 0;
}
