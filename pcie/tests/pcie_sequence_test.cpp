// The cards' own playback on emulated cards: sequencer, ditherer and high-resolution mode.
#include "PCIeTestSupport.h"

#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include "krv/DMState.h"

#include <gtest/gtest.h>

using namespace MirrorKit::PCIeTest;
namespace Reg = MirrorKit::Emu::Reg;
using MirrorKit::Emu::Direction;

namespace {

constexpr uint32_t kFailure = 0xE0000005u;
constexpr uint32_t kFrameEnd = 1u << 28;
constexpr uint32_t kLast = 3u << 28;

void openOn(Cards& cards, Record& record, int32_t devId = 1) {
    record->DevId = devId;
    ASSERT_EQ(KRV_PCIeOpenDM(record.get()), NO_ERR);
    cards.clearLogs();
}

}  // namespace

TEST(PCIeSequence, WordsCarryPositionsAndFrameAndSequenceEnds) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    const uint32_t values[] = {10, 11, 12, 20, 21, 22};
    ASSERT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.001, 3, 2), NO_ERR);
    const auto writes = writesOf(cards.card(1));
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].address, Reg::SeqDelay);
    EXPECT_EQ(writes[0].words, std::vector<uint32_t>{62500});
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqMemory),
              (std::vector<uint32_t>{0x80000000u, 10, (1u << 16) | 11, (2u << 16) | 12 | kFrameEnd, 20,
                                     (1u << 16) | 21, (2u << 16) | 22 | kLast, 0x80000000u}));
    // One block write carries the whole sequence.
    EXPECT_EQ(writes[2].count, 6u);
    EXPECT_EQ(cards.card(1).sequenceMemory(6)[5], (2u << 16) | 22 | kLast);
}

TEST(PCIeSequence, OneElementFramesAreEachMarkedComplete) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    const uint32_t values[] = {5, 6, 7};
    ASSERT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 1, 3), NO_ERR);
    EXPECT_EQ(cards.card(1).sequenceMemory(3), (std::vector<uint32_t>{5 | kFrameEnd, 6 | kFrameEnd, 7 | kLast}));
}

TEST(PCIeSequence, EmptySequenceIsRefusedAndWritesNothing) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    const uint32_t values[] = {1};
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 3, 0), ERR_INVALID_SEQUENCE);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), nullptr, 0.0, 3, 0), ERR_INVALID_SEQUENCE);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
}

TEST(PCIeSequence, ArgumentsAreCheckedBeforeAnyWrite) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    std::vector<uint32_t> values(280, 1);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), 0.0, 0, 1), ERR_INVALID_SEQUENCE);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), 0.0, 141, 1), ERR_INVALID_SEQUENCE);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), -0.001, 2, 1), ERR_INVALID_SEQUENCE_RATE);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), 0.2500001, 2, 1), ERR_INVALID_SEQUENCE_RATE);
    values[279] = 0x10000;
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), 0.0, 140, 2), ERR_INVALID_SEQUENCE);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());

    values[279] = 0xFFFF;
    ASSERT_EQ(KRV_PCIeConfigureSequence(record.get(), values.data(), 0.25, 140, 2), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqDelay), std::vector<uint32_t>{15625000});
}

TEST(PCIeSequence, CapacityFollowsTheFirmware) {
    Cards cards(std::vector<uint32_t>{0x20000501, 0x20000600});
    std::vector<uint32_t> values(65536 + 140, 2);
    Record small(128);
    openOn(cards, small, 1);
    EXPECT_EQ(KRV_PCIeConfigureSequence(small.get(), values.data(), 0.0, 128, 32), NO_ERR);
    EXPECT_EQ(KRV_PCIeConfigureSequence(small.get(), values.data(), 0.0, 128, 33), ERR_INVALID_SEQUENCE);

    Record large(128);
    openOn(cards, large, 2);
    EXPECT_EQ(KRV_PCIeConfigureSequence(large.get(), values.data(), 0.0, 128, 512), NO_ERR);
    EXPECT_EQ(cards.card(2).sequenceMemory(65536)[65535], (127u << 16) | 2u | kLast);
    cards.clearLogs();
    EXPECT_EQ(KRV_PCIeConfigureSequence(large.get(), values.data(), 0.0, 128, 513), ERR_INVALID_SEQUENCE);
    EXPECT_TRUE(writesOf(cards.card(2)).empty());
}

TEST(PCIeSequence, TwoCardsGetTheSameSequence) {
    Cards cards(2);
    Record record(280, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    const uint32_t values[] = {1, 2, 3, 4};
    ASSERT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 2, 2), NO_ERR);
    EXPECT_EQ(cards.card(1).sequenceMemory(4), cards.card(2).sequenceMemory(4));
    EXPECT_EQ(cards.card(2).sequenceMemory(4)[3], (1u << 16) | 4u | kLast);
}

TEST(PCIeSequence, CardsConfiguredForAnotherMirrorAreRefused) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    cards.card(1).setReg(Reg::HvaConfig, (140u << 16) | 0x43u);
    const uint32_t values[] = {1, 2};
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 2, 1), ERR_INVALID_DRIVER_TYPE);
    const double waveform[] = {0.5};
    std::vector<uint32_t> gains(140, 1);
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform, 1, gains.data()), ERR_INVALID_DRIVER_TYPE);
    cards.card(1).failAddress(Reg::HvaConfig, kFailure, Direction::Read);
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 2, 1), ERR_PCIE_REGRD);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
}

TEST(PCIeSequence, FailedBlockWriteIsReported) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    cards.card(1).failNthTransfer(4, kFailure);  // configuration read, delay, reset, then the block
    const uint32_t values[] = {1, 2};
    EXPECT_EQ(KRV_PCIeConfigureSequence(record.get(), values, 0.0, 2, 1), ERR_PCIE_REGWR);
}

TEST(PCIeSequenceEnable, RatesPeriodsAndControlWords) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    ASSERT_EQ(KRV_PCIeEnableSequence(record.get(), 1000.0, 1), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqPeriod), std::vector<uint32_t>{62500});
    EXPECT_TRUE(writesTo(cards.card(1), Reg::SeqControl).empty());

    cards.clearLogs();
    ASSERT_EQ(KRV_PCIeEnableSequence(record.get(), 0.0, 1), NO_ERR);
    auto writes = writesOf(cards.card(1));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, Reg::SeqPeriod);
    EXPECT_EQ(writes[0].words, std::vector<uint32_t>{0});
    EXPECT_EQ(writes[1].address, Reg::SeqControl);
    EXPECT_EQ(writes[1].words, std::vector<uint32_t>{1});

    cards.clearLogs();
    ASSERT_EQ(KRV_PCIeEnableSequence(record.get(), 1000.0, 0), NO_ERR);
    writes = writesOf(cards.card(1));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].words, std::vector<uint32_t>{0});
    EXPECT_EQ(writes[1].words, std::vector<uint32_t>{0x80000000u});

    cards.clearLogs();
    EXPECT_EQ(KRV_PCIeEnableSequence(record.get(), -1.0, 1), ERR_INVALID_SEQUENCE_RATE);
    EXPECT_EQ(KRV_PCIeEnableSequence(record.get(), 70e6, 1), ERR_INVALID_SEQUENCE_RATE);
    EXPECT_EQ(KRV_PCIeEnableSequence(record.get(), 0.01, 1), ERR_INVALID_SEQUENCE_RATE);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
    ASSERT_EQ(KRV_PCIeEnableSequence(record.get(), 0.02, 1), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqPeriod), std::vector<uint32_t>{3125000000u});
}

TEST(PCIeDither, WaveformAndGainsAreFramedBlocks) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    std::vector<double> waveform(2048);
    for (size_t i = 0; i < waveform.size(); ++i) waveform[i] = static_cast<double>(i) / 2047.0;
    std::vector<uint32_t> gains(140);
    for (uint32_t j = 0; j < 140; ++j) gains[j] = j * 400;
    ASSERT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 2048, gains.data()), NO_ERR);

    const auto written = writesTo(cards.card(1), Reg::DitherWaveform);
    ASSERT_EQ(written.size(), 2050u);
    EXPECT_EQ(written.front(), 0x80000000u);
    EXPECT_EQ(written[1], 0u);
    EXPECT_EQ(written[2], static_cast<uint32_t>(1.0 / 2047.0 * 32768.0));
    EXPECT_EQ(written[2048], 32768u | 0x10000u);
    EXPECT_EQ(written.back(), 0x80000000u);
    auto withFrame = gains;
    withFrame.insert(withFrame.begin(), 0x80000000u);
    withFrame.push_back(0x80000000u);
    EXPECT_EQ(writesTo(cards.card(1), Reg::DitherGains), withFrame);
    EXPECT_EQ(cards.card(1).ditherGains(140), gains);
}

TEST(PCIeDither, RefusedWaveformsAndGainsWriteNothing) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    std::vector<double> waveform(2049, 0.5);
    std::vector<uint32_t> gains(140, 65535);
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 2049, gains.data()), ERR_INVALID_DITHER_WVFRM);
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 0, gains.data()), ERR_INVALID_DITHER_WVFRM);
    waveform[7] = 1.0000001;
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 10, gains.data()), ERR_INVALID_DITHER_WVFRM);
    waveform[7] = -0.0001;
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 10, gains.data()), ERR_INVALID_DITHER_WVFRM);
    waveform[7] = 0.5;
    gains[139] = 65536;
    EXPECT_EQ(KRV_PCIeConfigureDither(record.get(), waveform.data(), 10, gains.data()), ERR_INVALID_DITHER_GAIN);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
}

TEST(PCIeDitherEnable, RatesOutsideThePeriodRegisterAreRefused) {
    Cards cards(1);
    Record record(140);
    openOn(cards, record);
    EXPECT_EQ(KRV_PCIeEnableDither(record.get(), 0.01, 1), ERR_INVALID_DITHER_RATE);
    EXPECT_EQ(KRV_PCIeEnableDither(record.get(), -5.0, 0), ERR_INVALID_DITHER_RATE);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
    ASSERT_EQ(KRV_PCIeEnableDither(record.get(), 0.02, 1), NO_ERR);
    ASSERT_EQ(KRV_PCIeEnableDither(record.get(), 0.01, 0), NO_ERR);
    ASSERT_EQ(KRV_PCIeEnableDither(record.get(), 0.0, 1), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::DitherPeriod), (std::vector<uint32_t>{3125000000u, 0, 0}));
}

TEST(PCIeHighRes, SwitchesBitNineOnEveryCard) {
    Cards cards(2);
    Record record(2048, {UnitSetup{}, UnitSetup{}});
    openOn(cards, record);
    const uint32_t before = cards.card(1).reg(Reg::HvaConfig);
    ASSERT_EQ(KRV_PCIeEnableHighRes(record.get(), 1), NO_ERR);
    EXPECT_EQ(cards.card(1).reg(Reg::HvaConfig), before | 0x200u);
    EXPECT_EQ(cards.card(2).reg(Reg::HvaConfig), before | 0x200u);
    ASSERT_EQ(KRV_PCIeEnableHighRes(record.get(), 0), NO_ERR);
    EXPECT_EQ(cards.card(2).reg(Reg::HvaConfig), before);
}

TEST(PCIeHighRes, RefusedOnOldFirmwareWhilePlayingAndWhenCardsDisagree) {
    Cards cards(std::vector<uint32_t>{0x200005FF, 0x20000600, 0x20000601});
    Record old(140);
    openOn(cards, old, 1);
    EXPECT_EQ(KRV_PCIeEnableHighRes(old.get(), 1), ERR_NOT_IMPLEMENTED);

    Record current(140);
    openOn(cards, current, 2);
    cards.card(2).setReg(Reg::DitherPeriod, 1000);
    EXPECT_EQ(KRV_PCIeEnableHighRes(current.get(), 0), ERR_INVALID_DITHER_RATE);
    cards.card(2).setReg(Reg::DitherPeriod, 0);
    ASSERT_EQ(KRV_PCIeEnableSequence(current.get(), 0.0, 1), NO_ERR);
    cards.clearLogs();
    EXPECT_EQ(KRV_PCIeEnableHighRes(current.get(), 1), ERR_INVALID_SEQUENCE_RATE);
    EXPECT_TRUE(writesOf(cards.card(2)).empty());
    ASSERT_EQ(KRV_PCIeEnableSequence(current.get(), 0.0, 0), NO_ERR);
    EXPECT_EQ(KRV_PCIeEnableHighRes(current.get(), 1), NO_ERR);

    Record pair(280, {UnitSetup{}, UnitSetup{}});
    openOn(cards, pair, 2);
    EXPECT_EQ(KRV_PCIeEnableHighRes(pair.get(), 1), ERR_PCIE_REGRD);
    EXPECT_TRUE(writesOf(cards.card(2)).empty());
    EXPECT_TRUE(writesOf(cards.card(3)).empty());
}
