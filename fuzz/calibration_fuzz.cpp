// Calibration tables through KRV_Priv_Calibration_loadFile on an open dummy mirror, continuous (32 actuators)
// or segmented (111 actuators, 37 segments) as KRVFUZZ_SEGMENTED says; a table that loads is then used once.
#include "FuzzSupport.h"

#include <KRV.h>
#include <KRV_OpenLoop.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef KRVFUZZ_SEGMENTED
#error "KRVFUZZ_SEGMENTED must be 0 or 1"
#endif

namespace {

#if KRVFUZZ_SEGMENTED
constexpr uint32_t kActuators = 111;
#else
constexpr uint32_t kActuators = 32;
#endif
const char kSerial[] = "FUZZCALIB01";

DM mirror{};

bool finite(double v) { return std::isfinite(v); }

void useContinuous() {
    const int w = static_cast<int>(mirror.ActCountWidth);
    std::vector<double> commands(kActuators, -1.0);
    for (unsigned options : {0u, 2u, 3u}) {
        for (double level : {0.0, -400.0}) {
            std::vector<double> phase(static_cast<size_t>(w) * w, level);
            for (int i = 0; i < w * w; ++i) phase[static_cast<size_t>(i)] += 30.0 * ((i % w) - w / 2);
            const KRVRC rc =
                KRVCalculateSurface(&mirror, phase.data(), w, w, 0, options, commands.data(), kActuators);
            if (rc != NO_ERR) continue;
            for (double c : commands)
                KRVFUZZ_CHECK(finite(c) && c >= 0.0 && c <= 1.0,
                              "command " + std::to_string(c) + " reported as success, options " + std::to_string(options));
        }
    }
}

void useSegmented() {
    const unsigned segments = kActuators / 3;
    for (unsigned s : {0u, segments / 2, segments - 1}) {
        for (bool offsets : {false, true}) {
            double lo = 0, hi = 0;
            if (KRVGetSegmentRange(&mirror, s, DM_Piston, 0.0, 0.0, 0.0, offsets, &lo, &hi) == NO_ERR) {
                KRVFUZZ_CHECK(finite(lo) && finite(hi), "piston range not finite");
                const KRVRC rc = KRVSetSegment(&mirror, s, (lo + hi) / 2, 0.0, 0.0, offsets, true);
                KRVFUZZ_CHECK(rc == NO_ERR || rc == ERR_OUT_OF_LUT_RANGE, KRVErrorString(rc));
            }
            for (DMSegmentAxis axis : {DM_XTilt, DM_YTilt})
                if (KRVGetSegmentRange(&mirror, s, axis, (lo + hi) / 2, 0.0, 0.0, offsets, &lo, &hi) == NO_ERR)
                    KRVFUZZ_CHECK(finite(lo) && finite(hi), "tilt range not finite");
            const KRVRC rc = KRVSetSegment(&mirror, s, 100.0, 1e-4, -1e-4, offsets, false);
            KRVFUZZ_CHECK(rc == NO_ERR || rc == ERR_OUT_OF_LUT_RANGE, KRVErrorString(rc));
        }
    }
    std::vector<double> frame(kActuators);
    KRVFUZZ_CHECK(KRVGetArray(&mirror, frame.data(), kActuators) == NO_ERR, "read-back");
    for (double v : frame) KRVFUZZ_CHECK(finite(v) && v >= 0.0 && v <= 1.0, "frame value " + std::to_string(v));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    KRVConfigureLog(krvfuzz::scratchPath("core.log").c_str(), KRV_LOG_OFF);
    // The library is linked into this program; the core binds the same copy at open.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KRV_Priv_Calibration_loadFile), &info) && info.dli_fname)
        ::setenv("KRV_OPENLOOP_LIBRARY", info.dli_fname, 1);
    std::string profile;
    const std::vector<std::string> lines = {"type=2", "size=" + std::to_string(kActuators), "maxv=100", "vlim=100"};
    for (const std::string& line : lines) {
        for (char c : line) profile += static_cast<char>(c ^ 0xA7);
        profile += '\n';
    }
    krvfuzz::writeFile(krvfuzz::scratchPath(std::string("Profiles/") + kSerial + ".dm"), profile);
    KRVSetProfilesPath(&mirror, krvfuzz::scratchPath("Profiles").c_str());
    KRVSetMapsPath(&mirror, krvfuzz::scratchPath("Map").c_str());
    KRVSetCalibrationsPath(&mirror, krvfuzz::scratchPath("Calibration").c_str());
    const KRVRC rc = KRVOpen(&mirror, kSerial);
    if (rc != NO_ERR) {
        std::fprintf(stderr, "cannot open the dummy mirror: %s\n", KRVErrorString(rc));
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = krvfuzz::writeFile(krvfuzz::scratchPath("Calibration/fuzz.mat"), data, size);
    const KRVRC rc = KRV_Priv_Calibration_loadFile(&mirror, path.c_str());
    static const bool verbose = std::getenv("KRVFUZZ_VERBOSE") != nullptr;
    if (verbose) std::fprintf(stderr, "load: %s\n", KRVErrorString(rc));
    KRVFUZZ_CHECK(rc == NO_ERR || rc == ERR_INVALID_CALIBRATION || rc == ERR_FILE_FORMAT,
                  KRVErrorString(rc));
    if (rc != NO_ERR) return 0;
    if (KRVFUZZ_SEGMENTED)
        useSegmented();
    else
        useContinuous();
    KRV_Priv_Calibration_delete(&mirror);
    return 0;
}
