/*
 * LabVIEW interface of the mirror kit (libKRVLabviewIF4.so). Plain C, fixed-width types only, so that LabVIEW's
 * shared-library import can read it.
 *
 * A diagram keeps one zero-filled DM_STRUCT per mirror: KRV_LVIF_GetNewDM gives it a handle, KRV_LVIF_OpenDM opens
 * the mirror by its 11-character serial number, the other calls drive it, KRV_LVIF_CloseDM closes it. Clear the
 * whole record before opening it again. Every call returns a result code (0: no error); KRV_LVIF_GetErrorString
 * gives its text.
 */
#ifndef KRV_LABVIEW_IF_H
#define KRV_LABVIEW_IF_H

#include <stdint.h>

#if defined(__GNUC__)
#define KRV_LVIF_API __attribute__((visibility("default")))
#else
#define KRV_LVIF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 48 bytes. The library writes the first fields after an open; Handle names the mirror inside the library. */
typedef struct DM_STRUCT {
    uint16_t DriverType;     /* 0 USB, 1 PCIe, 2 dummy */
    int16_t DevId;           /* device id after a successful open; non-zero means open */
    uint32_t ActCount;       /* actuators; 0 means not open */
    uint32_t ActCountWidth;  /* actuators across the mirror */
    uint32_t Padding;        /* keeps MappingFile 8-byte aligned */
    const char* MappingFile; /* the mirror's default map file; owned by the library */
    uint64_t Handle;         /* 0: none */
    uint64_t Reserved[2];
} DM_STRUCT;

/* Gives a record whose Handle is below 32 a new handle (the record is zeroed first). */
KRV_LVIF_API int32_t KRV_LVIF_GetNewDM(DM_STRUCT* dm);
KRV_LVIF_API int32_t KRV_LVIF_OpenDM(DM_STRUCT* dm, const char* serialNumber);
/* The record keeps its fields, but its handle is spent: zero the record and get a new handle before the next
   open. */
KRV_LVIF_API int32_t KRV_LVIF_CloseDM(DM_STRUCT* dm);

/* count values (at least ActCount, at most 4096), one per actuator, in 0..1. */
KRV_LVIF_API int32_t KRV_LVIF_SendData(DM_STRUCT* dm, const double* values, int32_t count);
/* As SendData through a map of mapCount entries (at least one per channel, at most 4096); on PCIe the map is
   written into the card's lookup table first and stays the mirror's own. */
KRV_LVIF_API int32_t KRV_LVIF_SendDataCustomMapping(DM_STRUCT* dm, const double* values, int32_t count,
                                                    const uint32_t* map, int32_t mapCount);
KRV_LVIF_API int32_t KRV_LVIF_PokeDM(DM_STRUCT* dm, int32_t actuator, double value);
KRV_LVIF_API int32_t KRV_LVIF_GetActuatorData(DM_STRUCT* dm, double* values, int32_t count);
KRV_LVIF_API int32_t KRV_LVIF_GetDefaultMapping(DM_STRUCT* dm, uint32_t* map, int32_t count);

/* Segment piston in nm, tilts in rad; applyOffsets and sendNow are 0 or 1. axis: 0 piston, 1 x-tilt, 2 y-tilt. */
KRV_LVIF_API int32_t KRV_LVIF_SetSegment(DM_STRUCT* dm, int32_t segment, double piston, double xTilt, double yTilt,
                                         int32_t applyOffsets, int32_t sendNow);
KRV_LVIF_API int32_t KRV_LVIF_GetSegmentRange(DM_STRUCT* dm, int32_t segment, int32_t axis, double piston,
                                              double xTilt, double yTilt, int32_t applyOffsets, double* minValue,
                                              double* maxValue);
KRV_LVIF_API int32_t KRV_LVIF_LoadCalibrationFile(DM_STRUCT* dm, const char* path);

/* Need a handle, not an open mirror. */
KRV_LVIF_API int32_t KRV_LVIF_SetProfilesPath(DM_STRUCT* dm, const char* path);
KRV_LVIF_API int32_t KRV_LVIF_SetMapsPath(DM_STRUCT* dm, const char* path);
KRV_LVIF_API int32_t KRV_LVIF_SetCalibrationsPath(DM_STRUCT* dm, const char* path);
/* PCIe: the card (1 = first) the next OpenDM of this handle uses; the open fails (2, no hardware) when that card
   is not installed. Without it the back end chooses. */
KRV_LVIF_API int32_t KRV_LVIF_SetDeviceId(DM_STRUCT* dm, int32_t deviceId);

/* PCIe only. Sequences are frameLength x seqLength values, frame after frame; enable is 0 or 1. */
KRV_LVIF_API int32_t KRV_LVIF_ConfigureSequence(DM_STRUCT* dm, const double* sequence, int32_t seqLength,
                                                int32_t frameLength, double delay);
KRV_LVIF_API int32_t KRV_LVIF_EnableSequence(DM_STRUCT* dm, double frameRate, int32_t enable);
KRV_LVIF_API int32_t KRV_LVIF_ConfigureDither(DM_STRUCT* dm, const double* waveform, int32_t waveformLength,
                                              const double* gains, int32_t gainsCount);
KRV_LVIF_API int32_t KRV_LVIF_EnableDither(DM_STRUCT* dm, double frameRate, int32_t enable);
KRV_LVIF_API int32_t KRV_LVIF_EnableHighRes(DM_STRUCT* dm, int32_t enable);

/* Phase maps in nm, row-major; options: 1 absolute deflection, 2 best effort. */
KRV_LVIF_API int32_t KRV_LVIF_CalculateSurface(DM_STRUCT* dm, double* phase, int32_t width, int32_t height,
                                               int32_t dmDiameter, int32_t options, double* commands,
                                               uint32_t commandsCount, double* phaseOut, uint32_t phaseOutCount);
KRV_LVIF_API int32_t KRV_LVIF_SetSurface(DM_STRUCT* dm, double* phase, int32_t width, int32_t height,
                                         int32_t dmDiameter, int32_t options);
KRV_LVIF_API int32_t KRV_LVIF_ZernikeSurface(DM_STRUCT* dm, double* coefficients, int32_t count, int32_t dmDiameter,
                                             int32_t options, double* phaseOut, uint32_t phaseOutCount);

/* level: 0 all, 1 debug, 2 info, 3 warn, 4 error, 5 fatal, 6 off. */
KRV_LVIF_API int32_t KRV_LVIF_ConfigureLog(const char* filePath, int32_t level);
KRV_LVIF_API const char* KRV_LVIF_GetErrorString(int32_t code);
KRV_LVIF_API const char* KRV_LVIF_VersionString(void);

#ifdef __cplusplus
}
#endif

#endif /* KRV_LABVIEW_IF_H */
