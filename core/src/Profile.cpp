// Reader of the scrambled per-mirror profile files.
#include "krv/Profile.h"

#include "krv/Encoding.h"
#include "krv/Log.h"
#include "krv/TextFiles.h"

#include <krv/platform/paths.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace MirrorKit {
namespace {

// The record holds 4095 inactive actuators and the terminator.
constexpr int kMaxInactive = MAX_DM_SIZE - 1;
// A profile is a few short lines (the longest, a full inactive list, some 20 KB); a larger file is no profile.
constexpr size_t kMaxProfileBytes = size_t(1) << 20;

void copySerial(char (&field)[KRV_SERIAL_NUMBER_LEN + 1], const std::string& value) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, value.c_str(), KRV_SERIAL_NUMBER_LEN);
}

bool formatPath(char (&field)[KRV_MAX_PATH], const char* dir, const std::string& value) {
    int n = std::snprintf(field, sizeof field, "%s%c%s", dir, platform::kPathSeparator, value.c_str());
    return n > 0 && field[0] != '\0';
}

// One line of a profile being read: where it is, for the messages that refuse it.
struct Line {
    const std::string& file;
    size_t lineNumber;
    const std::string& text;  // unscrambled

    KRVRC refuse(const std::string& why, KRVRC rc = ERR_FILE_FORMAT) const {
        KRV_LOG_ERROR(Log::util(), "Error read_profile: " << file << " line " << lineNumber << ": " << logExcerpt(text)
                                                          << ": " << why);
        return rc;
    }

    // The value as a number from min to max, or a refusal.
    KRVRC decimal(const std::string& value, int64_t min, int64_t max, int64_t& out) const {
        switch (readDecimal(value, min, max, out)) {
            case NumberText::Ok: return NO_ERR;
            case NumberText::OutOfRange:
                return refuse("the value is outside " + std::to_string(min) + " to " + std::to_string(max) + ".");
            default: return refuse("the value is not a decimal number.");
        }
    }
};

// Inactive actuators: count, one separator character (blanks before it skipped), then count actuator numbers
// separated by ','. A trailing ',' is allowed; fewer numbers than the count, or more, are not.
KRVRC readInactive(const Line& line, const std::string& value, DM& dm) {
    size_t digits = value.find_first_not_of(" \t");
    if (digits == std::string::npos) digits = value.size();
    while (digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits]))) ++digits;
    int64_t count = 0;
    if (KRVRC rc = line.decimal(value.substr(0, digits), 0, kMaxInactive, count)) return rc;
    const size_t sep = value.find_first_not_of(" \t", digits);
    const std::string list = sep == std::string::npos ? std::string() : value.substr(sep + 1);
    std::vector<std::string> fields;
    for (size_t start = 0; start <= list.size();) {
        const size_t comma = list.find(',', start);
        fields.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    // An empty field at the end (nothing listed, or a trailing ',') lists nothing.
    if (fields.back().find_first_not_of(" \t\r") == std::string::npos) fields.pop_back();
    if (fields.size() != static_cast<size_t>(count))
        return line.refuse("the count is " + std::to_string(count) + " but " + std::to_string(fields.size()) +
                           " actuators are listed.");
    // The record's list changes only once the whole line has been read.
    std::vector<uint32_t> actuators(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        int64_t actuator = 0;
        if (KRVRC rc = line.decimal(fields[i], 0, MAX_DM_SIZE - 1, actuator)) return rc;
        actuators[i] = encodeValue(static_cast<uint32_t>(actuator));
    }
    std::copy(actuators.begin(), actuators.end(), dm.InactiveActuators);
    dm.InactiveActuators[actuators.size()] = kInactiveTerminator;
    return NO_ERR;
}

}  // namespace

const std::vector<std::string>& profileKeys() {
    // The keys read_profile tests, in its order; writing and showing profiles take them from here.
    static const std::vector<std::string> keys = {
        "type",       "size",    "maxv",      "hva",         "use_fiber", "use_CL",      "burst_mode",
        "fiber_mode", "hva2",    "use_fiber2", "use_CL2",    "fiber_mode2", "vlim",      "map",
        "calibration", "inactive", "driver_sn", "driver_sn2"};
    return keys;
}

bool isProfileKey(const std::string& key) {
    const auto& keys = profileKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool storableProfileValue(const std::string& value) {
    // The reader splits the file at LF before unscrambling and drops a CR that ends a line.
    constexpr char kScramblesToLf = static_cast<char>('\n' ^ kProfileScramble);
    constexpr char kScramblesToCr = static_cast<char>('\r' ^ kProfileScramble);
    if (value.find_first_of(std::string("\n\r\0", 3) + kScramblesToLf) != std::string::npos) return false;
    return value.empty() || value.back() != kScramblesToCr;
}

std::string scramble_line(const std::string& line) {
    std::string out(line);
    for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ kProfileScramble);
    return out;
}

KRVRC read_profile(const char* profilesPath, const char* serialNumber, DM& dm) {
    const std::string file =
        std::string(profilesPath) + platform::kPathSeparator + std::string(serialNumber) + ".dm";

    dm.InactiveActuators[0] = kInactiveTerminator;
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
    // 0 is no encoded value: it marks a voltage the profile does not give.
    dm.MaxVoltage = 0;
    dm.VoltageLimit = 0;

    // The file is read once, whole: a profile replaced while a mirror opens is read as it was or as it is, and
    // one rewritten in place while it is read is refused.
    std::string bytes;
    if (KRVRC rc = readTextFile(file, kMaxProfileBytes, ERR_FILE_FORMAT, "Profile", Log::util(), bytes)) return rc;

    size_t number = 0;
    size_t secondUnitLine = 0;
    for (size_t start = 0; start < bytes.size();) {
        const size_t lf = bytes.find('\n', start);
        ++number;
        // Every line a writer finishes ends in LF: a last line without one is a file cut short.
        if (lf == std::string::npos) {
            const std::string cut = scramble_line(bytes.substr(start));
            return Line{file, number, cut}.refuse("the file ends in the middle of this line; it was cut short.");
        }
        std::string raw = bytes.substr(start, lf - start);
        start = lf + 1;
        if (raw.size() < 2) {
            KRV_LOG_WARN(Log::util(), "Invalid empty line found in profile.");
            continue;
        }
        if (raw.back() == '\r') raw.pop_back();
        const std::string text = scramble_line(raw);
        const Line line{file, number, text};
        const size_t eq = text.find('=');
        const std::string key = text.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : text.substr(eq + 1);
        int64_t n = 0;
        KRVRC rc = NO_ERR;
        const auto unsignedValue = [&](uint32_t& field) {
            rc = line.decimal(value, 0, UINT32_MAX, n);
            if (rc == NO_ERR) field = static_cast<uint32_t>(n);
            return rc == NO_ERR;
        };
        const auto byteOf = [&](uint8_t& field) {
            rc = line.decimal(value, INT32_MIN, INT32_MAX, n);
            if (rc == NO_ERR) field = static_cast<uint8_t>(n);  // the low byte, as the unit records keep it
        };
        uint32_t u = 0;

        if (key == "type") {
            if (unsignedValue(u)) dm.DriverType = static_cast<DRVTYPE>(u);
        } else if (key == "size") {
            if (unsignedValue(u)) {
                if (u == 0)
                    rc = line.refuse("a mirror has at least one actuator.", ERR_INVALID_ACTUATOR_COUNT);
                else
                    dm.ActCount = u;
            }
        } else if (key == "maxv") {
            // Voltages are stored encoded, which keeps 25 bits.
            if (line.decimal(value, 0, kMaxEncodedVoltage, n) == NO_ERR)
                dm.MaxVoltage = encodeValue(static_cast<uint32_t>(n));
            else
                rc = ERR_FILE_FORMAT;
        } else if (key == "hva") {
            if (unsignedValue(dm.HVAType)) dm.Driver.HVAType = dm.HVAType;
        } else if (key == "use_fiber") {
            if (unsignedValue(dm.UseFiber)) dm.Driver.UseFiber = static_cast<uint8_t>(dm.UseFiber);
        } else if (key == "use_CL") {
            if (unsignedValue(dm.UseCL)) dm.Driver.UseCL = static_cast<uint8_t>(dm.UseCL);
        } else if (key == "burst_mode") {
            unsignedValue(dm.BurstMode);
        } else if (key == "fiber_mode") {
            if (unsignedValue(dm.FiberMode)) dm.Driver.FiberMode = static_cast<uint8_t>(dm.FiberMode);
        } else if (key == "hva2") {
            unsignedValue(dm.ExtraDrivers[0].HVAType);
        } else if (key == "use_fiber2") {
            byteOf(dm.ExtraDrivers[0].UseFiber);
        } else if (key == "use_CL2") {
            byteOf(dm.ExtraDrivers[0].UseCL);
        } else if (key == "fiber_mode2") {
            byteOf(dm.ExtraDrivers[0].FiberMode);
        } else if (key == "vlim") {
            if (line.decimal(value, 0, kMaxEncodedVoltage, n) == NO_ERR)
                dm.VoltageLimit = encodeValue(static_cast<uint32_t>(n));
            else
                rc = ERR_FILE_FORMAT;
        } else if (key == "map") {
            if (!value.empty() && !formatPath(dm.MappingFile, dm.MapsPath, value))
                KRV_LOG_ERROR(Log::util(), "Error in snprintf building path for mapping " << logExcerpt(value));
        } else if (key == "calibration") {
            if (!value.empty() && !formatPath(dm.CalibrationFile, dm.CalibrationsPath, value))
                KRV_LOG_ERROR(Log::util(), "Error in snprintf building path for calibration " << logExcerpt(value));
        } else if (key == "inactive") {
            rc = readInactive(line, value, dm);
        } else if (key == "driver_sn") {
            copySerial(dm.Driver.SerialNumber, value);
        } else if (key == "driver_sn2") {
            dm.DriverCount = 2;
            copySerial(dm.ExtraDrivers[0].SerialNumber, value);
            secondUnitLine = number;
        } else {
            KRV_LOG_ERROR(Log::util(), "Error read_profile: Unknown key: " << logExcerpt(text));
        }
        if (rc != NO_ERR) return rc;
    }

    // Frames for the two units would both go to the one unit that answers to the number.
    if (dm.DriverCount == 2 && dm.Driver.SerialNumber[0] != '\0' &&
        std::strcmp(dm.Driver.SerialNumber, dm.ExtraDrivers[0].SerialNumber) == 0) {
        KRV_LOG_ERROR(Log::util(), "Error read_profile: " << file << " line " << secondUnitLine
                                                          << ": both drive units have serial number "
                                                          << dm.Driver.SerialNumber << "; each unit needs its own.");
        return ERR_FILE_FORMAT;
    }
    return NO_ERR;
}

}  // namespace MirrorKit

