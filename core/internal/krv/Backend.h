// The narrow table of entry points through which the core drives one driver type.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <cstdint>

namespace MirrorKit {

struct Backend {
    // Opens the driver for a record whose profile is read; creates State and runs KRVOpenCommon.
    KRVRC (*open)(DM* dm);
    // Sends a frame in driver units by actuator; map is the channel map (USB uses it, PCIe ignores it).
    KRVRC (*setArray)(DM* dm, const uint32_t* frame, const uint32_t* map);
    // Pokes one actuator on the hardware; null when a poke is a buffered whole-frame resend.
    KRVRC (*poke)(DM* dm, uint32_t actuator, uint32_t value);
    KRVRC (*clearArray)(DM* dm);
    // Writes a hardware lookup table; null when the driver has none (the map is only stored).
    KRVRC (*writeLUT)(DM* dm, uint32_t* map, uint32_t* actuatorEnable);
    // Zeroes the outputs and releases the hardware; the state, the back end's part included, is freed after.
    KRVRC (*close)(DM* dm);
    // Sequencer and ditherer; null where the driver has none (ERR_NOT_IMPLEMENTED).
    KRVRC (*configureSequence)(DM* dm, const uint32_t* values, double delay, uint32_t frameLength,
                               uint32_t seqLength);
    KRVRC (*enableSequence)(DM* dm, double frameRate, bool enable);
    KRVRC (*configureDither)(DM* dm, const double* waveform, uint32_t waveformLength, const uint32_t* gains);
    KRVRC (*enableDither)(DM* dm, double frameRate, bool enable);
    // Frees what the back end keeps for one record (DMState::BackendState, set by its open with DMState::Owner
    // pointing at this table); called when the record's state is destroyed. Null when the back end keeps nothing.
    void (*destroyState)(void* state);
};

// The dummy driver, built into the core.
const Backend& dummyBackend();

// The back end of a driver type, or null for an invalid type.
const Backend* backendFor(uint32_t driverType);

}  // namespace MirrorKit

// Each hardware back end library hands the core its table through one private export.
extern "C" {
KRVAPI const MirrorKit::Backend* KRV_Priv_PCIeBackend(void);
KRVAPI const MirrorKit::Backend* KRV_Priv_USBBackend(void);
}
