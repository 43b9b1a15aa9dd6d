// Served mirrors on emulated USB drive units (umockdev): frames and channel sums checked in the units' bulk blocks.
#include "ServerTestSupport.h"

#include "KRV_USB.h"
#include "krv/emu/UsbUnits.h"

#include <krv/platform/com.h>

#include <gtest/gtest.h>

#include <cmath>

using namespace servertest;

namespace {

uint16_t units(double v) { return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0)); }

std::vector<uint16_t> codes(const std::vector<uint8_t>& block) {
    std::vector<uint16_t> out(block.size() / 2);
    for (size_t c = 0; c < out.size(); ++c) out[c] = static_cast<uint16_t>(block[2 * c] | block[2 * c + 1] << 8);
    return out;
}

class UsbServed : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
        tree();
        ASSERT_EQ(MirrorKit::com::registerServer(DRAVIX_PATH, false), S_OK);
        // Actuator a on channel 159 - a, so that the block's order shows the map at work.
        std::vector<uint32_t> map(160, MAX_DM_SIZE);
        for (uint32_t c = 20; c < 160; ++c) map[c] = 159 - c;
        krvtest::writeMap(tree().maps() + "/served.map", map);
        profile("SERVEDUSB01", {"type=0", "size=140", "maxv=200", "vlim=200", "map=served.map",
                                "driver_sn=DU0000000SV"});
        MirrorKit::emu::UsbUnitConfig config;
        config.serialNumber = "DU0000000SV";
        unit = bed.addUnit(config);
        ASSERT_GE(unit, 0);
        server = std::make_unique<LocalServer>();
        client = std::make_unique<Client>(server->target(), "usb-client");
        ASSERT_TRUE(client->connect().ok());
    }
    void TearDown() override {
        if (!server) return;
        client.reset();
        eventually([&] { return server->server().registry().sessionCount() == 0; });
        server.reset();
        // The host driver's libusb context goes before the emulated devices do.
        EXPECT_EQ(KRV_USBReleaseHostDriver(), NO_ERR);
    }
    std::vector<uint16_t> lastBlock(size_t count) {
        EXPECT_TRUE(bed.waitBulkCount(unit, count, 2000));
        const auto all = bed.bulkTransfers(unit);
        return all.empty() ? std::vector<uint16_t>() : codes(all.back());
    }

    MirrorKit::emu::UsbUnitBed bed;
    int unit = -1;
    std::unique_ptr<LocalServer> server;
    std::unique_ptr<Client> client;
};

TEST_F(UsbServed, FramesAndChannelSumsReachTheUnitInChannelOrder) {
    pb::OpenReply opened = client->open("SERVEDUSB01", "usb");
    ASSERT_EQ(opened.status().code(), NO_ERR) << opened.status().message();
    EXPECT_EQ(opened.mirror().driver_type(), pb::DRIVER_TYPE_USB);
    EXPECT_EQ(opened.mirror().channel_count(), 160u);
    const size_t before = bed.bulkCount(unit);

    std::vector<double> frame(140);
    for (uint32_t a = 0; a < 140; ++a) frame[a] = a / 139.0;
    ASSERT_EQ(client->send("usb", frame).status().code(), NO_ERR);
    auto block = lastBlock(before + 1);
    ASSERT_EQ(block.size(), 160u);
    for (uint32_t a = 0; a < 140; ++a) ASSERT_EQ(block[159 - a], units(frame[a])) << "actuator " << a;

    std::vector<double> offset(140, 0.25);
    pb::FrameReply summed = client->setChannel("usb", "offset", offset, 1.0);
    ASSERT_EQ(summed.status().code(), NO_ERR);
    block = lastBlock(before + 2);
    for (uint32_t a = 0; a < 140; ++a) ASSERT_EQ(block[159 - a], units(frame[a] + 0.25)) << "actuator " << a;
    EXPECT_EQ(summed.saturation().clamped(), 35u) << "the top quarter of the ramp goes past 1";
    EXPECT_EQ(summed.saturation().actuators(0), 105u);
}

}  // namespace
