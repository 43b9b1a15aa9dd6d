/* Public interface of the mirror kit: the DM record, result codes, enumerations and the core exports. Plain C. */
#ifndef KRV_H
#define KRV_H

#include <stdint.h>
#include <stdbool.h>

#if defined(__GNUC__)
#define KRVAPI __attribute__((visibility("default")))
#else
#define KRVAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* In C++ the enumerations take a fixed 32-bit underlying type, so every value a profile or a caller may store in
   them (a driver type of 7, a result code of 1000) is a valid value; C gives them the same 32-bit size. */
#ifdef __cplusplus
#define KRV_ENUM(name) enum name : uint32_t
#else
#define KRV_ENUM(name) enum name
#endif

#define KRV_MAX_PATH 260
#define KRV_SERIAL_NUMBER_LEN 11
#define MAX_DM_SIZE 4096
#define KRV_DEV_ID_ANY 0
#define KRV_DEV_ID_QUERY_PROFILE 0x10000

typedef KRV_ENUM(DRVTYPE) {
    KRV_USB = 0,
    KRV_PCIE = 1,
    KRV_DUMMY_DRV = 2
} DRVTYPE;

typedef KRV_ENUM(KRV_LOGLEVEL) {
    KRV_LOG_ALL = 0,
    KRV_LOG_TRACE = 0,
    KRV_LOG_DEBUG = 1,
    KRV_LOG_INFO = 2,
    KRV_LOG_WARN = 3,
    KRV_LOG_ERROR = 4,
    KRV_LOG_FATAL = 5,
    KRV_LOG_OFF = 6
} KRV_LOGLEVEL;

typedef KRV_ENUM(DMLayout) {
    DMSquareLayout = 0,
    DMCircularLayout = 1,
    DMLinearLayout = 2,
    DMHexLayout = 3,
    DMLayoutCount = 4
} DMLayout;

typedef KRV_ENUM(DMSegmentAxis) {
    DM_Piston = 0,
    DM_XTilt = 1,
    DM_YTilt = 2
} DMSegmentAxis;

typedef KRV_ENUM(DMSurfaceOptions) {
    DM_SURFACE_DEFAULT_OPTIONS = 0,
    DM_SURFACE_ABSOLUTE_DEFLECTION = 1,
    DM_SURFACE_BEST_EFFORT = 2
} DMSurfaceOptions;

typedef KRV_ENUM(KRVRC) {
    NO_ERR = 0,
    ERR_UNKNOWN = 1,
    ERR_NO_HW = 2,
    ERR_INIT_DRIVER = 3,
    ERR_SERIAL_NUMBER = 4,
    ERR_MALLOC = 5,
    ERR_INVALID_DRIVER_TYPE = 6,
    ERR_INVALID_ACTUATOR_COUNT = 7,
    ERR_INVALID_LUT = 8,
    ERR_ACTUATOR_ID = 9,
    ERR_OPENFILE = 10,
    ERR_NOT_IMPLEMENTED = 11,
    ERR_TIMEOUT = 12,
    ERR_POKE = 13,
    ERR_REGISTRY = 14,
    ERR_PCIE_REGWR = 15,
    ERR_PCIE_REGRD = 16,
    ERR_PCIE_BURST = 17,
    ERR_X64_ONLY = 18,
    ERR_PULSE_RANGE = 19,
    ERR_INVALID_SEQUENCE = 20,
    ERR_INVALID_SEQUENCE_RATE = 21,
    ERR_INVALID_DITHER_WVFRM = 22,
    ERR_INVALID_DITHER_GAIN = 23,
    ERR_INVALID_DITHER_RATE = 24,
    ERR_BADARG = 25,
    ERR_SEGMENT_ID = 26,
    ERR_INVALID_CALIBRATION = 27,
    ERR_OUT_OF_LUT_RANGE = 28,
    ERR_DRIVER_NOT_OPEN = 29,
    ERR_DRIVER_ALREADY_OPEN = 30,
    ERR_FILE_PERMISSIONS = 31,
    ERR_FILE_FORMAT = 32,
    ERR_USB_READ = 33,
    ERR_USB_WRITE = 34,
    ERR_USB_OTHER = 35,
    ERR_INVALID_COEFFICIENTS = 36
} KRVRC;

/* One drive electronics unit. The two working fields belong to the back ends. */
typedef struct DM_DRIVER {
    uint32_t ChannelCount;
    char SerialNumber[KRV_SERIAL_NUMBER_LEN + 1];
    uint32_t HVAType;
    uint8_t UseFiber;
    uint8_t UseCL;
    uint8_t FiberMode;
    uint32_t HWRev;
    uint64_t Work64;
    uint32_t Work32;
} DM_DRIVER;

/* Opaque working state of an open record; owned by the record, created on open, freed by KRVClose. */
typedef struct DMState DMState;

/*
 * The caller's record of one mirror. Zero-fill it before first use and pass it first to every call.
 * MaxVoltage, VoltageLimit and the InactiveActuators entries are stored encoded.
 */
typedef struct DM {
    DRVTYPE DriverType;
    int32_t DevId;
    uint32_t HVAType;
    uint32_t UseFiber;
    uint32_t UseCL;
    uint32_t BurstMode;
    uint32_t FiberMode;
    uint32_t ActCount;
    uint32_t MaxVoltage;
    uint32_t VoltageLimit;
    char MappingFile[KRV_MAX_PATH];
    uint32_t InactiveActuators[MAX_DM_SIZE];
    char ProfilesPath[KRV_MAX_PATH];
    char MapsPath[KRV_MAX_PATH];
    char CalibrationsPath[KRV_MAX_PATH];
    char CalibrationFile[KRV_MAX_PATH];
    char SerialNumber[KRV_SERIAL_NUMBER_LEN + 1];
    DM_DRIVER Driver;
    DMState* State;
    uint32_t ActCountWidth;
    uint32_t Layout;
    uint32_t DriverCount;
    /* DriverCount - 1 further units (at least one element is allocated while a profile is loaded). */
    DM_DRIVER* ExtraDrivers;
} DM;

KRVAPI KRVRC KRVOpen(DM* dm, const char* serialNumber);
KRVAPI KRVRC KRVClose(DM* dm);
/* Commands are 0..1 (clamped); a NaN or infinite value refuses the whole call with ERR_BADARG. A non-null map
   applies to this frame; on PCIe, where the card routes frames through its lookup table, a map other than the
   mirror's is written into the card first and stays the mirror's map (or the frame is refused). */
KRVAPI KRVRC KRVSetArray(DM* dm, const double* values, const uint32_t* map);
KRVAPI KRVRC KRVSetSingle(DM* dm, uint32_t actuator, double value);
KRVAPI KRVRC KRVGetArray(DM* dm, double* out, uint32_t outCount);
KRVAPI KRVRC KRVClearArray(DM* dm);
/* Reads a map file into map (or, with map null, into the mirror's own map); on PCIe the map read is written into
   the card's lookup table. A file that does not load, or a table the card does not take, changes neither the
   caller's map, nor the mirror's, nor the card's. */
KRVAPI KRVRC KRVLoadMap(DM* dm, const char* mapPath, uint32_t* map);
/* Makes map (null: the mirror's own) the mirror's map; on PCIe it is written into the card's lookup table whole,
   or the call fails and the mirror keeps its map. */
KRVAPI KRVRC KRVApplyMap(DM* dm, uint32_t* map, uint32_t* actuatorEnable);
KRVAPI KRVRC KRVLoadCalibrationFile(DM* dm, const char* path);
KRVAPI KRVRC KRVConfigureSequence(DM* dm, const double* sequence, double delay, uint32_t frameLength,
                                  uint32_t seqLength);
KRVAPI KRVRC KRVEnableSequence(DM* dm, double frameRate, bool enable);
KRVAPI KRVRC KRVConfigureDither(DM* dm, const double* waveform, uint32_t waveformLength, const double* gains);
KRVAPI KRVRC KRVEnableDither(DM* dm, double frameRate, bool enable);
KRVAPI KRVRC KRVSetProfilesPath(DM* dm, const char* path);
KRVAPI KRVRC KRVSetMapsPath(DM* dm, const char* path);
KRVAPI KRVRC KRVSetCalibrationsPath(DM* dm, const char* path);
KRVAPI KRVRC KRVConfigureLog(const char* filePath, KRV_LOGLEVEL level);

/*
 * Receives one message of the kit: its level (KRV_LOG_TRACE to KRV_LOG_FATAL), the name of the kit's logger that
 * wrote it ("KRV.API", "KRV.PCIe", ...), the text without a line end, and the userdata given with the callback.
 * The strings live for the call only.
 */
typedef void (*KRVLogCallback)(KRV_LOGLEVEL level, const char* logger, const char* message, void* userdata);

/*
 * Hands the kit's messages to callback instead of writing them to standard error; the log file keeps getting
 * them, and KRVConfigureLog's level still chooses which are made at all. A null callback writes them to standard
 * error again. Callable at any time, from any thread; when it returns, the previous callback is no longer being
 * called and will not be. The callback is called on the thread that logs, which may be any thread (the kit's own
 * workers too), while the logging library holds its lock, so other threads that log wait for it: it must return
 * soon, and must neither call KRVSetLogCallback nor anything of the kit that logs. Always returns NO_ERR.
 */
KRVAPI KRVRC KRVSetLogCallback(KRVLogCallback callback, void* userdata);
KRVAPI const char* KRVErrorString(KRVRC code);
KRVAPI const char* KRVVersionString(void);

/*
 * Sets up logging as the first KRVOpen of a process does (console and the default log file), unless logging is
 * set up already, in which case nothing changes. For programs that log before they open a mirror. NO_ERR.
 */
KRVAPI KRVRC KRVInitLog(void);

/* How the actuators of a mirror model sit on a square grid of Width x Width cells, in row-major order. */
typedef struct DMGEOMETRY {
    uint32_t ActCount;  /* actuators */
    uint32_t Width;     /* cells per grid row (the open record's ActCountWidth) */
    uint32_t Layout;    /* DMLayout (the open record's Layout) */
    uint32_t Segmented; /* 1: segments of three actuators each (piston, x-tilt, y-tilt), actuators 3s..3s+2 */
    uint32_t HasMask;   /* 1: the model has a grid mask; KRVGetGridMask gives it */
    uint32_t Known;     /* 1: a model of the kit's table; 0: no model has this count (square grid, no mask) */
    double StrokeNm;    /* nominal stroke in nm; 0 when Known is 0 */
    char Model[32];     /* model name; empty when Known is 0 */
} DMGEOMETRY;

/* Geometry of the open mirror of dm. ERR_BADARG for a null argument, ERR_DRIVER_NOT_OPEN when dm is not open. */
KRVAPI KRVRC KRVGetGeometry(const DM* dm, DMGEOMETRY* geometry);

/* Geometry the kit gives a mirror of actuatorCount actuators, without opening one. ERR_BADARG for a null
 * geometry; ERR_INVALID_ACTUATOR_COUNT for 0 or more than MAX_DM_SIZE. */
KRVAPI KRVRC KRVGetModelGeometry(uint32_t actuatorCount, DMGEOMETRY* geometry);

/* The grid mask of the model with actuatorCount actuators: Width x Width cells, 1 where an actuator sits, else 0.
 * cellCount is the room in mask. ERR_BADARG for a null mask or cellCount below Width x Width;
 * ERR_NOT_IMPLEMENTED when the model has no mask (HasMask 0); ERR_INVALID_ACTUATOR_COUNT as
 * KRVGetModelGeometry. Nothing is written unless the result is NO_ERR. */
KRVAPI KRVRC KRVGetGridMask(uint32_t actuatorCount, int32_t* mask, uint32_t cellCount);

/* Total channel count of the open mirror's drive units: the length of its map (ActCount except on USB, where it
 * is the sum of the units' channel counts). ERR_BADARG, ERR_DRIVER_NOT_OPEN. */
KRVAPI KRVRC KRVGetChannelCount(const DM* dm, uint32_t* count);

/* Whether the open mirror has a calibration table loaded (open-loop calls need one). ERR_BADARG,
 * ERR_DRIVER_NOT_OPEN. */
KRVAPI KRVRC KRVIsCalibrationLoaded(const DM* dm, bool* loaded);

/*
 * Profile files. KRVOpen reads <ProfilesPath>/<serial>.dm, one "key=value" setting per line. The keys it knows,
 * in the order it takes them, are KRVProfileKey(0), KRVProfileKey(1), ...; past the last the result is NULL.
 */
KRVAPI const char* KRVProfileKey(uint32_t index);

/* NO_ERR when setting ("key=value") is one KRVWriteProfile takes: a known key and a value the file holds
 * unchanged; else ERR_BADARG. */
KRVAPI KRVRC KRVCheckProfileSetting(const char* setting);

/*
 * Writes the profile file at path (replacing it whole, never leaving a half-written file) from count settings,
 * each "key=value" with a known key, in the given order (the reader takes the last value of a key). Refused with
 * ERR_BADARG, writing nothing, for a null argument, a setting without '=', an unknown key, or a value that the
 * file cannot hold so that the reader gets it back unchanged (a line break, or a byte that the file's encoding
 * turns into one). ERR_OPENFILE or ERR_FILE_PERMISSIONS when the file cannot be written. Values are not
 * checked against the mirror (sizes, voltages): KRVOpen does that.
 */
KRVAPI KRVRC KRVWriteProfile(const char* path, const char* const* settings, uint32_t count);

/* Called once per line of a profile file, in order: lineNumber from 1; text is the line as the reader reads it
 * (decoded, without line end) and length its size in bytes, or text is NULL for a line that the reader skips. */
typedef void (*KRVProfileLineFn)(void* context, uint32_t lineNumber, const char* text, uint32_t length);

/* Reads the profile file at path line by line as KRVOpen does, calling fn for every line. ERR_BADARG for a null
 * path or fn; ERR_OPENFILE, ERR_FILE_PERMISSIONS or ERR_FILE_FORMAT (read error) otherwise. */
KRVAPI KRVRC KRVReadProfileLines(const char* path, KRVProfileLineFn fn, void* context);

#ifdef __cplusplus
}
#endif

#endif /* KRV_H */
