// The open-loop exports through KRVOpen on dummy mirrors: calibration loading, surfaces, Zernike maps, segments.
#include <KRV.h>
#include <KRV_OpenLoop.h>

#include "KRV_CDMCalibration.h"
#include "OpenLoopTestSupport.h"
#include "Resample.h"
#include "krv/DMState.h"
#include "krv/Encoding.h"

#include "support/KrvTestSupport.h"

#include "SerialOpenCV.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

using oltest::table;

namespace {

constexpr const char* kSerial = "OLTEST00001";

struct OpenLoop : ::testing::Test {
    krvtest::InstallTree tree;
    DM dm = tree.record();

    void TearDown() override {
        if (dm.State) {
            EXPECT_EQ(KRVClose(&dm), NO_ERR);
        }
    }
    // Copies a generated table into the install tree's calibration folder.
    bool install(const std::string& name) {
        if (!std::filesystem::exists(table(name))) return false;
        std::filesystem::copy_file(table(name), tree.calibrations() + "/" + name,
                                   std::filesystem::copy_options::overwrite_existing);
        return true;
    }
    std::string calibration(const std::string& name) const { return tree.calibrations() + "/" + name; }
    KRVRC open(uint32_t actuators, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> lines = krvtest::dummyProfile(actuators);
        lines.insert(lines.end(), extra.begin(), extra.end());
        krvtest::writeProfile(tree.profiles() + "/" + kSerial + ".dm", lines);
        return KRVOpen(&dm, kSerial);
    }
    std::vector<double> readBack() {
        std::vector<double> out(dm.ActCount);
        EXPECT_EQ(KRVGetArray(&dm, out.data(), dm.ActCount), NO_ERR);
        return out;
    }
};

// A 512 x 512 phase map: a tilted bowl inside the inscribed disc, NaN outside it.
std::vector<double> phaseMap(int size, double depth, double amplitude) {
    std::vector<double> map(static_cast<size_t>(size) * size);
    const double c = (size - 1) / 2.0;
    for (int r = 0; r < size; ++r)
        for (int col = 0; col < size; ++col) {
            const double x = (col - c) / c, y = (r - c) / c;
            map[static_cast<size_t>(r) * size + col] = x * x + y * y > 1.0
                                                           ? std::numeric_limits<double>::quiet_NaN()
                                                           : depth + amplitude * (x * x + y * y + 0.4 * x - 0.3 * y);
        }
    return map;
}

#define REQUIRE_TABLE(name)                                              \
    do {                                                                 \
        if (!install(name)) GTEST_SKIP() << "no generated table " << name; \
    } while (0)

}  // namespace

TEST_F(OpenLoop, LoadThroughTheCoreAndSolveSurfaces) {
    REQUIRE_TABLE("cdm_137.mat");
    ASSERT_EQ(open(137), NO_ERR);
    ASSERT_NE(dm.State->CalibrationLoad, nullptr);
    std::vector<double> map = phaseMap(512, -300.0, 200.0);
    std::vector<double> commands(137, -9.0);
    EXPECT_EQ(KRVCalculateSurface(&dm, map.data(), 512, 512, 0, 0, commands.data(), 137), ERR_INVALID_CALIBRATION);
    EXPECT_EQ(commands[0], -9.0);  // nothing written before the calculation runs

    ASSERT_EQ(KRVLoadCalibrationFile(&dm, calibration("cdm_137.mat").c_str()), NO_ERR);
    ASSERT_NE(dm.State->Calibration, nullptr);
    std::vector<double> lowRes(169);
    ASSERT_EQ(KRVCalculateSurfaceEx(&dm, map.data(), 512, 512, 0, 0, commands.data(), 137, lowRes.data(), 169),
              NO_ERR);

    // The same table and low-resolution map through the class directly.
    MirrorKit::KRV_CDMCalibration direct(137);
    ASSERT_EQ(direct.load(calibration("cdm_137.mat")), NO_ERR);
    const cv::Mat grid(13, 13, CV_64F, lowRes.data());
    std::vector<double> expected(137);
    ASSERT_EQ(direct.calculateSurface(grid, 0, expected.data(), 137), NO_ERR);
    EXPECT_EQ(commands, expected);

    // KRVSetSurface sends the same frame.
    ASSERT_EQ(KRVSetSurface(&dm, map.data(), 512, 512, 0, 0), NO_ERR);
    const std::vector<double> applied = readBack();
    for (size_t i = 0; i < 137; ++i) EXPECT_NEAR(applied[i], commands[i], 0.5 / 65535.0) << i;

    // With a calibration the reported piston range is still the one KRVSetSegment takes: every value inside it
    // is accepted, the values just outside are not.
    double lo = 1, hi = -1;
    ASSERT_EQ(KRVGetSegmentRange(&dm, 0, DM_Piston, 0, 0, 0, false, &lo, &hi), NO_ERR);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 3500.0);
    for (double piston : {lo, lo + 0.25 * (hi - lo), 0.5 * (lo + hi), hi}) {
        EXPECT_EQ(KRVSetSegment(&dm, 5, piston, 0, 0, false, true), NO_ERR) << piston;
        EXPECT_NEAR(readBack()[5], (piston - lo) / (hi - lo), 1.0 / 65535) << piston;
    }
    EXPECT_EQ(KRVSetSegment(&dm, 5, lo - 1.0, 0, 0, false, true), ERR_OUT_OF_LUT_RANGE);
    EXPECT_EQ(KRVSetSegment(&dm, 5, hi + 1.0, 0, 0, false, true), ERR_OUT_OF_LUT_RANGE);
}

TEST_F(OpenLoop, FailedLoadsKeepTheWorkingCalibration) {
    REQUIRE_TABLE("cdm_137.mat");
    install("cdm_137_coeffs1.mat");
    ASSERT_EQ(open(137), NO_ERR);
    ASSERT_EQ(KRVLoadCalibrationFile(&dm, calibration("cdm_137.mat").c_str()), NO_ERR);
    void* first = dm.State->Calibration;
    std::vector<double> map = phaseMap(256, -200.0, 150.0);
    std::vector<double> before(137), after(137);
    ASSERT_EQ(KRVCalculateSurface(&dm, map.data(), 256, 256, 0, 0, before.data(), 137), NO_ERR);

    EXPECT_EQ(KRVLoadCalibrationFile(&dm, calibration("absent.mat").c_str()), ERR_OPENFILE);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, calibration("cdm_137.txt").c_str()), ERR_OPENFILE);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, ""), ERR_OPENFILE);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, nullptr), ERR_BADARG);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, calibration("cdm_137_coeffs1.mat").c_str()), ERR_INVALID_CALIBRATION);
    // A damaged compressed table fails its load, and the process goes on.
    std::string bytes = oltest::readBytes(table("cdm_137_z.mat"));
    for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    oltest::writeBytes(calibration("damaged.mat"), bytes);
    EXPECT_EQ(KRVLoadCalibrationFile(&dm, calibration("damaged.mat").c_str()), ERR_FILE_FORMAT);

    EXPECT_EQ(dm.State->Calibration, first);
    ASSERT_EQ(KRVCalculateSurface(&dm, map.data(), 256, 256, 0, 0, after.data(), 137), NO_ERR);
    EXPECT_EQ(before, after);
    // A second good load replaces the first (the sanitizer build checks the old one is freed).
    ASSERT_EQ(KRVLoadCalibrationFile(&dm, calibration("cdm_137.mat").c_str()), NO_ERR);
    EXPECT_NE(dm.State->Calibration, nullptr);
}

TEST_F(OpenLoop, DefaultCalibrationFromTheProfile) {
    REQUIRE_TABLE("cdm_144.mat");
    ASSERT_EQ(open(144, {"calibration=cdm_144.mat"}), NO_ERR);
    ASSERT_NE(dm.State->Calibration, nullptr);
    std::vector<double> map = phaseMap(128, -300.0, 100.0), commands(144);
    EXPECT_EQ(KRVCalculateSurface(&dm, map.data(), 128, 128, 0, 0, commands.data(), 144), NO_ERR);
    // Closing frees the calibration with the record.
    EXPECT_EQ(KRVClose(&dm), NO_ERR);
    EXPECT_EQ(dm.State, nullptr);
}

// On a 12-wide mirror dm_diameter 0 means D = 9 and N = 10.
TEST_F(OpenLoop, SurfaceArgumentsAndOutputLengths) {
    REQUIRE_TABLE("cdm_144.mat");
    ASSERT_EQ(open(144, {"calibration=cdm_144.mat"}), NO_ERR);
    std::vector<double> map = phaseMap(64, -300.0, 100.0), commands(144, -9.0), low(200, -9.0);
    double* p = map.data();
    double* c = commands.data();
    EXPECT_EQ(KRVCalculateSurfaceEx(&dm, p, 64, 64, 0, 0, c, 144, low.data(), 100), NO_ERR);
    EXPECT_EQ(low[100], -9.0);  // the 10 x 10 block only
    std::vector<double> whole(144);
    EXPECT_EQ(KRVCalculateSurfaceEx(&dm, p, 64, 64, 0, 0, c, 144, whole.data(), 144), NO_ERR);
    for (int r = 0; r < 10; ++r)
        for (int k = 0; k < 10; ++k) EXPECT_EQ(low[static_cast<size_t>(r * 10 + k)], whole[static_cast<size_t>((r + 1) * 12 + k + 1)]);
    EXPECT_EQ(KRVCalculateSurfaceEx(&dm, p, 64, 64, 0, 0, c, 144, low.data(), 200), NO_ERR);
    EXPECT_EQ(KRVCalculateSurfaceEx(&dm, p, 64, 64, 0, 0, c, 144, low.data(), 120), ERR_BADARG);

    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 12, 0, c, 144), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 11, 0, c, 144), NO_ERR);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 2, 0, c, 144), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 3, 0, c, 144), NO_ERR);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, -1, 0, c, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 0, 4, c, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 0, 0, c, 0), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 0, 64, 0, 0, c, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, nullptr, 64, 64, 0, 0, c, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 0, 0, nullptr, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(nullptr, p, 64, 64, 0, 0, c, 144), ERR_BADARG);
    EXPECT_EQ(KRVCalculateSurface(&dm, p, 64, 64, 0, 0, c, 145), ERR_BADARG);
    EXPECT_EQ(KRVSetSurface(&dm, p, 64, 64, 12, 0), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVSetSurface(&dm, p, 64, 64, 0, 7), ERR_BADARG);

    // A map whose aperture samples are not numbers is refused rather than sent as zeros.
    std::vector<double> holes(64 * 64, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(KRVCalculateSurface(&dm, holes.data(), 64, 64, 0, 0, c, 144), ERR_BADARG);
}

// Values that are not numbers where no actuator sits (the corners of a circular mirror's grid) are accepted: the
// commands are those of the same map with numbers there.
TEST_F(OpenLoop, NonFiniteValuesWhereNoActuatorSits) {
    REQUIRE_TABLE("cdm_137.mat");
    ASSERT_EQ(open(137, {"calibration=cdm_137.mat"}), NO_ERR);
    // With D = W - 1 on a 13 x 13 map the grid samples the map's pixels themselves.
    std::vector<double> finite = phaseMap(13, -300.0, 100.0);
    for (double& v : finite)
        if (std::isnan(v)) v = -250.0;
    std::vector<double> corners = finite;
    for (size_t i : {0, 12, 156, 168}) corners[i] = std::numeric_limits<double>::quiet_NaN();
    corners[1] = std::numeric_limits<double>::infinity();
    std::vector<double> expected(137), commands(137), grid(169);
    ASSERT_EQ(KRVCalculateSurface(&dm, finite.data(), 13, 13, 12, 0, expected.data(), 137), NO_ERR);
    ASSERT_EQ(KRVCalculateSurfaceEx(&dm, corners.data(), 13, 13, 12, 0, commands.data(), 137, grid.data(), 169), NO_ERR);
    EXPECT_EQ(commands, expected);
    const cv::Mat mask = MirrorKit::actuatorPresence(137, 13);
    int notFinite = 0;
    for (size_t i = 0; i < grid.size(); ++i)
        if (!std::isfinite(grid[i])) {
            ++notFinite;
            EXPECT_EQ(mask.data[i], 0) << i;
        }
    EXPECT_GE(notFinite, 5);
    // One such value at an actuator is refused.
    corners[6 * 13 + 6] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(KRVCalculateSurface(&dm, corners.data(), 13, 13, 12, 0, commands.data(), 137), ERR_BADARG);
    EXPECT_EQ(KRVSetSurface(&dm, corners.data(), 13, 13, 12, 0), ERR_BADARG);
}

TEST_F(OpenLoop, ZernikeSurface) {
    ASSERT_EQ(open(144), NO_ERR);  // needs no calibration
    std::vector<double> coeffs(1025, 0.0), phase(144, -1.0);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 1025, 0, 0, phase.data(), 144), ERR_BADARG);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 0, 0, 0, phase.data(), 144), ERR_BADARG);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 3, 12, 0, phase.data(), 144), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 3, 0, 0, phase.data(), 120), ERR_BADARG);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 3, 0, 4, phase.data(), 144), ERR_BADARG);
    EXPECT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 1024, 0, 0, phase.data(), 144), NO_ERR);

    double piston = 37.25;
    ASSERT_EQ(KRVZernikeSurface(&dm, &piston, 1, 0, 0, phase.data(), 144), NO_ERR);
    for (double v : phase) EXPECT_EQ(v, 37.25);
    std::vector<double> block(100, -1.0);
    coeffs.assign(10, 0.0);
    coeffs[4] = 80.0;  // defocus
    ASSERT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 10, 0, 0, block.data(), 100), NO_ERR);
    ASSERT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 10, 0, 0, phase.data(), 144), NO_ERR);
    for (int r = 0; r < 10; ++r)
        for (int k = 0; k < 10; ++k) EXPECT_EQ(block[static_cast<size_t>(r * 10 + k)], phase[static_cast<size_t>((r + 1) * 12 + k + 1)]);
    // Defocus is symmetric about the centre and rises outwards.
    EXPECT_DOUBLE_EQ(phase[0], phase[143]);
    EXPECT_LT(phase[5 * 12 + 5], phase[0]);
}

// A coefficient that is not a number (a failed fit), infinite, or large enough to overflow the map is refused, on
// a first series and on one whose terms are kept, and the caller's map keeps what it held.
TEST_F(OpenLoop, ZernikeSurfaceRefusesCoefficientsThatGiveNoSurface) {
    ASSERT_EQ(open(144), NO_ERR);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::vector<double> coeffs(10, 0.0);
    coeffs[4] = 80.0;
    std::vector<double> good(144), phase(144);
    ASSERT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 10, 0, 0, good.data(), 144), NO_ERR);
    for (int count : {6, 10}) {  // 6: terms built afresh; 10: the kept terms of the call above
        for (double bad : {nan, inf, -inf, 1e308}) {
            std::vector<double> c(coeffs.begin(), coeffs.begin() + count);
            c[count - 1] = bad;
            phase = good;
            EXPECT_EQ(KRVZernikeSurface(&dm, c.data(), count, 0, 0, phase.data(), 144), ERR_INVALID_COEFFICIENTS)
                << count << " " << bad;
            EXPECT_EQ(phase, good) << count << " " << bad;
        }
    }
    // The kept terms still give the surface of finite coefficients.
    ASSERT_EQ(KRVZernikeSurface(&dm, coeffs.data(), 10, 0, 0, phase.data(), 144), NO_ERR);
    EXPECT_EQ(phase, good);
}

TEST_F(OpenLoop, SetSegmentOnAContinuousMirror) {
    ASSERT_EQ(open(144), NO_ERR);  // stroke 1500 nm
    EXPECT_EQ(KRVSetSegment(&dm, 7, 1500.0, 0, 0, false, true), NO_ERR);
    EXPECT_EQ(readBack()[7], 1.0);
    EXPECT_EQ(KRVSetSegment(&dm, 8, 750.0, 0, 0, false, true), NO_ERR);
    EXPECT_NEAR(readBack()[8], 0.5, 1.0 / 65535);
    EXPECT_EQ(KRVSetSegment(&dm, 7, -1.0, 0, 0, false, true), ERR_OUT_OF_LUT_RANGE);
    EXPECT_EQ(KRVSetSegment(&dm, 7, 1500.1, 0, 0, false, true), ERR_OUT_OF_LUT_RANGE);
    EXPECT_EQ(KRVSetSegment(&dm, 7, std::nan(""), 0, 0, false, true), ERR_OUT_OF_LUT_RANGE);
    EXPECT_EQ(readBack()[7], 1.0);
    EXPECT_EQ(KRVSetSegment(&dm, 144, 10.0, 0, 0, false, true), ERR_ACTUATOR_ID);

    double lo = 1, hi = -1;
    EXPECT_EQ(KRVGetSegmentRange(&dm, 0, DM_Piston, 0, 0, 0, false, &lo, &hi), NO_ERR);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 1500.0);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 0, DM_XTilt, 0, 0, 0, false, &lo, &hi), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 0, DM_Piston, 0, 0, 0, false, nullptr, &hi), ERR_BADARG);
}

TEST_F(OpenLoop, SegmentedMirror) {
    REQUIRE_TABLE("hex_111.mat");
    // Actuator 31 (segment 10) is inactive.
    ASSERT_EQ(open(111, {"inactive=1:31"}), NO_ERR);
    double lo = 0, hi = 0;
    EXPECT_EQ(KRVSetSegment(&dm, 2, 700.0, 0, 0, true, true), ERR_INVALID_CALIBRATION);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 2, DM_Piston, 0, 0, 0, true, &lo, &hi), ERR_INVALID_CALIBRATION);
    ASSERT_EQ(KRVLoadCalibrationFile(&dm, calibration("hex_111.mat").c_str()), NO_ERR);

    std::vector<double> map = phaseMap(64, -100, 10), commands(111);
    EXPECT_EQ(KRVCalculateSurface(&dm, map.data(), 64, 64, 0, 0, commands.data(), 111), ERR_NOT_IMPLEMENTED);

    // Buffered: only the applied frame changes; the requested frame is the last frame sent through the core.
    const std::vector<uint32_t> requested = dm.State->RequestedFrame;
    ASSERT_EQ(KRVSetSegment(&dm, 2, -700.0, 1e-4, 0.0, true, false), NO_ERR);
    const std::vector<uint32_t> afterFirst = dm.State->AppliedFrame;
    EXPECT_NE(afterFirst[6], 0u);
    EXPECT_NE(afterFirst[8], 0u);
    EXPECT_EQ(afterFirst[9], 0u);
    EXPECT_EQ(dm.State->RequestedFrame, requested);
    ASSERT_EQ(KRVSetSegment(&dm, 3, -600.0, 0.0, 2e-4, true, true), NO_ERR);
    const std::vector<uint32_t>& applied = dm.State->AppliedFrame;
    EXPECT_EQ(applied[6], afterFirst[6]);
    EXPECT_NE(applied[9], 0u);
    const std::vector<double> back = readBack();
    EXPECT_NEAR(back[9], applied[9] / 65535.0, 1e-12);

    // The inactive segment is left alone, and reports an empty range.
    EXPECT_EQ(KRVSetSegment(&dm, 10, -700.0, 0, 0, true, true), NO_ERR);
    EXPECT_EQ(applied[30], 0u);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 10, DM_Piston, 0, 0, 0, true, &lo, &hi), NO_ERR);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 0.0);

    EXPECT_EQ(KRVSetSegment(&dm, 37, -700.0, 0, 0, true, true), ERR_SEGMENT_ID);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 37, DM_XTilt, 0, 0, 0, true, &lo, &hi), ERR_SEGMENT_ID);
    EXPECT_EQ(KRVSetSegment(&dm, 2, 900.0, 0, 0, true, true), ERR_OUT_OF_LUT_RANGE);

    ASSERT_EQ(KRVGetSegmentRange(&dm, 2, DM_Piston, 0, 0, 0, true, &lo, &hi), NO_ERR);
    EXPECT_LT(lo, hi);
    // The tilt searches take the piston in table coordinates (the last piston sample is not added to it).
    EXPECT_EQ(KRVGetSegmentRange(&dm, 2, DM_XTilt, -700.0, 0, 0, true, &lo, &hi), ERR_OUT_OF_LUT_RANGE);
    ASSERT_EQ(KRVGetSegmentRange(&dm, 2, DM_XTilt, 800.0, 0, 0, true, &lo, &hi), NO_ERR);
    EXPECT_LT(lo, hi);
    ASSERT_EQ(KRVGetSegmentRange(&dm, 2, DM_YTilt, 800.0, 0, 0, true, &lo, &hi), NO_ERR);
    EXPECT_LT(lo, hi);
    EXPECT_EQ(KRVGetSegmentRange(&dm, 2, static_cast<DMSegmentAxis>(5), 0, 0, 0, true, &lo, &hi), ERR_BADARG);
}

TEST(OpenLoopClosed, RecordsThatAreNotOpen) {
    DM dm{};
    double v = 0, lo = 0, hi = 0;
    EXPECT_EQ(KRV_Priv_Calibration_loadFile(&dm, "x.mat"), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRV_Priv_Calibration_loadFile(nullptr, "x.mat"), ERR_BADARG);
    KRV_Priv_Calibration_delete(&dm);
    KRV_Priv_Calibration_delete(nullptr);
    EXPECT_EQ(KRVCalculateSurface(&dm, &v, 1, 1, 0, 0, &v, 1), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVSetSegment(nullptr, 0, 0, 0, 0, false, false), ERR_BADARG);
    EXPECT_EQ(KRVGetSegmentRange(nullptr, 0, DM_Piston, 0, 0, 0, false, &lo, &hi), ERR_BADARG);
}

// The whole surface solve of the 952-actuator table against numpy's, offsets included.
TEST_F(OpenLoop, SurfaceSolveMatchesAnIndependentComputation) {
    REQUIRE_TABLE("cdm_952.mat");
    const char* python = std::getenv("KRV_TEST_PYTHON3");
    const char* script = std::getenv("KRV_TEST_CHECK_SURFACE");
    if (!python || !script) GTEST_SKIP() << "no Python checker configured";
    ASSERT_EQ(open(952, {"calibration=cdm_952.mat"}), NO_ERR);
    // The calibration's flat-piston limit, which the surface offsets use.
    ASSERT_NE(dm.State->Calibration, nullptr);
    const double pistonMin = static_cast<const MirrorKit::KRV_CDMCalibration*>(dm.State->Calibration)->pistonMin();
    const cv::Mat mask = MirrorKit::actuatorPresence(952, 34);
    std::vector<int32_t> positions;
    for (int i = 0; i < 34 * 34; ++i)
        if (mask.data[i]) positions.push_back(i);

    krvtest::TempDir dir("olnumpy");
    struct Case {
        double depth, amplitude;
        unsigned options;
    };
    std::string files;
    int index = 0;
    for (const Case& c : {Case{0.0, 300.0, 0}, Case{-600.0, 250.0, 1}, Case{-900.0, 700.0, 0}, Case{100.0, 200.0, 1},
                          Case{100.0, 200.0, 3}, Case{-1400.0, 600.0, 2}}) {
        std::vector<double> map = phaseMap(512, c.depth, c.amplitude), commands(952), low(34 * 34);
        const KRVRC rc =
            KRVCalculateSurfaceEx(&dm, map.data(), 512, 512, 0, c.options, commands.data(), 952, low.data(), 34 * 34);
        const std::string file = dir / ("case" + std::to_string(index++) + ".bin");
        std::ofstream out(file, std::ios::binary);
        const int32_t head[4] = {34, 952, static_cast<int32_t>(c.options), static_cast<int32_t>(rc)};
        out.write(reinterpret_cast<const char*>(head), sizeof head);
        out.write(reinterpret_cast<const char*>(&pistonMin), sizeof pistonMin);
        out.write(reinterpret_cast<const char*>(positions.data()), 4 * positions.size());
        out.write(reinterpret_cast<const char*>(low.data()), 8 * low.size());
        out.write(reinterpret_cast<const char*>(commands.data()), 8 * commands.size());
        files += " " + file;
    }
    const std::string command = std::string(python) + " " + script + " " + calibration("cdm_952.mat") + files;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}
