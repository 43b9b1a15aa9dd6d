// The PCIe back end's table of entry points, through which the core drives PCIe mirrors.
#include <KRV_PCIeAPI.h>

#include "PCIeCards.h"

#include "krv/Backend.h"

namespace MirrorKit {
namespace {
// The card applies the map through its lookup table, so frames go out in actuator order without it.
KRVRC setArray(DM* dm, const uint32_t* frame, const uint32_t*) { return KRV_PCIeSetArray(dm, frame); }
KRVRC enableSequence(DM* dm, double frameRate, bool enable) {
    return KRV_PCIeEnableSequence(dm, frameRate, enable ? 1 : 0);
}
KRVRC enableDither(DM* dm, double frameRate, bool enable) {
    return KRV_PCIeEnableDither(dm, frameRate, enable ? 1 : 0);
}
void destroyState(void* state) { delete static_cast<PCIe::PCIeRecord*>(state); }
}  // namespace
}  // namespace MirrorKit

using namespace MirrorKit;

extern "C" KRVAPI const Backend* KRV_Priv_PCIeBackend(void) {
    static const Backend table{KRV_PCIeOpenDM,
                               setArray,
                               KRV_PCIePoke,
                               KRV_PCIeClearArray,
                               KRV_PCIeWriteLUT,
                               KRV_PCIeClose,
                               KRV_PCIeConfigureSequence,
                               enableSequence,
                               KRV_PCIeConfigureDither,
                               enableDither,
                               destroyState};
    return &table;
}
