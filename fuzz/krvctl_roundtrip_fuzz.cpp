// What krvctl writes, read back: settings text accepted by `krvctl profile write` must come out of the core's
// profile reader and out of `krvctl profile show` exactly as given; an install directory written to the
// registry store as `krvctl demo` does must be the one the core finds. Input: the settings text, then
// (after a NUL byte) the install directory.
#include "FuzzSupport.h"
#include "profile.h"

#include <KRV.h>
#include <krv/Encoding.h>
#include <krv/Log.h>
#include <krv/Profile.h>
#include <krv/platform/paths.h>
#include <krv/platform/registry.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

const char kSerial[] = "ROUNDTRIP01";

uint64_t number(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 10); }
int64_t signedNumber(const std::string& s) { return std::strtoll(s.c_str(), nullptr, 10); }

std::string pathField(const char* dir, const std::string& value) {
    if (value.empty()) return std::string();
    std::string p = std::string(dir) + MirrorKit::platform::kPathSeparator + value;
    if (p.size() > KRV_MAX_PATH - 1) p.resize(KRV_MAX_PATH - 1);
    return p;
}

void checkInactive(const DM& dm, const std::string& value) {
    size_t pos = 0;
    while (pos < value.size() && std::isdigit(static_cast<unsigned char>(value[pos]))) ++pos;
    const uint64_t count = number(value.substr(0, pos));
    std::vector<uint32_t> numbers;
    if (count > 0) {
        std::stringstream list(value.substr(pos + 1));
        std::string field;
        while (std::getline(list, field, ',')) numbers.push_back(static_cast<uint32_t>(number(field)));
    }
    KRVFUZZ_CHECK(numbers.size() == count, "inactive list " + value);
    for (size_t i = 0; i < numbers.size(); ++i)
        KRVFUZZ_CHECK(dm.InactiveActuators[i] == MirrorKit::encodeValue(numbers[i]), "inactive entry " + std::to_string(i));
    KRVFUZZ_CHECK(dm.InactiveActuators[count] == MirrorKit::kInactiveTerminator, "inactive terminator");
}

void checkEntry(const DM& dm, const std::string& key, const std::string& value) {
    const DM_DRIVER& extra = dm.ExtraDrivers[0];
    const std::string what = key + "=" + value + " read back wrong";
    if (key == "type") KRVFUZZ_CHECK(uint64_t(dm.DriverType) == number(value), what);
    else if (key == "size") KRVFUZZ_CHECK(dm.ActCount == number(value), what);
    else if (key == "maxv") KRVFUZZ_CHECK(dm.MaxVoltage == MirrorKit::encodeValue(uint32_t(number(value))) &&
                                              MirrorKit::decodeValue(dm.MaxVoltage) == number(value), what);
    else if (key == "vlim") KRVFUZZ_CHECK(dm.VoltageLimit == MirrorKit::encodeValue(uint32_t(number(value))) &&
                                              MirrorKit::decodeValue(dm.VoltageLimit) == number(value), what);
    else if (key == "hva") KRVFUZZ_CHECK(dm.HVAType == number(value) && dm.Driver.HVAType == number(value), what);
    else if (key == "use_fiber") KRVFUZZ_CHECK(dm.UseFiber == number(value), what);
    else if (key == "use_CL") KRVFUZZ_CHECK(dm.UseCL == number(value), what);
    else if (key == "burst_mode") KRVFUZZ_CHECK(dm.BurstMode == number(value), what);
    else if (key == "fiber_mode") KRVFUZZ_CHECK(dm.FiberMode == number(value), what);
    else if (key == "hva2") KRVFUZZ_CHECK(extra.HVAType == number(value), what);
    else if (key == "use_fiber2") KRVFUZZ_CHECK(extra.UseFiber == uint8_t(signedNumber(value)), what);
    else if (key == "use_CL2") KRVFUZZ_CHECK(extra.UseCL == uint8_t(signedNumber(value)), what);
    else if (key == "fiber_mode2") KRVFUZZ_CHECK(extra.FiberMode == uint8_t(signedNumber(value)), what);
    else if (key == "map") KRVFUZZ_CHECK(dm.MappingFile == pathField(dm.MapsPath, value), what);
    else if (key == "calibration") KRVFUZZ_CHECK(dm.CalibrationFile == pathField(dm.CalibrationsPath, value), what);
    else if (key == "inactive") checkInactive(dm, value);
    else if (key == "driver_sn") KRVFUZZ_CHECK(value == dm.Driver.SerialNumber, what);
    else if (key == "driver_sn2") KRVFUZZ_CHECK(value == extra.SerialNumber && dm.DriverCount == 2, what);
    else KRVFUZZ_CHECK(false, "krvctl accepted the unknown key " + key);
}

void profileRoundTrip(const std::string& text) {
    krvctl::ProfileSettings settings;
    std::istringstream in(text);
    try {
        settings.readText(in, "input");
        settings.checkConsistency();
    } catch (const krvctl::UsageError&) {
        return;  // refused with a message: nothing is written
    }
    if (settings.empty()) return;
    const std::string file = krvfuzz::scratchPath(std::string("Profiles/") + kSerial + ".dm");
    krvctl::writeProfileFile(file, settings);
    const auto entries = settings.ordered();

    const auto lines = krvctl::readProfileFile(file);
    KRVFUZZ_CHECK(lines.size() == entries.size(), "profile show lists another number of lines");
    for (size_t i = 0; i < lines.size(); ++i) {
        KRVFUZZ_CHECK(lines[i].problem.empty(), "profile show finds a problem: " + lines[i].problem);
        KRVFUZZ_CHECK(lines[i].text == entries[i].key + "=" + entries[i].value, "profile show differs");
    }

    DM dm{};
    std::snprintf(dm.ProfilesPath, sizeof dm.ProfilesPath, "%s", krvfuzz::scratchPath("Profiles").c_str());
    std::snprintf(dm.MapsPath, sizeof dm.MapsPath, "%s", krvfuzz::scratchPath("Map").c_str());
    std::snprintf(dm.CalibrationsPath, sizeof dm.CalibrationsPath, "%s", krvfuzz::scratchPath("Calibration").c_str());
    const KRVRC rc = MirrorKit::read_profile(dm.ProfilesPath, kSerial, dm);
    KRVFUZZ_CHECK(rc == NO_ERR, "result " + std::to_string(rc));
    for (const auto& e : entries) checkEntry(dm, e.key, e.value);
    if (!settings.find("driver_sn2")) KRVFUZZ_CHECK(dm.DriverCount == 1, "second unit without driver_sn2");
    std::free(dm.ExtraDrivers);
}

void installPathRoundTrip(const std::string& dir) {
    namespace reg = MirrorKit::platform::registry;
    const std::string store = krvfuzz::scratchPath("roundtrip.reg");
    ::setenv("KRV_REGISTRY_FILE", store.c_str(), 1);
    ::unsetenv("KRV");
    krvfuzz::writeFile(store, std::string());
    const int rc = reg::setString("HKEY_LOCAL_MACHINE\\Software\\Velmira", "InstallPath", dir);
    if (rc != 0) return;
    MirrorKit::reset_install_path_cache();
    std::string found;
    const KRVRC got = MirrorKit::get_install_path(found);
    KRVFUZZ_CHECK(got == NO_ERR, "result " + std::to_string(got));
    KRVFUZZ_CHECK(found == dir.substr(0, KRV_MAX_PATH - 1), "install directory read back changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    MirrorKit::Log::configure(krvfuzz::scratchPath("core.log"), KRV_LOG_OFF, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    profileRoundTrip(input.substr(0, nul));
    if (nul != std::string::npos) installPathRoundTrip(input.substr(nul + 1));
    return 0;
}
