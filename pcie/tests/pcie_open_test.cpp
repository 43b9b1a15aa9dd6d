// Opening PCIe mirrors: card choice, firmware checks, link configuration, default table, fiber channels.
#include "PCIeTestSupport.h"

#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include "krv/DMState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

using namespace MirrorKit::PCIeTest;
namespace Reg = MirrorKit::Emu::Reg;

namespace {

constexpr uint32_t kRev = 0x20000600;

uint32_t hvaWord(uint32_t type, bool cl, bool fiber, bool fiberMode, uint32_t length) {
    return type | (cl ? 0x20u : 0u) | (fiber ? 0x40u : 0u) | (fiberMode ? 0x80u : 0u) | (length << 16);
}

// Opens a fresh mirror with DevId 0 and returns the card it landed on.
int openAutomatic(Record& record) {
    record->DevId = 0;
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    return record->DevId;
}

// Proves the open path's lock is free: an open from another thread must finish.
void expectOpenLockFree(Cards& cards) {
    auto done = std::async(std::launch::async, [] {
        Record probe(140);
        probe->DevId = KRV_DEV_ID_QUERY_PROFILE;
        return KRV_PCIeOpenDM(probe.get());
    });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the open path's lock was left held";
        std::_Exit(1);  // the blocked thread could never be joined
    }
    EXPECT_EQ(done.get(), ERR_NO_HW);
}

}  // namespace

TEST(PCIeOpenCardChoice, AutomaticNumbersRunOverTheCardsAndWrapAround) {
    Cards cards(3);
    resetAutomaticCard(cards);
    Record a(140), b(140), c(140), d(140);
    EXPECT_EQ(openAutomatic(a), 1);
    EXPECT_EQ(openAutomatic(b), 2);
    EXPECT_EQ(openAutomatic(c), 3);
    EXPECT_EQ(openAutomatic(d), 1);
    EXPECT_EQ(cardsOf(*a.get()), std::vector<uint32_t>{1});
    EXPECT_EQ(cardsOf(*c.get()), std::vector<uint32_t>{3});
    EXPECT_EQ(cards.card(3).reg(Reg::HvaConfig), hvaWord(2, false, true, true, 140));
}

TEST(PCIeOpenCardChoice, SpecifiedCardEqualToTheNextAutomaticOneIsSkippedByLaterAutomaticOpens) {
    Cards cards(3);
    resetAutomaticCard(cards);
    Record first(140), specified(140), next(140);
    EXPECT_EQ(openAutomatic(first), 1);
    specified->DevId = 2;
    ASSERT_EQ(KRV_PCIeOpenDM(specified.get()), NO_ERR);
    EXPECT_EQ(specified->DevId, 2);
    EXPECT_EQ(openAutomatic(next), 3);
}

TEST(PCIeOpenCardChoice, ReopeningASerialNumberUsesItsLastCardWithoutMovingTheAutomaticNumber) {
    Cards cards(3);
    resetAutomaticCard(cards);
    const std::string serial = freshSerial();
    {
        Record once(140, {UnitSetup{}}, serial);
        EXPECT_EQ(openAutomatic(once), 1);
        Record other(140);
        EXPECT_EQ(openAutomatic(other), 2);
    }  // both closed; the card numbers stay remembered
    Record again(140, {UnitSetup{}}, serial);
    EXPECT_EQ(openAutomatic(again), 1);
    Record fresh(140);
    EXPECT_EQ(openAutomatic(fresh), 3);
}

TEST(PCIeOpenCardChoice, DevIdBeyondTheInstalledCardsIsTreatedAsAutomatic) {
    Cards cards(3);
    resetAutomaticCard(cards);
    Record record(140);
    record->DevId = 7;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    EXPECT_EQ(record->DevId, 1);
}

TEST(PCIeOpenCardChoice, TwoUnitMirrorNeedsTwoConsecutiveCards) {
    Cards cards(3);
    const std::vector<UnitSetup> twoUnits{UnitSetup{}, UnitSetup{}};
    Record tooHigh(2048, twoUnits);
    tooHigh->DevId = 3;
    EXPECT_EQ(KRV_PCIeOpenDM(tooHigh.get()), ERR_NO_HW);
    EXPECT_EQ(tooHigh->State, nullptr);
    EXPECT_EQ(cards.totalTransfers(), 0u);

    Record fits(2048, twoUnits);
    fits->DevId = 2;
    ASSERT_EQ(KRV_PCIeOpenDM(fits.get()), NO_ERR);
    EXPECT_EQ(cardsOf(*fits.get()), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(fits->Driver.ChannelCount, 1024u);
    EXPECT_EQ(fits->ExtraDrivers[0].ChannelCount, 1024u);
    // Both cards carry the whole mirror's length; card 1 is not touched.
    EXPECT_EQ(cards.card(2).reg(Reg::HvaConfig), hvaWord(2, false, true, true, 2048));
    EXPECT_EQ(cards.card(3).reg(Reg::HvaConfig), hvaWord(2, false, true, true, 2048));
    EXPECT_EQ(cards.card(1).transferCount(), 0u);
}

TEST(PCIeOpenCardChoice, TwoUnitsOnOneCardAreRefused) {
    Cards cards(1);
    Record record(2048, {UnitSetup{}, UnitSetup{}});
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_NO_HW);
    EXPECT_EQ(cards.totalTransfers(), 0u);
}

TEST(PCIeOpenCardChoice, ProfileQueryChoosesACardButTouchesNone) {
    Cards cards(2);
    resetAutomaticCard(cards);
    Record record(140);
    record->DevId = KRV_DEV_ID_QUERY_PROFILE;
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_NO_HW);
    EXPECT_EQ(record->DevId, 1);
    EXPECT_EQ(record->State, nullptr);
    EXPECT_EQ(cards.totalTransfers(), 0u);
}

TEST(PCIeOpenCardChoice, NoCardsMeansNoHardware) {
    Cards none(0);
    Record record(140);
    record->Driver.ChannelCount = 77;
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_NO_HW);
    EXPECT_EQ(record->Driver.ChannelCount, 0u);
    EXPECT_EQ(record->ActCount, 140u);
    EXPECT_EQ(KRV_PCIeGetNumberOfDevices(), 0u);
}

TEST(PCIeOpenCardChoice, NumberOfDevicesCountsTheCards) {
    Cards cards(3);
    EXPECT_EQ(KRV_PCIeGetNumberOfDevices(), 3u);
}

TEST(PCIeOpenUnits, ChannelCountFollowsActuatorsPerUnit) {
    Cards cards(2);
    struct Case {
        uint32_t actuators;
        size_t units;
        uint32_t channels;
    } cases[] = {{140, 1, 140}, {141, 1, 1024}, {952, 1, 1024}, {1024, 1, 1024},
                 {1025, 1, 4096}, {4096, 2, 4096}, {280, 2, 140}};
    for (const Case& c : cases) {
        Record record(c.actuators, std::vector<UnitSetup>(c.units));
        record->DevId = 1;
        ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR) << c.actuators;
        EXPECT_EQ(record->Driver.ChannelCount, c.channels) << c.actuators;
        if (c.units == 2) {
            EXPECT_EQ(record->ExtraDrivers[0].ChannelCount, c.channels) << c.actuators;
        }
    }
}

TEST(PCIeOpenUnits, ActuatorCountBeyondTheCardsTableIsRefusedBeforeAnyTransfer) {
    Cards cards(1);
    Record record(4097);
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(record->State, nullptr);
    EXPECT_EQ(cards.totalTransfers(), 0u);
}

TEST(PCIeOpenFirmware, OlderRevisionsGetTheOlderTypeCodesAndTheSmallSequenceMemory) {
    struct Case {
        uint32_t revision;
        uint32_t profileType;
        uint32_t written;
        uint32_t capacity;
    } cases[] = {{0x200004FF, 0, 1, 4096}, {0x200004FF, 1, 2, 4096}, {0x200004FF, 2, 2, 4096},
                 {0x200004FF, 5, 3, 4096}, {0x20000500, 0, 0, 4096}, {0x20000501, 3, 3, 4096},
                 {0x20000502, 0, 0, 65536}, {0x20000600, 0, 0, 65536}, {0x20000600, 7, 7, 65536}};
    for (const Case& c : cases) {
        Cards cards(std::vector<uint32_t>{c.revision});
        Record record(140, {UnitSetup{c.profileType, 0, 1, 0}});
        record->DevId = 1;
        ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
        EXPECT_EQ(cards.card(1).reg(Reg::HvaConfig), hvaWord(c.written, true, false, false, 140))
            << std::hex << c.revision << " type " << c.profileType;
        EXPECT_EQ(record->Driver.HWRev, c.revision);
        EXPECT_EQ(record->State->SequenceCapacity, c.capacity) << std::hex << c.revision;
    }
}

TEST(PCIeOpenFirmware, OneOldCardOfTwoGivesTheSmallSequenceMemory) {
    Cards cards(std::vector<uint32_t>{0x20000600, 0x20000501});
    Record record(2048, {UnitSetup{}, UnitSetup{}});
    record->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    EXPECT_EQ(record->ExtraDrivers[0].HWRev, 0x20000501u);
    EXPECT_EQ(record->State->SequenceCapacity, 4096u);
}

TEST(PCIeOpenFirmware, ForeignRevisionFamilyIsRefusedAfterReadingTheRevisionOnly) {
    Cards cards(std::vector<uint32_t>{0x10000600});
    Record record(140);
    record->DevId = 1;
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(record->ActCount, 0u);
    EXPECT_EQ(record->State, nullptr);
    const auto log = cards.card(1).transfers();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, PEX_CMD_READ);
    EXPECT_EQ(log[0].address, Reg::Revision);
    expectOpenLockFree(cards);
}

TEST(PCIeOpenFirmware, FailedRevisionReadAndFailedConfigurationWriteClearTheActuatorCount) {
    Cards cards(1);
    cards.card(1).failAddress(Reg::Revision, 0xE0000005u, MirrorKit::Emu::Direction::Read);
    Record unreadable(140);
    unreadable->DevId = 1;
    EXPECT_EQ(KRV_PCIeOpenDM(unreadable.get()), ERR_PCIE_REGRD);
    EXPECT_EQ(unreadable->ActCount, 0u);
    expectOpenLockFree(cards);

    cards.card(1).clearFaults();
    cards.card(1).failAddress(Reg::HvaConfig, 0xE0000005u, MirrorKit::Emu::Direction::Write);
    Record unwritable(140);
    unwritable->DevId = 1;
    EXPECT_EQ(KRV_PCIeOpenDM(unwritable.get()), ERR_PCIE_REGWR);
    EXPECT_EQ(unwritable->ActCount, 0u);
    EXPECT_EQ(unwritable->State, nullptr);
    expectOpenLockFree(cards);
}

TEST(PCIeOpenTable, DefaultMapIsLoadedIntoTheLookupTableInOneFramedPass) {
    Cards cards(1);
    TempDir dir;
    std::vector<uint32_t> map = identityMap(140);
    map[3] = 139;
    map[139] = 3;
    writeMap(dir.file("default.map"), map);
    Record record(140);
    record.setMapFile(dir.file("default.map"));
    record->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);

    const auto log = cards.card(1).transfers();
    // Revision, link configuration, then the table: configuration read, reset, 4096 entries, reset, orientation.
    ASSERT_EQ(log.size(), 2u + 1u + 4099u);
    EXPECT_EQ(log[0].address, Reg::Revision);
    EXPECT_EQ(log[1].address, Reg::HvaConfig);
    EXPECT_EQ(log[1].command, PEX_CMD_WRITE);
    EXPECT_EQ(log[2].address, Reg::HvaConfig);
    EXPECT_EQ(log[2].command, PEX_CMD_READ);
    std::vector<uint32_t> lutWrites = writesTo(cards.card(1), Reg::Lut);
    ASSERT_EQ(lutWrites.size(), 4098u);
    EXPECT_EQ(lutWrites.front(), 0x80000000u);
    EXPECT_EQ(lutWrites.back(), 0x80000000u);
    EXPECT_EQ(log.back().address, Reg::Orientation);
    EXPECT_EQ(log.back().words, std::vector<uint32_t>{0});

    const auto lut = cards.card(1).lut();
    EXPECT_EQ(lut[0], 0u);
    EXPECT_EQ(lut[3], 139u);
    EXPECT_EQ(lut[139], 3u);
    EXPECT_EQ(lut[140], 0x10000u);
    EXPECT_EQ(lut[4095], 0x10000u);
}

TEST(PCIeOpenTable, MissingDefaultMapStillOpensWithoutChannels) {
    Cards cards(1);
    TempDir dir;
    Record record(140);
    record.setMapFile(dir.file("absent.map"));
    record->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    ASSERT_NE(record->State, nullptr);
    for (uint32_t entry : cards.card(1).lut()) ASSERT_EQ(entry, 0x10000u);
}

TEST(PCIeOpenFiber, PlainFiberUnitsGetTwoCommandsPerChannel) {
    Cards cards(1);
    Record record(140, {UnitSetup{1, 1, 0, 0}});
    record->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    const auto commands = writesTo(cards.card(1), Reg::FiberChannel);
    ASSERT_EQ(commands.size(), 280u);
    EXPECT_EQ(commands[0], 0x8400003Cu);
    EXPECT_EQ(commands[1], 0xC4000000u);
    EXPECT_EQ(commands[278], (0x04000000u + 139u * 0x10000u) | 0x8000003Cu);
    EXPECT_EQ(commands[279], (0x04000000u + 139u * 0x10000u) | 0xC0000000u);
}

TEST(PCIeOpenFiber, ZetaProtocolAndCameraLinkUnitsGetNoChannelCommands) {
    Cards cards(1);
    Record zeta(140, {UnitSetup{2, 1, 0, 1}});
    zeta->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(zeta.get()), NO_ERR);
    Record cameraLink(140, {UnitSetup{0, 0, 1, 0}});
    cameraLink->DevId = 1;
    ASSERT_EQ(KRV_PCIeOpenDM(cameraLink.get()), NO_ERR);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::FiberChannel).empty());
}

TEST(PCIeOpenFiber, FailedChannelCommandClosesTheRecord) {
    Cards cards(1);
    cards.card(1).failAddress(Reg::FiberChannel, 0xE0000005u, MirrorKit::Emu::Direction::Write);
    Record record(140, {UnitSetup{1, 1, 0, 0}});
    record->DevId = 1;
    EXPECT_EQ(KRV_PCIeOpenDM(record.get()), ERR_PCIE_REGWR);
    EXPECT_EQ(record->State, nullptr);
    EXPECT_EQ(record->ActCount, 0u);
    EXPECT_EQ(record->ExtraDrivers, nullptr);
    // The close stopped the sequencer and the ditherer on its way out.
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqControl), std::vector<uint32_t>{0x80000000u});
    EXPECT_EQ(writesTo(cards.card(1), Reg::DitherPeriod), std::vector<uint32_t>{0});
    expectOpenLockFree(cards);
}
