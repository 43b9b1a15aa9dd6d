// PCIe entry of the core's back-end table.
#include "krv/Backend.h"

namespace MirrorKit {
namespace {
// No PCIe back end is linked into this build: every PCIe call reports that the function is unavailable.
KRVRC unavailable(DM*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSet(DM*, const uint32_t*, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailablePoke(DM*, uint32_t, uint32_t) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableLUT(DM*, uint32_t*, uint32_t*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSeq(DM*, const uint32_t*, double, uint32_t, uint32_t) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableEnable(DM*, double, bool) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableDither(DM*, const double*, uint32_t, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
}  // namespace

const Backend& pcieBackend() {
    static const Backend table{unavailable,      unavailableSet,    unavailablePoke,   unavailable,
                               unavailableLUT,   unavailable,       unavailableSeq,    unavailableEnable,
                               unavailableDither, unavailableEnable};
    return table;
}

}  // namespace MirrorKit
