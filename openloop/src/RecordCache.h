// What the open-loop exports keep for one open record between calls.
#pragma once

#include "Resample.h"
#include "ZernikeMap.h"

#include <KRV.h>

#include <memory>

namespace MirrorKit {

// The last resampling plan and the last Zernike basis of a record: one entry of each kind. The record's working
// state holds it, so it is freed with the record; a calibration load or delete clears it. A record is used by one
// thread at a time, and no two records share anything here.
struct RecordCache {
    ResamplePlan resample;
    std::unique_ptr<ZernikeBasis> zernike;
    unsigned zernikeOptions = 0;
};

// The record's cache, made on first use; null when the record is not open.
RecordCache* recordCache(DM& dm);
void clearRecordCache(DM& dm);

}  // namespace MirrorKit
