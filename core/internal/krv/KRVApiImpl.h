// Map loading and the opening steps every driver runs; compiled into the core and into each back end.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <cstdint>

namespace MirrorKit {

// Reads count entries of a map file into map (see the map file rules); NO_ERR, ERR_OPENFILE,
// ERR_FILE_PERMISSIONS or ERR_INVALID_LUT.
KRVRC KRVLoadMapImpl(const char* path, uint32_t* map, uint64_t count);

// Geometry from the model table, open-loop binding, default calibration. Runs at the end of every open.
KRVRC KRVOpenCommon(DM* dm);

// Name of the open-loop library file; $KRV_OPENLOOP_LIBRARY replaces it (tests, relocated kits).
const char* openLoopLibraryName();

}  // namespace MirrorKit
