// Listing units, identification items, control lines, Pico mode and the serial-number block, end to end.
#include <cstring>

#include "DravixFixture.h"
#include "krv/platform/message.h"

namespace DravixTests {
namespace {

using MirrorKit::emu::ControlRecord;
using MirrorKit::emu::UsbUnitConfig;

// The EEPROM requests among a unit's vendor requests.
std::vector<ControlRecord> eepromRequests(const std::vector<ControlRecord>& all) {
    std::vector<ControlRecord> out;
    for (const auto& r : all)
        if (r.request == 0xF2) out.push_back(r);
    return out;
}

TEST_F(DravixTest, AvailableDevicesArePositional) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    UsbUnitConfig wrongShape;  // a second endpoint: not a usable drive unit
    wrongShape.endpointCount = 2;
    ASSERT_EQ(bed.addUnit(wrongShape), 1);
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 2);
    ASSERT_NE(create(), nullptr);

    LONG ids[5] = {7, 7, 7, 7, 7};
    LONG status = 99;
    ASSERT_EQ(host->Dravix_GetAvailableDevices(ids, 5, &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::vector<LONG>(ids, ids + 5), (std::vector<LONG>{0, -1, 2, -1, -1}));

    LONG untouched[2] = {7, 7};
    status = 99;
    ASSERT_EQ(host->Dravix_GetAvailableDevices(untouched, 0, &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(untouched[0], 7);

    // Every operation on the refused unit reports no device, and so does a slot beyond the present units.
    EXPECT_EQ(getStatus(1, DRAVIX_STAT_VENDOR_ID), DRAVIX_NO_DEVICE);
    EXPECT_EQ(setControl(1, 0), DRAVIX_NO_DEVICE);
    EXPECT_EQ(step(1, frame(320, 0)), DRAVIX_NO_DEVICE);
    EXPECT_EQ(stream(1, frame(320, 0)), DRAVIX_NO_DEVICE);
    EXPECT_EQ(getStatus(3, DRAVIX_STAT_VENDOR_ID), DRAVIX_NO_DEVICE);
    EXPECT_EQ(getStatus(-1, DRAVIX_STAT_VENDOR_ID), DRAVIX_NO_DEVICE);
    EXPECT_EQ(getStatus(32, DRAVIX_STAT_VENDOR_ID), DRAVIX_NO_DEVICE);
    EXPECT_TRUE(bed.controlLines(1).empty());
}

TEST_F(DravixTest, IdentificationItems) {
    UsbUnitConfig c;
    c.productId = 0x0ED9;
    c.product = "Drive Unit 32";
    c.serialNumber = "ABC12345678";
    c.statusWord = 0x0105;  // bits 0 and 2, EEPROM present
    for (size_t i = 0; i < 128; ++i) c.externalEeprom[i] = uint8_t(0x80 + i);
    ASSERT_EQ(bed.addUnit(c), 0);
    ASSERT_NE(create(), nullptr);

    char name[256] = {};
    ASSERT_EQ(host->Dravix_GetStatus(0, DRAVIX_STAT_NAME, reinterpret_cast<LONG*>(name)), S_OK);
    EXPECT_STREQ(name, "Drive Unit 32");
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_VENDOR_ID), 0x1781);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_PRODUCT_ID), 0x0ED9);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_BIT0), 1);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_BIT1), 0);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_BIT2), 1);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_EEPROM_SIZE), 128);
    bed.setStatusWord(0, 0x0002);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_BIT1), 1);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_EEPROM_SIZE), 0);
    EXPECT_EQ(getStatus(0, 10), DRAVIX_INVALID);

    uint8_t block[128];
    std::memset(block, 0x55, sizeof block);
    ASSERT_EQ(host->Dravix_GetStatus(0, DRAVIX_STAT_EXT_EEPROM, reinterpret_cast<LONG*>(block)), S_OK);
    EXPECT_EQ(block[0], 0x80);
    EXPECT_EQ(block[127], 0xFF);

    char serial[12] = {};
    ASSERT_EQ(host->Dravix_GetStatus(0, DRAVIX_STAT_SERIAL, reinterpret_cast<LONG*>(serial)), S_OK);
    EXPECT_STREQ(serial, "ABC12345678");
    // The block is read in two 64-byte requests.
    auto reads = eepromRequests(bed.vendorRequests(0));
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].index, 0x1F80);
    EXPECT_EQ(reads[0].length, 64);
    EXPECT_EQ(reads[1].index, 0x1FC0);
    EXPECT_EQ(reads[1].length, 64);

    bed.failRequest(0, 0xF4, true);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_BIT0), DRAVIX_INVALID);
    bed.failRequest(0, 0xF6, true);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_EXT_EEPROM), DRAVIX_INVALID);
    bed.failRequest(0, 0xF2, true);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_SERIAL), DRAVIX_INVALID);
}

TEST_F(DravixTest, SerialNumberWithoutTagIsRefused) {
    UsbUnitConfig c;  // an EEPROM left blank
    ASSERT_EQ(bed.addUnit(c), 0);
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_SERIAL), DRAVIX_INVALID);
}

TEST_F(DravixTest, ControlLinesAndCodes) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    for (LONG code = 0; code <= 9; ++code) EXPECT_EQ(setControl(0, code), DRAVIX_DONE) << code;
    EXPECT_EQ(bed.controlLines(0),
              (std::vector<uint16_t>{0x84, 0x04, 0x82, 0x02, 0x88, 0x08, 0x90, 0x10, 0xA0, 0x20}));
    EXPECT_EQ(setControl(0, 13), 12345);  // unknown codes leave the status alone
    EXPECT_EQ(setControl(0, -1), 12345);
    bed.failRequest(0, 0xF5, true);
    EXPECT_EQ(setControl(0, 3), DRAVIX_INVALID);
}

TEST_F(DravixTest, PicoModeWaitsBeforeLine0x88) {
    UsbUnitConfig c;
    c.productId = 0x0ED9;
    ASSERT_EQ(bed.addUnit(c), 0);
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(setControl(0, DRAVIX_CTL_PICO_MODE), 12345);  // no request, status untouched
    EXPECT_TRUE(bed.controlLines(0).empty());
    EXPECT_EQ(setControl(0, 4), DRAVIX_DONE);
    std::vector<ControlRecord> lines;
    for (const auto& r : bed.vendorRequests(0))
        if (r.request == 0xF5) lines.push_back(r);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].index, 0x10);
    EXPECT_EQ(lines[1].index, 0x88);
    EXPECT_GE(lines[1].timeNs - lines[0].timeNs, 250'000'000);
}

TEST_F(DravixTest, WriteSerialNumberValidatesAndWritesTheBlock) {
    UsbUnitConfig c;
    c.serialNumber = "OLD00000001";
    ASSERT_EQ(bed.addUnit(c), 0);
    ASSERT_NE(create(), nullptr);
    const std::vector<uint8_t> before = bed.eeprom(0);

    for (const char* bad : {"ABCDEFGHIJ", "ABCDE-GHIJK", "ABCDEFGHIJKL", "ABCDE GHIJK"}) {
        char buffer[16] = {};
        std::strncpy(buffer, bad, sizeof buffer - 1);
        ASSERT_EQ(host->Dravix_SetControl(0, DRAVIX_CTL_WRITE_SERIAL, reinterpret_cast<LONG*>(buffer)), S_OK);
        LONG status;
        std::memcpy(&status, buffer, 4);
        EXPECT_EQ(status, DRAVIX_INVALID) << bad;
    }
    EXPECT_EQ(bed.eeprom(0), before);
    EXPECT_TRUE(eepromRequests(bed.vendorRequests(0)).empty());

    char buffer[12] = "Zz#98765432";
    ASSERT_EQ(host->Dravix_SetControl(0, DRAVIX_CTL_WRITE_SERIAL, reinterpret_cast<LONG*>(buffer)), S_OK);
    EXPECT_STREQ(buffer, "Zz#98765432");  // left as it was: its first four bytes read as a positive status
    const std::vector<uint8_t> after = bed.eeprom(0);
    const uint8_t* block = after.data() + 0x1F80;
    EXPECT_EQ(std::memcmp(block + 2, "DXPOLY", 6), 0);
    const char* expected = "Zz#98765432";
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(block[16 + 2 * i], uint8_t(expected[i]));
        EXPECT_EQ(block[17 + 2 * i], 0);
    }
    for (int i : {0, 1, 8, 15, 38, 39, 40, 127}) EXPECT_EQ(block[i], 0) << i;
    auto writes = eepromRequests(bed.vendorRequests(0));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].index, 0x1F80);
    EXPECT_EQ(writes[1].index, 0x1FC0);
    EXPECT_EQ(writes[1].data.size(), 64u);

    char serial[12] = {};
    ASSERT_EQ(host->Dravix_GetStatus(0, DRAVIX_STAT_SERIAL, reinterpret_cast<LONG*>(serial)), S_OK);
    EXPECT_STREQ(serial, "Zz#98765432");

    // In Pico mode the block carries the other tag.
    setControl(0, DRAVIX_CTL_PICO_MODE);
    char pico[12] = "PICO0000001";
    ASSERT_EQ(host->Dravix_SetControl(0, DRAVIX_CTL_WRITE_SERIAL, reinterpret_cast<LONG*>(pico)), S_OK);
    EXPECT_EQ(std::memcmp(bed.eeprom(0).data() + 0x1F82, "DXPICO", 6), 0);

    bed.failRequest(0, 0xF2, true);
    char failing[12] = "ABCDEFGHIJK";
    ASSERT_EQ(host->Dravix_SetControl(0, DRAVIX_CTL_WRITE_SERIAL, reinterpret_cast<LONG*>(failing)), S_OK);
    LONG status;
    std::memcpy(&status, failing, 4);
    EXPECT_EQ(status, DRAVIX_INVALID);
}

TEST_F(DravixTest, FailedProbeLeavesTheSlotEmptyAndIsRetried) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    bed.failRequest(0, 0xF0, true);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_VENDOR_ID), DRAVIX_NO_DEVICE);
    bed.failRequest(0, 0xF0, false);
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_VENDOR_ID), 0x1781);
    size_t probes = 0;
    for (const auto& r : bed.vendorRequests(0)) probes += r.request == 0xF0;
    EXPECT_EQ(probes, 2u);
    // An open slot is not probed again.
    EXPECT_EQ(getStatus(0, DRAVIX_STAT_PRODUCT_ID), 0x0ED8);
    probes = 0;
    for (const auto& r : bed.vendorRequests(0)) probes += r.request == 0xF0;
    EXPECT_EQ(probes, 2u);
}

TEST_F(DravixTest, UnplugAndReplugAreNotifiedAndTheReturningUnitTakesAnotherSlot) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    MirrorKit::com::MessageWindow window;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(window));
    ASSERT_EQ(host->Dravix_SetNotify(window.handle, 0x8123), S_OK);
    EXPECT_EQ(step(0, frame(320, 1)), DRAVIX_DONE);

    bed.unplug(0);
    KrvPostedMessage m{};
    ASSERT_EQ(MirrorKit::com::readMessage(window, m, 3000), 1);
    EXPECT_EQ(m.message, 0x8123u);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(step(0, frame(320, 2)), DRAVIX_NO_DEVICE);
    LONG ids[2];
    LONG status;
    host->Dravix_GetAvailableDevices(ids, 2, &status);
    EXPECT_EQ(ids[0], -1);

    // Back again, the unit is reached through the slot it is listed at now, never through its old one.
    ASSERT_TRUE(bed.replug(0));
    ASSERT_EQ(MirrorKit::com::readMessage(window, m, 3000), 1);
    EXPECT_EQ(m.wParam, 1u);
    EXPECT_EQ(step(0, frame(320, 3)), DRAVIX_NO_DEVICE);
    host->Dravix_GetAvailableDevices(ids, 2, &status);
    EXPECT_EQ(std::vector<LONG>(ids, ids + 2), (std::vector<LONG>{-1, 1}));
    EXPECT_EQ(step(1, frame(320, 4)), DRAVIX_DONE);
    auto frames = bed.bulkTransfers(0);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], frame(320, 4));

    // Switched off: changes are no longer posted.
    host->Dravix_SetNotify(0, 0);
    bed.unplug(0);
    EXPECT_EQ(MirrorKit::com::readMessage(window, m, 300), 0);
    MirrorKit::com::closeMessageWindow(window);
}

TEST_F(DravixTest, NotificationsNeverReachADescriptorNumberReusedAfterItsClientWentAway) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    MirrorKit::com::MessageWindow gone;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(gone));
    const ULONG_PTR number = gone.handle;
    ASSERT_EQ(host->Dravix_SetNotify(gone.handle, 0x8123), S_OK);
    // The client closes its socket without unregistering; a new socket gets the same descriptor numbers.
    MirrorKit::com::closeMessageWindow(gone);
    MirrorKit::com::MessageWindow other;
    ASSERT_TRUE(MirrorKit::com::createMessageWindow(other));
    ASSERT_EQ(other.handle, number);
    bed.unplug(0);
    KrvPostedMessage m{};
    EXPECT_EQ(MirrorKit::com::readMessage(other, m, 500), 0);
    MirrorKit::com::closeMessageWindow(other);
}

}  // namespace
}  // namespace DravixTests
