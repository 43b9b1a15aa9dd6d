/*
 * MATLAB interface of the mirror kit (libKRVMatlabIF4.so). Plain C, fixed-width types only, so that loadlibrary
 * can read it.
 *
 * A program keeps one zero-filled DM_STRUCT per mirror: fnGetDM gives it a handle, fnOpenDM opens the mirror by
 * its 11-character serial number, the other calls drive it, fnCloseDM closes it. Clear the whole record before
 * opening it again. fnGetDM on a record whose Handle is 1 attaches it to the mirror opened last through this
 * library (the open one with the highest handle), or gives it a new handle when none is open. Every call returns a
 * result code (0: no error); fnGetErrorString gives its text.
 */
#ifndef KRV_MATLAB_IF_H
#define KRV_MATLAB_IF_H

#include <stdint.h>

#if defined(__GNUC__)
#define KRV_MLIF_API __attribute__((visibility("default")))
#else
#define KRV_MLIF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 48 bytes. The library writes the first fields after an open; Handle names the mirror inside the library. */
typedef struct DM_STRUCT {
    uint32_t DriverType;     /* 0 USB, 1 PCIe, 2 dummy */
    uint32_t DevId;          /* device id after a successful open; non-zero means open */
    uint32_t ActCount;       /* actuators; 0 means not open */
    uint32_t ActCountWidth;  /* actuators across the mirror */
    const char* MappingFile; /* the mirror's default map file; owned by the library */
    uint64_t Handle;         /* 0: none; 1: attach to an open mirror (fnGetDM) */
    uint64_t Reserved[2];
} DM_STRUCT;

/* Handle 0: a new handle (the record is zeroed first); handle 1: attach, see above; others: nothing. */
KRV_MLIF_API int32_t fnGetDM(DM_STRUCT* dm);
KRV_MLIF_API int32_t fnOpenDM(DM_STRUCT* dm, const char* serialNumber);
/* The record keeps its fields, but its handle is spent: zero the record and get a new handle before the next
   open. */
KRV_MLIF_API int32_t fnCloseDM(DM_STRUCT* dm);

/* count values (at least ActCount, at most 4096), one per actuator, in 0..1. */
KRV_MLIF_API int32_t fnSendData(DM_STRUCT* dm, const double* values, int32_t count);
/* As fnSendData through a map of count entries (at least one per channel); on PCIe the map is written into the
   card's lookup table first and stays the mirror's own. */
KRV_MLIF_API int32_t fnSendDataCustomMapping(DM_STRUCT* dm, const double* values, uint32_t* map, int32_t count);
KRV_MLIF_API int32_t fnPokeDM(DM_STRUCT* dm, int32_t actuator, double value);
KRV_MLIF_API int32_t fnGetActuatorData(DM_STRUCT* dm, double* values, int32_t count);
KRV_MLIF_API int32_t fnGetDefaultMapping(DM_STRUCT* dm, uint32_t* map, int32_t count);

/* Segment piston in nm, tilts in rad; applyOffsets and sendNow are 0 or 1. axis: 0 piston, 1 x-tilt, 2 y-tilt. */
KRV_MLIF_API int32_t fnSetSegment(DM_STRUCT* dm, int32_t segment, double piston, double xTilt, double yTilt,
                                  int32_t applyOffsets, int32_t sendNow);
KRV_MLIF_API int32_t fnGetSegmentRange(DM_STRUCT* dm, int32_t segment, int32_t axis, double piston, double xTilt,
                                       double yTilt, int32_t applyOffsets, double* minValue, double* maxValue);
KRV_MLIF_API int32_t fnLoadCalibrationFile(DM_STRUCT* dm, const char* path);

/* Need a handle, not an open mirror. */
KRV_MLIF_API int32_t fnSetProfilesPath(DM_STRUCT* dm, const char* path);
KRV_MLIF_API int32_t fnSetMapsPath(DM_STRUCT* dm, const char* path);
KRV_MLIF_API int32_t fnSetCalibrationsPath(DM_STRUCT* dm, const char* path);
/* PCIe: the card (1 = first) the next fnOpenDM of this handle uses; the open fails (2, no hardware) when that card
   is not installed. Without it the back end chooses. */
KRV_MLIF_API int32_t fnSetDeviceId(DM_STRUCT* dm, int32_t deviceId);

/* PCIe only. Sequences are frameLength x seqLength values, frame after frame; enable is 0 or 1. */
KRV_MLIF_API int32_t fnConfigureSequence(DM_STRUCT* dm, const double* sequence, uint32_t seqLength,
                                         uint32_t frameLength, double delay);
KRV_MLIF_API int32_t fnEnableSequence(DM_STRUCT* dm, double frameRate, int32_t enable);
/* gains: ActCount values. */
KRV_MLIF_API int32_t fnConfigureDither(DM_STRUCT* dm, const double* waveform, int32_t waveformLength,
                                       const double* gains);
KRV_MLIF_API int32_t fnEnableDither(DM_STRUCT* dm, double frameRate, int32_t enable);
KRV_MLIF_API int32_t fnEnableHighRes(DM_STRUCT* dm, int32_t enable);

/* Phase maps in nm, row-major; options: 1 absolute deflection, 2 best effort. */
KRV_MLIF_API int32_t fnCalculateSurface(DM_STRUCT* dm, double* phase, int32_t width, int32_t height,
                                        int32_t dmDiameter, int32_t options, double* commands, uint32_t commandsCount,
                                        double* phaseOut, uint32_t phaseOutCount);
KRV_MLIF_API int32_t fnSetSurface(DM_STRUCT* dm, double* phase, int32_t width, int32_t height, int32_t dmDiameter,
                                  int32_t options);
KRV_MLIF_API int32_t fnZernikeSurface(DM_STRUCT* dm, double* coefficients, int32_t count, int32_t dmDiameter,
                                      int32_t options, double* phaseOut, uint32_t phaseOutCount);

/* level: 0 all, 1 debug, 2 info, 3 warn, 4 error, 5 fatal, 6 off. */
KRV_MLIF_API int32_t fnConfigureLog(const char* filePath, int32_t level);
KRV_MLIF_API const char* fnGetErrorString(int32_t code);
KRV_MLIF_API const char* fnVersionString(void);

#ifdef __cplusplus
}
#endif

#endif /* KRV_MATLAB_IF_H */
