// What the server tells about a mirror: see MirrorInfo.h.
#include "MirrorInfo.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace MirrorKit::Server {

namespace pb = ::mirrorkit::v1;

namespace {
// No model mask: a full square, or a square without its corners when that is what the count says, as the local
// Python package places them; nothing for a count that fits neither.
void squareMask(uint32_t w, uint32_t n, pb::MirrorInfo& info) {
    const uint64_t cells = static_cast<uint64_t>(w) * w;
    const bool corners = cells == n + 4ull && w >= 2;
    if (w == 0 || (!corners && cells != n)) return;
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
    uint32_t channels = 0;
    if (KRVGetChannelCount(&dm, &channels) == NO_ERR) info.set_channel_count(channels);
    DMGEOMETRY geometry{};
    if (KRVGetGeometry(&dm, &geometry) == NO_ERR) {
        info.set_segmented(geometry.Segmented != 0);
        info.set_stroke_nm(geometry.StrokeNm);
        if (geometry.HasMask) {
            std::vector<int32_t> mask(static_cast<size_t>(geometry.Width) * geometry.Width);
            if (KRVGetGridMask(dm.ActCount, mask.data(), static_cast<uint32_t>(mask.size())) == NO_ERR)
                for (int32_t cell : mask) info.add_grid_mask(cell != 0);
        }
    }
    if (info.grid_mask_size() == 0) squareMask(dm.ActCountWidth, dm.ActCount, info);
    refreshMirror(dm, info);
}

void refreshMirror(const DM& dm, pb::MirrorInfo& info) {
    bool loaded = false;
    if (KRVIsCalibrationLoaded(&dm, &loaded) == NO_ERR) info.set_calibration_loaded(loaded);
}

namespace {
// The settings of a profile the listing needs; the reader takes the last value of a key, as here.
struct ProfileSummary {
    std::string type;
    std::string size;
};

bool unsignedNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}
}  // namespace

void fillProfileEntry(const std::string& folder, const std::string& serial, pb::MirrorEntry& entry) {
    ProfileSummary summary;
    const std::string path = folder + "/" + serial + ".dm";
    const KRVRC rc = KRVReadProfileLines(
        path.c_str(),
        [](void* context, uint32_t, const char* text, uint32_t length) {
            if (!text) return;
            auto* s = static_cast<ProfileSummary*>(context);
            const std::string line(text, length);
            const auto eq = line.find('=');
            if (eq == std::string::npos) return;
            const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "type") s->type = value;
            if (key == "size") s->size = value;
        },
        &summary);
    uint32_t type = 0, size = 0;
    if (rc != NO_ERR || !unsignedNumber(summary.type, type) || !unsignedNumber(summary.size, size) ||
        type > KRV_DUMMY_DRV)
        return;
    entry.set_profile_read(true);
    entry.set_driver_type(static_cast<pb::DriverType>(type));
    entry.set_n_actuators(size);
}

}  // namespace MirrorKit::Server
