// USB entry of the core's back-end table.
#include "krv/Backend.h"

#if defined(KRV_WITH_USB_BACKEND)
#include "KRV_USB.h"
#endif

namespace MirrorKit {
namespace {
#if !defined(KRV_WITH_USB_BACKEND)
// No USB back end is linked into this build: every USB call reports that the function is unavailable.
KRVRC unavailable(DM*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSet(DM*, const uint32_t*, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
#endif
}  // namespace

const Backend& usbBackend() {
    // USB drive units have no hardware lookup table, sequencer or ditherer; pokes resend the buffered frame.
#if defined(KRV_WITH_USB_BACKEND)
    static const Backend table{KRV_USBOpenDM, KRV_USBSetArray, nullptr, KRV_USBClearArray, nullptr,
                               KRV_USBClose,  nullptr,         nullptr, nullptr,           nullptr};
#else
    static const Backend table{unavailable, unavailableSet, nullptr, unavailable, nullptr,
                               unavailable, nullptr,        nullptr, nullptr,     nullptr};
#endif
    return table;
}

}  // namespace MirrorKit
