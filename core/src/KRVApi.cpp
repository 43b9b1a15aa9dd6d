// The core's exported flat interface: argument checks, frame conversion and dispatch to the back ends.
#include "krv/Backend.h"
#include "krv/CorePrivate.h"
#include "krv/DMState.h"
#include "krv/Encoding.h"
#include "krv/Guard.h"
#include "krv/KRVApiImpl.h"
#include "krv/Log.h"
#include "krv/Profile.h"

#include <krv/platform/paths.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace MirrorKit;

namespace {

constexpr uint32_t kMaxSequenceWords = 0x10000;
constexpr uint32_t kMaxDitherSamples = 2048;

const char* const kMessages[] = {
    "No error.",
    "Uknown error.",
    "No hardware found.",
    "Error initializing connection to hardware.",
    "An invalid serial number was entered.",
    "Error allocating memory.",
    "Invalid driver type.",
    "Invalid number of actuators.",
    "Invalid mapping lookup table.",
    "Invalid actuator ID.",
    "Error opening file.",
    "Function not available in this configuration.",
    "Operation timed out.",
    "Error poking actuator.",
    "Error reading value from system registry.",
    "Error writing PCIe board register.",
    "Error reading PCIe board register.",
    "Error writing burst array.",
    "Function Only available on 64-bit OS.",
    "Sync pulse out of range.",
    "Invalid sequence array received.",
    "Invalid sequence rate received.",
    "Invalid dither waveform.",
    "Invalid dither gains.",
    "Invalid dither rate.",
    "Bad argument.",
    "Invalid segment ID.",
    "Calibration not loaded or invalid.",
    "Value not found in lookup table.",
    "Driver not initialized; must open driver first.",
    "Driver already open; must close driver first.",
    "Error reading or writing file due to OS permissions.",
    "Error reading file; it was formatted incorrectly.",
    "Error reading from USB.",
    "Error writing to USB.",
    "Unknown USB error.",
};
// Every code up to ERR_USB_OTHER has its text; ERR_INVALID_COEFFICIENTS deliberately has none.
static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == ERR_USB_OTHER + 1, "one message per result code");
constexpr const char* kUnknownCode = "Unknown error code.";

// A serial number names a file in the profiles directory: exactly 11 printable characters, and no path
// separator, which would reach outside that directory.
bool validSerialNumber(const char* serial) {
    if (!serial) return false;
    const size_t length = strnlen(serial, KRV_SERIAL_NUMBER_LEN + 1);
    if (length != KRV_SERIAL_NUMBER_LEN) return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(serial[i]);
        if (!std::isprint(c) || c == '/' || c == '\\') return false;
    }
    return true;
}

void freeExtraDrivers(DM* dm) {
    std::free(dm->ExtraDrivers);
    dm->ExtraDrivers = nullptr;
}

// Open-record guard shared by the frame, map, calibration and sequence calls.
KRVRC checkOpen(const DM* dm) {
    if (!dm) return ERR_BADARG;
    if (!dm->State) return ERR_DRIVER_NOT_OPEN;
    return NO_ERR;
}

KRVRC setSearchPath(DM* dm, const char* path, SearchDir which, char* field) {
    if (!dm) return ERR_BADARG;
    if (path) {
        std::snprintf(field, KRV_MAX_PATH, "%s", path);
        return NO_ERR;
    }
    return set_default_search_dir(*dm, which);
}

// Converts a frame; true when every value was finite (the result must not be sent otherwise).
bool convertFrame(const DM& dm, const double* values, uint32_t count, uint32_t* out) {
    const double ratio = voltageRatio(dm);
    if (ratioInRange(ratio)) return framesToDriverUnitsInRange(values, count, ratio, out);
    for (uint32_t i = 0; i < count; ++i) out[i] = toDriverUnits(values[i], ratio);
    return firstNonFinite(values, count) == count;
}

// A command of 1.0 reaches the hardware as 65535 * vlim / maxv driver units. A profile whose voltages let a
// command go past full scale (vlim above maxv), divide by zero (maxv 0) or fall back on whatever the record held
// (no maxv or vlim line) is refused before any hardware is touched, with the key named in the log.
KRVRC checkVoltages(const DM& dm, const char* serialNumber) {
    const char* problem = nullptr;
    const char* key = nullptr;
    if (dm.MaxVoltage == 0) {
        key = "maxv";
        problem = "is missing";
    } else if (dm.VoltageLimit == 0) {
        key = "vlim";
        problem = "is missing";
    } else if (decodeValue(dm.MaxVoltage) == 0) {
        key = "maxv";
        problem = "is 0";
    } else if (decodeValue(dm.VoltageLimit) > decodeValue(dm.MaxVoltage)) {
        key = "vlim";
        problem = "is above maxv";
    } else {
        return NO_ERR;
    }
    KRV_LOG_ERROR(Log::api(), "Profile " << serialNumber << ": key " << key << " " << problem << " (maxv "
                                         << (dm.MaxVoltage ? decodeValue(dm.MaxVoltage) : 0) << ", vlim "
                                         << (dm.VoltageLimit ? decodeValue(dm.VoltageLimit) : 0)
                                         << "); commands could exceed the mirror's voltage limit.");
    return ERR_FILE_FORMAT;
}

// Commands must be numbers: a NaN or an infinity is refused (with one log entry naming the first one) rather
// than clamped into a command nobody asked for.
bool finiteValues(const double* values, uint32_t count, const char* where) {
    const uint32_t bad = firstNonFinite(values, count);
    if (bad == count) return true;
    KRV_LOG_ERROR(Log::api(), where << ": value " << bad << " is " << values[bad] << "; commands must be finite.");
    return false;
}

// Writes a caller's map (one entry per channel of the record) into the hardware's lookup table with every
// actuator enabled; on success it becomes the record's map, on failure the record's map stays.
KRVRC writeMapToHardware(DM* dm, const Backend& backend, const uint32_t* map) {
    DMState& state = *dm->State;
    const uint32_t n = totalChannelCount(*dm);
    std::vector<uint32_t> copy(map, map + n);
    std::vector<uint32_t> enable(MAX_DM_SIZE, 1);
    if (KRVRC rc = backend.writeLUT(dm, copy.data(), enable.data())) return rc;
    if (state.Map.size() < n) state.Map.resize(n, MAX_DM_SIZE);
    std::copy(copy.begin(), copy.end(), state.Map.begin());
    return NO_ERR;
}

const std::vector<double>& readBackTable(DMState& state, double ratio) {
    constexpr uint32_t kUnits = 65536;
    if (state.ReadBack.size() != kUnits || !(state.ReadBackRatio == ratio)) {
        state.ReadBack.resize(kUnits);
        for (uint32_t d = 0; d < kUnits; ++d) state.ReadBack[d] = fromDriverUnits(d, ratio);
        state.ReadBackRatio = ratio;
    }
    return state.ReadBack;
}

}  // namespace

extern "C" {

KRVAPI const char* KRVErrorString(KRVRC code) {
    const uint32_t index = static_cast<uint32_t>(code);
    return index < sizeof(kMessages) / sizeof(kMessages[0]) ? kMessages[index] : kUnknownCode;
}

KRVAPI const char* KRVVersionString(void) { return "4.2.1"; }

KRVAPI KRVRC KRVConfigureLog(const char* filePath, KRV_LOGLEVEL level) {
    Log::configure(filePath ? filePath : "", level, true);
    return NO_ERR;
}

KRVAPI KRVRC KRVSetLogCallback(KRVLogCallback callback, void* userdata) {
    Log::setCallback(callback, userdata);
    return NO_ERR;
}

KRVAPI KRVRC KRVSetProfilesPath(DM* dm, const char* path) {
    return guarded(Log::api(), "KRVSetProfilesPath", ERR_UNKNOWN, [&] {
        return setSearchPath(dm, path, SearchDir::Profiles, dm ? dm->ProfilesPath : nullptr);
    });
}

KRVAPI KRVRC KRVSetMapsPath(DM* dm, const char* path) {
    return guarded(Log::api(), "KRVSetMapsPath", ERR_UNKNOWN,
                   [&] { return setSearchPath(dm, path, SearchDir::Maps, dm ? dm->MapsPath : nullptr); });
}

KRVAPI KRVRC KRVSetCalibrationsPath(DM* dm, const char* path) {
    return guarded(Log::api(), "KRVSetCalibrationsPath", ERR_UNKNOWN, [&] {
        return setSearchPath(dm, path, SearchDir::Calibrations, dm ? dm->CalibrationsPath : nullptr);
    });
}

KRVAPI KRVRC KRVOpen(DM* dm, const char* serialNumber) {
    if (!dm) return ERR_BADARG;
    Log::configure(std::string(), KRV_LOG_DEBUG, false);
    // Opening again would lose the open driver connection and its working state.
    if (dm->State) return ERR_DRIVER_ALREADY_OPEN;
    return guarded(Log::api(), "KRVOpen", ERR_UNKNOWN, [&] {
        dm->ActCount = 0;
        dm->Driver.ChannelCount = 0;
        dm->State = nullptr;
        dm->ExtraDrivers = nullptr;
        if (!validSerialNumber(serialNumber)) return ERR_SERIAL_NUMBER;

        const struct {
            char* field;
            SearchDir which;
        } dirs[] = {{dm->ProfilesPath, SearchDir::Profiles},
                    {dm->MapsPath, SearchDir::Maps},
                    {dm->CalibrationsPath, SearchDir::Calibrations}};
        for (const auto& d : dirs) {
            if (platform::pathExists(d.field)) continue;
            if (KRVRC rc = set_default_search_dir(*dm, d.which)) return rc;
        }

        if (KRVRC rc = read_profile(dm->ProfilesPath, serialNumber, *dm)) {
            freeExtraDrivers(dm);
            return rc;
        }
        const Backend* backend = backendFor(dm->DriverType);
        if (!backend) {
            // The profile fields stay for inspection; the unit array is not reachable by a later close.
            freeExtraDrivers(dm);
            return ERR_INVALID_DRIVER_TYPE;
        }
        // A profile without a size line (one cut short, for instance) describes no mirror.
        if (dm->ActCount == 0) {
            KRV_LOG_ERROR(Log::api(), "Profile of " << serialNumber << " in " << dm->ProfilesPath
                                                    << " gives no actuator count (no size line).");
            freeExtraDrivers(dm);
            return ERR_INVALID_ACTUATOR_COUNT;
        }
        if (KRVRC rc = checkVoltages(*dm, serialNumber)) {
            freeExtraDrivers(dm);
            return rc;
        }
        // Every back end keeps its map, active set and frames in arrays of MAX_DM_SIZE entries.
        if (dm->ActCount > MAX_DM_SIZE) {
            KRV_LOG_ERROR(Log::api(), "Profile of " << serialNumber << " names " << dm->ActCount
                                                    << " actuators; at most " << MAX_DM_SIZE << " are supported.");
            freeExtraDrivers(dm);
            return ERR_INVALID_ACTUATOR_COUNT;
        }
        KRVRC rc;
        try {
            rc = backend->open(dm);
        } catch (...) {
            // A failed open leaves nothing that a close would have to find.
            if (dm->State) {
                destroyDMState(dm->State);
                dm->State = nullptr;
            }
            freeExtraDrivers(dm);
            throw;
        }
        if (rc != NO_ERR && !dm->State) freeExtraDrivers(dm);
        return rc;
    });
}

KRVAPI KRVRC KRVClose(DM* dm) {
    if (!dm) return ERR_BADARG;
    if (!dm->State) {
        freeExtraDrivers(dm);
        return ERR_DRIVER_NOT_OPEN;
    }
    const Backend* backend = backendFor(dm->DriverType);
    KRVRC rc = guarded(Log::api(), "KRVClose", ERR_UNKNOWN,
                       [&] { return backend ? backend->close(dm) : ERR_INVALID_DRIVER_TYPE; });
    if (DMState* state = dm->State) {
        if (state->CalibrationDelete) state->CalibrationDelete(dm);
        destroyDMState(state);
    }
    dm->State = nullptr;
    dm->DriverType = static_cast<DRVTYPE>(0);
    dm->DevId = 0;
    dm->ActCount = 0;
    dm->MaxVoltage = 0;
    std::memset(dm->MappingFile, 0, sizeof dm->MappingFile);
    dm->Driver.ChannelCount = 0;
    freeExtraDrivers(dm);
    return rc;
}

KRVAPI KRVRC KRVSetArray(DM* dm, const double* values, const uint32_t* map) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    if (!values) return ERR_BADARG;
    return guarded(Log::api(), "KRVSetArray", ERR_UNKNOWN, [&] {
        DMState& state = *dm->State;
        // The requested frame is rebuilt in place (no allocation per frame), and the check for NaN and
        // infinities is made in the same pass; nothing goes anywhere before it passed.
        state.RequestedFrame.resize(dm->ActCount);
        if (!convertFrame(*dm, values, dm->ActCount, state.RequestedFrame.data()) &&
            !finiteValues(values, dm->ActCount, "KRVSetArray"))
            return ERR_BADARG;
        const Backend* backend = backendFor(dm->DriverType);
        if (!backend) return ERR_INVALID_DRIVER_TYPE;
        // A card routes frames through its own lookup table, which holds the record's map: a frame handed with
        // another map goes out only once the card holds that map.
        if (map && backend->writeLUT && map != state.Map.data() &&
            !std::equal(map, map + dm->ActCount, state.Map.begin())) {
            if (KRVRC rc = writeMapToHardware(dm, *backend, map)) return rc;
        }
        return backend->setArray(dm, state.RequestedFrame.data(), map ? map : state.Map.data());
    });
}

KRVAPI KRVRC KRV_Priv_SendAppliedFrame(DM* dm) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    return guarded(Log::api(), "KRV_Priv_SendAppliedFrame", ERR_UNKNOWN, [&] {
        const Backend* backend = backendFor(dm->DriverType);
        if (!backend) return ERR_INVALID_DRIVER_TYPE;
        // The dummy driver's applied frame is its hardware: there is nothing further to send.
        if (backend == &dummyBackend()) return NO_ERR;
        DMState& state = *dm->State;
        return backend->setArray(dm, state.AppliedFrame.data(), state.Map.data());
    });
}

KRVAPI KRVRC KRVSetSingle(DM* dm, uint32_t actuator, double value) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    if (actuator >= dm->ActCount) return ERR_ACTUATOR_ID;
    return guarded(Log::api(), "KRVSetSingle", ERR_UNKNOWN, [&] {
        if (!finiteValues(&value, 1, "KRVSetSingle")) return ERR_BADARG;
        const Backend* backend = backendFor(dm->DriverType);
        if (!backend) return ERR_INVALID_DRIVER_TYPE;
        const uint32_t units = toDriverUnits(value, voltageRatio(*dm));
        if (backend->poke) return backend->poke(dm, actuator, units);
        DMState& state = *dm->State;
        if (actuator >= MAX_DM_SIZE || !state.ActiveMask[actuator]) return NO_ERR;
        state.AppliedFrame[actuator] = units;
        // Drivers without a hardware poke resend the whole buffered frame with the current map.
        return backend->setArray(dm, state.AppliedFrame.data(), state.Map.data());
    });
}

KRVAPI KRVRC KRVGetArray(DM* dm, double* out, uint32_t outCount) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    if (!out || outCount < dm->ActCount) return ERR_BADARG;
    return guarded(Log::api(), "KRVGetArray", ERR_UNKNOWN, [&] {
        DMState& state = *dm->State;
        const double ratio = voltageRatio(*dm);
        const std::vector<double>& table = readBackTable(state, ratio);
        const uint32_t* applied = state.AppliedFrame.data();
        for (uint32_t i = 0; i < dm->ActCount; ++i) {
            const uint32_t d = applied[i];
            out[i] = d < table.size() ? table[d] : fromDriverUnits(d, ratio);
        }
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVClearArray(DM* dm) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    return guarded(Log::api(), "KRVClearArray", ERR_UNKNOWN, [&] {
        const Backend* backend = backendFor(dm->DriverType);
        return backend ? backend->clearArray(dm) : ERR_INVALID_DRIVER_TYPE;
    });
}

KRVAPI KRVRC KRVLoadMap(DM* dm, const char* mapPath, uint32_t* map) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    return guarded(Log::api(), "KRVLoadMap", ERR_UNKNOWN, [&] {
        DMState& state = *dm->State;
        const uint32_t n = totalChannelCount(*dm);
        const char* path = mapPath ? mapPath : dm->MappingFile;
        // The file is read aside: a file that does not load changes neither the caller's map, nor the record's,
        // nor the hardware's.
        std::vector<uint32_t> loaded(n, MAX_DM_SIZE);
        if (KRVRC rc = KRVLoadMapImpl(path, loaded.data(), n)) return rc;
        // Where the hardware holds the map, the record's map is the one in the hardware: a map the hardware did
        // not take whole becomes neither the record's nor the caller's.
        const Backend* backend = backendFor(dm->DriverType);
        if (backend && backend->writeLUT) {
            if (KRVRC rc = writeMapToHardware(dm, *backend, loaded.data())) return rc;
        } else {
            if (state.Map.size() < n) state.Map.resize(n, MAX_DM_SIZE);
            std::copy(loaded.begin(), loaded.end(), state.Map.begin());
        }
        if (map) std::copy(loaded.begin(), loaded.end(), map);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVApplyMap(DM* dm, uint32_t* map, uint32_t* actuatorEnable) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    return guarded(Log::api(), "KRVApplyMap", ERR_UNKNOWN, [&] {
        const Backend* backend = backendFor(dm->DriverType);
        if (!backend) {
            KRV_LOG_ERROR(Log::api(), "Hardware LUT not supported.");
            return ERR_NOT_IMPLEMENTED;
        }
        DMState& state = *dm->State;
        KRVRC rc = backend->writeLUT ? backend->writeLUT(dm, map ? map : state.Map.data(), actuatorEnable) : NO_ERR;
        // A map the hardware did not take does not become the record's.
        if (map && rc == NO_ERR) {
            const uint32_t n = totalChannelCount(*dm);
            if (state.Map.size() < n) state.Map.resize(n, MAX_DM_SIZE);
            std::copy(map, map + n, state.Map.begin());
        }
        return rc;
    });
}

KRVAPI KRVRC KRVLoadCalibrationFile(DM* dm, const char* path) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    if (!dm->State->CalibrationLoad) return ERR_NOT_IMPLEMENTED;
    if (!path) return ERR_BADARG;
    return guarded(Log::api(), "KRVLoadCalibrationFile", ERR_UNKNOWN,
                   [&] { return dm->State->CalibrationLoad(dm, path); });
}

KRVAPI KRVRC KRVConfigureSequence(DM* dm, const double* sequence, double delay, uint32_t frameLength,
                                  uint32_t seqLength) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    const Backend* backend = backendFor(dm->DriverType);
    if (!backend || !backend->configureSequence) return ERR_NOT_IMPLEMENTED;
    const uint64_t words = static_cast<uint64_t>(frameLength) * seqLength;
    if (frameLength == 0 || frameLength > dm->ActCount || words > kMaxSequenceWords ||
        words > dm->State->SequenceCapacity)
        return ERR_INVALID_SEQUENCE;
    if (!sequence && words > 0) return ERR_BADARG;
    return guarded(Log::api(), "KRVConfigureSequence", ERR_UNKNOWN, [&] {
        if (!finiteValues(sequence, static_cast<uint32_t>(words), "KRVConfigureSequence"))
            return ERR_INVALID_SEQUENCE;
        std::vector<uint32_t> converted(words);
        convertFrame(*dm, sequence, static_cast<uint32_t>(words), converted.data());
        return backend->configureSequence(dm, converted.data(), delay, frameLength, seqLength);
    });
}

KRVAPI KRVRC KRVEnableSequence(DM* dm, double frameRate, bool enable) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    const Backend* backend = backendFor(dm->DriverType);
    if (!backend || !backend->enableSequence) return ERR_NOT_IMPLEMENTED;
    return guarded(Log::api(), "KRVEnableSequence", ERR_UNKNOWN,
                   [&] { return backend->enableSequence(dm, frameRate, enable); });
}

KRVAPI KRVRC KRVConfigureDither(DM* dm, const double* waveform, uint32_t waveformLength, const double* gains) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    const Backend* backend = backendFor(dm->DriverType);
    if (!backend || !backend->configureDither) return ERR_NOT_IMPLEMENTED;
    if (waveformLength < 1 || waveformLength > kMaxDitherSamples) return ERR_INVALID_DITHER_WVFRM;
    if (!waveform || !gains) return ERR_BADARG;
    return guarded(Log::api(), "KRVConfigureDither", ERR_UNKNOWN, [&] {
        if (!finiteValues(gains, dm->ActCount, "KRVConfigureDither")) return ERR_INVALID_DITHER_GAIN;
        std::vector<uint32_t> converted(dm->ActCount);
        convertFrame(*dm, gains, dm->ActCount, converted.data());
        return backend->configureDither(dm, waveform, waveformLength, converted.data());
    });
}

KRVAPI KRVRC KRVEnableDither(DM* dm, double frameRate, bool enable) {
    if (KRVRC rc = checkOpen(dm)) return rc;
    const Backend* backend = backendFor(dm->DriverType);
    if (!backend || !backend->enableDither) return ERR_NOT_IMPLEMENTED;
    return guarded(Log::api(), "KRVEnableDither", ERR_UNKNOWN,
                   [&] { return backend->enableDither(dm, frameRate, enable); });
}

}  // extern "C"
