// Built-in table of mirror models: geometry by actuator count and the grid masks.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MirrorKit {

struct DMModel {
    uint32_t ActCount;
    uint32_t Width;
    bool Segmented;
    DMLayout Layout;
    const char* Name;
    double StrokeNm;
    // Width x Width cells in row-major order, 1 where an actuator sits; empty when the model has no mask.
    const std::vector<int32_t>& Mask() const;
    size_t Row;
};

// All rows in table order.
const std::vector<DMModel>& modelTable();
// First row whose actuator count matches, or null.
const DMModel* findModel(uint32_t actCount);
// Row width, or ceil(sqrt(actCount)) when no row matches.
uint32_t modelWidth(uint32_t actCount);
// Row layout, or DMSquareLayout when no row matches.
DMLayout modelLayout(uint32_t actCount);

}  // namespace MirrorKit
