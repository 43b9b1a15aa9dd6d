// What the server tells about a mirror: see MirrorInfo.h.
#include "MirrorInfo.h"

namespace MirrorKit::Server {

namespace pb = ::mirrorkit::v1;

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
    refreshMirror(dm, info);
}

void refreshMirror(const DM&, pb::MirrorInfo&) {}

void fillProfileEntry(const std::string&, const std::string&, pb::MirrorEntry&) {}

}  // namespace MirrorKit::Server
