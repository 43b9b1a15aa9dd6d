// The dummy driver: a back end without hardware that keeps the applied frame in memory.
#include "krv/Backend.h"
#include "krv/DMState.h"
#include "krv/KRVApiImpl.h"

#include <algorithm>

namespace MirrorKit {
namespace {

KRVRC dummyOpen(DM* dm) {
    const uint32_t units = dm->DriverCount == 0 ? 1 : dm->DriverCount;
    for (uint32_t i = 0; i < units; ++i) driverUnit(*dm, i).ChannelCount = dm->ActCount / units;
    dm->DevId = 1;
    // The active set stays all set: a dummy mirror takes every value it is sent, the profile's inactive
    // actuators included (the hardware back ends leave those undriven).
    dm->State = createDMState(*dm);
    return KRVOpenCommon(dm);
}

KRVRC dummySetArray(DM* dm, const uint32_t* frame, const uint32_t*) {
    DMState& state = *dm->State;
    if (state.ActiveMask.all()) {
        std::copy(frame, frame + state.ActCount, state.AppliedFrame.begin());
        return NO_ERR;
    }
    for (uint32_t i = 0; i < state.ActCount; ++i)
        if (state.ActiveMask[i]) state.AppliedFrame[i] = frame[i];
    return NO_ERR;
}

KRVRC dummyClear(DM* dm) {
    DMState& state = *dm->State;
    state.AppliedFrame.assign(state.ActCount, 0);
    return NO_ERR;
}

KRVRC dummyClose(DM*) { return NO_ERR; }

}  // namespace

const Backend& dummyBackend() {
    static const Backend table{dummyOpen,  dummySetArray, nullptr, dummyClear, nullptr,
                               dummyClose, nullptr,       nullptr, nullptr,    nullptr};
    return table;
}

}  // namespace MirrorKit
