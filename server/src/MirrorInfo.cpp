// What the server tells about a mirror: see MirrorInfo.h.
#include "MirrorInfo.h"

#include <cstdint>
#include <vector>

namespace MirrorKit::Server {

namespace pb = ::mirrorkit::v1;

namespace {

// Where actuators sit on the grid pictures: the model's mask when the kit has one, else a full square, or a square
// without its corners when that is what the count says; nothing for a count that fits neither.
void describeGrid(const DM& dm, pb::MirrorInfo& info) {
    const uint32_t w = dm.ActCountWidth, n = dm.ActCount;
    if (w == 0) return;
    DMGEOMETRY geometry;
    if (KRVGetModelGeometry(n, &geometry) == NO_ERR && geometry.HasMask && geometry.Width == w) {
        std::vector<int32_t> cells(static_cast<size_t>(w) * w);
        if (KRVGetGridMask(n, cells.data(), static_cast<uint32_t>(cells.size())) == NO_ERR) {
            for (int32_t c : cells) info.add_grid_mask(c != 0);
            return;
        }
    }
    const uint64_t cells = static_cast<uint64_t>(w) * w;
    const bool corners = cells == n + 4ull && w >= 2;
    if (!corners && cells != n) return;
    for (uint64_t k = 0; k < cells; ++k) {
        const uint64_t row = k / w, col = k % w;
        info.add_grid_mask(!(corners && (row == 0 || row == w - 1) && (col == 0 || col == w - 1)));
    }
}

}  // namespace

void describeMirror(const DM& dm, pb::MirrorInfo& info) {
    info.set_serial(dm.SerialNumber);
    info.set_driver_type(static_cast<pb::DriverType>(dm.DriverType));
    info.set_n_actuators(dm.ActCount);
    info.set_grid_width(dm.ActCountWidth);
    info.set_layout(static_cast<pb::Layout>(dm.Layout));
    info.set_device_id(dm.DevId);
    uint32_t channels = dm.ActCount;
    if (dm.DriverType == KRV_USB) {
        channels = dm.Driver.ChannelCount;
        for (uint32_t k = 1; k < dm.DriverCount && dm.ExtraDrivers; ++k) channels += dm.ExtraDrivers[k - 1].ChannelCount;
    }
    info.set_channel_count(channels);
    describeGrid(dm, info);
    refreshMirror(dm, info);
}

void refreshMirror(const DM&, pb::MirrorInfo&) {}

void fillProfileEntry(const std::string&, const std::string&, pb::MirrorEntry&) {}

}  // namespace MirrorKit::Server
