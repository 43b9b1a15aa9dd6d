// Frame output on emulated cards: bursts, pokes, clear, lookup tables, sync, mode read-back and close.
#include "PCIeTestSupport.h"

#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include "krv/DMState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

using namespace MirrorKit::PCIeTest;
namespace Reg = MirrorKit::Emu::Reg;
using MirrorKit::Emu::Direction;

namespace {

constexpr uint32_t kFailure = 0xE0000005u;

// Opens a record on card 1 (and 2) and forgets the transfers of the open.
void openOn(Cards& cards, Record& record, int32_t devId = 1) {
    record->DevId = devId;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    cards.clearLogs();
}

std::vector<uint32_t> rampFrame(uint32_t n, uint32_t base = 1) {
    std::vector<uint32_t> values(n);
    for (uint32_t i = 0; i < n; ++i) values[i] = base + i;
    return values;
}

}  // namespace

TEST(PCIeFrameBurst, OddActuatorCountLeavesTheLastHighHalfZero) {
    Cards cards(1);
    Record record(3);
    openOn(cards, record);
    const uint32_t values[] = {1, 2, 3};
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values), NO_ERR);
    const auto log = cards.card(1).transfers();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, PEX_CMD_WRITE_BURST);
    EXPECT_EQ(log[0].address, Reg::FrameMemory);
    EXPECT_EQ(log[0].words, (std::vector<uint32_t>{0x00020001u, 0x00000003u}));
}

TEST(PCIeFrameBurst, FramesUpTo2040ActuatorsGoOutInOneBurst) {
    Cards cards(1);
    Record record(2040);
    openOn(cards, record);
    const auto values = rampFrame(2040);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    const auto log = cards.card(1).transfers();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].address, Reg::FrameMemory);
    EXPECT_EQ(log[0].count, 1020u);
    const auto actuators = cards.card(1).frameActuators(2040);
    for (uint32_t i = 0; i < 2040; ++i) ASSERT_EQ(actuators[i], values[i]) << i;
}

TEST(PCIeFrameBurst, LargerFramesAreSplitInTwoBurstsWithAPause) {
    Cards cards(1);
    Record record(2048);
    openOn(cards, record);
    const auto values = rampFrame(2048, 100);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto log = cards.card(1).transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].command, PEX_CMD_WRITE_BURST);
    EXPECT_EQ(log[0].address, 32u);
    EXPECT_EQ(log[0].count, 512u);
    EXPECT_EQ(log[1].address, 544u);
    EXPECT_EQ(log[1].count, 512u);
    EXPECT_EQ(log[1].words.front(), (101u + 1024u) << 16 | (100u + 1024u));
    EXPECT_GE(elapsed, std::chrono::microseconds(80));
    const auto actuators = cards.card(1).frameActuators(2048);
    for (uint32_t i = 0; i < 2048; ++i) ASSERT_EQ(actuators[i], values[i]) << i;
}

TEST(PCIeFrameBurst, OddSplitFrameKeepsTheSecondBurstLonger) {
    Cards cards(1);
    Record record(4095);
    openOn(cards, record);
    const auto values = rampFrame(4095);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    const auto log = cards.card(1).transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].count, 1023u);
    EXPECT_EQ(log[1].address, 32u + 1023u);
    EXPECT_EQ(log[1].count, 2048u - 1023u);
    EXPECT_EQ(log[1].words.back(), 4095u);
}

// A driver code has 16 bits: a frame or a poke with a wider code is refused whole, never sent cut to 16 bits.
TEST(PCIeFrameBurst, CodesAbove16BitsAreRefusedNotCut) {
    Cards cards(1);
    Record record(4);
    openOn(cards, record);
    const uint32_t fine[] = {0x2345, 7, 0xFFFF, 0};
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), fine), NO_ERR);
    cards.clearLogs();
    const uint32_t values[] = {0x12345, 7, 0xFFFF, 0x10000};
    EXPECT_EQ(KRV_PCIeSetArray(record.get(), values), ERR_BADARG);
    EXPECT_EQ(KRV_PCIePoke(record.get(), 1, 0x10007), ERR_BADARG);
    EXPECT_EQ(cards.totalTransfers(), 0u);
    EXPECT_EQ(cards.card(1).frameWords(0, 2), (std::vector<uint32_t>{0x00072345u, 0x0000FFFFu}));
    EXPECT_EQ(record->State->AppliedFrame, (std::vector<uint32_t>{0x2345, 7, 0xFFFF, 0}));
}

TEST(PCIeFrameBurst, TwoUnitMirrorsSendTheWholeFrameToBothCards) {
    Cards cards(2);
    Record record(2048, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    const auto values = rampFrame(2048);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    EXPECT_EQ(cards.card(1).frameActuators(2048), cards.card(2).frameActuators(2048));
    EXPECT_EQ(cards.card(2).frameActuators(2048)[2047], 2048u);
}

TEST(PCIeFrameBurst, FailedBurstStopsAtOnceAndKeepsTheAppliedFrame) {
    Cards cards(2);
    Record record(140, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    cards.card(1).failNthTransfer(1, kFailure);
    const auto values = rampFrame(140);
    EXPECT_EQ(KRV_PCIeSetArray(record.get(), values.data()), ERR_PCIE_BURST);
    EXPECT_EQ(cards.card(2).transferCount(), 0u);
    for (uint32_t v : record->State->AppliedFrame) ASSERT_EQ(v, 0u);
}

TEST(PCIeFramePoke, PokeWritesActuatorAndValueToEveryCard) {
    Cards cards(2);
    Record record(280, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    ASSERT_EQ(KRV_PCIePoke(record.get(), 279, 0xABCD), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::Poke), std::vector<uint32_t>{(279u << 16) | 0xABCDu});
    EXPECT_EQ(writesTo(cards.card(2), Reg::Poke), std::vector<uint32_t>{(279u << 16) | 0xABCDu});
    EXPECT_EQ(record->State->AppliedFrame[279], 0xABCDu);

    EXPECT_EQ(KRV_PCIePoke(record.get(), 280, 1), ERR_ACTUATOR_ID);
    EXPECT_EQ(cards.totalTransfers(), 2u);
}

TEST(PCIeFramePoke, FailedPokeLeavesTheAppliedFrame) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    cards.card(1).failAddress(Reg::Poke, kFailure, Direction::Write);
    EXPECT_EQ(KRV_PCIePoke(record.get(), 5, 100), ERR_PCIE_REGWR);
    EXPECT_EQ(record->State->AppliedFrame[5], 0u);
}

TEST(PCIeFrameClear, ClearPokesZeroActuatorByActuatorAndStopsAtAFailure) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    const auto values = rampFrame(140);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    cards.clearLogs();
    ASSERT_EQ(KRV_PCIeClearArray(record.get()), NO_ERR);
    const auto pokes = writesTo(cards.card(1), Reg::Poke);
    ASSERT_EQ(pokes.size(), 140u);
    for (uint32_t i = 0; i < 140; ++i) ASSERT_EQ(pokes[i], i << 16);
    for (uint32_t v : record->State->AppliedFrame) ASSERT_EQ(v, 0u);

    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    cards.clearLogs();
    cards.card(1).failNthTransfer(3, kFailure);
    EXPECT_EQ(KRV_PCIeClearArray(record.get()), ERR_PCIE_REGWR);
    EXPECT_EQ(record->State->AppliedFrame[1], 0u);
    EXPECT_EQ(record->State->AppliedFrame[2], 3u);
    EXPECT_EQ(cards.card(1).transferCount(), 3u);
}

TEST(PCIeFrameInactive, InactiveActuatorHasNoChannelAndKeepsItsAppliedValue) {
    Cards cards(1);
    TempDir dir;
    writeMap(dir.file("map"), identityMap(140));
    Record record(140);
    record.setMapFile(dir.file("map"));
    record.setInactive({5, 4000});  // 4000 is beyond the mirror and ignored
    openOn(cards, record);
    const auto lut = cards.card(1).lut();
    EXPECT_EQ(lut[4], 4u);
    EXPECT_EQ(lut[5], 0x10000u);
    EXPECT_EQ(lut[6], 6u);
    EXPECT_FALSE(record->State->ActiveMask.test(5));
    EXPECT_TRUE(record->State->ActiveMask.test(139));

    const auto values = rampFrame(140, 10);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    EXPECT_EQ(record->State->AppliedFrame[4], 14u);
    EXPECT_EQ(record->State->AppliedFrame[5], 0u);
    ASSERT_EQ(KRV_PCIePoke(record.get(), 5, 999), NO_ERR);
    EXPECT_EQ(record->State->AppliedFrame[5], 0u);
    EXPECT_EQ(writesTo(cards.card(1), Reg::Poke), std::vector<uint32_t>{(5u << 16) | 999u});
}

TEST(PCIeFrameTable, CallerTableIsMarkedForInactiveActuatorsAndNullTableEnablesAll) {
    Cards cards(1);
    Record record(140);
    record.setInactive({7});
    openOn(cards, record);
    auto map = identityMap(140);
    std::vector<uint32_t> enable(140, 1);
    enable[20] = 0;
    ASSERT_EQ(KRV_PCIeWriteLUT(record.get(), map.data(), enable.data()), NO_ERR);
    EXPECT_EQ(enable[7], 0u);
    auto lut = cards.card(1).lut();
    EXPECT_EQ(lut[7], 0x10000u);
    EXPECT_EQ(lut[20], 0x10000u);
    EXPECT_EQ(lut[21], 21u);

    ASSERT_EQ(KRV_PCIeWriteLUT(record.get(), map.data(), nullptr), NO_ERR);
    lut = cards.card(1).lut();
    EXPECT_EQ(lut[7], 0x10000u);
    EXPECT_EQ(lut[20], 20u);
    EXPECT_EQ(lut[139], 139u);
}

TEST(PCIeFrameTable, SecondUnitChannelsAreCountedFromTheEndOfTheFirst) {
    Cards cards(2);
    Record record(2048, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    auto map = identityMap(2048);
    map[7] = 1500;
    map[1500] = 7;
    map[9] = 4096;  // unmapped
    ASSERT_EQ(KRV_PCIeWriteLUT(record.get(), map.data(), nullptr), NO_ERR);
    const auto first = cards.card(1).lut();
    const auto second = cards.card(2).lut();
    EXPECT_EQ(first[7], 0x10000u);
    EXPECT_EQ(second[7], 476u);
    EXPECT_EQ(first[1500], 7u);
    EXPECT_EQ(second[1500], 0x10000u);
    EXPECT_EQ(first[0], 0u);
    EXPECT_EQ(second[0], 0x10000u);
    EXPECT_EQ(second[2047], 1023u);
    EXPECT_EQ(first[9], 0x10000u);
    EXPECT_EQ(second[9], 0x10000u);
}

TEST(PCIeFrameTable, ChannelsBeyondWhatTheLinkAddressesRefuseTheTable) {
    Cards cards(1);
    Record cameraLink(140, {UnitSetup{0, 0, 1, 0}});
    openOn(cards, cameraLink);
    auto map = identityMap(140);
    map[2] = 256;  // within the CameraLink limit but not a channel of this unit
    ASSERT_EQ(KRV_PCIeWriteLUT(cameraLink.get(), map.data(), nullptr), NO_ERR);
    EXPECT_EQ(cards.card(1).lut()[2], 0x10000u);
    map[2] = 257;
    const auto before = cards.card(1).lut();
    cards.clearLogs();
    EXPECT_EQ(KRV_PCIeWriteLUT(cameraLink.get(), map.data(), nullptr), ERR_INVALID_LUT);
    // The whole table is checked before the first entry is written: the card keeps its table.
    EXPECT_TRUE(writesTo(cards.card(1), Reg::Lut).empty());
    EXPECT_EQ(cards.card(1).lut(), before);

    Record plainFiber(140, {UnitSetup{1, 1, 0, 0}});
    openOn(cards, plainFiber);
    map[2] = 1025;
    EXPECT_EQ(KRV_PCIeWriteLUT(plainFiber.get(), map.data(), nullptr), ERR_INVALID_LUT);
    map[2] = 1024;
    EXPECT_EQ(KRV_PCIeWriteLUT(plainFiber.get(), map.data(), nullptr), NO_ERR);
}

TEST(PCIeFrameTable, CardConfiguredForAnotherMirrorIsNotWritten) {
    Cards cards(std::vector<uint32_t>{0x20000500, 0x200004FF});
    Record current(140);
    openOn(cards, current, 1);
    cards.card(1).setReg(Reg::HvaConfig, (141u << 16) | 0xC2u);
    auto map = identityMap(140);
    EXPECT_EQ(KRV_PCIeWriteLUT(current.get(), map.data(), nullptr), ERR_INVALID_DRIVER_TYPE);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::Lut).empty());
    cards.card(1).setReg(Reg::HvaConfig, (140u << 16) | 0x42u);  // fiber mode bit lost
    EXPECT_EQ(KRV_PCIeWriteLUT(current.get(), map.data(), nullptr), ERR_INVALID_DRIVER_TYPE);

    // Older firmware keeps its own type coding and is not compared.
    Record older(140);
    openOn(cards, older, 2);
    cards.card(2).setReg(Reg::HvaConfig, (141u << 16) | 0xC3u);
    EXPECT_EQ(KRV_PCIeWriteLUT(older.get(), map.data(), nullptr), NO_ERR);
    EXPECT_EQ(cards.card(2).lut()[139], 139u);
}

TEST(PCIeFrameTable, TableLoadResetsTheOrientation) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    ASSERT_EQ(KRV_PCIeSetOrientation(record.get(), 3), NO_ERR);
    EXPECT_EQ(cards.card(1).reg(Reg::Orientation), 3u);
    auto map = identityMap(140);
    ASSERT_EQ(KRV_PCIeWriteLUT(record.get(), map.data(), nullptr), NO_ERR);
    EXPECT_EQ(cards.card(1).reg(Reg::Orientation), 0u);
}

TEST(PCIeFrameSync, WidthLimitsAndRegisterOrder) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    EXPECT_EQ(KRV_PCIeSetSync(record.get(), 3, 700.5), ERR_PULSE_RANGE);
    EXPECT_EQ(KRV_PCIeSetSync(record.get(), 3, -0.1), ERR_PULSE_RANGE);
    EXPECT_EQ(KRV_PCIeSetSync(record.get(), 140, 1.0), ERR_ACTUATOR_ID);
    EXPECT_EQ(cards.card(1).transferCount(), 0u);

    ASSERT_EQ(KRV_PCIeSetSync(record.get(), 3, 0.0), NO_ERR);
    auto writes = writesOf(cards.card(1));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, Reg::SyncActuator);
    EXPECT_EQ(writes[0].words, std::vector<uint32_t>{3u << 16});
    EXPECT_EQ(writes[1].address, Reg::SyncControl);
    EXPECT_EQ(writes[1].words, std::vector<uint32_t>{1});

    cards.clearLogs();
    ASSERT_EQ(KRV_PCIeSetSync(record.get(), 139, 700.0), NO_ERR);
    writes = writesOf(cards.card(1));
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].address, Reg::SyncWidth);
    EXPECT_EQ(writes[0].words, std::vector<uint32_t>{static_cast<uint32_t>(std::lround(700e-6 * std::pow(12.0, 9)))});
    EXPECT_EQ(writes[1].words, std::vector<uint32_t>{139u << 16});
    EXPECT_EQ(writes[2].address, Reg::SyncControl);
    EXPECT_EQ(writes[2].words, std::vector<uint32_t>{0x80000001u});
}

TEST(PCIeFrameSync, FailedRegisterStopsBeforeTheNextOne) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    cards.card(1).failAddress(Reg::SyncActuator, kFailure, Direction::Write);
    EXPECT_EQ(KRV_PCIeSetSync(record.get(), 1, 10.0), ERR_PCIE_REGWR);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::SyncControl).empty());
    EXPECT_EQ(writesTo(cards.card(1), Reg::SyncWidth).size(), 1u);
}

TEST(PCIeFrameMode, ModeReadBackSplitsTheLinkConfiguration) {
    Cards cards(1);
    Record record(952, {UnitSetup{3, 1, 1, 1}});
    openOn(cards, record);
    uint32_t mode[6] = {9, 9, 9, 9, 9, 9};
    ASSERT_EQ(KRV_PCIeGetMode(record.get(), mode), NO_ERR);
    EXPECT_EQ(std::vector<uint32_t>(mode, mode + 6), (std::vector<uint32_t>{952, 0, 1, 1, 1, 3}));

    cards.card(1).failAddress(Reg::HvaConfig, kFailure, Direction::Read);
    uint32_t untouched[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(KRV_PCIeGetMode(record.get(), untouched), ERR_PCIE_REGRD);
    EXPECT_EQ(untouched[0], 9u);
}

TEST(PCIeFrameClose, CloseQuietsTheCardsAndClearsTheRecord) {
    Cards cards(1);
    Record record(140, {UnitSetup{1, 1, 0, 0}});
    openOn(cards, record);
    ASSERT_EQ(KRV_PCIeEnableHighRes(record.get(), 1), NO_ERR);
    ASSERT_EQ(KRV_PCIeEnableSequence(record.get(), 1000.0, 1), NO_ERR);
    ASSERT_EQ(KRV_PCIeEnableDither(record.get(), 1000.0, 1), NO_ERR);
    const auto values = rampFrame(140);
    ASSERT_EQ(KRV_PCIeSetArray(record.get(), values.data()), NO_ERR);
    cards.clearLogs();

    EXPECT_EQ(KRV_PCIeClose(record.get()), NO_ERR);
    EXPECT_EQ(record->State, nullptr);
    EXPECT_EQ(record->ActCount, 0u);
    EXPECT_EQ(record->DevId, 0);
    EXPECT_EQ(record->DriverType, 0);
    EXPECT_EQ(record->ExtraDrivers, nullptr);
    EXPECT_EQ(record->Driver.ChannelCount, 0u);

    const auto pokes = writesTo(cards.card(1), Reg::Poke);
    ASSERT_EQ(pokes.size(), 140u);
    EXPECT_EQ(pokes[139], 139u << 16);
    const auto fiber = writesTo(cards.card(1), Reg::FiberChannel);
    ASSERT_EQ(fiber.size(), 280u);
    EXPECT_EQ(fiber[0], 0x84000000u);
    EXPECT_EQ(fiber[1], 0xC4000000u);
    EXPECT_EQ(cards.card(1).reg(Reg::HvaConfig) & 0x200u, 0u);
    EXPECT_EQ(cards.card(1).reg(Reg::HvaConfig), (140u << 16) | 0x41u);
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqPeriod), std::vector<uint32_t>{0});
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqControl), std::vector<uint32_t>{0x80000000u});
    EXPECT_EQ(writesTo(cards.card(1), Reg::DitherPeriod), std::vector<uint32_t>{0});
}

TEST(PCIeFrameClose, SequencerIsLeftRunningWhenItsPeriodCannotBeCleared) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    cards.card(1).failAddress(Reg::SeqPeriod, kFailure, Direction::Write);
    cards.card(1).failAddress(Reg::Poke, kFailure, Direction::Write);
    EXPECT_EQ(KRV_PCIeClose(record.get()), NO_ERR);
    EXPECT_EQ(record->State, nullptr);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::SeqControl).empty());
    EXPECT_EQ(writesTo(cards.card(1), Reg::DitherPeriod), std::vector<uint32_t>{0});
}

TEST(PCIeFrameClose, ClosingARecordThatWasNeverOpenedTouchesNoCard) {
    Cards cards(1);
    Record record(140);
    record->DevId = 1;
    EXPECT_EQ(KRV_PCIeClose(record.get()), NO_ERR);
    EXPECT_EQ(record->ActCount, 0u);
    EXPECT_EQ(record->DevId, 0);
    EXPECT_EQ(record->ExtraDrivers, nullptr);
    EXPECT_EQ(cards.totalTransfers(), 0u);
}

TEST(PCIeFrameClose, CallsOnAClosedRecordAreRefused) {
    Cards cards(1);
    Record record(140);
    const uint32_t values[140] = {};
    EXPECT_EQ(KRV_PCIeSetArray(record.get(), values), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRV_PCIePoke(record.get(), 0, 0), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRV_PCIeClearArray(record.get()), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRV_PCIeWriteLUT(record.get(), nullptr, nullptr), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRV_PCIeEnableHighRes(record.get(), 1), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(cards.totalTransfers(), 0u);
}

TEST(PCIeFrameHelpers, BurstArrayKeepsTheLow16Bits) {
    const uint32_t src[] = {0x12345, 0xFFFF, 0x10000};
    uint16_t dst[3] = {};
    EXPECT_EQ(toBurstArray(src, 3, dst), 0);
    EXPECT_EQ(dst[0], 0x2345);
    EXPECT_EQ(dst[1], 0xFFFF);
    EXPECT_EQ(dst[2], 0);
}
