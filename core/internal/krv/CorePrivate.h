// Private entries that KRV4 exports for the kit's other libraries; no program calls them.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

extern "C" {

// Sends the open record's applied frame (driver units by actuator, as the open-loop library wrote it) to the
// hardware through the record's back end, with the record's map. NO_ERR on a dummy mirror, whose applied frame
// is what it holds; ERR_BADARG, ERR_DRIVER_NOT_OPEN, ERR_INVALID_DRIVER_TYPE, or the back end's result.
KRVAPI KRVRC KRV_Priv_SendAppliedFrame(DM* dm);
}
