// The flat interface on the dummy driver: open, frames, pokes, maps, calibration binding, close.
#include <KRV.h>

#include "krv/DMState.h"
#include "krv/Encoding.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace {

constexpr const char* kSerial = "DUMMY000140";

struct Api : ::testing::Test {
    krvtest::InstallTree tree;
    DM dm = tree.record();

    void SetUp() override { krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so"); }
    void TearDown() override {
        if (dm.State) KRVClose(&dm);
    }
    void profile(const std::string& serial, const std::vector<std::string>& lines) {
        krvtest::writeProfile(tree.profiles() + "/" + serial + ".dm", lines);
    }
    KRVRC openDummy(uint32_t actuators, const std::string& extra = "") {
        profile(kSerial, krvtest::dummyProfile(actuators, extra));
        return KRVOpen(&dm, kSerial);
    }
    std::vector<double> readBack() {
        std::vector<double> out(dm.ActCount);
        EXPECT_EQ(KRVGetArray(&dm, out.data(), dm.ActCount), NO_ERR);
        return out;
    }
};

// Makes opens bind the open-loop stand-in and loads it here too, for its test switches; null when absent.
void* useStandin() {
    const char* standin = std::getenv("KRV_TEST_STANDIN");
    if (!standin) return nullptr;
    krvtest::setEnv("KRV_OPENLOOP_LIBRARY", standin);
    return dlopen(standin, RTLD_NOW);
}

}  // namespace

TEST_F(Api, SerialNumbersAreCheckedBeforeAnyFileIsRead) {
    profile(kSerial, krvtest::dummyProfile(140));
    EXPECT_EQ(KRVOpen(&dm, "DUMMY00014"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(KRVOpen(&dm, "DUMMY0001400"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(KRVOpen(&dm, "DUMMY\t00140"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(KRVOpen(&dm, nullptr), ERR_SERIAL_NUMBER);
    // A separator would name a file outside the profiles directory.
    profile("../Map/evil", krvtest::dummyProfile(140));
    EXPECT_EQ(KRVOpen(&dm, "../Map/evil"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(KRVOpen(&dm, "..\\Map\\evil"), ERR_SERIAL_NUMBER);
    EXPECT_EQ(KRVOpen(&dm, "NOPROFILE01"), ERR_OPENFILE);
    EXPECT_EQ(dm.ExtraDrivers, nullptr);
    EXPECT_EQ(KRVOpen(nullptr, kSerial), ERR_BADARG);
}

// Not a number and infinities are no commands: the whole call is refused and the frame stays as it was.
TEST_F(Api, NonFiniteCommandsAreRefusedAndChangeNothing) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    std::vector<double> frame(140, 0.5);
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    const std::vector<uint32_t> applied = dm.State->AppliedFrame;
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        for (size_t at : {size_t{0}, size_t{77}, size_t{139}}) {
            std::vector<double> next(140, 0.25);
            next[at] = bad;
            EXPECT_EQ(KRVSetArray(&dm, next.data(), nullptr), ERR_BADARG) << bad << " at " << at;
        }
        EXPECT_EQ(KRVSetSingle(&dm, 3, bad), ERR_BADARG) << bad;
    }
    EXPECT_EQ(dm.State->AppliedFrame, applied);
    for (double v : readBack()) EXPECT_NEAR(v, 0.5, 1.0 / 65535);
    // The largest finite values are numbers: they clamp as before.
    frame.assign(140, 1e308);
    frame[1] = -1e308;
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    EXPECT_EQ(readBack()[0], 1.0);
    EXPECT_EQ(readBack()[1], 0.0);
}

TEST_F(Api, DummyOpenFillsTheRecord) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    EXPECT_EQ(dm.DevId, 1);
    EXPECT_EQ(dm.Driver.ChannelCount, 140u);
    EXPECT_EQ(dm.ActCountWidth, 12u);
    EXPECT_EQ(dm.Layout, 0u);
    ASSERT_NE(dm.State, nullptr);
    EXPECT_EQ(dm.State->Map.size(), 140u);
    EXPECT_EQ(dm.State->Map[0], 4096u);
    EXPECT_EQ(dm.State->SequenceCapacity, 4096u);
    EXPECT_TRUE(dm.State->ActiveMask.all());
    EXPECT_EQ(KRVOpen(&dm, kSerial), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(KRVSetSingle(&dm, 3, 0.5), NO_ERR);  // still working after the refused open
    EXPECT_EQ(dm.State->AppliedFrame[3], 32768u);
}

TEST_F(Api, TwoUnitsAndGeometryOfUnlistedCounts) {
    ASSERT_EQ(openDummy(100, "driver_sn2=SECONDUNIT1"), NO_ERR);
    EXPECT_EQ(dm.DriverCount, 2u);
    EXPECT_EQ(dm.Driver.ChannelCount, 50u);
    EXPECT_EQ(dm.ExtraDrivers[0].ChannelCount, 50u);
    EXPECT_EQ(dm.ActCountWidth, 10u);
    EXPECT_EQ(dm.Layout, 0u);
}

TEST_F(Api, FramesAreClampedConvertedAndReadBack) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    std::vector<double> frame(140);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = -0.5 + 2.0 * static_cast<double>(i) / 139.0;
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    const auto back = readBack();
    for (size_t i = 0; i < frame.size(); ++i) {
        const double expected = std::min(1.0, std::max(0.0, frame[i]));
        EXPECT_NEAR(back[i], expected, 1.0 / 65535) << i;
    }
    EXPECT_EQ(dm.State->RequestedFrame[139], 65535u);

    std::vector<double> wide(200, -7.0);
    EXPECT_EQ(KRVGetArray(&dm, wide.data(), 200), NO_ERR);
    EXPECT_EQ(wide[140], -7.0);
    EXPECT_EQ(KRVGetArray(&dm, wide.data(), 139), ERR_BADARG);

    ASSERT_EQ(KRVClearArray(&dm), NO_ERR);
    for (double v : readBack()) EXPECT_EQ(v, 0.0);
}

TEST_F(Api, VoltageLimitScalesFramesAndReadBackUndoesIt) {
    profile(kSerial, {"type=2", "size=140", "maxv=200", "vlim=100"});
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    std::vector<double> frame(140, 1.0);
    frame[1] = 0.25;
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[0], 32768u);  // 65535 * 0.5 rounded away from zero
    EXPECT_EQ(dm.State->AppliedFrame[1], 8192u);  // 8191.875
    const auto back = readBack();
    EXPECT_DOUBLE_EQ(back[0], 1.0);
    EXPECT_NEAR(back[1], 0.25, 1e-4);
}

// A voltage limit of 0 (krvctl accepts it; a value that is not a number reads as 0) sends every value as 0 units,
// which read back as 0, not as 0 / 0.
TEST_F(Api, ZeroVoltageLimitReadsBackZero) {
    profile(kSerial, {"type=2", "size=32", "maxv=100", "vlim=0"});
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    std::vector<double> frame(32, 0.75);
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    for (double v : readBack()) EXPECT_EQ(v, 0.0);
}

TEST_F(Api, ReadBackEqualsTheFormulaExactly) {
    // A limit above the maximum voltage is refused at open; see ProfilesWhoseVoltagesCouldExceedTheLimit...
    for (const char* vlim : {"vlim=270", "vlim=300", "vlim=1"}) {
        profile(kSerial, {"type=2", "size=4096", "maxv=300", vlim});
        ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
        const double ratio = MirrorKit::voltageRatio(dm);
        std::vector<double> frame(4096);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<double>(i * 37 % 4096) / 4095.0;
        ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
        const auto back = readBack();
        for (size_t i = 0; i < frame.size(); ++i) {
            const uint32_t d = dm.State->AppliedFrame[i];
            ASSERT_EQ(d, static_cast<uint32_t>(std::lround(std::min(1.0, frame[i]) * 65535.0 * ratio)));
            const double expected = std::min(1.0, static_cast<double>(d) / 65535.0 / ratio);
            ASSERT_EQ(back[i], expected) << vlim << " actuator " << i;
        }
        ASSERT_EQ(KRVClose(&dm), NO_ERR);
    }
}

TEST_F(Api, InactiveBitsHoldTheirValue) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    std::vector<double> half(140, 0.5), full(140, 1.0);
    ASSERT_EQ(KRVSetArray(&dm, half.data(), nullptr), NO_ERR);
    dm.State->ActiveMask.reset(10);
    ASSERT_EQ(KRVSetArray(&dm, full.data(), nullptr), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[10], 32768u);
    EXPECT_EQ(dm.State->AppliedFrame[11], 65535u);
    EXPECT_EQ(KRVSetSingle(&dm, 10, 0.0), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[10], 32768u);
    EXPECT_EQ(KRVSetSingle(&dm, 139, 0.0), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[139], 0u);
    EXPECT_EQ(KRVSetSingle(&dm, 140, 0.0), ERR_ACTUATOR_ID);
}

// Unlike the hardware back ends, a dummy mirror drives the profile's inactive actuators too.
TEST_F(Api, DummyMirrorsTakeEveryValueWhateverTheInactiveList) {
    ASSERT_EQ(openDummy(140, "inactive=2:5,139"), NO_ERR);
    EXPECT_TRUE(dm.State->ActiveMask.all());
    std::vector<double> full(140, 1.0);
    ASSERT_EQ(KRVSetArray(&dm, full.data(), nullptr), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[5], 65535u);
    EXPECT_EQ(dm.State->AppliedFrame[6], 65535u);
    EXPECT_EQ(KRVSetSingle(&dm, 139, 0.5), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[139], 32768u);
    std::vector<double> back(140);
    ASSERT_EQ(KRVGetArray(&dm, back.data(), 140), NO_ERR);
    EXPECT_EQ(back[5], 1.0);
}

TEST_F(Api, FrameStorageIsReusedAcrossFrames) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    std::vector<double> frame(140, 0.3);
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    const uint32_t* storage = dm.State->RequestedFrame.data();
    frame.assign(140, 0.6);
    ASSERT_EQ(KRVSetArray(&dm, frame.data(), nullptr), NO_ERR);
    EXPECT_EQ(dm.State->RequestedFrame.data(), storage);
    EXPECT_EQ(dm.State->RequestedFrame[0], MirrorKit::toDriverUnits(0.6, 1.0));
}

TEST_F(Api, SequencesAndDitherAreUnavailableBeforeAnyCheck) {
    ASSERT_EQ(openDummy(140), NO_ERR);
    std::vector<double> values(140, 0.5);
    EXPECT_EQ(KRVConfigureSequence(&dm, values.data(), 0.0, 0, 0), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVConfigureSequence(&dm, nullptr, 0.0, 1, 65537), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVConfigureDither(&dm, values.data(), 0, values.data()), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVConfigureDither(&dm, values.data(), 2049, values.data()), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVEnableSequence(&dm, 100.0, true), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVEnableDither(&dm, 100.0, true), ERR_NOT_IMPLEMENTED);
}

TEST_F(Api, MapsLoadApplyAndCopy) {
    const std::string mapPath = tree.maps() + "/m140.map";
    std::vector<uint32_t> entries(140);
    std::iota(entries.rbegin(), entries.rend(), 0u);
    krvtest::writeMap(mapPath, entries);
    ASSERT_EQ(openDummy(140, "map=m140.map"), NO_ERR);
    EXPECT_EQ(std::string(dm.MappingFile), mapPath);
    ASSERT_EQ(KRVLoadMap(&dm, nullptr, nullptr), NO_ERR);
    EXPECT_EQ(dm.State->Map[0], 139u);

    std::vector<uint32_t> callerMap(140, 0);
    std::iota(entries.begin(), entries.end(), 7u);
    krvtest::writeMap(mapPath, entries);
    ASSERT_EQ(KRVLoadMap(&dm, mapPath.c_str(), callerMap.data()), NO_ERR);
    EXPECT_EQ(callerMap[5], 12u);
    EXPECT_EQ(dm.State->Map[5], 12u);
    EXPECT_EQ(KRVLoadMap(&dm, (tree.maps() + "/missing").c_str(), nullptr), ERR_OPENFILE);

    std::vector<uint32_t> applied(140, 3);
    EXPECT_EQ(KRVApplyMap(&dm, applied.data(), nullptr), NO_ERR);
    EXPECT_EQ(dm.State->Map[139], 3u);
    EXPECT_EQ(KRVApplyMap(&dm, nullptr, nullptr), NO_ERR);
    dm.DriverType = static_cast<DRVTYPE>(9);
    EXPECT_EQ(KRVApplyMap(&dm, nullptr, nullptr), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVSetArray(&dm, std::vector<double>(140).data(), nullptr), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(KRVClearArray(&dm), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(KRVClose(&dm), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(dm.State, nullptr);  // closed all the same
}

TEST_F(Api, CloseClearsExactlyTheDriverFields) {
    ASSERT_EQ(openDummy(140, "map=m.map"), NO_ERR);
    const std::string profiles = dm.ProfilesPath;
    EXPECT_EQ(KRVClose(&dm), NO_ERR);
    EXPECT_EQ(dm.State, nullptr);
    EXPECT_EQ(dm.ExtraDrivers, nullptr);
    EXPECT_EQ(dm.DriverType, 0);
    EXPECT_EQ(dm.DevId, 0);
    EXPECT_EQ(dm.ActCount, 0u);
    EXPECT_EQ(dm.MaxVoltage, 0u);
    EXPECT_STREQ(dm.MappingFile, "");
    EXPECT_EQ(dm.Driver.ChannelCount, 0u);
    EXPECT_NE(dm.VoltageLimit, 0u);  // not among the cleared fields
    EXPECT_EQ(std::string(dm.ProfilesPath), profiles);
    EXPECT_STREQ(dm.SerialNumber, kSerial);
}

TEST_F(Api, ClosedRecordsAreRefused) {
    std::vector<double> frame(140, 0.5);
    std::vector<uint32_t> map(140, 0);
    EXPECT_EQ(KRVSetArray(&dm, frame.data(), nullptr), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVSetSingle(&dm, 0, 0.5), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVGetArray(&dm, frame.data(), 140), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVClearArray(&dm), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVLoadMap(&dm, nullptr, nullptr), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVApplyMap(&dm, map.data(), map.data()), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, "x.mat"), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVConfigureSequence(&dm, frame.data(), 0.0, 1, 1), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVEnableSequence(&dm, 1.0, true), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVConfigureDither(&dm, frame.data(), 1, frame.data()), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVEnableDither(&dm, 1.0, true), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVClose(&dm), ERR_DRIVER_NOT_OPEN);
    ASSERT_EQ(openDummy(140), NO_ERR);
    EXPECT_EQ(KRVSetArray(&dm, nullptr, nullptr), ERR_BADARG);
    EXPECT_EQ(KRVGetArray(&dm, nullptr, 140), ERR_BADARG);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, nullptr), ERR_NOT_IMPLEMENTED);  // library absent comes first
    EXPECT_EQ(KRVSetArray(nullptr, frame.data(), nullptr), ERR_BADARG);
    EXPECT_EQ(KRVClose(nullptr), ERR_BADARG);
}

TEST_F(Api, InvalidDriverTypeKeepsProfileFields) {
    profile(kSerial, {"type=7", "size=140"});
    EXPECT_EQ(KRVOpen(&dm, kSerial), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(dm.ActCount, 140u);
    EXPECT_EQ(dm.State, nullptr);
    EXPECT_EQ(dm.ExtraDrivers, nullptr);
}

// The map, active set and frame buffers of every back end hold MAX_DM_SIZE actuators.
TEST_F(Api, MoreActuatorsThanTheArraysHoldAreRefusedForEveryDriverType) {
    for (const char* type : {"type=0", "type=1", "type=2"}) {
        profile(kSerial, {type, "size=4097", "maxv=100", "vlim=100", "driver_sn2=SECONDUNIT1"});
        EXPECT_EQ(KRVOpen(&dm, kSerial), ERR_INVALID_ACTUATOR_COUNT) << type;
        EXPECT_EQ(dm.State, nullptr);
        EXPECT_EQ(dm.ExtraDrivers, nullptr);
    }
    ASSERT_EQ(openDummy(4096), NO_ERR);
    EXPECT_EQ(KRVSetSingle(&dm, 4095, 1.0), NO_ERR);
    EXPECT_EQ(dm.State->AppliedFrame[4095], 65535u);
}

// An exception out of a back end's open (here from the default calibration load) leaves the record closed.
TEST_F(Api, OpenThatThrowsLeavesNothingBehind) {
    void* lib = useStandin();
    ASSERT_NE(lib, nullptr);
    auto setThrow = reinterpret_cast<void (*)(int)>(dlsym(lib, "standin_set_throw"));
    ASSERT_NE(setThrow, nullptr);
    setThrow(1);
    const KRVRC rc = openDummy(140, "calibration=table.mat");
    setThrow(0);
    EXPECT_EQ(rc, ERR_UNKNOWN);
    EXPECT_EQ(dm.State, nullptr);
    EXPECT_EQ(dm.ExtraDrivers, nullptr);
    EXPECT_EQ(openDummy(140), NO_ERR);  // the record opens again
    dlclose(lib);
}

TEST_F(Api, MissingSearchDirectoriesFallBackToTheInstallTree) {
    std::memset(&dm, 0, sizeof dm);
    std::strcpy(dm.ProfilesPath, "/no/such/profiles");
    profile(kSerial, krvtest::dummyProfile(140));
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    EXPECT_EQ(std::string(dm.ProfilesPath), tree.profiles());
    EXPECT_EQ(std::string(dm.MapsPath), tree.maps());
    EXPECT_EQ(std::string(dm.CalibrationsPath), tree.calibrations());
}

TEST_F(Api, OpenLoopLibraryAbsent) {
    ASSERT_EQ(openDummy(140, "calibration=table.mat"), NO_ERR);
    EXPECT_EQ(dm.State->CalibrationLoad, nullptr);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, "table.mat"), ERR_NOT_IMPLEMENTED);
}

TEST_F(Api, OpenLoopLibraryBoundAtOpen) {
    void* lib = useStandin();
    ASSERT_NE(lib, nullptr);
    auto loads = reinterpret_cast<int (*)()>(dlsym(lib, "standin_load_count"));
    auto last = reinterpret_cast<const char* (*)()>(dlsym(lib, "standin_last_load"));
    auto deletes = reinterpret_cast<int (*)()>(dlsym(lib, "standin_delete_count"));
    auto setResult = reinterpret_cast<void (*)(KRVRC)>(dlsym(lib, "standin_set_result"));

    // No calibration named: bound, nothing loaded. (Other tests may have used the stand-in before.)
    const int loadsBefore = loads(), deletesBefore = deletes();
    ASSERT_EQ(openDummy(140), NO_ERR);
    EXPECT_NE(dm.State->CalibrationLoad, nullptr);
    EXPECT_EQ(loads(), loadsBefore);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, "other.mat"), NO_ERR);
    EXPECT_STREQ(last(), "other.mat");
    EXPECT_EQ(KRVClose(&dm), NO_ERR);
    EXPECT_EQ(deletes(), deletesBefore + 1);

    // The default calibration is loaded at open; its failure does not fail the open.
    setResult(ERR_INVALID_CALIBRATION);
    ASSERT_EQ(openDummy(140, "calibration=table.mat"), NO_ERR);
    EXPECT_EQ(std::string(last()), tree.calibrations() + "/table.mat");
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, "again.mat"), ERR_INVALID_CALIBRATION);
    setResult(NO_ERR);
    dlclose(lib);
}

TEST_F(Api, OpenLoopLibraryWithoutDeleteIsNotUsedForTheDefault) {
    const char* half = std::getenv("KRV_TEST_HALFSTANDIN");
    ASSERT_NE(half, nullptr);
    krvtest::setEnv("KRV_OPENLOOP_LIBRARY", half);
    ASSERT_EQ(openDummy(140, "calibration=table.mat"), NO_ERR);
    EXPECT_NE(dm.State->CalibrationLoad, nullptr);
    EXPECT_EQ(dm.State->CalibrationDelete, nullptr);
}

namespace {

// Voltage lines of a hand-written dummy profile, and the key the refusal must name (empty: the profile opens).
struct VoltageCase {
    std::vector<std::string> lines;
    std::string key;
};

}  // namespace

// A profile whose voltages would let a command pass the mirror's limit, wrap past 16 bits, or drive the full
// amplifier range for want of a limit is refused at open, with the key named in the log; nothing is opened.
TEST_F(Api, ProfilesWhoseVoltagesCouldExceedTheLimitAreRefusedAtOpen) {
    const std::string logPath = tree.root() + "/voltages.log";
    ASSERT_EQ(KRVConfigureLog(logPath.c_str(), KRV_LOG_INFO), NO_ERR);
    const VoltageCase cases[] = {
        {{"maxv=0", "vlim=0"}, "maxv"},          {{"maxv=0", "vlim=100"}, "maxv"},
        {{"maxv=100", "vlim=200"}, "vlim"},      {{}, "maxv"},
        {{"maxv=100"}, "vlim"},                  {{"vlim=100"}, "maxv"},
        {{"maxv=40000000", "vlim=100"}, "maxv"}, {{"maxv=100", "vlim=33554432"}, "vlim"},
        {{"maxv=200", "vlim=100"}, ""},          {{"maxv=100", "vlim=0"}, ""},
    };
    for (const VoltageCase& c : cases) {
        std::string text;
        for (const std::string& l : c.lines) text += l + " ";
        SCOPED_TRACE(text);
        std::vector<std::string> lines = {"type=2", "size=140"};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        profile(kSerial, lines);
        const std::string before = krvtest::readText(logPath);
        if (c.key.empty()) {
            ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
            std::vector<double> full(140, 1.0);
            ASSERT_EQ(KRVSetArray(&dm, full.data(), nullptr), NO_ERR);
            for (uint32_t units : dm.State->AppliedFrame) EXPECT_LE(units, 65535u * 100 / 200 + 1);
            ASSERT_EQ(KRVClose(&dm), NO_ERR);
            continue;
        }
        EXPECT_EQ(KRVOpen(&dm, kSerial), ERR_FILE_FORMAT);
        EXPECT_EQ(dm.State, nullptr);
        const std::string added = krvtest::readText(logPath).substr(before.size());
        EXPECT_NE(added.find(c.key), std::string::npos) << added;
        std::vector<double> frame(140, 0.6);
        EXPECT_EQ(KRVSetArray(&dm, frame.data(), nullptr), ERR_DRIVER_NOT_OPEN);
    }
    KRVConfigureLog(nullptr, KRV_LOG_OFF);
}
