// Demo step for USB mirrors: two emulated drive units found by their serial numbers, one frame, the block each
// unit received, an unplugged unit, and closing.
#include "demo.h"

#include "KRV_USB.h"
#include "krv/emu/UsbUnits.h"

#include <krv/platform/com.h>
#include <krv/platform/paths.h>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace krvctl {
namespace {

bool underUmockdev() {
    const std::string preload = MirrorKit::platform::environment("LD_PRELOAD");
    return preload.find("umockdev") != std::string::npos;
}

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Emulated drive units need umockdev's preload library from the first instruction on, so `krvctl demo` runs
// itself again under umockdev-wrapper before main when it is not there yet. Without the wrapper installed the
// demo goes on as it is and this step reports that it was skipped.
struct RerunUnderUmockdev {
    RerunUnderUmockdev() {
        if (underUmockdev() || ::getenv("KRVCTL_UMOCKDEV_RERUN")) return;
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        for (size_t start = 0; start < cmdline.size();) {
            const size_t end = cmdline.find('\0', start);
            args.push_back(cmdline.substr(start, end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        if (args.size() < 2 || args[1] != "demo") return;
        const std::string self = executablePath();
        if (self.empty()) return;
        ::setenv("KRVCTL_UMOCKDEV_RERUN", "1", 1);
        // A sanitizer runtime must tolerate the preload library ahead of it.
        std::string asan = MirrorKit::platform::environment("ASAN_OPTIONS");
        ::setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("umockdev-wrapper"));
        argv.push_back(const_cast<char*>(self.c_str()));
        for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
        argv.push_back(nullptr);
        ::execvp("umockdev-wrapper", argv.data());
        // Not installed: carry on without emulated units.
    }
};
const RerunUnderUmockdev rerunUnderUmockdev;

// The server library sits in the kit's library folder next to the program's folder.
std::string serverLibrary() {
    const std::string exe = executablePath();
    return MirrorKit::platform::parentPath(MirrorKit::platform::parentPath(exe)) + "/lib/" DRAVIX_FILE_NAME;
}

std::vector<uint16_t> codes(const std::vector<uint8_t>& block) {
    std::vector<uint16_t> out(block.size() / 2);
    for (size_t c = 0; c < out.size(); ++c) out[c] = static_cast<uint16_t>(block[2 * c] | block[2 * c + 1] << 8);
    return out;
}

void runDemo(DemoContext& ctx, MirrorKit::emu::UsbUnitBed& bed) {
    const HRESULT hr = MirrorKit::com::registerServer(serverLibrary(), false);
    if (!demoCheck(ctx, "register the host-driver server", hr == S_OK, MirrorKit::com::errorMessage(hr))) return;

    // Three units on the bus; the mirror's two are the third and the second, found by their EEPROM numbers.
    const char* serials[] = {"DU0000DEMOX", "DU0000DEMOB", "DU0000DEMOA"};
    int ids[3];
    for (int i = 0; i < 3; ++i) {
        MirrorKit::emu::UsbUnitConfig cfg;
        cfg.serialNumber = serials[i];
        ids[i] = bed.addUnit(cfg);
        ctx.out << "  emulated 160-channel drive unit " << ids[i] << ": serial number " << serials[i] << "\n";
    }

    // 300 actuators on 320 channels, numbered from 1; the last 20 channels carry none.
    constexpr uint32_t kActuators = 300;
    std::vector<uint32_t> map(320, MAX_DM_SIZE);
    for (uint32_t c = 0; c < kActuators; ++c) map[c] = c + 1;
    writeDemoMap(ctx, "USBDEMO.map", map);
    writeDemoProfile(ctx, "USBDEMO0001",
                     {{"type", "0"}, {"size", "300"}, {"maxv", "200"}, {"vlim", "150"},
                      {"driver_sn", "DU0000DEMOA"}, {"driver_sn2", "DU0000DEMOB"}, {"map", "USBDEMO.map"},
                      {"inactive", "1:7"}});

    auto dm = std::make_unique<DM>();
    std::memset(dm.get(), 0, sizeof(DM));
    if (demoReport(ctx, "KRVOpen(USBDEMO0001)", KRVOpen(dm.get(), "USBDEMO0001")) != NO_ERR) return;
    ctx.out << "  units: " << dm->Driver.ChannelCount << " + " << dm->ExtraDrivers[0].ChannelCount
            << " channels, DevId " << dm->DevId << " (the last unit matched)\n";
    demoCheck(ctx, "unit order", dm->DevId == ids[2], "DevId " + std::to_string(dm->DevId));

    std::vector<double> frame(kActuators);
    for (uint32_t a = 0; a < kActuators; ++a) frame[a] = (a % 100) / 99.0;
    demoReport(ctx, "KRVSetArray", KRVSetArray(dm.get(), frame.data(), nullptr));

    const double ratio = 150.0 / 200.0;
    const int unitOf[2] = {ids[2], ids[1]};
    for (int k = 0; k < 2; ++k) {
        bed.waitBulkCount(unitOf[k], 1, 2000);
        const auto transfers = bed.bulkTransfers(unitOf[k]);
        const std::vector<uint16_t> block = transfers.empty() ? std::vector<uint16_t>() : codes(transfers.back());
        int wrong = 0;
        for (uint32_t c = 0; c < 160 && block.size() == 160; ++c) {
            const uint32_t channel = 160 * k + c;
            const uint32_t actuator = channel;  // map entry - smallest entry
            const bool driven = channel < kActuators && actuator != 7;
            const uint16_t expected = driven ? static_cast<uint16_t>(std::lround(frame[actuator] * 65535 * ratio)) : 0;
            wrong += block[c] != expected;
        }
        std::ostringstream detail;
        detail << block.size() * 2 << " bytes, " << (block.size() == 160 ? 160 - wrong : 0) << " of 160 channels as expected";
        if (block.size() == 160)
            detail << " (channel 0: " << block[0] << ", channel 1: " << block[1] << ", channel 159: " << block[159] << ")";
        demoCheck(ctx, "unit " + std::to_string(unitOf[k]) + " block", block.size() == 160 && wrong == 0, detail.str());
    }
    demoCheck(ctx, "unit " + std::to_string(ids[0]) + " (not the mirror's)", bed.bulkCount(ids[0]) == 0,
              std::to_string(bed.bulkCount(ids[0])) + " blocks");

    bed.unplug(ids[1]);
    ctx.out << "  unit " << ids[1] << " unplugged\n";
    const KRVRC lost = KRVSetArray(dm.get(), frame.data(), nullptr);
    demoCheck(ctx, "KRVSetArray without the second unit", lost == ERR_NO_HW || lost == ERR_TIMEOUT,
              std::to_string(lost) + " " + KRVErrorString(lost));
    const KRVRC closed = KRVClose(dm.get());
    demoCheck(ctx, "KRVClose", dm->State == nullptr,
              std::to_string(closed) + " " + KRVErrorString(closed) + ", record closed");
}

void usbStep(DemoContext& ctx) {
    if (!underUmockdev()) {
        ctx.out << "  skipped: emulated drive units need umockdev-wrapper (Debian package umockdev)\n";
        return;
    }
    MirrorKit::emu::UsbUnitBed bed;
    if (!bed.available()) {
        ctx.out << "  skipped: the umockdev testbed is not available\n";
        return;
    }
    try {
        runDemo(ctx, bed);
    } catch (...) {
        KRV_USBReleaseHostDriver();
        throw;
    }
    // The server's USB context must be gone before the emulated units are.
    demoReport(ctx, "release the host-driver server", KRV_USBReleaseHostDriver());
}

}  // namespace

KRVCTL_DEMO_STEP(30, "USB mirror on emulated drive units", usbStep);

}  // namespace krvctl
