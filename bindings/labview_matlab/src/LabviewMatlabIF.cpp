// The LabVIEW and MATLAB interfaces: plain functions on a 48-byte DM_STRUCT whose handle names a DMWrapper.
// Built twice: with KRV_FLAT_LABVIEW into KRVLabviewIF4 (KRV_LVIF_ names, 16-bit type and id fields), and with
// KRV_FLAT_MATLAB into libKRVMatlabIF4 (fn names, 32-bit fields, fnGetDM's attach rule).
#include "DMWrapper.h"

#include <KRV.h>
#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

#if defined(KRV_FLAT_LABVIEW)
#include "KRVLabviewIF.h"
#define FLAT_EXPORT(labview, matlab) KRV_LVIF_##labview
#define FLAT_LOGGER "KRV.LabviewIF"
#elif defined(KRV_FLAT_MATLAB)
#include "KRVMatlabIF.h"
#define FLAT_EXPORT(labview, matlab) matlab
#define FLAT_LOGGER "KRV.MatlabIF"
#else
#error "define KRV_FLAT_LABVIEW or KRV_FLAT_MATLAB"
#endif

#include <log4cxx/level.h>
#include <log4cxx/logger.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// The record is shared with programs that only see the header: its layout is fixed.
static_assert(sizeof(void*) == 8, "the interfaces are built for 64-bit callers");
static_assert(sizeof(DM_STRUCT) == 48, "DM_STRUCT is 48 bytes");
#if defined(KRV_FLAT_LABVIEW)
static_assert(sizeof(DM_STRUCT::DriverType) == 2 && sizeof(DM_STRUCT::DevId) == 2, "16-bit type and id");
static_assert(std::is_signed<decltype(DM_STRUCT::DevId)>::value, "signed DevId");
static_assert(offsetof(DM_STRUCT, DriverType) == 0, "DriverType");
static_assert(offsetof(DM_STRUCT, DevId) == 2, "DevId");
static_assert(offsetof(DM_STRUCT, ActCount) == 4, "ActCount");
static_assert(offsetof(DM_STRUCT, ActCountWidth) == 8, "ActCountWidth");
static_assert(offsetof(DM_STRUCT, Padding) == 12, "Padding");
#else
static_assert(sizeof(DM_STRUCT::DriverType) == 4 && sizeof(DM_STRUCT::DevId) == 4, "32-bit type and id");
static_assert(offsetof(DM_STRUCT, DriverType) == 0, "DriverType");
static_assert(offsetof(DM_STRUCT, DevId) == 4, "DevId");
static_assert(offsetof(DM_STRUCT, ActCount) == 8, "ActCount");
static_assert(offsetof(DM_STRUCT, ActCountWidth) == 12, "ActCountWidth");
#endif
static_assert(offsetof(DM_STRUCT, MappingFile) == 16, "MappingFile");
static_assert(offsetof(DM_STRUCT, Handle) == 24, "Handle");
static_assert(offsetof(DM_STRUCT, Reserved) == 32 && sizeof(DM_STRUCT::Reserved) == 16, "Reserved");

namespace {

using MirrorKit::DMWrapper;
using MirrorKit::HandleTable;

// Sizes of the caller's arrays the interface accepts, and of its map buffer.
constexpr int64_t kMaxCount = MAX_DM_SIZE;
constexpr int64_t kMaxSequenceLength = 65536;

// Destroyed when the library is unloaded, closing the mirrors still open.
HandleTable gTable;

log4cxx::LoggerPtr logger() {
    // Never destroyed: mirrors are still closed, with log entries, while the process exits.
    static const log4cxx::LoggerPtr* log = new log4cxx::LoggerPtr(log4cxx::Logger::getLogger(FLAT_LOGGER));
    return *log;
}

// A process that ends with mirrors open (no CloseDM, the library never unloaded) must close them while the kit is
// still whole: the handle table's own destructor runs after the kit's libraries have torn down their logging and
// back ends, and a close then crashes. Exit handlers run in the reverse order of their registration, so one is
// registered after the first open of each driver type, once that open has built what its close will need; the
// levels the kit may log at are made first as well. Later handlers find nothing open.
void closeOpenMirrorsAtExit() { gTable.closeAll(); }

void closeAtExitAfter(const DM& dm) {
    static std::mutex mutex;
    static bool registered[3] = {false, false, false};
    std::lock_guard<std::mutex> hold(mutex);
    const uint32_t type = dm.DriverType;
    if (type > 2 || registered[type]) return;
    for (const auto& level : {log4cxx::Level::getAll(), log4cxx::Level::getTrace(), log4cxx::Level::getDebug(),
                              log4cxx::Level::getInfo(), log4cxx::Level::getWarn(), log4cxx::Level::getError(),
                              log4cxx::Level::getFatal(), log4cxx::Level::getOff()})
        (void)level;
    (void)logger();
    if (std::atexit(closeOpenMirrorsAtExit) == 0) registered[type] = true;
}

void logError(const log4cxx::spi::LocationInfo& where, const char* text) noexcept {
    try {
        const log4cxx::LoggerPtr log = logger();
        if (log->isErrorEnabled()) log->forcedLog(log4cxx::Level::getError(), text, where);
    } catch (...) {
        // Logging must not turn a result code into an exception.
    }
}

// A handle given out earlier whose mirror was closed (or whose open failed): its record is gone.
KRVRC retiredHandle(uint64_t handle) {
    const std::string text = "Handle " + std::to_string(handle) +
                             " belongs to a mirror that was closed; zero the record and get a new handle.";
    logError(LOG4CXX_LOCATION, text.c_str());
    return ERR_BADARG;
}

// Runs one export's body; exceptions become result codes with an error entry located at the export.
template <class Body>
int32_t guarded(const log4cxx::spi::LocationInfo& where, Body&& body) noexcept {
    try {
        return static_cast<int32_t>(body());
    } catch (const std::bad_alloc& e) {
        logError(where, e.what());
        return ERR_MALLOC;
    } catch (const std::out_of_range& e) {
        logError(where, e.what());
        return ERR_BADARG;
    } catch (const std::exception& e) {
        logError(where, e.what());
        return ERR_UNKNOWN;
    } catch (...) {
        logError(where, "unknown exception");
        return ERR_UNKNOWN;
    }
}
#define FLAT_GUARDED(...) guarded(LOG4CXX_LOCATION, __VA_ARGS__)

bool inRange(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }

// Gives s a new handle: the record is zeroed first.
void createWrapper(DM_STRUCT* s) {
    const uint64_t handle = gTable.create();
    std::memset(s, 0, sizeof(DM_STRUCT));
    s->Handle = handle;
}

// The common part of the device calls: record, open state, the export's own checks, then the wrapper, held for the
// rest of the call. checks returns NO_ERR to go on; call gets the wrapper's DM record.
template <class Checks, class Call>
KRVRC deviceCall(const DM_STRUCT* s, Checks&& checks, Call&& call) {
    if (!s) return ERR_BADARG;
    if (s->ActCount == 0 || s->Handle == 0) return ERR_DRIVER_NOT_OPEN;
    const KRVRC rc = checks();
    if (rc != NO_ERR) return rc;
    const std::shared_ptr<DMWrapper> wrapper = gTable.find(s->Handle);
    if (!wrapper || !wrapper->isOpen()) return ERR_DRIVER_NOT_OPEN;
    return call(wrapper->record());
}

KRVRC noChecks() { return NO_ERR; }

// The path and device-id setters need a handle, not an open mirror; setter gets the wrapper.
template <class Setter>
KRVRC setPath(const DM_STRUCT* s, const char* path, Setter setter) {
    if (!s || s->Handle == 0) return ERR_BADARG;
    const std::shared_ptr<DMWrapper> wrapper = gTable.find(s->Handle);
    if (!wrapper) return retiredHandle(s->Handle);
    return setter(wrapper.get(), path);
}

// Channels a map of the record has: every unit's channels for USB mirrors, one per actuator otherwise.
size_t totalChannels(const DM& dm) {
    if (dm.DriverType != KRV_USB) return dm.ActCount;
    size_t total = dm.Driver.ChannelCount;
    for (uint32_t unit = 1; unit < dm.DriverCount && dm.ExtraDrivers; ++unit) {
        total += dm.ExtraDrivers[unit - 1].ChannelCount;
    }
    return total;
}

// A zero-filled map buffer of MAX_DM_SIZE entries, longer only if the record has more channels.
std::vector<uint32_t> mapBuffer(const DM& dm) {
    return std::vector<uint32_t>(std::max<size_t>(MAX_DM_SIZE, totalChannels(dm)), 0);
}

// The frame values the core reads: the first ActCount of the caller's (there are at least that many).
KRVRC sendFrame(DM& dm, const double* values, int64_t count, const uint32_t* map, int64_t mapCount) {
    // The caller's record may say more actuators than the mirror has, never fewer.
    if (count < dm.ActCount) return ERR_BADARG;
    const std::vector<double> frame(values, values + dm.ActCount);
    if (!map) return KRVSetArray(&dm, frame.data(), nullptr);
    // Every channel needs its entry: a short map would route the rest of them to channel (or actuator) 0.
    if (mapCount < static_cast<int64_t>(totalChannels(dm))) {
        const std::string text = "The map has " + std::to_string(mapCount) + " entries; this mirror needs " +
                                 std::to_string(totalChannels(dm)) + ".";
        logError(LOG4CXX_LOCATION, text.c_str());
        return ERR_INVALID_LUT;
    }
    std::vector<uint32_t> buffer = mapBuffer(dm);
    std::copy(map, map + mapCount, buffer.begin());
    // On PCIe the core writes a map that differs from the card's into its lookup table first (it then stays the
    // mirror's map), or refuses the frame.
    return KRVSetArray(&dm, frame.data(), buffer.data());
}

template <class Field, class Value>
void copyField(Field& field, Value value) {
    field = static_cast<Field>(value);
}

}  // namespace

extern "C" {

#if defined(KRV_FLAT_LABVIEW)
int32_t KRV_LVIF_GetNewDM(DM_STRUCT* s) {
    return FLAT_GUARDED([&]() -> KRVRC {
        if (!s) return ERR_BADARG;
        if (s->Handle >= HandleTable::kFirstHandle) return ERR_DRIVER_ALREADY_OPEN;
        createWrapper(s);
        return NO_ERR;
    });
}
#else
int32_t fnGetDM(DM_STRUCT* s) {
    return FLAT_GUARDED([&]() -> KRVRC {
        if (!s) return ERR_BADARG;
        if (s->Handle == 0) {
            createWrapper(s);
        } else if (s->Handle == 1) {
            const auto [handle, wrapper] = gTable.lastOpen();
            if (!wrapper) {
                createWrapper(s);
                return NO_ERR;
            }
            const DM& dm = wrapper->record();
            copyField(s->ActCount, dm.ActCount);
            copyField(s->DriverType, dm.DriverType);
            copyField(s->ActCountWidth, dm.ActCountWidth);
            s->MappingFile = wrapper->mappingFileText();
            copyField(s->DevId, dm.DevId);
            s->Handle = handle;
        }
        return NO_ERR;
    });
}
#endif

int32_t FLAT_EXPORT(OpenDM, fnOpenDM)(DM_STRUCT* s, const char* serialNumber) {
    return FLAT_GUARDED([&]() -> KRVRC {
        if (!s) return ERR_BADARG;
        if (s->DriverType > KRV_DUMMY_DRV) return ERR_INVALID_DRIVER_TYPE;
        if (static_cast<int32_t>(s->ActCount) < 0) return ERR_BADARG;
        if (s->DevId != 0) return ERR_DRIVER_ALREADY_OPEN;
        if (s->Handle == 0) createWrapper(s);
        const std::shared_ptr<DMWrapper> wrapper = gTable.find(s->Handle);
        if (!wrapper) return retiredHandle(s->Handle);
        const KRVRC rc = wrapper->open(serialNumber);
        const DM& dm = wrapper->record();
        copyField(s->ActCount, dm.ActCount);
        copyField(s->DriverType, dm.DriverType);
        copyField(s->ActCountWidth, dm.ActCountWidth);
        if (rc != NO_ERR && rc != ERR_DRIVER_ALREADY_OPEN) {
            // Nothing can name the wrapper any more.
            gTable.retire(s->Handle);
            s->Handle = 0;
        } else {
            s->MappingFile = wrapper->mappingFileText();
            copyField(s->DevId, dm.DevId);
            if (rc == NO_ERR) closeAtExitAfter(dm);
        }
        return rc;
    });
}

int32_t FLAT_EXPORT(CloseDM, fnCloseDM)(DM_STRUCT* s) {
    return FLAT_GUARDED([&]() -> KRVRC {
        if (!s) return ERR_BADARG;
        if (s->Handle == 0) return NO_ERR;
        const std::shared_ptr<DMWrapper> wrapper = gTable.find(s->Handle);
        if (!wrapper || !wrapper->isOpen()) return NO_ERR;
        const KRVRC rc = wrapper->close();
        // A closed record cannot be opened again (its DM_STRUCT shows the old DevId until the caller zeroes it and
        // gets a new handle): what it held is freed now.
        gTable.retire(s->Handle);
        return rc;
    });
}

int32_t FLAT_EXPORT(SendData, fnSendData)(DM_STRUCT* s, const double* values, int32_t count) {
    return FLAT_GUARDED([&] {
        return deviceCall(
            s,
            [&]() -> KRVRC {
                if (!values || !inRange(count, 1, kMaxCount)) return ERR_BADARG;
                return count < static_cast<int64_t>(s->ActCount) ? ERR_BADARG : NO_ERR;
            },
            [&](DM& dm) { return sendFrame(dm, values, count, nullptr, 0); });
    });
}

#if defined(KRV_FLAT_LABVIEW)
int32_t KRV_LVIF_SendDataCustomMapping(DM_STRUCT* s, const double* values, int32_t count, const uint32_t* map,
                                       int32_t mapCount) {
#else
int32_t fnSendDataCustomMapping(DM_STRUCT* s, const double* values, uint32_t* map, int32_t count) {
    const int32_t mapCount = count;
#endif
    return FLAT_GUARDED([&] {
        return deviceCall(
            s,
            [&]() -> KRVRC {
                if (!values) return ERR_BADARG;
                if (!map) return ERR_INVALID_LUT;
                // Both counts: the map count sizes the copy into the map buffer.
                if (!inRange(count, 1, kMaxCount) || !inRange(mapCount, 1, kMaxCount)) return ERR_BADARG;
                return count < static_cast<int64_t>(s->ActCount) ? ERR_BADARG : NO_ERR;
            },
            [&](DM& dm) { return sendFrame(dm, values, count, map, mapCount); });
    });
}

int32_t FLAT_EXPORT(PokeDM, fnPokeDM)(DM_STRUCT* s, int32_t actuator, double value) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks,
                          [&](DM& dm) { return KRVSetSingle(&dm, static_cast<uint32_t>(actuator), value); });
    });
}

int32_t FLAT_EXPORT(GetActuatorData, fnGetActuatorData)(DM_STRUCT* s, double* values, int32_t count) {
    return FLAT_GUARDED([&] {
        return deviceCall(
            s, [&] { return !values || !inRange(count, 1, kMaxCount) ? ERR_BADARG : NO_ERR; },
            [&](DM& dm) { return KRVGetArray(&dm, values, static_cast<uint32_t>(count)); });
    });
}

int32_t FLAT_EXPORT(GetDefaultMapping, fnGetDefaultMapping)(DM_STRUCT* s, uint32_t* map, int32_t count) {
    return FLAT_GUARDED([&] {
        return deviceCall(
            s, [&] { return !map || !inRange(count, 1, kMaxCount) ? ERR_BADARG : NO_ERR; },
            [&](DM& dm) {
                // Read again from the file; the map read becomes the mirror's current one.
                std::vector<uint32_t> buffer = mapBuffer(dm);
                const KRVRC rc = KRVLoadMap(&dm, nullptr, buffer.data());
                if (rc != NO_ERR) return rc;
                std::copy(buffer.begin(), buffer.begin() + count, map);
                return NO_ERR;
            });
    });
}

int32_t FLAT_EXPORT(SetSegment, fnSetSegment)(DM_STRUCT* s, int32_t segment, double piston, double xTilt,
                                              double yTilt, int32_t applyOffsets, int32_t sendNow) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return KRVSetSegment(&dm, static_cast<unsigned>(segment), piston, xTilt, yTilt, applyOffsets != 0,
                                 sendNow != 0);
        });
    });
}

int32_t FLAT_EXPORT(GetSegmentRange, fnGetSegmentRange)(DM_STRUCT* s, int32_t segment, int32_t axis, double piston,
                                                        double xTilt, double yTilt, int32_t applyOffsets,
                                                        double* minValue, double* maxValue) {
    return FLAT_GUARDED([&] {
        return deviceCall(
            s, [&] { return !minValue || !maxValue ? ERR_BADARG : NO_ERR; },
            [&](DM& dm) {
                return KRVGetSegmentRange(&dm, static_cast<unsigned>(segment), static_cast<DMSegmentAxis>(axis),
                                          piston, xTilt, yTilt, applyOffsets != 0, minValue, maxValue);
            });
    });
}

int32_t FLAT_EXPORT(LoadCalibrationFile, fnLoadCalibrationFile)(DM_STRUCT* s, const char* path) {
    return FLAT_GUARDED(
        [&] { return deviceCall(s, noChecks, [&](DM& dm) { return KRVLoadCalibrationFile(&dm, path); }); });
}

int32_t FLAT_EXPORT(SetProfilesPath, fnSetProfilesPath)(DM_STRUCT* s, const char* path) {
    return FLAT_GUARDED([&] {
        return setPath(s, path, [](DMWrapper* w, const char* p) { return KRVSetProfilesPath(&w->record(), p); });
    });
}

int32_t FLAT_EXPORT(SetMapsPath, fnSetMapsPath)(DM_STRUCT* s, const char* path) {
    return FLAT_GUARDED([&] {
        return setPath(s, path, [](DMWrapper* w, const char* p) { return KRVSetMapsPath(&w->record(), p); });
    });
}

int32_t FLAT_EXPORT(SetCalibrationsPath, fnSetCalibrationsPath)(DM_STRUCT* s, const char* path) {
    return FLAT_GUARDED([&] {
        return setPath(s, path, [](DMWrapper* w, const char* p) { return KRVSetCalibrationsPath(&w->record(), p); });
    });
}

int32_t FLAT_EXPORT(SetDeviceId, fnSetDeviceId)(DM_STRUCT* s, int32_t deviceId) {
    return FLAT_GUARDED([&] {
        return setPath(s, nullptr,
                       [deviceId](DMWrapper* wrapper, const char*) { return wrapper->setDeviceId(deviceId); });
    });
}

#if defined(KRV_FLAT_LABVIEW)
int32_t KRV_LVIF_ConfigureSequence(DM_STRUCT* s, const double* sequence, int32_t seqLength, int32_t frameLength,
                                   double delay) {
#else
int32_t fnConfigureSequence(DM_STRUCT* s, const double* sequence, uint32_t seqLength, uint32_t frameLength,
                            double delay) {
#endif
    return FLAT_GUARDED([&] {
        return deviceCall(
            s,
            [&]() -> KRVRC {
                if (!inRange(seqLength, 1, kMaxSequenceLength) || !inRange(frameLength, 1, kMaxSequenceLength))
                    return ERR_INVALID_SEQUENCE;
                if (static_cast<int64_t>(frameLength) > static_cast<int64_t>(s->ActCount))
                    return ERR_INVALID_SEQUENCE;
                return sequence ? NO_ERR : ERR_BADARG;
            },
            [&](DM& dm) {
                return KRVConfigureSequence(&dm, sequence, delay, static_cast<uint32_t>(frameLength),
                                            static_cast<uint32_t>(seqLength));
            });
    });
}

int32_t FLAT_EXPORT(EnableSequence, fnEnableSequence)(DM_STRUCT* s, double frameRate, int32_t enable) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return dm.DriverType == KRV_PCIE ? KRV_PCIeEnableSequence(&dm, frameRate, enable != 0)
                                             : ERR_NOT_IMPLEMENTED;
        });
    });
}

#if defined(KRV_FLAT_LABVIEW)
int32_t KRV_LVIF_ConfigureDither(DM_STRUCT* s, const double* waveform, int32_t waveformLength, const double* gains,
                                 int32_t gainsCount) {
#else
int32_t fnConfigureDither(DM_STRUCT* s, const double* waveform, int32_t waveformLength, const double* gains) {
#endif
    return FLAT_GUARDED([&] {
        return deviceCall(
            s,
            [&]() -> KRVRC {
#if defined(KRV_FLAT_LABVIEW)
                if (gainsCount < static_cast<int64_t>(s->ActCount)) return ERR_BADARG;
#endif
                return !waveform || !gains ? ERR_BADARG : NO_ERR;
            },
            [&](DM& dm) -> KRVRC {
#if defined(KRV_FLAT_LABVIEW)
                if (gainsCount < static_cast<int64_t>(dm.ActCount)) return ERR_BADARG;
#endif
                return KRVConfigureDither(&dm, waveform, static_cast<uint32_t>(waveformLength), gains);
            });
    });
}

int32_t FLAT_EXPORT(EnableDither, fnEnableDither)(DM_STRUCT* s, double frameRate, int32_t enable) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return dm.DriverType == KRV_PCIE ? KRV_PCIeEnableDither(&dm, frameRate, enable != 0)
                                             : ERR_NOT_IMPLEMENTED;
        });
    });
}

int32_t FLAT_EXPORT(EnableHighRes, fnEnableHighRes)(DM_STRUCT* s, int32_t enable) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return dm.DriverType == KRV_PCIE ? KRV_PCIeEnableHighRes(&dm, enable != 0) : ERR_NOT_IMPLEMENTED;
        });
    });
}

int32_t FLAT_EXPORT(CalculateSurface, fnCalculateSurface)(DM_STRUCT* s, double* phase, int32_t width, int32_t height,
                                                          int32_t dmDiameter, int32_t options, double* commands,
                                                          uint32_t commandsCount, double* phaseOut,
                                                          uint32_t phaseOutCount) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return KRVCalculateSurfaceEx(&dm, phase, width, height, dmDiameter, static_cast<unsigned>(options),
                                         commands, commandsCount, phaseOut, phaseOutCount);
        });
    });
}

int32_t FLAT_EXPORT(SetSurface, fnSetSurface)(DM_STRUCT* s, double* phase, int32_t width, int32_t height,
                                              int32_t dmDiameter, int32_t options) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return KRVSetSurface(&dm, phase, width, height, dmDiameter, static_cast<unsigned>(options));
        });
    });
}

int32_t FLAT_EXPORT(ZernikeSurface, fnZernikeSurface)(DM_STRUCT* s, double* coefficients, int32_t count,
                                                      int32_t dmDiameter, int32_t options, double* phaseOut,
                                                      uint32_t phaseOutCount) {
    return FLAT_GUARDED([&] {
        return deviceCall(s, noChecks, [&](DM& dm) {
            return KRVZernikeSurface(&dm, coefficients, count, dmDiameter, static_cast<unsigned>(options), phaseOut,
                                     phaseOutCount);
        });
    });
}

int32_t FLAT_EXPORT(ConfigureLog, fnConfigureLog)(const char* filePath, int32_t level) {
    return FLAT_GUARDED([&] { return KRVConfigureLog(filePath, static_cast<KRV_LOGLEVEL>(level)); });
}

const char* FLAT_EXPORT(GetErrorString, fnGetErrorString)(int32_t code) {
    return KRVErrorString(static_cast<KRVRC>(static_cast<uint32_t>(code)));
}

const char* FLAT_EXPORT(VersionString, fnVersionString)(void) { return KRVVersionString(); }

}  // extern "C"
