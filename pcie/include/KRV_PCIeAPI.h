/* Exported entry points of the PCIe back end KRV_PCIeAPI4. Plain C; every call returns a KRVRC unless noted. */
#ifndef KRV_PCIEAPI_H
#define KRV_PCIEAPI_H

#include <KRV.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opening: selects the card (or cards) from DevId, checks the firmware, writes the link configuration, creates
 * the working state, loads the default map into the card's lookup table and runs the common opening steps. */
KRVAPI KRVRC KRV_PCIeOpenDM(DM* dm);
/* Number of installed cards (not a KRVRC); needs no record. */
KRVAPI uint32_t KRV_PCIeGetNumberOfDevices(void);

/* Frame output. values hold ActCount driver values by actuator; only their low 16 bits reach the card. */
KRVAPI KRVRC KRV_PCIeSetArray(DM* dm, const uint32_t* values);
/* Copies the low 16 bits of count values into dst; always returns 0. */
KRVAPI int32_t toBurstArray(const uint32_t* src, uint32_t count, uint16_t* dst);
KRVAPI KRVRC KRV_PCIePoke(DM* dm, uint32_t actuator, uint32_t value);
KRVAPI KRVRC KRV_PCIeClearArray(DM* dm);
/* Loads every card's lookup table from map (channel by actuator). actuatorEnable holds one entry per actuator
 * (1 = drive); inactive actuators of the profile are written as 0 into it. A null table enables every actuator. */
KRVAPI KRVRC KRV_PCIeWriteLUT(DM* dm, uint32_t* map, uint32_t* actuatorEnable);
KRVAPI KRVRC KRV_PCIeSetOrientation(DM* dm, uint32_t orientation);
/* Sync pulse on one actuator; width in microseconds, 0 to 700, 0 = no width register written. */
KRVAPI KRVRC KRV_PCIeSetSync(DM* dm, uint32_t actuator, double widthUs);
/* Six words: HVA length, 0, fiber mode, fiber, CameraLink, HVA type code. */
KRVAPI KRVRC KRV_PCIeGetMode(DM* dm, uint32_t* mode);
/* Zeroes the outputs, stops sequencer, ditherer and high-resolution mode, frees the working state and clears the
 * record. Always NO_ERR. */
KRVAPI KRVRC KRV_PCIeClose(DM* dm);
/* Busy-waits for the given number of microseconds. */
KRVAPI void Sleep_us(int32_t microseconds);

/* Frame sequencer: frameLength x seqLength driver values, frame after frame; delay from trigger in seconds. */
KRVAPI KRVRC KRV_PCIeConfigureSequence(DM* dm, const uint32_t* values, double delay, uint32_t frameLength,
                                       uint32_t seqLength);
/* frameRate in Hz; 0 with enable on advances one frame per trigger edge. */
KRVAPI KRVRC KRV_PCIeEnableSequence(DM* dm, double frameRate, int32_t enable);
/* Dither frame i drives actuator j with waveform[i] x gains[j]; samples in 0..1, gains in driver units. */
KRVAPI KRVRC KRV_PCIeConfigureDither(DM* dm, const double* waveform, uint32_t waveformLength,
                                     const uint32_t* gains);
KRVAPI KRVRC KRV_PCIeEnableDither(DM* dm, double frameRate, int32_t enable);
KRVAPI KRVRC KRV_PCIeEnableHighRes(DM* dm, int32_t enable);

#ifdef __cplusplus
}
#endif

#endif /* KRV_PCIEAPI_H */
