/* Open-loop surface control: phase maps and Zernike terms to actuator commands, segment piston and tilt. Plain C. */
#ifndef KRV_OPENLOOP_H
#define KRV_OPENLOOP_H

#include <KRV.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Phase maps are rows x columns of doubles in nanometres, row-major, covering the mirror's active aperture.
 * dm_diameter is the aperture diameter in actuator spacings (0: the grid width minus 3). options is a
 * DMSurfaceOptions bit mask. commands receives one value in 0..1 per actuator, in actuator order.
 */
KRVAPI KRVRC KRVCalculateSurface(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options,
                                 double* commands, unsigned commandCount);

/* As KRVCalculateSurface; lowRes (optional) receives the map resampled to the actuator grid: the centred
 * N x N block (N = aperture diameter + 1) when lowResCount is N*N, else the whole grid in its first W*W places. */
KRVAPI KRVRC KRVCalculateSurfaceEx(DM* dm, double* phase, int width, int height, int dm_diameter,
                                   unsigned options, double* commands, unsigned commandCount, double* lowRes,
                                   unsigned lowResCount);

/* Calculates the commands of a phase map and sends them with KRVSetArray. */
KRVAPI KRVRC KRVSetSurface(DM* dm, double* phase, int width, int height, int dm_diameter, unsigned options);

/* Writes the phase map of count Zernike coefficients (OSA/ANSI order, piston first, at most 1024) on the
 * actuator grid: N x N values when phaseCount is N*N, else W x W values. Needs no calibration. Coefficients that
 * are not finite, or that give a map beyond the range of doubles, are refused with ERR_INVALID_COEFFICIENTS and
 * phase is left untouched. */
KRVAPI KRVRC KRVZernikeSurface(DM* dm, double* coefficients, int count, int dm_diameter, unsigned options,
                               double* phase, unsigned phaseCount);

/* Segmented mirrors: piston (nm), x-tilt and y-tilt (rad) of one segment into its three actuators; with
 * sendNow false the values wait in the applied frame for the next send. Continuous mirrors: piston / stroke
 * of the single actuator. */
KRVAPI KRVRC KRVSetSegment(DM* dm, unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                           bool sendNow);

/* Reachable range of one axis of a segment, the other two held at the given values. On a continuous mirror a
 * segment is one actuator and the range is that of KRVSetSegment's piston: 0 to the model's stroke. */
KRVAPI KRVRC KRVGetSegmentRange(DM* dm, unsigned segment, DMSegmentAxis axis, double piston, double xTilt,
                                double yTilt, bool applyOffsets, double* minValue, double* maxValue);

/* Bound by the core at open and reached through KRVLoadCalibrationFile and KRVClose; not for direct use. */
KRVAPI KRVRC KRV_Priv_Calibration_loadFile(DM* dm, const char* path);
KRVAPI void KRV_Priv_Calibration_delete(DM* dm);

#ifdef __cplusplus
}
#endif

#endif /* KRV_OPENLOOP_H */
