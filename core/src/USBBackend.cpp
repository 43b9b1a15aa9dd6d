// USB entry of the core's back-end table.
#include "krv/Backend.h"

namespace MirrorKit {
namespace {
// No USB back end is linked into this build: every USB call reports that the function is unavailable.
KRVRC unavailable(DM*) { return ERR_NOT_IMPLEMENTED; }
KRVRC unavailableSet(DM*, const uint32_t*, const uint32_t*) { return ERR_NOT_IMPLEMENTED; }
}  // namespace

const Backend& usbBackend() {
    // USB drive units have no hardware lookup table, sequencer or ditherer; pokes resend the buffered frame.
    static const Backend table{unavailable, unavailableSet, nullptr, unavailable, nullptr,
                               unavailable, nullptr,        nullptr, nullptr,     nullptr};
    return table;
}

}  // namespace MirrorKit
