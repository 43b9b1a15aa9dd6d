// PCIe mirrors end to end through the core's exports, on emulated cards and a temporary install tree.
#include "PCIeTestSupport.h"

#include <KRV.h>
#include <pexlink.h>

#include "krv/DMState.h"
#include "krv/Encoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

using namespace MirrorKit::PCIeTest;
namespace Reg = MirrorKit::Emu::Reg;

namespace {

// One install tree per process: the core looks the install directory up once and keeps it.
class InstallTree : public ::testing::Environment {
public:
    void SetUp() override {
        root = std::make_unique<TempDir>();
        for (const char* sub : {"Profiles", "Map", "Calibration"}) {
            std::filesystem::create_directories(root->file(sub));
        }
        // No registry key: the install directory comes from the parent of $KRV.
        setenv("KRV_REGISTRY_FILE", root->file("absent.reg").c_str(), 1);
        setenv("KRV", root->file("KRV4").c_str(), 1);
        setenv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent_in_tests.so", 1);
    }
    void TearDown() override { root.reset(); }
    static std::unique_ptr<TempDir> root;
};
std::unique_ptr<TempDir> InstallTree::root;
const auto* const installTree = ::testing::AddGlobalTestEnvironment(new InstallTree);

void writeProfile(const std::string& serial, const std::vector<std::string>& lines) {
    std::ofstream out(InstallTree::root->file("Profiles/" + serial + ".dm"), std::ios::binary);
    for (const std::string& line : lines) {
        std::string scrambled = line;
        for (char& c : scrambled) c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
        out << scrambled << "\r\n";
    }
}

std::vector<std::string> profileLines(uint32_t size, const std::string& map, const std::string& extra = "") {
    std::vector<std::string> lines{"type=1", "size=" + std::to_string(size), "maxv=200", "vlim=100", "hva=2",
                                   "use_fiber=1", "use_CL=0", "fiber_mode=1", "burst_mode=0"};
    if (!map.empty()) lines.push_back("map=" + map);
    if (!extra.empty()) lines.push_back(extra);
    return lines;
}

// A zero-filled record, as callers hand it to the core.
struct Mirror {
    DM dm{};
    ~Mirror() {
        if (dm.State) KRVClose(&dm);
    }
};

}  // namespace

TEST(PCIeThroughCore, OpenSendCloseLandsTheFrameOnTheCard) {
    Cards cards(1);
    const std::string serial = freshSerial();
    auto map = identityMap(140);
    std::swap(map[0], map[139]);
    writeMap(InstallTree::root->file("Map/e2e.map"), map);
    writeProfile(serial, profileLines(140, "e2e.map", "inactive=1:9"));

    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    EXPECT_EQ(mirror.dm.DevId, 1);
    EXPECT_EQ(mirror.dm.Driver.ChannelCount, 140u);
    EXPECT_EQ(mirror.dm.ActCountWidth, 12u);
    EXPECT_EQ(cards.card(1).reg(Reg::HvaConfig), (140u << 16) | 0xC2u);
    const auto lut = cards.card(1).lut();
    EXPECT_EQ(lut[0], 139u);
    EXPECT_EQ(lut[139], 0u);
    EXPECT_EQ(lut[9], 0x10000u);
    EXPECT_EQ(lut[10], 10u);

    std::vector<double> frame(140);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<double>(i) / 139.0;
    cards.clearLogs();
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);
    // vlim is half of maxv, so a command of 1 is half the driver range.
    const auto onCard = cards.card(1).frameActuators(140);
    for (uint32_t i = 0; i < 140; ++i) {
        ASSERT_EQ(onCard[i], MirrorKit::toDriverUnits(frame[i], 0.5)) << i;
    }
    EXPECT_EQ(onCard[139], 32768u);
    ASSERT_EQ(transfersOf(cards.card(1), PEX_CMD_WRITE_BURST).size(), 1u);

    std::vector<double> back(140, -1.0);
    ASSERT_EQ(KRVGetArray(&mirror.dm, back.data(), 140), NO_ERR);
    EXPECT_NEAR(back[50], frame[50], 1e-4);
    EXPECT_EQ(back[9], 0.0);  // inactive: never applied

    ASSERT_EQ(KRVSetSingle(&mirror.dm, 3, 1.0), NO_ERR);
    EXPECT_EQ(writesTo(cards.card(1), Reg::Poke), std::vector<uint32_t>{(3u << 16) | 32768u});

    cards.clearLogs();
    ASSERT_EQ(KRVClose(&mirror.dm), NO_ERR);
    EXPECT_EQ(mirror.dm.State, nullptr);
    EXPECT_EQ(mirror.dm.ActCount, 0u);
    EXPECT_EQ(writesTo(cards.card(1), Reg::Poke).size(), 140u);
    EXPECT_EQ(writesTo(cards.card(1), Reg::SeqControl), std::vector<uint32_t>{0x80000000u});
}

TEST(PCIeThroughCore, ApplyMapWithoutAnEnableTableDrivesEveryActuator) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeProfile(serial, profileLines(140, ""));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    auto map = identityMap(140);
    map[5] = 77;
    ASSERT_EQ(KRVApplyMap(&mirror.dm, map.data(), nullptr), NO_ERR);
    const auto lut = cards.card(1).lut();
    for (uint32_t i = 0; i < 140; ++i) ASSERT_EQ(lut[i], map[i]) << i;
    EXPECT_EQ(mirror.dm.State->Map[5], 77u);
}

TEST(PCIeThroughCore, LoadMapWritesTheCardsTable) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeProfile(serial, profileLines(140, ""));
    auto map = identityMap(140);
    std::swap(map[1], map[100]);
    writeMap(InstallTree::root->file("Map/later.map"), map);
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    EXPECT_EQ(cards.card(1).lut()[1], 0x10000u);  // no default map
    ASSERT_EQ(KRVLoadMap(&mirror.dm, InstallTree::root->file("Map/later.map").c_str(), nullptr), NO_ERR);
    EXPECT_EQ(cards.card(1).lut()[1], 100u);
}

TEST(PCIeThroughCore, SequenceOfNoFramesIsRefusedWithoutTouchingTheCard) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeProfile(serial, profileLines(140, ""));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    cards.clearLogs();
    const double sequence[] = {0.5, 0.5, 0.5};
    EXPECT_EQ(KRVConfigureSequence(&mirror.dm, sequence, 0.0, 3, 0), ERR_INVALID_SEQUENCE);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());

    ASSERT_EQ(KRVConfigureSequence(&mirror.dm, sequence, 0.0, 3, 1), NO_ERR);
    // Half of the voltage limit: 0.5 of the range is a quarter of the driver units.
    EXPECT_EQ(cards.card(1).sequenceMemory(3)[2], (2u << 16) | 16384u | (3u << 28));
    ASSERT_EQ(KRVEnableSequence(&mirror.dm, 1000.0, true), NO_ERR);
    EXPECT_EQ(cards.card(1).reg(Reg::SeqPeriod), 62500u);

    const double waveform[] = {0.0, 1.0};
    std::vector<double> gains(140, 1.0);
    ASSERT_EQ(KRVConfigureDither(&mirror.dm, waveform, 2, gains.data()), NO_ERR);
    EXPECT_EQ(cards.card(1).ditherWaveform(2), (std::vector<uint32_t>{0, 32768u | 0x10000u}));
    EXPECT_EQ(cards.card(1).ditherGains(1), std::vector<uint32_t>{32768u});
    ASSERT_EQ(KRVEnableDither(&mirror.dm, 100.0, true), NO_ERR);
    EXPECT_EQ(cards.card(1).reg(Reg::DitherPeriod), 625000u);
}

TEST(PCIeThroughCore, OpenWithoutCardsFailsAndLeavesTheRecordClosed) {
    Cards none(0);
    const std::string serial = freshSerial();
    writeProfile(serial, profileLines(140, ""));
    Mirror mirror;
    EXPECT_EQ(KRVOpen(&mirror.dm, serial.c_str()), ERR_NO_HW);
    EXPECT_EQ(mirror.dm.State, nullptr);
    EXPECT_EQ(mirror.dm.ExtraDrivers, nullptr);
}

TEST(PCIeThroughCore, TwoUnitProfileOpensOnConsecutiveCards) {
    Cards cards(3);
    const std::string serial = freshSerial();
    auto lines = profileLines(2048, "");
    lines.insert(lines.end(), {"driver_sn=UNIT0000001", "driver_sn2=UNIT0000002", "hva2=2", "use_fiber2=1",
                               "use_CL2=0", "fiber_mode2=1"});
    writeProfile(serial, lines);
    Mirror mirror;
    mirror.dm.DevId = 2;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    EXPECT_EQ(mirror.dm.DriverCount, 2u);
    EXPECT_EQ(cardsOf(mirror.dm), (std::vector<uint32_t>{2, 3}));
    std::vector<double> frame(2048, 1.0);
    cards.clearLogs();
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);
    EXPECT_EQ(transfersOf(cards.card(2), PEX_CMD_WRITE_BURST).size(), 2u);
    EXPECT_EQ(transfersOf(cards.card(3), PEX_CMD_WRITE_BURST).size(), 2u);
    EXPECT_EQ(cards.card(3).frameActuators(2048)[2047], 32768u);
}

// Not a number and infinities are no commands: frame, poke, sequence and gains are refused before any transfer,
// and the mirror keeps what it holds.
TEST(PCIeThroughCore, NonFiniteCommandsReachNoCard) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeProfile(serial, profileLines(140, ""));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    std::vector<double> frame(140, 0.75);
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);
    const auto onCard = cards.card(1).frameActuators(140);
    cards.clearLogs();

    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        std::vector<double> next(140, 0.25);
        next[77] = bad;
        EXPECT_EQ(KRVSetArray(&mirror.dm, next.data(), nullptr), ERR_BADARG) << bad;
        EXPECT_EQ(KRVSetSingle(&mirror.dm, 3, bad), ERR_BADARG) << bad;
        EXPECT_EQ(KRVConfigureSequence(&mirror.dm, next.data(), 0.0, 140, 1), ERR_INVALID_SEQUENCE) << bad;
        const double waveform[] = {0.5};
        EXPECT_EQ(KRVConfigureDither(&mirror.dm, waveform, 1, next.data()), ERR_INVALID_DITHER_GAIN) << bad;
    }
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
    EXPECT_EQ(cards.card(1).frameActuators(140), onCard);
    std::vector<double> back(140);
    ASSERT_EQ(KRVGetArray(&mirror.dm, back.data(), 140), NO_ERR);
    for (double v : back) EXPECT_NEAR(v, 0.75, 1.0 / 65535);
}

// A map handed with a frame, or loaded into the caller's buffer, is the card's map afterwards: the card routes by
// its table, so a map that only the record knew would send the frame the old way.
TEST(PCIeThroughCore, MapsHandedByTheCallerAreWrittenIntoTheCard) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeMap(InstallTree::root->file("Map/handed.map"), identityMap(140));
    writeProfile(serial, profileLines(140, "handed.map"));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    std::vector<uint32_t> custom(140);
    for (uint32_t a = 0; a < 140; ++a) custom[a] = 139 - a;
    std::vector<double> frame(140, 0.5);
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), custom.data()), NO_ERR);
    auto lut = cards.card(1).lut();
    EXPECT_EQ(std::vector<uint32_t>(lut.begin(), lut.begin() + 140), custom);

    // The same map again costs no table load.
    cards.clearLogs();
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), custom.data()), NO_ERR);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::Lut).empty());

    // A map the link cannot address is refused with no frame sent and the card's table kept.
    auto beyond = custom;
    beyond[4] = 5000;
    frame.assign(140, 0.125);
    cards.clearLogs();
    EXPECT_EQ(KRVSetArray(&mirror.dm, frame.data(), beyond.data()), ERR_INVALID_LUT);
    EXPECT_TRUE(writesOf(cards.card(1)).empty());
    EXPECT_EQ(cards.card(1).lut(), lut);

    // A map file read into the caller's buffer (the desktop program's "Open Driver Map").
    std::vector<uint32_t> buffer(140, 0);
    ASSERT_EQ(KRVLoadMap(&mirror.dm, InstallTree::root->file("Map/handed.map").c_str(), buffer.data()), NO_ERR);
    EXPECT_EQ(buffer, identityMap(140));
    lut = cards.card(1).lut();
    EXPECT_EQ(std::vector<uint32_t>(lut.begin(), lut.begin() + 140), identityMap(140));
    // One that does not load changes neither the card nor the record's map.
    cards.clearLogs();
    EXPECT_EQ(KRVLoadMap(&mirror.dm, InstallTree::root->file("Map/absent.map").c_str(), buffer.data()), ERR_OPENFILE);
    EXPECT_TRUE(writesTo(cards.card(1), Reg::Lut).empty());
    EXPECT_EQ(std::vector<uint32_t>(mirror.dm.State->Map.begin(), mirror.dm.State->Map.begin() + 140),
              identityMap(140));
}

// A transfer that fails while a table is being written leaves the card with a table part old, part new: the load
// fails, every output is set to 0, and the record keeps its map.
TEST(PCIeThroughCore, TableLoadThatFailsPartWaySetsEveryOutputToZero) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeMap(InstallTree::root->file("Map/partway.map"), identityMap(140));
    writeProfile(serial, profileLines(140, "partway.map"));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    std::vector<double> frame(140, 0.9);
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);

    std::vector<uint32_t> custom(140);
    for (uint32_t a = 0; a < 140; ++a) custom[a] = (a + 70) % 140;
    cards.clearLogs();
    // The configuration read, the reset and 100 entries go through; the 102nd write fails.
    ASSERT_TRUE(cards.card(1).failNthTransfer(103, 0xE0000099u));
    std::vector<uint32_t> enable(MAX_DM_SIZE, 1);
    EXPECT_EQ(KRVApplyMap(&mirror.dm, custom.data(), enable.data()), ERR_PCIE_REGWR);
    EXPECT_EQ(cards.card(1).frameActuators(140), std::vector<uint16_t>(140, 0));
    std::vector<double> back(140, -1.0);
    ASSERT_EQ(KRVGetArray(&mirror.dm, back.data(), 140), NO_ERR);
    EXPECT_EQ(back, std::vector<double>(140, 0.0));
    EXPECT_EQ(std::vector<uint32_t>(mirror.dm.State->Map.begin(), mirror.dm.State->Map.begin() + 140),
              identityMap(140));

    // The same map once the card answers again is loaded whole.
    ASSERT_EQ(KRVApplyMap(&mirror.dm, custom.data(), enable.data()), NO_ERR);
    const auto lut = cards.card(1).lut();
    EXPECT_EQ(std::vector<uint32_t>(lut.begin(), lut.begin() + 140), custom);
}

namespace {

// Position (1 = first) of the first lookup-table write among the transfers a clean open of the profile makes,
// counted from the first transfer of the open.
uint64_t firstTableWriteOfOpen(Cards& cards, const std::string& serial) {
    cards.clearLogs();
    Mirror probe;
    if (KRVOpen(&probe.dm, serial.c_str()) != NO_ERR) return 0;
    const auto log = cards.card(1).transfers();
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].command == PEX_CMD_WRITE && log[i].address == Reg::Lut) return i + 1;
    }
    return 0;
}

std::vector<uint32_t> lutHead(Cards& cards, uint32_t count) {
    const auto lut = cards.card(1).lut();
    return std::vector<uint32_t>(lut.begin(), lut.begin() + count);
}

}  // namespace

// A card keeps the table of the last mirror it drove. An open whose table load fails part way must not answer
// success with a table part old, part new: it fails, the record stays closed and every output is at 0.
TEST(PCIeThroughCore, OpenThatCannotWriteTheWholeTableFailsWithOutputsOff) {
    Cards cards(1);
    const std::string previous = freshSerial();
    writeMap(InstallTree::root->file("Map/previous.map"), identityMap(140));
    writeProfile(previous, profileLines(140, "previous.map"));
    std::vector<uint32_t> shifted(140);
    for (uint32_t a = 0; a < 140; ++a) shifted[a] = (a + 70) % 140;
    const std::string next = freshSerial();
    writeMap(InstallTree::root->file("Map/next.map"), shifted);
    writeProfile(next, profileLines(140, "next.map"));

    const uint64_t firstEntry = firstTableWriteOfOpen(cards, next) + 1;  // after the address reset
    ASSERT_GT(firstEntry, 1u);
    {
        Mirror mirror;
        ASSERT_EQ(KRVOpen(&mirror.dm, previous.c_str()), NO_ERR);
        std::vector<double> frame(140, 0.5);
        ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);
    }
    ASSERT_EQ(lutHead(cards, 140), identityMap(140));
    // The previous mirror's frame is still held by the card's outputs.
    for (uint32_t w = 0; w < 70; ++w) cards.card(1).setReg(Reg::FrameMemory + w, 0x40004000u);
    ASSERT_EQ(cards.card(1).frameActuators(140), std::vector<uint16_t>(140, 0x4000));

    cards.clearLogs();
    ASSERT_TRUE(cards.card(1).failNthTransfer(firstEntry + 71, 0xE0000099u));
    Mirror mirror;
    EXPECT_EQ(KRVOpen(&mirror.dm, next.c_str()), ERR_PCIE_REGWR);
    EXPECT_EQ(mirror.dm.State, nullptr);
    EXPECT_EQ(cards.card(1).frameActuators(140), std::vector<uint16_t>(140, 0));
    std::vector<double> frame(140, 0.5);
    EXPECT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), ERR_DRIVER_NOT_OPEN);

    // Once the card answers again, the same profile opens with its whole table.
    ASSERT_EQ(KRVOpen(&mirror.dm, next.c_str()), NO_ERR);
    EXPECT_EQ(lutHead(cards, 140), shifted);
}

// A default map that does not load leaves every actuator without a channel, never the first lines of the file.
TEST(PCIeThroughCore, DefaultMapThatDoesNotLoadLeavesNoActuatorMapped) {
    Cards cards(1);
    const std::string serial = freshSerial();
    std::vector<uint32_t> shortMap = identityMap(31);
    writeMap(InstallTree::root->file("Map/short31.map"), shortMap);
    writeProfile(serial, profileLines(140, "short31.map"));
    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    EXPECT_EQ(lutHead(cards, 140), std::vector<uint32_t>(140, 0x10000u));
    EXPECT_EQ(std::vector<uint32_t>(mirror.dm.State->Map.begin(), mirror.dm.State->Map.begin() + 140),
              std::vector<uint32_t>(140, MAX_DM_SIZE));
}

// A map file that cannot be loaded whole is refused with its code, and the card, the record's map and the caller's
// map stay as they were: frames keep going out through the table that was there.
TEST(PCIeThroughCore, LoadMapRefusesFilesItCannotLoadWholeAndChangesNothing) {
    Cards cards(1);
    const std::string serial = freshSerial();
    writeMap(InstallTree::root->file("Map/good.map"), identityMap(140));
    writeProfile(serial, profileLines(140, "good.map"));
    std::vector<uint32_t> shifted(140);
    for (uint32_t a = 0; a < 140; ++a) shifted[a] = (a + 70) % 140;
    writeMap(InstallTree::root->file("Map/lines31.map"), std::vector<uint32_t>(shifted.begin(), shifted.begin() + 31));
    std::vector<uint32_t> outOfRange = shifted;
    outOfRange[100] = 5000;
    writeMap(InstallTree::root->file("Map/entry5000.map"), outOfRange);

    Mirror mirror;
    ASSERT_EQ(KRVOpen(&mirror.dm, serial.c_str()), NO_ERR);
    ASSERT_EQ(lutHead(cards, 140), identityMap(140));
    const struct {
        std::string file;
        KRVRC rc;
    } cases[] = {{"Map/missing.map", ERR_OPENFILE}, {"Map/lines31.map", ERR_INVALID_LUT},
                 {"Map/entry5000.map", ERR_INVALID_LUT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint32_t> callers(140, 7u);
        EXPECT_EQ(KRVLoadMap(&mirror.dm, InstallTree::root->file(c.file).c_str(), nullptr), c.rc);
        EXPECT_EQ(KRVLoadMap(&mirror.dm, InstallTree::root->file(c.file).c_str(), callers.data()), c.rc);
        EXPECT_EQ(callers, std::vector<uint32_t>(140, 7u));
        EXPECT_EQ(lutHead(cards, 140), identityMap(140));
        EXPECT_EQ(std::vector<uint32_t>(mirror.dm.State->Map.begin(), mirror.dm.State->Map.begin() + 140),
                  identityMap(140));
    }
    std::vector<double> frame(140, 0.0);
    frame[100] = 0.5;
    ASSERT_EQ(KRVSetArray(&mirror.dm, frame.data(), nullptr), NO_ERR);
    const std::vector<uint16_t> out = cards.card(1).frameActuators(140);
    for (uint32_t a = 0; a < 140; ++a) EXPECT_EQ(out[a] != 0, a == 100) << a;
}
