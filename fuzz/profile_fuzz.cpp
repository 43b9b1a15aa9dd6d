// Profile files: the reader, then for dummy mirrors a whole open, a frame, a read-back and a close.
#include "FuzzSupport.h"

#include <KRV.h>
#include <krv/Encoding.h>
#include <krv/Log.h>
#include <krv/Profile.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kSerial[] = "FUZZPROFILE";

template <size_t N>
bool terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

void setPaths(DM& dm) {
    std::snprintf(dm.ProfilesPath, sizeof dm.ProfilesPath, "%s", krvfuzz::scratchPath("Profiles").c_str());
    std::snprintf(dm.MapsPath, sizeof dm.MapsPath, "%s", krvfuzz::scratchPath("Map").c_str());
    std::snprintf(dm.CalibrationsPath, sizeof dm.CalibrationsPath, "%s", krvfuzz::scratchPath("Calibration").c_str());
}

void checkRecord(const DM& dm) {
    KRVFUZZ_CHECK(terminated(dm.SerialNumber) && terminated(dm.MappingFile) && terminated(dm.CalibrationFile) &&
                      terminated(dm.Driver.SerialNumber),
                  "a text field of the record has no terminator");
    bool end = false;
    for (uint32_t v : dm.InactiveActuators)
        if (v == MirrorKit::kInactiveTerminator) {
            end = true;
            break;
        }
    KRVFUZZ_CHECK(end, "inactive actuator list without its terminator");
    if (dm.ExtraDrivers) KRVFUZZ_CHECK(terminated(dm.ExtraDrivers[0].SerialNumber), "second unit's serial number");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    // A map the profiles of the seed corpus name; the open-loop library is not loaded (tables have a target of
    // their own).
    std::string map;
    for (int i = 0; i < 200; ++i) map += std::to_string((i * 7) % 200) + "\n";
    krvfuzz::writeFile(krvfuzz::scratchPath("Map/fuzz.map"), map);
    ::setenv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4-absent.so", 1);
    MirrorKit::Log::configure(krvfuzz::scratchPath("reader.log"), KRV_LOG_OFF, true);
    KRVConfigureLog(krvfuzz::scratchPath("core.log").c_str(), KRV_LOG_OFF);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    krvfuzz::writeFile(krvfuzz::scratchPath(std::string("Profiles/") + kSerial + ".dm"), data, size);

    DM dm{};
    setPaths(dm);
    const KRVRC rc = MirrorKit::read_profile(dm.ProfilesPath, kSerial, dm);
    KRVFUZZ_CHECK(rc == NO_ERR || rc == ERR_FILE_FORMAT || rc == ERR_INVALID_ACTUATOR_COUNT, KRVErrorString(rc));
    checkRecord(dm);
    const bool dummy = rc == NO_ERR && dm.DriverType == KRV_DUMMY_DRV;
    const bool sized = dm.ActCount != 0;
    std::free(dm.ExtraDrivers);
    if (!dummy) return 0;  // hardware profiles would reach for cards and units

    DM open{};
    setPaths(open);
    const KRVRC opened = KRVOpen(&open, kSerial);
    if (opened != NO_ERR) {
        KRVFUZZ_CHECK(open.State == nullptr && open.ExtraDrivers == nullptr, "a failed open kept its working state");
        return 0;
    }
    // A profile without a size describes no mirror.
    KRVFUZZ_CHECK(sized, "a profile without a size opened");
    KRVFUZZ_CHECK(open.ActCount >= 1 && open.ActCount <= MAX_DM_SIZE, std::to_string(open.ActCount) + " actuators");
    std::vector<double> frame(open.ActCount), back(open.ActCount, -1.0);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<double>(i % 11) / 10.0;
    const KRVRC set = KRVSetArray(&open, frame.data(), nullptr);
    KRVFUZZ_CHECK(set == NO_ERR, KRVErrorString(set));
    const KRVRC get = KRVGetArray(&open, back.data(), open.ActCount);
    KRVFUZZ_CHECK(get == NO_ERR, KRVErrorString(get));
    for (double v : back) KRVFUZZ_CHECK(v >= 0.0 && v <= 1.0, "read-back value " + std::to_string(v));
    KRVFUZZ_CHECK(KRVSetSingle(&open, open.ActCount - 1, 0.25) == NO_ERR, "poke of the last actuator");
    KRVFUZZ_CHECK(KRVClose(&open) == NO_ERR, "close");
    return 0;
}
