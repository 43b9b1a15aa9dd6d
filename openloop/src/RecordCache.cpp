// The open-loop cache of a record, kept in its working state.
#include "RecordCache.h"

#include "krv/DMState.h"

namespace MirrorKit {

RecordCache* recordCache(DM& dm) {
    if (!dm.State) return nullptr;
    std::shared_ptr<void>& slot = dm.State->OpenLoopCache;
    if (!slot) slot = std::make_shared<RecordCache>();
    return static_cast<RecordCache*>(slot.get());
}

void clearRecordCache(DM& dm) {
    if (dm.State) dm.State->OpenLoopCache.reset();
}

}  // namespace MirrorKit
