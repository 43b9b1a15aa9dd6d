// USB mirrors end to end: KRVOpen on scrambled profiles, the real host-driver server, emulated drive units.
#include "KRV_USB.h"

#include "support/KrvTestSupport.h"
#include "krv/dravix/IHostDrv.h"
#include "krv/emu/UsbUnits.h"

#include <krv/platform/com.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using MirrorKit::emu::UsbUnitBed;
using MirrorKit::emu::UsbUnitConfig;

namespace {

krvtest::InstallTree* gTree = nullptr;

// One install tree for the process, with the server registered in its registry store and no open-loop library.
class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        gTree = new krvtest::InstallTree;
        krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so");
        ASSERT_EQ(MirrorKit::com::registerServer(DRAVIX_PATH, false), S_OK);
    }
    void TearDown() override {
        delete gTree;
        gTree = nullptr;
    }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// A caller's record, closed at the end of the test if still open.
struct Mirror {
    std::unique_ptr<DM> dm = std::make_unique<DM>(gTree->record());
    ~Mirror() {
        if (dm->State) KRVClose(dm.get());
    }
    DM* get() const { return dm.get(); }
    DM* operator->() const { return dm.get(); }
};

void profile(const std::string& serial, const std::vector<std::string>& lines) {
    krvtest::writeProfile(gTree->profiles() + "/" + serial + ".dm", lines);
}

// A control line a mirror's open sets (line 0x02).
constexpr LONG kCtlLineForOpen = 3;

uint16_t units(double value) { return static_cast<uint16_t>(std::lround(value * 65535.0)); }

std::vector<uint16_t> codes(const std::vector<uint8_t>& block) {
    std::vector<uint16_t> out(block.size() / 2);
    for (size_t c = 0; c < out.size(); ++c) out[c] = static_cast<uint16_t>(block[2 * c] | block[2 * c + 1] << 8);
    return out;
}

class UsbEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    }
    // The server's libusb context must be gone before the bed's devices are.
    void TearDown() override { EXPECT_EQ(KRV_USBReleaseHostDriver(), NO_ERR); }

    int add(const std::string& serial, uint16_t productId = MirrorKit::emu::kUnitProductId160) {
        UsbUnitConfig cfg;
        cfg.serialNumber = serial;
        cfg.productId = productId;
        cfg.pico = productId == MirrorKit::emu::kUnitProductId32;
        const int id = bed.addUnit(cfg);
        EXPECT_GE(id, 0);
        added = id + 1;
        return id;
    }
    std::vector<uint16_t> lastBlock(int unit, size_t count) {
        EXPECT_TRUE(bed.waitBulkCount(unit, count, 2000)) << "unit " << unit;
        const auto all = bed.bulkTransfers(unit);
        return all.empty() ? std::vector<uint16_t>() : codes(all.back());
    }

    UsbUnitBed bed;
    int added = 0;
};

// Mirrors of 140 actuators on one unit each: mirror "MIRRORUNITx" on unit "DU00000000x".
class UsbUnplug : public UsbEndToEnd {
protected:
    int addUnit(char name) {
        std::vector<uint32_t> map(160, MAX_DM_SIZE);
        for (uint32_t c = 0; c < 140; ++c) map[c] = c;
        krvtest::writeMap(gTree->maps() + "/unit.map", map);
        const std::string mirror = std::string("MIRRORUNIT") + name;
        profile(mirror, {"type=0", "size=140", "maxv=200", "vlim=200", "map=unit.map",
                         std::string("driver_sn=DU00000000") + name});
        return add(std::string("DU00000000") + name);
    }
    static KRVRC open(Mirror& m, char name) { return KRVOpen(m.get(), (std::string("MIRRORUNIT") + name).c_str()); }
    // Opens a mirror whose unit was just plugged in, once the server has seen the unit arrive.
    static KRVRC openWhenPresent(Mirror& m, char name) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        KRVRC rc;
        while ((rc = open(m, name)) == ERR_NO_HW && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return rc;
    }
    // Sends value on every actuator of m, expects the result, and checks that the block reached unit `to` and no
    // other (no unit at all when to is -1).
    void expectFrame(const Mirror& m, double value, KRVRC expected, int to) {
        std::vector<size_t> before;
        for (int u = 0; u < added; ++u) before.push_back(bed.bulkCount(u));
        std::vector<double> frame(140, value);
        EXPECT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), expected) << "frame " << value;
        for (int u = 0; u < added; ++u)
            EXPECT_EQ(bed.bulkCount(u), before[size_t(u)] + (u == to ? 1 : 0)) << "frame " << value << ", unit " << u;
        if (to >= 0 && bed.bulkCount(to) > before[size_t(to)]) {
            EXPECT_EQ(codes(bed.bulkTransfers(to).back()).at(0), units(value)) << "frame " << value;
        }
    }
    // The first frame through m after its unit was unplugged: a transfer that merely failed, before the loss was
    // noticed, is tried again for a while.
    static KRVRC firstFrameAfterUnplug(const Mirror& m) {
        std::vector<double> frame(140, 0.125);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        KRVRC rc;
        while ((rc = KRVSetArray(m.get(), frame.data(), nullptr)) == ERR_TIMEOUT &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return rc;
    }
    // Control lines and frames of every unit, to see that closing a record touched none of them.
    std::vector<std::vector<uint16_t>> lines() const {
        std::vector<std::vector<uint16_t>> all;
        for (int u = 0; u < added; ++u) all.push_back(bed.controlLines(u));
        return all;
    }
    std::vector<size_t> blocks() const {
        std::vector<size_t> all;
        for (int u = 0; u < added; ++u) all.push_back(bed.bulkCount(u));
        return all;
    }
};

TEST_F(UsbUnplug, TwoUnitsFramesOfAnUnpluggedUnitReachNoOtherAndItsReturnNeedsANewOpen) {
    const int a = addUnit('A'), b = addUnit('B');
    Mirror ma, mb;
    ASSERT_EQ(open(ma, 'A'), NO_ERR);
    ASSERT_EQ(open(mb, 'B'), NO_ERR);
    expectFrame(ma, 0.25, NO_ERR, a);
    expectFrame(mb, 0.75, NO_ERR, b);

    bed.unplug(a);
    EXPECT_EQ(firstFrameAfterUnplug(ma), ERR_NO_HW);
    expectFrame(ma, 0.25, ERR_NO_HW, -1);
    EXPECT_EQ(KRVClearArray(ma.get()), ERR_NO_HW);
    expectFrame(mb, 0.75, NO_ERR, b);

    ASSERT_TRUE(bed.replug(a));
    Mirror again;
    ASSERT_EQ(openWhenPresent(again, 'A'), NO_ERR);
    expectFrame(ma, 0.25, ERR_NO_HW, -1);
    expectFrame(again, 0.5, NO_ERR, a);
    expectFrame(mb, 0.75, NO_ERR, b);

    // Closing the old record reports its unit missing and neither zeroes nor switches off any unit.
    const auto linesBefore = lines();
    const auto blocksBefore = blocks();
    EXPECT_EQ(KRVClose(ma.get()), ERR_NO_HW);
    EXPECT_EQ(lines(), linesBefore);
    EXPECT_EQ(blocks(), blocksBefore);
    EXPECT_EQ(KRVClose(again.get()), NO_ERR);
    EXPECT_EQ(bed.controlLines(a).back(), 0x08);
    EXPECT_EQ(bed.controlLines(b).back(), 0x88);
}

TEST_F(UsbUnplug, ThreeUnitsUnpluggedAndPluggedBackInTheOtherOrderEachFrameReachesItsOwnUnit) {
    const int a = addUnit('A'), b = addUnit('B'), c = addUnit('C');
    Mirror ma, mb, mc;
    ASSERT_EQ(open(ma, 'A'), NO_ERR);
    ASSERT_EQ(open(mb, 'B'), NO_ERR);
    ASSERT_EQ(open(mc, 'C'), NO_ERR);
    expectFrame(ma, 0.25, NO_ERR, a);
    expectFrame(mb, 0.5, NO_ERR, b);
    expectFrame(mc, 0.75, NO_ERR, c);

    bed.unplug(a);
    bed.unplug(b);
    EXPECT_EQ(firstFrameAfterUnplug(ma), ERR_NO_HW);
    EXPECT_EQ(firstFrameAfterUnplug(mb), ERR_NO_HW);
    expectFrame(mc, 0.75, NO_ERR, c);

    // Back in the other order: the second unit first.
    ASSERT_TRUE(bed.replug(b));
    ASSERT_TRUE(bed.replug(a));
    Mirror mb2, ma2;
    ASSERT_EQ(openWhenPresent(mb2, 'B'), NO_ERR);
    ASSERT_EQ(openWhenPresent(ma2, 'A'), NO_ERR);
    expectFrame(ma, 0.25, ERR_NO_HW, -1);
    expectFrame(mb, 0.5, ERR_NO_HW, -1);
    expectFrame(ma2, 0.375, NO_ERR, a);
    expectFrame(mb2, 0.625, NO_ERR, b);
    expectFrame(mc, 0.875, NO_ERR, c);

    const auto linesBefore = lines();
    const auto blocksBefore = blocks();
    EXPECT_EQ(KRVClose(ma.get()), ERR_NO_HW);
    EXPECT_EQ(KRVClose(mb.get()), ERR_NO_HW);
    EXPECT_EQ(lines(), linesBefore);
    EXPECT_EQ(blocks(), blocksBefore);
}

// A record whose unit left answers ERR_NO_HW for good: however often another unit comes and goes, and whichever
// slot of the server it lands in (there are 32), the dead record's frames and serial-number writes never reach it.
TEST_F(UsbUnplug, DeadRecordNeverReachesAUnitThatTakesItsSlotAcrossMoreReplugsThanSlots) {
    const int a = addUnit('A'), b = addUnit('B');
    Mirror dead;
    ASSERT_EQ(open(dead, 'A'), NO_ERR);
    expectFrame(dead, 0.25, NO_ERR, a);
    bed.unplug(a);
    EXPECT_EQ(firstFrameAfterUnplug(dead), ERR_NO_HW);

    const int slotOfDead = dead->DevId;
    bool sharedSlot = false;
    for (int round = 0; round < kDravixSlotCount + 8; ++round) {
        SCOPED_TRACE("replug " + std::to_string(round));
        Mirror live;
        ASSERT_EQ(openWhenPresent(live, 'B'), NO_ERR);
        sharedSlot = sharedSlot || live->DevId == slotOfDead;
        expectFrame(dead, 0.25, ERR_NO_HW, -1);
        const std::vector<uint8_t> eeprom = bed.eeprom(b);
        std::strcpy(dead->Driver.SerialNumber, "DU0000000XX");
        EXPECT_EQ(MirrorKit::USB::WriteDriverSN(dead.get()), ERR_NO_HW);
        EXPECT_EQ(bed.eeprom(b), eeprom);
        expectFrame(live, 0.75, NO_ERR, b);
        ASSERT_EQ(KRVClose(live.get()), NO_ERR);
        bed.unplug(b);
        ASSERT_TRUE(bed.replug(b));
        if (::testing::Test::HasFailure()) break;
    }
    // The test means nothing unless the other unit did land in the dead record's slot.
    EXPECT_TRUE(sharedSlot);
    EXPECT_EQ(KRVClose(dead.get()), ERR_NO_HW);
}

// One stalled unit holds up only the mirror that sends to it: a frame to another unit goes out while the stalled
// transfer is still in flight.
TEST_F(UsbUnplug, StalledUnitDoesNotHoldUpAMirrorOnAnotherUnit) {
    const int a = addUnit('A'), b = addUnit('B');
    Mirror ma, mb;
    ASSERT_EQ(open(ma, 'A'), NO_ERR);
    ASSERT_EQ(open(mb, 'B'), NO_ERR);
    bed.holdBulk(a, true);
    const size_t blocksOfA = bed.bulkCount(a);
    KRVRC stalled = ERR_UNKNOWN;
    std::thread sender([&] {
        std::vector<double> frame(140, 0.25);
        stalled = KRVSetArray(ma.get(), frame.data(), nullptr);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (bed.bulkInFlight(a) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(bed.bulkInFlight(a), 1u);

    for (double value : {0.5, 0.625, 0.75}) expectFrame(mb, value, NO_ERR, b);
    // Mirror B's frames went out while A's transfer was still held.
    EXPECT_EQ(bed.bulkInFlight(a), 1u);
    bed.holdBulk(a, false);
    sender.join();
    EXPECT_EQ(stalled, NO_ERR);
    EXPECT_EQ(bed.bulkCount(a), blocksOfA + 1);
}

// Another program on the computer (here a second server object, whose device opens are clients of their own as
// another process's are): it claims only the units it drives, a unit this process drives answers it "busy" and
// is never reset, and a mirror whose unit it holds is refused with a clear code.
TEST_F(UsbUnplug, UnitsHeldByAnotherProgramAnswerBusyAndAreNeverReset) {
    const int a = addUnit('A'), b = addUnit('B');
    Mirror ma;
    ASSERT_EQ(open(ma, 'A'), NO_ERR);
    EXPECT_TRUE(bed.claimed(a));
    EXPECT_FALSE(bed.claimed(b));  // looked at while searching, not taken

    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    IHostDrv* other = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv,
                               reinterpret_cast<void**>(&other)),
              S_OK);
    const LONG slotA = ma->DevId;
    std::vector<uint8_t> block(320, 0x11);
    for (int i = 0; i < 20; ++i) {
        LONG status = 0;
        ASSERT_EQ(other->Dravix_SetControl(slotA, kCtlLineForOpen, &status), S_OK);
        EXPECT_EQ(status, DRAVIX_BUSY);
        status = 0;
        ASSERT_EQ(other->Dravix_StepFrameData(slotA, block.data(), LONG(block.size()), &status), S_OK);
        EXPECT_EQ(status, DRAVIX_BUSY);
    }
    EXPECT_EQ(bed.resetCount(a), 0u);
    expectFrame(ma, 0.5, NO_ERR, a);

    // The other program drives unit B: this process may no longer open the mirror on it.
    LONG ids[kDravixSlotCount];
    LONG status = 0;
    ASSERT_EQ(other->Dravix_GetAvailableDevices(ids, kDravixSlotCount, &status), S_OK);
    LONG slotB = -1;
    for (LONG i = 0; i < kDravixSlotCount; ++i) {
        char serial[16] = {};
        if (ids[i] < 0 || i == slotA) continue;
        if (other->Dravix_GetStatus(i, DRAVIX_STAT_SERIAL, reinterpret_cast<LONG*>(serial)) == S_OK &&
            std::string(serial) == "DU00000000B")
            slotB = i;
    }
    ASSERT_GE(slotB, 0);
    status = 0;
    ASSERT_EQ(other->Dravix_StepFrameData(slotB, block.data(), LONG(block.size()), &status), S_OK);
    EXPECT_EQ(status, DRAVIX_DONE);
    Mirror mb;
    EXPECT_EQ(open(mb, 'B'), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(mb->State, nullptr);
    EXPECT_EQ(bed.resetCount(b), 0u);

    // Released by the other program, the unit opens here; closing a mirror gives its unit back.
    status = 0;
    ASSERT_EQ(other->Dravix_SetControl(slotB, DRAVIX_CTL_RELEASE, &status), S_OK);
    ASSERT_EQ(open(mb, 'B'), NO_ERR);
    expectFrame(mb, 0.25, NO_ERR, b);
    ASSERT_EQ(KRVClose(ma.get()), NO_ERR);
    EXPECT_FALSE(bed.claimed(a));
    other->Release();
    CoUninitialize();
}

TEST_F(UsbEndToEnd, TwoUnitsFoundAtIndexesThreeAndOneEachGetTheirHalf) {
    add("DU00000000X");
    add("DU00000000B");
    add("DU000000-YY");
    add("DU00000000A");
    std::vector<uint32_t> map(320);
    for (uint32_t c = 0; c < 320; ++c) map[c] = c;
    krvtest::writeMap(gTree->maps() + "/two.map", map);
    profile("USBTWO00001", {"type=0", "size=320", "maxv=200", "vlim=200", "driver_sn=DU00000000A",
                            "driver_sn2=DU00000000B", "map=two.map"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBTWO00001"), NO_ERR);
    EXPECT_EQ(m->DevId, 3);
    EXPECT_EQ(m->Driver.ChannelCount, 160u);
    EXPECT_EQ(m->ExtraDrivers[0].ChannelCount, 160u);
    EXPECT_EQ(bed.controlLines(3), std::vector<uint16_t>({0x02, 0x82, 0x88}));
    EXPECT_EQ(bed.controlLines(1), std::vector<uint16_t>({0x02, 0x82, 0x88}));

    std::vector<double> frame(320);
    for (uint32_t a = 0; a < 320; ++a) frame[a] = a / 400.0;
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    const auto first = lastBlock(3, 1), second = lastBlock(1, 1);
    ASSERT_EQ(first.size(), 160u);
    ASSERT_EQ(second.size(), 160u);
    for (uint32_t c = 0; c < 160; ++c) {
        EXPECT_EQ(first[c], units(c / 400.0)) << c;
        EXPECT_EQ(second[c], units((160 + c) / 400.0)) << c;
    }
    EXPECT_EQ(bed.bulkCount(0), 0u);
    EXPECT_EQ(bed.bulkCount(2), 0u);

    // Close sends a zero block, then switches each unit off.
    EXPECT_EQ(KRVClose(m.get()), NO_ERR);
    EXPECT_EQ(lastBlock(3, 2), std::vector<uint16_t>(160, 0));
    EXPECT_EQ(lastBlock(1, 2), std::vector<uint16_t>(160, 0));
    EXPECT_EQ(bed.controlLines(3).back(), 0x08);
    EXPECT_EQ(bed.controlLines(1).back(), 0x08);
    EXPECT_TRUE(bed.controlLines(0).empty());
    EXPECT_EQ(m->State, nullptr);
}

TEST_F(UsbEndToEnd, ProfileWithoutDriverSerialTakesTheFirstUnit) {
    add("DU00000000A");
    add("DU00000000B");
    profile("USBANY00001", {"type=0", "size=140", "maxv=200", "vlim=200"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBANY00001"), NO_ERR);
    EXPECT_EQ(m->DevId, 0);
    EXPECT_EQ(bed.controlLines(0).size(), 3u);
    EXPECT_TRUE(bed.controlLines(1).empty());
}

TEST_F(UsbEndToEnd, SecondUnitWithoutSerialIsRefusedBeforeAnyUnitIsRead) {
    add("DU00000000A");
    add("DU00000000B");
    profile("USBBAD00001", {"type=0", "size=320", "maxv=200", "vlim=200", "driver_sn=DU00000000A", "driver_sn2="});
    Mirror m;
    EXPECT_EQ(KRVOpen(m.get(), "USBBAD00001"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(m->State, nullptr);
    for (int unit : {0, 1}) {
        for (const auto& request : bed.vendorRequests(unit)) EXPECT_NE(request.request, 0xF2) << unit;
        EXPECT_TRUE(bed.controlLines(unit).empty());
    }
}

TEST_F(UsbEndToEnd, ThirtyTwoChannelUnitDrivesTheFirstChannelsOfALargerMirror) {
    add("DU0000000P1", MirrorKit::emu::kUnitProductId32);
    std::vector<uint32_t> map(32);
    for (uint32_t c = 0; c < 32; ++c) map[c] = 31 - c;
    krvtest::writeMap(gTree->maps() + "/pico.map", map);
    profile("USBPICO0001", {"type=0", "size=140", "maxv=200", "vlim=100", "driver_sn=DU0000000P1", "map=pico.map"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBPICO0001"), NO_ERR);
    EXPECT_EQ(m->Driver.ChannelCount, 32u);
    // Short-frame units raise the extra line (and wait) before the outputs go on.
    EXPECT_EQ(bed.controlLines(0), std::vector<uint16_t>({0x02, 0x82, 0x10, 0x88}));
    std::vector<double> frame(140, 1.0);
    frame[31] = 0.25;
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    const auto block = lastBlock(0, 1);
    ASSERT_EQ(block.size(), 32u);
    EXPECT_EQ(block[0], units(0.25 * 0.5));  // vlim is half of maxv
    EXPECT_EQ(block[1], units(0.5));
}

TEST_F(UsbEndToEnd, FramesFollowZeroAndOneBasedMapsAndSkipInactiveActuators) {
    add("DU00000000A");
    std::vector<uint32_t> oneBased(160, MAX_DM_SIZE), zeroBased(160, MAX_DM_SIZE);
    for (uint32_t c = 0; c < 140; ++c) {
        zeroBased[c] = (11 * c) % 140;
        oneBased[c] = zeroBased[c] + 1;
    }
    krvtest::writeMap(gTree->maps() + "/one.map", oneBased);
    krvtest::writeMap(gTree->maps() + "/zero.map", zeroBased);
    profile("USBMAP00001", {"type=0", "size=140", "maxv=200", "vlim=200", "driver_sn=DU00000000A", "map=one.map",
                            "inactive=1:5"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBMAP00001"), NO_ERR);
    std::vector<double> frame(140);
    for (uint32_t a = 0; a < 140; ++a) frame[a] = (a + 1) / 150.0;
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    const auto oneBlock = lastBlock(0, 1);
    ASSERT_EQ(oneBlock.size(), 160u);
    for (uint32_t c = 0; c < 160; ++c) {
        const uint32_t a = zeroBased[c];
        EXPECT_EQ(oneBlock[c], c >= 140 || a == 5 ? 0 : units((a + 1) / 150.0)) << c;
    }
    std::vector<double> applied(140, -1.0);
    ASSERT_EQ(KRVGetArray(m.get(), applied.data(), 140), NO_ERR);
    EXPECT_EQ(applied[5], 0.0);
    EXPECT_NEAR(applied[6], 7 / 150.0, 1.0 / 65535);

    ASSERT_EQ(KRVLoadMap(m.get(), (gTree->maps() + "/zero.map").c_str(), nullptr), NO_ERR);
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    EXPECT_EQ(lastBlock(0, 2), oneBlock);

    // A poke resends the whole applied frame; an inactive actuator cannot be poked.
    ASSERT_EQ(KRVSetSingle(m.get(), 0, 1.0), NO_ERR);
    EXPECT_EQ(lastBlock(0, 3)[0], 65535);
    ASSERT_EQ(KRVSetSingle(m.get(), 5, 1.0), NO_ERR);
    EXPECT_EQ(bed.bulkCount(0), 3u);
}

// Not a number and infinities are no commands: nothing goes to the unit and the applied frame stays.
TEST_F(UsbEndToEnd, NonFiniteCommandsReachNoUnit) {
    add("DU00000000A");
    profile("USBNAN00001", {"type=0", "size=140", "maxv=200", "vlim=200", "driver_sn=DU00000000A"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBNAN00001"), NO_ERR);
    std::vector<double> frame(140, 0.75);
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    const size_t sent = bed.bulkCount(0);
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        std::vector<double> next(140, 0.25);
        next[139] = bad;
        EXPECT_EQ(KRVSetArray(m.get(), next.data(), nullptr), ERR_BADARG) << bad;
        EXPECT_EQ(KRVSetSingle(m.get(), 0, bad), ERR_BADARG) << bad;
    }
    EXPECT_EQ(bed.bulkCount(0), sent);
    std::vector<double> applied(140, -1.0);
    ASSERT_EQ(KRVGetArray(m.get(), applied.data(), 140), NO_ERR);
    for (double v : applied) EXPECT_NEAR(v, 0.75, 1.0 / 65535);
}

TEST_F(UsbEndToEnd, UnplugMidSessionFailsFramesAndCloseStillFreesTheRecord) {
    const int unit = add("DU00000000A");
    profile("USBGONE0001", {"type=0", "size=140", "maxv=200", "vlim=200", "driver_sn=DU00000000A"});
    Mirror m;
    ASSERT_EQ(KRVOpen(m.get(), "USBGONE0001"), NO_ERR);
    std::vector<double> frame(140, 0.5);
    ASSERT_EQ(KRVSetArray(m.get(), frame.data(), nullptr), NO_ERR);
    bed.unplug(unit);
    const KRVRC rc = KRVSetArray(m.get(), frame.data(), nullptr);
    EXPECT_TRUE(rc == ERR_NO_HW || rc == ERR_TIMEOUT) << rc;
    const KRVRC closed = KRVClose(m.get());  // switching the gone unit off reports it missing
    EXPECT_EQ(closed, ERR_NO_HW);
    EXPECT_EQ(m->State, nullptr);
    EXPECT_EQ(m->ActCount, 0u);
    EXPECT_EQ(m->ExtraDrivers, nullptr);
}

TEST_F(UsbEndToEnd, SerialNumberWrittenIsReadBackAndBadOnesAreRefused) {
    const int unit = add("DU00000000A");
    DM dm = gTree->record();
    dm.DevId = 0;
    std::strcpy(dm.Driver.SerialNumber, "DU0000#00W1");
    EXPECT_EQ(MirrorKit::USB::WriteDriverSN(&dm), NO_ERR);
    std::memset(dm.Driver.SerialNumber, 0, sizeof dm.Driver.SerialNumber);
    EXPECT_EQ(MirrorKit::USB::ReadDriverSN(&dm), NO_ERR);
    EXPECT_STREQ(dm.Driver.SerialNumber, "DU0000#00W1");
    std::vector<uint8_t> eeprom = bed.eeprom(unit);
    EXPECT_EQ(std::string(eeprom.begin() + 0x1F82, eeprom.begin() + 0x1F88), "DXPOLY");

    for (const char* bad : {"DU-0000000X", "DU0000000X"}) {
        std::strcpy(dm.Driver.SerialNumber, bad);
        EXPECT_EQ(MirrorKit::USB::WriteDriverSN(&dm), ERR_USB_OTHER) << bad;
    }
    EXPECT_EQ(bed.eeprom(unit), eeprom);
    dm.DevId = 7;  // nothing there
    EXPECT_EQ(MirrorKit::USB::ReadDriverSN(&dm), ERR_NO_HW);
}

TEST_F(UsbEndToEnd, SerialNumberOfAShortFrameUnitKeepsItsTagAfterOpen) {
    const int unit = add("DU0000000P1", MirrorKit::emu::kUnitProductId32);
    profile("USBPICO0002", {"type=0", "size=32", "maxv=200", "vlim=200", "driver_sn=DU0000000P1"});
    {
        Mirror m;
        ASSERT_EQ(KRVOpen(m.get(), "USBPICO0002"), NO_ERR);
        std::strcpy(m->Driver.SerialNumber, "DU0000000P2");
        EXPECT_EQ(MirrorKit::USB::WriteDriverSN(m.get()), NO_ERR);
    }
    const std::vector<uint8_t> eeprom = bed.eeprom(unit);
    EXPECT_EQ(std::string(eeprom.begin() + 0x1F82, eeprom.begin() + 0x1F88), "DXPICO");
    EXPECT_EQ(eeprom[0x1F80 + 16], 'D');
    EXPECT_EQ(eeprom[0x1F80 + 16 + 2 * 10], '2');
}

// The VARIANT forms of the server's methods, as automation clients call them.
TEST_F(UsbEndToEnd, VariantMethodsCheckTheirArguments) {
    add("DU00000000A");
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    IHostDrv* server = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv,
                               reinterpret_cast<void**>(&server)),
              S_OK);

    VARIANT status;
    VariantInit(&status);
    status.vt = VT_ARRAY | VT_I4;
    status.parray = SafeArrayCreateVector(VT_I4, 0, 4);
    EXPECT_EQ(server->Dravix_GetStatusVar(0, 1, &status), S_OK);
    EXPECT_EQ(static_cast<LONG*>(status.parray->pvData)[0], 0x1781);
    EXPECT_EQ(server->Dravix_GetStatusVar(32, 1, &status), E_INVALIDARG);
    EXPECT_EQ(server->Dravix_GetStatusVar(-1, 1, &status), E_INVALIDARG);
    EXPECT_EQ(server->Dravix_GetStatusVar(0, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(server->Dravix_SetControlVar(40, 3, &status), E_INVALIDARG);
    EXPECT_EQ(server->Dravix_FlushStreamVar(32, &status), E_INVALIDARG);

    VARIANT scalar;
    VariantInit(&scalar);
    scalar.vt = VT_I4;
    EXPECT_EQ(server->Dravix_GetStatusVar(0, 1, &scalar), E_INVALIDARG);
    EXPECT_EQ(server->Dravix_StepFrameDataVar(0, nullptr, 320, &status), E_INVALIDARG);

    // The name goes into a string of at least 50 characters.
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocStringLen(nullptr, 49);
    EXPECT_EQ(server->Dravix_GetStatusVar(0, 0, &name), E_INVALIDARG);
    VariantClear(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocStringLen(nullptr, 50);
    EXPECT_EQ(server->Dravix_GetStatusVar(0, 0, &name), S_OK);
    EXPECT_NE(name.bstrVal[0], 0);
    VariantClear(&name);

    VariantClear(&status);
    server->Release();
    CoUninitialize();
}

}  // namespace
