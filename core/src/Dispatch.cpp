// Which back end serves a driver type: the dummy driver lives in the core, each hardware back end hands over
// its own table.
#include "krv/Backend.h"

namespace MirrorKit {

const Backend* backendFor(uint32_t driverType) {
    switch (driverType) {
        case KRV_USB: return KRV_Priv_USBBackend();
        case KRV_PCIE: return KRV_Priv_PCIeBackend();
        case KRV_DUMMY_DRV: return &dummyBackend();
        default: return nullptr;
    }
}

}  // namespace MirrorKit
