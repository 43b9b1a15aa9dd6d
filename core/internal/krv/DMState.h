// Working state of an open mirror record: what the core and every back end share.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

namespace MirrorKit {
struct Backend;
}

struct DMState {
    using CalibrationLoadFn = KRVRC (*)(DM*, const char*);
    using CalibrationDeleteFn = void (*)(DM*);

    uint32_t ActCount = 0;
    // One entry per channel of the record's total channel count; 4096 marks an unmapped entry.
    std::vector<uint32_t> Map;
    // One bit per actuator; set bits are driven.
    std::bitset<MAX_DM_SIZE> ActiveMask;
    // Owned by the open-loop library, which alone creates and deletes it.
    void* Calibration = nullptr;
    // What the open-loop library keeps between calls on this record (its own type); freed with the state.
    std::shared_ptr<void> OpenLoopCache;
    // Driver units by actuator: what the hardware holds, and the last frame requested.
    std::vector<uint32_t> AppliedFrame;
    std::vector<uint32_t> RequestedFrame;
    // Words of sequence memory the driver has; KRVConfigureSequence refuses longer sequences.
    uint32_t SequenceCapacity = MAX_DM_SIZE;
    // What the back end that opened the record keeps for it (its own type, opaque here): Owner's destroyState
    // frees it with the rest of the state. Null for a back end that keeps nothing.
    const MirrorKit::Backend* Owner = nullptr;
    void* BackendState = nullptr;
    CalibrationLoadFn CalibrationLoad = nullptr;
    CalibrationDeleteFn CalibrationDelete = nullptr;
    // Read-back values of every driver unit 0..65535 at ReadBackRatio, built by the first read-back: one
    // lookup per actuator instead of two divisions, with results identical to the formula.
    std::vector<double> ReadBack;
    double ReadBackRatio = 0.0;
};

namespace MirrorKit {

// Builds the working state for a record whose profile is read and whose unit channel counts are set.
// Throws std::bad_alloc when memory runs out.
DMState* createDMState(const DM& dm);
void destroyDMState(DMState* state);

// Unit i of a record: Driver for 0, ExtraDrivers[i - 1] after that.
DM_DRIVER& driverUnit(DM& dm, uint32_t unit);
const DM_DRIVER& driverUnit(const DM& dm, uint32_t unit);

// ActCount except on USB, where it is the sum of the units' channel counts.
uint32_t totalChannelCount(const DM& dm);

}  // namespace MirrorKit
