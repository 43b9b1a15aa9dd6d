// PCIe entry of the core's back-end table: forwards to the PCIe back end library KRV_PCIeAPI4.
#include "krv/Backend.h"

#ifdef KRV_WITH_PCIE_BACKEND
#include <KRV_PCIeAPI.h>
#endif

namespace MirrorKit {
namespace {
#ifdef KRV_WITH_PCIE_BACKEND
// The card applies the map through its lookup table, so frames go out in actuator order without it.
KRVRC setArray(DM* dm, const uint32_t* frame, const uint32_t*) { return KRV_PCIeSetArray(dm, frame); }
KRVRC enableSequence(DM* dm, double frameRate, bool enable) {
    return KRV_PCIeEnableSequence(dm, frameRate, enable ? 1 : 0);
}
KRVRC enableDither(DM* dm, double frameRate, bool enable) {
    return KRV_PCIeEnableDither(dm, frameRate, enable ? 1 : 0);
}
#else
// No PCIe back end is linked into this build: every PCIe call reports that the function is unavailable.
KRVRC unavailable(DM*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSet(DM*, const uint32_t*, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailablePoke(DM*, uint32_t, uint32_t) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableLUT(DM*, uint32_t*, uint32_t*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSeq(DM*, const uint32_t*, double, uint32_t, uint32_t) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableEnable(DM*, double, bool) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableDither(DM*, const double*, uint32_t, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
#endif
}  // namespace

const Backend& pcieBackend() {
#ifdef KRV_WITH_PCIE_BACKEND
    static const Backend table{KRV_PCIeOpenDM,        setArray,       KRV_PCIePoke,
                               KRV_PCIeClearArray,    KRV_PCIeWriteLUT, KRV_PCIeClose,
                               KRV_PCIeConfigureSequence, enableSequence, KRV_PCIeConfigureDither,
                               enableDither};
#else
    static const Backend table{unavailable,      unavailableSet,    unavailablePoke,   unavailable,
                               unavailableLUT,   unavailable,       unavailableSeq,    unavailableEnable,
                               unavailableDither, unavailableEnable};
#endif
    return table;
}

}  // namespace MirrorKit
