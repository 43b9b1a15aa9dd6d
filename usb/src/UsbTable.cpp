// The USB back end's table of entry points, through which the core drives USB mirrors.
#include "KRV_USB.h"
#include "UsbCommon.h"

#include "krv/Backend.h"

using MirrorKit::Backend;

namespace {
void destroyState(void* state) { delete static_cast<MirrorKit::USB::UsbRecord*>(state); }
}  // namespace

extern "C" KRVAPI const Backend* KRV_Priv_USBBackend(void) {
    // USB drive units have no hardware lookup table, sequencer or ditherer; pokes resend the buffered frame.
    static const Backend table{KRV_USBOpenDM, KRV_USBSetArray, nullptr, KRV_USBClearArray, nullptr,
                               KRV_USBClose,  nullptr,         nullptr, nullptr,           nullptr,
                               destroyState};
    return &table;
}
