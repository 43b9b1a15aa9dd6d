// Reader of the scrambled per-mirror profile files.
#include "krv/Profile.h"

#include "krv/Encoding.h"
#include "krv/Log.h"

#include <krv/platform/paths.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace MirrorKit {
namespace {

// The record holds 4095 inactive actuators and the terminator.
constexpr int kMaxInactive = MAX_DM_SIZE - 1;

void copySerial(char (&field)[KRV_SERIAL_NUMBER_LEN + 1], const std::string& value) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, value.c_str(), KRV_SERIAL_NUMBER_LEN);
}

template <typename T>
T readNumber(std::istringstream& in) {
    T v{};
    in >> v;
    return v;
}

// Reads a voltage and stores it encoded; false (logged, naming the key) for one the encoding cannot hold.
bool readVoltage(std::istringstream& in, const std::string& key, uint32_t& field) {
    const uint64_t v = readNumber<uint64_t>(in);
    if (v > kMaxEncodedVoltage) {
        KRV_LOG_ERROR(Log::util(), "Profile key " << key << "=" << v << " is above the largest voltage, "
                                                  << kMaxEncodedVoltage << ".");
        return false;
    }
    field = encodeValue(static_cast<uint32_t>(v));
    return true;
}

bool formatPath(char (&field)[KRV_MAX_PATH], const char* dir, const std::string& value) {
    int n = std::snprintf(field, sizeof field, "%s%c%s", dir, platform::kPathSeparator, value.c_str());
    return n > 0 && field[0] != '\0';
}

void readInactive(std::istringstream& in, const std::string& line, DM& dm) {
    int count = 0;
    char separator = 0;
    in >> count >> separator;
    if (count > kMaxInactive) {
        KRV_LOG_ERROR(Log::util(), "Error read_profile: too many inactive actuators (" << count
                                       << ", at most " << kMaxInactive << "), line ignored: " << line);
        dm.InactiveActuators[0] = kInactiveTerminator;
    // 0 is no encoded value: it marks a voltage the profile does not give.
    dm.MaxVoltage = 0;
    dm.VoltageLimit = 0;
        return;
    }
    std::string rest;
    std::getline(in, rest);
    size_t pos = 0;
    int i = 0;
    for (; i < count; ++i) {
        size_t end = rest.find(',', pos);
        std::string field = pos < rest.size() ? rest.substr(pos, end == std::string::npos ? end : end - pos) : "";
        dm.InactiveActuators[i] = encodeValue(static_cast<uint32_t>(std::strtoul(field.c_str(), nullptr, 10)));
        pos = end == std::string::npos ? rest.size() : end + 1;
    }
    dm.InactiveActuators[i < 0 ? 0 : i] = kInactiveTerminator;
}

}  // namespace

std::string scramble_line(const std::string& line) {
    std::string out(line);
    for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ kProfileScramble);
    return out;
}

KRVRC read_profile(const char* profilesPath, const char* serialNumber, DM& dm) {
    const std::string file =
        std::string(profilesPath) + platform::kPathSeparator + std::string(serialNumber) + ".dm";

    dm.InactiveActuators[0] = kInactiveTerminator;
    // 0 is no encoded value: it marks a voltage the profile does not give.
    dm.MaxVoltage = 0;
    dm.VoltageLimit = 0;
    std::memset(dm.MappingFile, 0, sizeof dm.MappingFile);
    std::memset(dm.CalibrationFile, 0, sizeof dm.CalibrationFile);
    copySerial(dm.SerialNumber, serialNumber);
    std::memset(&dm.Driver, 0, sizeof dm.Driver);
    dm.DriverCount = 1;
    if (!dm.ExtraDrivers) {
        dm.ExtraDrivers = static_cast<DM_DRIVER*>(std::calloc(1, sizeof(DM_DRIVER)));
        if (!dm.ExtraDrivers) return ERR_MALLOC;
    }
    std::memset(dm.ExtraDrivers, 0, sizeof(DM_DRIVER));

    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) return errno == EACCES ? ERR_FILE_PERMISSIONS : ERR_OPENFILE;

    std::string raw;
    while (std::getline(in, raw)) {
        if (raw.size() < 2) {
            KRV_LOG_WARN(Log::util(), "Invalid empty line found in profile.");
            continue;
        }
        if (raw.back() == '\r') raw.pop_back();
        const std::string line = scramble_line(raw);
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        std::istringstream ss(value);

        if (key == "type") {
            dm.DriverType = static_cast<DRVTYPE>(readNumber<uint32_t>(ss));
        } else if (key == "size") {
            dm.ActCount = readNumber<uint32_t>(ss);
        } else if (key == "maxv") {
            if (!readVoltage(ss, key, dm.MaxVoltage)) return ERR_FILE_FORMAT;
        } else if (key == "hva") {
            dm.HVAType = readNumber<uint32_t>(ss);
            dm.Driver.HVAType = dm.HVAType;
        } else if (key == "use_fiber") {
            dm.UseFiber = readNumber<uint32_t>(ss);
            dm.Driver.UseFiber = static_cast<uint8_t>(dm.UseFiber);
        } else if (key == "use_CL") {
            dm.UseCL = readNumber<uint32_t>(ss);
            dm.Driver.UseCL = static_cast<uint8_t>(dm.UseCL);
        } else if (key == "burst_mode") {
            dm.BurstMode = readNumber<uint32_t>(ss);
        } else if (key == "fiber_mode") {
            dm.FiberMode = readNumber<uint32_t>(ss);
            dm.Driver.FiberMode = static_cast<uint8_t>(dm.FiberMode);
        } else if (key == "hva2") {
            dm.ExtraDrivers[0].HVAType = readNumber<uint32_t>(ss);
        } else if (key == "use_fiber2") {
            dm.ExtraDrivers[0].UseFiber = static_cast<uint8_t>(readNumber<int32_t>(ss));
        } else if (key == "use_CL2") {
            dm.ExtraDrivers[0].UseCL = static_cast<uint8_t>(readNumber<int32_t>(ss));
        } else if (key == "fiber_mode2") {
            dm.ExtraDrivers[0].FiberMode = static_cast<uint8_t>(readNumber<int32_t>(ss));
        } else if (key == "vlim") {
            if (!readVoltage(ss, key, dm.VoltageLimit)) return ERR_FILE_FORMAT;
        } else if (key == "map") {
            if (!value.empty() && !formatPath(dm.MappingFile, dm.MapsPath, value))
                KRV_LOG_ERROR(Log::util(), "Error in snprintf building path for mapping " << value);
        } else if (key == "calibration") {
            if (!value.empty() && !formatPath(dm.CalibrationFile, dm.CalibrationsPath, value))
                KRV_LOG_ERROR(Log::util(), "Error in snprintf building path for calibration " << value);
        } else if (key == "inactive") {
            readInactive(ss, line, dm);
        } else if (key == "driver_sn") {
            copySerial(dm.Driver.SerialNumber, value);
        } else if (key == "driver_sn2") {
            dm.DriverCount = 2;
            copySerial(dm.ExtraDrivers[0].SerialNumber, value);
        } else {
            KRV_LOG_ERROR(Log::util(), "Error read_profile: Unknown key: " << line);
        }

        if (ss.bad()) {
            KRV_LOG_ERROR(Log::util(), "Error read_profile, line: " << line);
            return ERR_FILE_FORMAT;
        }
    }
    if (in.bad()) return ERR_FILE_FORMAT;
    return NO_ERR;
}

}  // namespace MirrorKit
