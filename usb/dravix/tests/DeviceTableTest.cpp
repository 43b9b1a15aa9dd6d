// The device table's EEPROM chunking and request checks, seen from inside the server.
#include <gtest/gtest.h>

#include "DeviceTable.h"
#include "krv/emu/UsbUnits.h"

namespace {

using MirrorKit::dravix::DeviceTable;
using MirrorKit::dravix::UsbBus;

TEST(DeviceTable, EepromAccessIsChunkedAndAligned) {
    MirrorKit::emu::UsbUnitBed bed;
    if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    ASSERT_EQ(bed.addUnit(MirrorKit::emu::UsbUnitConfig()), 0);
    {
        UsbBus bus([](bool) {});
        bus.startEvents(nullptr, nullptr);
        DeviceTable table(bus, nullptr);
        ASSERT_EQ(table.deviceCount(), 1);
        ASSERT_TRUE(table.openSlot(0));
        bed.clearRecords(0);

        uint8_t data[200] = {};
        EXPECT_FALSE(table.eepromRead(0, 0x1F81, data, 2));  // misaligned: refused without a request
        EXPECT_TRUE(bed.vendorRequests(0).empty());
        EXPECT_TRUE(table.eepromRead(0, 0x1F81, data, 1));    // a single byte may sit anywhere

        for (int i = 0; i < 130; ++i) data[i] = uint8_t(i);
        bed.clearRecords(0);
        ASSERT_TRUE(table.eepromWrite(0, 0x0040, data, 130));
        auto requests = bed.vendorRequests(0);
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0].index, 0x0040);
        EXPECT_EQ(requests[1].index, 0x0080);
        EXPECT_EQ(requests[2].index, 0x00C0);
        EXPECT_EQ(requests[2].length, 2);
        auto eeprom = bed.eeprom(0);
        EXPECT_EQ(eeprom[0x40 + 129], 129);

        // The first failing chunk ends the access.
        bed.failRequest(0, 0xF2, true);
        bed.clearRecords(0);
        EXPECT_FALSE(table.eepromRead(0, 0x0000, data, 128));
        EXPECT_EQ(bed.vendorRequests(0).size(), 1u);
        bed.failRequest(0, 0xF2, false);

        // A length without a buffer is refused unsent; an unopened slot has no control endpoint.
        bed.clearRecords(0);
        EXPECT_FALSE(table.vendorRequest(0, true, 0xF4, 0, 0, nullptr, 2));
        EXPECT_FALSE(table.vendorRequest(5, true, 0xF4, 0, 0, data, 2));
        EXPECT_TRUE(bed.vendorRequests(0).empty());
        EXPECT_TRUE(table.vendorRequest(0, true, 0xF4, 0, 0, data, 2));
    }
}

}  // namespace
