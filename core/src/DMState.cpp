// Creation of the working state of an open record, and the record's unit helpers.
#include "krv/DMState.h"

#include "krv/Backend.h"

#include <algorithm>
#include <memory>
#include <cstddef>

namespace MirrorKit {

// The record crosses every library boundary by pointer, so its layout is fixed: natural alignment, no packing.
static_assert(sizeof(DM_DRIVER) == 48, "DM_DRIVER layout");
static_assert(offsetof(DM_DRIVER, ChannelCount) == 0 && offsetof(DM_DRIVER, SerialNumber) == 4 &&
                  offsetof(DM_DRIVER, HVAType) == 16 && offsetof(DM_DRIVER, UseFiber) == 20 &&
                  offsetof(DM_DRIVER, UseCL) == 21 && offsetof(DM_DRIVER, FiberMode) == 22 &&
                  offsetof(DM_DRIVER, HWRev) == 24 && offsetof(DM_DRIVER, Work64) == 32 &&
                  offsetof(DM_DRIVER, Work32) == 40,
              "DM_DRIVER field offsets");
static_assert(sizeof(DRVTYPE) == 4 && sizeof(KRVRC) == 4, "32-bit enumerations");
static_assert(sizeof(DM) == 17816, "DM layout");
static_assert(offsetof(DM, DevId) == 4 && offsetof(DM, HVAType) == 8 && offsetof(DM, ActCount) == 28 &&
                  offsetof(DM, MaxVoltage) == 32 && offsetof(DM, VoltageLimit) == 36 &&
                  offsetof(DM, MappingFile) == 40 && offsetof(DM, InactiveActuators) == 300 &&
                  offsetof(DM, ProfilesPath) == 16684 && offsetof(DM, MapsPath) == 16944 &&
                  offsetof(DM, CalibrationsPath) == 17204 && offsetof(DM, CalibrationFile) == 17464 &&
                  offsetof(DM, SerialNumber) == 17724 && offsetof(DM, Driver) == 17736 &&
                  offsetof(DM, State) == 17784 && offsetof(DM, ActCountWidth) == 17792 &&
                  offsetof(DM, Layout) == 17796 && offsetof(DM, DriverCount) == 17800 &&
                  offsetof(DM, ExtraDrivers) == 17808,
              "DM field offsets");

DMState* createDMState(const DM& dm) {
    auto state = std::make_unique<DMState>();
    const uint32_t actCount = dm.ActCount;
    state->ActCount = actCount;
    state->Map.assign(totalChannelCount(dm), MAX_DM_SIZE);
    state->ActiveMask.set();
    state->AppliedFrame.assign(actCount, 0);
    state->RequestedFrame.assign(actCount, 0);
    return state.release();
}

void destroyDMState(DMState* state) {
    if (state && state->BackendState && state->Owner && state->Owner->destroyState)
        state->Owner->destroyState(state->BackendState);
    delete state;
}

DM_DRIVER& driverUnit(DM& dm, uint32_t unit) { return unit == 0 ? dm.Driver : dm.ExtraDrivers[unit - 1]; }

const DM_DRIVER& driverUnit(const DM& dm, uint32_t unit) {
    return unit == 0 ? dm.Driver : dm.ExtraDrivers[unit - 1];
}

uint32_t totalChannelCount(const DM& dm) {
    if (dm.DriverType != KRV_USB) return dm.ActCount;
    uint32_t total = 0;
    const uint32_t units = dm.DriverCount == 0 ? 1 : dm.DriverCount;
    for (uint32_t i = 0; i < units; ++i) {
        if (i > 0 && dm.ExtraDrivers == nullptr) break;
        total += driverUnit(dm, i).ChannelCount;
    }
    return total;
}

}  // namespace MirrorKit
