// Continuous-mirror calibration: loading, the piston scan, the surface solve and its automatic offsets.
#include "KRV_CDMCalibration.h"
#include "MatWriter.h"
#include "OpenLoopTestSupport.h"

#include "support/KrvTestSupport.h"

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/simplelayout.h>
#include <opencv2/imgproc.hpp>

#include "SerialOpenCV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

using namespace MirrorKit;
using oltest::table;

namespace {

using Path = KRV_CDMCalibration::SolvePath;

std::vector<double> run(const KRV_CDMCalibration& cal, const cv::Mat& surface, unsigned options, KRVRC& rc) {
    std::vector<double> out(cal.actuatorCount(), -7.0);
    rc = cal.calculateSurface(surface, options, out.data(), static_cast<unsigned>(out.size()));
    return out;
}

cv::Mat flat(const KRV_CDMCalibration& cal, double value) {
    const int w = static_cast<int>(cal.width());
    return cv::Mat(w, w, CV_64F, cv::Scalar(value));
}

double mean(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s / static_cast<double>(v.size());
}

}  // namespace

TEST(CDMGeometry, ActuatorPresenceFollowsTheModelTable) {
    EXPECT_EQ(cv::countNonZero(actuatorPresence(952, 34)), 952);
    // Square mirrors one actuator short in each corner carry no mask: the corners are the absent positions.
    const cv::Mat m4092 = actuatorPresence(4092, 64);
    ASSERT_FALSE(m4092.empty());
    EXPECT_EQ(m4092.at<uint8_t>(0, 0), 0);
    EXPECT_EQ(m4092.at<uint8_t>(63, 0), 0);
    EXPECT_EQ(m4092.at<uint8_t>(0, 63), 0);
    EXPECT_EQ(m4092.at<uint8_t>(63, 63), 0);
    EXPECT_EQ(m4092.at<uint8_t>(0, 1), 1);
    EXPECT_EQ(cv::countNonZero(actuatorPresence(144, 12)), 144);
    EXPECT_EQ(cv::countNonZero(actuatorPresence(140, 12)), 140);
    // A linear mirror has no grid that a surface could be sampled on.
    EXPECT_TRUE(actuatorPresence(96, 96).empty());
}

TEST(CDMGeometry, MirrorWithoutGridRefusesTables) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(96);
    EXPECT_EQ(cal.load(path), ERR_INVALID_CALIBRATION);
}

TEST(CDMLoad, FileTypeAndOpening) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    krvtest::TempDir dir("cdmload");
    const std::string bytes = oltest::readBytes(path);
    oltest::writeBytes(dir / "table.txt", bytes);
    oltest::writeBytes(dir / "TABLE.MAT", bytes);
    KRV_CDMCalibration cal(137);
    EXPECT_EQ(cal.load(dir / "table.txt"), ERR_OPENFILE);
    EXPECT_EQ(cal.load(dir / "missing.mat"), ERR_OPENFILE);
    EXPECT_FALSE(cal.loaded());
    EXPECT_EQ(cal.load(dir / "TABLE.MAT"), NO_ERR);
    EXPECT_TRUE(cal.loaded());
}

TEST(CDMLoad, DamagedCompressedVariableFailsTheLoadOnly) {
    const std::string path = table("cdm_137_z.mat");
    OLTEST_REQUIRE_FILE(path);
    krvtest::TempDir dir("cdmdamaged");
    std::string bytes = oltest::readBytes(path);
    // The reconstructor's compressed stream fills most of the file; scramble a stretch of it.
    for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    oltest::writeBytes(dir / "damaged.mat", bytes);
    KRV_CDMCalibration cal(137);
    const KRVRC rc = cal.load(dir / "damaged.mat");
    EXPECT_EQ(rc, ERR_FILE_FORMAT);
    EXPECT_FALSE(cal.loaded());
}

TEST(CDMLoad, RejectedTables) {
    OLTEST_REQUIRE_FILE(table("cdm_137_coeffs1.mat"));
    KRV_CDMCalibration one(137);
    EXPECT_EQ(one.load(table("cdm_137_coeffs1.mat")), ERR_INVALID_CALIBRATION);
    KRV_CDMCalibration badShape(137);
    EXPECT_EQ(badShape.load(table("cdm_137_badunpow.mat")), ERR_INVALID_CALIBRATION);
    // A table made for another mirror: its reconstructor fits neither 144 actuators nor the 12 x 12 grid.
    KRV_CDMCalibration other(144);
    EXPECT_EQ(other.load(table("cdm_137.mat")), ERR_INVALID_CALIBRATION);
}

TEST(CDMLoad, MissingUnpoweredShapeIsAFlatMirror) {
    const std::string path = table("cdm_137_nounpow.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(path), NO_ERR);
    EXPECT_EQ(cal.strokeMax(), 0.0);
    EXPECT_EQ(cal.strokeMin(), cal.pistonMin());

    const oltest::ReferenceModel ref = oltest::referenceModel(path, 137, true);
    const cv::Mat s = oltest::smoothSurface(13, -1200.0, 150.0);
    KRVRC rc;
    const std::vector<double> got = run(cal, s, DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
    ASSERT_EQ(rc, NO_ERR);
    EXPECT_LT(oltest::maxRelativeDifference(got, ref.commands(s)), 1e-9);
}

namespace {

// cdm_137.mat rewritten with one variable replaced (an empty matrix drops it).
std::string variant(const krvtest::TempDir& dir, const std::string& file, const std::string& name, const cv::Mat& value,
                    bool withName = false) {
    MatFileReader reader;
    EXPECT_TRUE(reader.open(table("cdm_137.mat")));
    const MatlabVariables vars = reader.read();
    MatWriter writer;
    if (withName) writer.addChar("DM_name", "variant");
    for (const char* var : {"DM_reconstructor", "coeffs", "orders", "Z_unpow_discrete"}) {
        if (var != name) writer.addDouble(var, MatFileReader::find<cv::Mat>(vars, var));
        else if (!value.empty()) writer.addDouble(var, value);
    }
    const std::string path = dir / file;
    EXPECT_TRUE(writer.save(path));
    return path;
}

cv::Mat original(const std::string& name) {
    MatFileReader reader;
    EXPECT_TRUE(reader.open(table("cdm_137.mat")));
    cv::Mat m;
    MatFileReader::find<cv::Mat>(reader.read(), name).convertTo(m, CV_64F);
    return m.clone();
}

}  // namespace

// Values that would make commands NaN, or exponents that overflow the integer powers, are refused at load.
TEST(CDMLoad, NonFiniteOrWildValuesAreRefused) {
    OLTEST_REQUIRE_FILE(table("cdm_137.mat"));
    krvtest::TempDir dir("cdmwild");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto with = [](cv::Mat m, int index, double value) {
        m.at<double>(index) = value;
        return m;
    };
    const cv::Mat orders = original("orders");
    const struct {
        const char* name;
        cv::Mat value;
    } cases[] = {
        {"coeffs", with(original("coeffs"), 1, nan)},
        {"coeffs", with(original("coeffs"), 0, HUGE_VAL)},
        {"orders", with(orders.clone(), 0, nan)},
        {"orders", with(orders.clone(), 1, 1e12)},
        {"orders", with(orders.clone(), 1, -3e9)},
        {"orders", with(orders.clone(), 1, 1.5)},
        {"Z_unpow_discrete", with(original("Z_unpow_discrete"), 40, nan)},
    };
    int k = 0;
    for (const auto& c : cases) {
        KRV_CDMCalibration cal(137);
        EXPECT_EQ(cal.load(variant(dir, "wild" + std::to_string(k++) + ".mat", c.name, c.value)), ERR_INVALID_CALIBRATION)
            << c.name << " case " << k;
        EXPECT_FALSE(cal.loaded());
    }
    // The unchanged table, written the same way, loads.
    KRV_CDMCalibration cal(137);
    EXPECT_EQ(cal.load(variant(dir, "same.mat", "orders", orders)), NO_ERR);
}

// Finite but extreme values can overflow the command polynomial for some surfaces: those surfaces have no
// commands (no NaN reported as success, clamped or not).
TEST(CDMSurface, PolynomialOverflowIsOutOfRange) {
    OLTEST_REQUIRE_FILE(table("cdm_137.mat"));
    krvtest::TempDir dir("cdmhuge");
    cv::Mat unpowered = original("Z_unpow_discrete");
    unpowered.at<double>(6, 6) = 1e290;
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(variant(dir, "huge.mat", "Z_unpow_discrete", unpowered)), NO_ERR);
    const cv::Mat surface(13, 13, CV_64F, cv::Scalar(-300.0));
    for (unsigned options : {0u, 1u, 2u, 3u}) {
        KRVRC rc;
        const std::vector<double> commands = run(cal, surface, options, rc);
        EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE) << "options " << options;
    }
}

// The ninth coefficient selects the plate scale or its inverse; with fewer than nine the scale itself.
TEST(CDMLoad, ScaleChoice) {
    OLTEST_REQUIRE_FILE(table("cdm_144.mat"));
    struct Case {
        const char* file;
        uint32_t n;
        bool inverse;
    };
    for (const Case& c : {Case{"cdm_137.mat", 137, true}, Case{"cdm_144.mat", 144, false},
                          Case{"cdm_137_coeffs4.mat", 137, false}}) {
        SCOPED_TRACE(c.file);
        KRV_CDMCalibration cal(c.n);
        ASSERT_EQ(cal.load(table(c.file)), NO_ERR);
        const int w = static_cast<int>(cal.width());
        const cv::Mat s = oltest::smoothSurface(w, -900.0, 100.0);
        const unsigned options = DM_SURFACE_ABSOLUTE_DEFLECTION | DM_SURFACE_BEST_EFFORT;
        KRVRC rc;
        const std::vector<double> got = run(cal, s, options, rc);
        ASSERT_EQ(rc, NO_ERR);
        const auto clamp = [](std::vector<double> v) {
            for (double& x : v) x = std::isnan(x) ? 0.0 : std::min(1.0, std::max(0.0, x));
            return v;
        };
        const std::vector<double> right = clamp(oltest::referenceModel(table(c.file), c.n, c.inverse).commands(s));
        const std::vector<double> wrong = clamp(oltest::referenceModel(table(c.file), c.n, !c.inverse).commands(s));
        EXPECT_LT(oltest::maxRelativeDifference(got, right), 1e-9);
        EXPECT_GT(oltest::maxRelativeDifference(got, wrong), 1e-3);
    }
}

TEST(CDMLoad, StoredFormsGiveTheSameModel) {
    OLTEST_REQUIRE_FILE(table("cdm_952_w2.mat"));
    for (const auto& [n, base] : {std::pair<uint32_t, std::string>{137, "cdm_137"}, {952u, "cdm_952"}}) {
        SCOPED_TRACE(base);
        KRV_CDMCalibration plain(n), compressed(n), grid(n);
        ASSERT_EQ(plain.load(table(base + ".mat")), NO_ERR);
        ASSERT_EQ(compressed.load(table(base + "_z.mat")), NO_ERR);
        ASSERT_EQ(grid.load(table(base + "_w2.mat")), NO_ERR);  // W^2 x W^2, reduced to the actuators
        EXPECT_EQ(plain.pistonMin(), compressed.pistonMin());
        EXPECT_EQ(plain.pistonMin(), grid.pistonMin());
        const cv::Mat s = oltest::smoothSurface(static_cast<int>(plain.width()), 0.0, 300.0);
        KRVRC a, b, c;
        const auto va = run(plain, s, 0, a), vb = run(compressed, s, 0, b), vc = run(grid, s, 0, c);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a, c);
        EXPECT_EQ(va, vb);
        EXPECT_LT(oltest::maxRelativeDifference(va, vc), 1e-12);
    }
}

// The fast path (LU, one solve per surface, linear shifts, parallel scan) against the literal one (SVD, a
// full solve per pass and per scan step) on every generated table.
TEST(CDMFastPath, EqualsTheLiteralPath) {
    OLTEST_REQUIRE_FILE(table("cdm_952.mat"));
    for (const auto& [n, file] : {std::pair<uint32_t, std::string>{32, "cdm_32.mat"}, {137u, "cdm_137.mat"},
                                  {144u, "cdm_144.mat"}, {492u, "cdm_492.mat"}, {952u, "cdm_952.mat"}}) {
        SCOPED_TRACE(file);
        KRV_CDMCalibration fast(n, Path::Fast), literal(n, Path::Literal);
        ASSERT_EQ(fast.load(table(file)), NO_ERR);
        ASSERT_EQ(literal.load(table(file)), NO_ERR);
        EXPECT_EQ(fast.solverMethod(), ReconstructorSolver::Method::LU);
        EXPECT_EQ(literal.solverMethod(), ReconstructorSolver::Method::SVD);

        EXPECT_EQ(fast.pistonMin(), literal.pistonMin());
        EXPECT_LT(fast.pistonMin(), -600.0);
        EXPECT_NEAR(fast.midpointBias(), literal.midpointBias(), 1e-10);
        EXPECT_NEAR(fast.commandSlope(), literal.commandSlope(), 1e-8 * std::fabs(literal.commandSlope()));
        EXPECT_NEAR(fast.strokeMin(), literal.strokeMin(), 1e-9);
        EXPECT_EQ(fast.strokeMax(), literal.strokeMax());

        const int w = static_cast<int>(fast.width());
        const std::vector<cv::Mat> surfaces = {flat(fast, 0.0), oltest::smoothSurface(w, 0.0, 250.0),
                                               oltest::smoothSurface(w, -1000.0, 400.0),
                                               oltest::smoothSurface(w, 50.0, 900.0), flat(fast, 120.0)};
        for (size_t k = 0; k < surfaces.size(); ++k) {
            for (unsigned options = 0; options <= 3; ++options) {
                SCOPED_TRACE("surface " + std::to_string(k) + " options " + std::to_string(options));
                KRVRC rf, rl;
                const auto vf = run(fast, surfaces[k], options, rf);
                const auto vl = run(literal, surfaces[k], options, rl);
                EXPECT_EQ(rf, rl);
                EXPECT_LT(oltest::maxRelativeDifference(vf, vl), 1e-9);
            }
        }
    }
}

// A singular reconstructor (the plate without its foundation: constant deflections cost no force) cannot be
// solved by LU; the load falls back to the SVD, and the fast path still agrees.
TEST(CDMFastPath, SingularReconstructorTakesTheSvd) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    MatFileReader reader;
    ASSERT_TRUE(reader.open(path));
    const MatlabVariables vars = reader.read();
    MatWriter writer;
    writer.addDouble("DM_reconstructor", MatFileReader::find<cv::Mat>(vars, "DM_reconstructor") -
                                             cv::Mat::eye(137, 137, CV_64F));
    for (const char* name : {"coeffs", "orders", "Z_unpow_discrete"})
        writer.addDouble(name, MatFileReader::find<cv::Mat>(vars, name));
    writer.addChar("DM_name", "singular");
    krvtest::TempDir dir("cdmsingular");
    ASSERT_TRUE(writer.save(dir / "singular.mat"));

    KRV_CDMCalibration fast(137, Path::Fast), literal(137, Path::Literal);
    {
        // The SVD decomposes the matrix that was checked, not a second read of a file that may have changed
        // since: the table is read once.
        const std::string logPath = dir / "openloop.log";
        const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("KRV.OpenLoop");
        const log4cxx::LevelPtr level = logger->getLevel();
        const log4cxx::AppenderPtr appender(
            new log4cxx::FileAppender(log4cxx::LayoutPtr(new log4cxx::SimpleLayout()), logPath, false));
        logger->addAppender(appender);
        logger->setLevel(log4cxx::Level::getInfo());
        const KRVRC rc = fast.load(dir / "singular.mat");
        logger->removeAppender(appender);
        logger->setLevel(level);
        ASSERT_EQ(rc, NO_ERR);
        const std::string log = oltest::readBytes(logPath);
        size_t reads = 0;
        for (size_t at = 0; (at = log.find("Loading calibration for DM: singular", at)) != std::string::npos; ++at)
            ++reads;
        EXPECT_EQ(reads, 1u) << log;
    }
    ASSERT_EQ(literal.load(dir / "singular.mat"), NO_ERR);
    EXPECT_EQ(fast.solverMethod(), ReconstructorSolver::Method::SVD);
    EXPECT_EQ(fast.pistonMin(), literal.pistonMin());
    EXPECT_NEAR(fast.midpointBias(), literal.midpointBias(), 1e-10);
    const cv::Mat s = oltest::smoothSurface(13, -300.0, 200.0);
    for (unsigned options = 0; options <= 3; ++options) {
        KRVRC rf, rl;
        const auto vf = run(fast, s, options, rf);
        const auto vl = run(literal, s, options, rl);
        EXPECT_EQ(rf, rl) << options;
        EXPECT_LT(oltest::maxRelativeDifference(vf, vl), 1e-9) << options;
    }
    // The well-conditioned original keeps the LU.
    KRV_CDMCalibration original(137);
    ASSERT_EQ(original.load(path), NO_ERR);
    EXPECT_EQ(original.solverMethod(), ReconstructorSolver::Method::LU);
}

TEST(CDMPistonRange, ScanEndsAtTheDeepestReachablePiston) {
    OLTEST_REQUIRE_FILE(table("cdm_492.mat"));
    for (const auto& [n, file] : {std::pair<uint32_t, std::string>{137, "cdm_137.mat"}, {492u, "cdm_492.mat"}}) {
        SCOPED_TRACE(file);
        KRV_CDMCalibration cal(n);
        ASSERT_EQ(cal.load(table(file)), NO_ERR);
        KRVRC rc;
        // Every step down to pistonMin succeeds and the next one does not.
        for (double p = -600.0; p >= cal.pistonMin(); p -= 1.0) {
            run(cal, flat(cal, p), DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
            ASSERT_EQ(rc, NO_ERR) << p;
        }
        run(cal, flat(cal, cal.pistonMin() - 1.0), DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
        EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
        EXPECT_EQ(cal.pistonMax(), 0.0);

        const auto mid = run(cal, flat(cal, cal.pistonMin() / 2.0), DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
        ASSERT_EQ(rc, NO_ERR);
        EXPECT_DOUBLE_EQ(cal.midpointBias(), mean(mid));
        const auto up = run(cal, flat(cal, cal.pistonMin() / 2.0 + 20.0), DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
        ASSERT_EQ(rc, NO_ERR);
        EXPECT_DOUBLE_EQ(cal.commandSlope(), -20.0 / (mean(up) - cal.midpointBias()));
        // A surface 20 nm higher needs smaller commands: nanometres per command are positive.
        EXPECT_GT(cal.commandSlope(), 0.0);
    }
}

// The total stroke adds the unpowered shape: its 3 x 3 box mean at the top (mirrored border), its lowest
// actuator at the bottom.
TEST(CDMPistonRange, TotalStrokeFromTheUnpoweredShape) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(path), NO_ERR);
    MatFileReader reader;
    ASSERT_TRUE(reader.open(path));
    const cv::Mat z = MatFileReader::find<cv::Mat>(reader.read(), "Z_unpow_discrete");
    const int w = z.rows;
    const auto mirror = [w](int i) { return i < 0 ? -i : (i >= w ? 2 * w - 2 - i : i); };
    double top = -HUGE_VAL, bottom = HUGE_VAL;
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < w; ++c) {
            double sum = 0.0;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) sum += z.at<double>(mirror(r + dr), mirror(c + dc));
            top = std::max(top, sum / 9.0);
            if (cal.actuatorMask().at<uint8_t>(r, c)) bottom = std::min(bottom, z.at<double>(r, c));
        }
    EXPECT_NEAR(cal.strokeMax(), top * 1e9, 1e-9);
    EXPECT_NEAR(cal.strokeMin(), cal.pistonMin() - (top - bottom) * 1e9, 1e-9);
    EXPECT_GT(cal.strokeMax(), 5.0);  // the generated bowl rises tens of nanometres
}

TEST(CDMSurface, FlatZeroSurfaceIsShiftedOnce) {
    const std::string path = table("cdm_137_nounpow.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(path), NO_ERR);
    const double h = (cal.strokeMax() - cal.strokeMin()) / 2.0;
    const double offset = std::min(-h - 75.0, 75.0 + 0.7 * cal.pistonMin());
    // A surface already at that depth is not shifted again, so both take the same passes from there on.
    KRVRC a, b;
    const auto zero = run(cal, flat(cal, 0.0), 0, a);
    const auto shifted = run(cal, flat(cal, offset), 0, b);
    EXPECT_EQ(a, b);
    EXPECT_LT(oltest::maxRelativeDifference(zero, shifted), 1e-9);
    // And a surface a little off that depth is shifted by its own amount, which differs.
    const auto other = run(cal, flat(cal, offset + 40.0), 0, b);
    EXPECT_GT(oltest::maxRelativeDifference(zero, other), 1e-6);
}

TEST(CDMSurface, AbsoluteDeflectionAboveTheMirror) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(path), NO_ERR);
    const cv::Mat above = flat(cal, 200.0);
    KRVRC rc;
    const auto raw = run(cal, above, DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
    const auto clamped = run(cal, above, DM_SURFACE_ABSOLUTE_DEFLECTION | DM_SURFACE_BEST_EFFORT, rc);
    EXPECT_EQ(rc, NO_ERR);
    EXPECT_TRUE(std::all_of(clamped.begin(), clamped.end(), [](double v) { return v >= 0.0 && v <= 1.0; }));
    EXPECT_TRUE(std::any_of(clamped.begin(), clamped.end(), [](double v) { return v == 0.0; }));
    // Without absolute deflection the same surface is moved below the unpowered shape and reachable.
    run(cal, above, 0, rc);
    EXPECT_EQ(rc, NO_ERR);
}

TEST(CDMSurface, OutputLengthAndShape) {
    const std::string path = table("cdm_137.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(137);
    ASSERT_EQ(cal.load(path), NO_ERR);
    const cv::Mat s = oltest::smoothSurface(13, 0.0, 100.0);
    std::vector<double> out(140, -7.0);
    EXPECT_EQ(cal.calculateSurface(s, 0, out.data(), 138), ERR_BADARG);
    ASSERT_EQ(cal.calculateSurface(s, 0, out.data(), 100), NO_ERR);
    EXPECT_EQ(out[100], -7.0);  // beyond the count nothing is written
    EXPECT_GE(out[99], 0.0);
    std::vector<double> full(137);
    ASSERT_EQ(cal.calculateSurface(s, 0, full.data(), 137), NO_ERR);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, full.begin()));

    EXPECT_EQ(cal.calculateSurface(cv::Mat(12, 13, CV_64F, cv::Scalar(0.0)), 0, full.data(), 137),
              ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(cal.calculateSurface(cv::Mat(13, 12, CV_64F, cv::Scalar(0.0)), 0, full.data(), 137), ERR_UNKNOWN);
    KRV_CDMCalibration empty(137);
    EXPECT_EQ(empty.calculateSurface(s, 0, full.data(), 137), ERR_INVALID_CALIBRATION);
}

TEST(CDMSurface, CommandsOfASurfaceMatchADenseSolve) {
    const std::string path = table("cdm_952.mat");
    OLTEST_REQUIRE_FILE(path);
    KRV_CDMCalibration cal(952);
    ASSERT_EQ(cal.load(path), NO_ERR);
    const oltest::ReferenceModel ref = oltest::referenceModel(path, 952, false);
    const cv::Mat s = oltest::smoothSurface(34, -700.0, 300.0);
    KRVRC rc;
    const auto got = run(cal, s, DM_SURFACE_ABSOLUTE_DEFLECTION, rc);
    ASSERT_EQ(rc, NO_ERR);
    EXPECT_LT(oltest::maxRelativeDifference(got, ref.commands(s)), 1e-9);
}

TEST(ReconstructorSolverTest, LuOnlyWhereItAgreesWithTheSvd) {
    cv::RNG rng(7);
    const int n = 60;
    cv::Mat good(n, n, CV_64F);
    rng.fill(good, cv::RNG::UNIFORM, -1.0, 1.0);
    good += cv::Mat::eye(n, n, CV_64F) * n;
    cv::Mat rhs(n, 1, CV_64F);
    rng.fill(rhs, cv::RNG::UNIFORM, -1.0, 1.0);

    const auto solveWith = [&](const cv::Mat& a, bool forceSvd, ReconstructorSolver::Method& method) {
        auto solver = ReconstructorSolver::create(a.clone(), forceSvd);
        method = solver->method();
        cv::Mat x(n, 1, CV_64F);
        solver->solve(rhs.ptr<double>(), x.ptr<double>());
        return x;
    };
    ReconstructorSolver::Method method;
    const cv::Mat lu = solveWith(good, false, method);
    EXPECT_EQ(method, ReconstructorSolver::Method::LU);
    cv::Mat reference;
    cv::solve(good, rhs, reference, cv::DECOMP_SVD);
    EXPECT_LT(cv::norm(lu, reference, cv::NORM_INF), 1e-13);

    // Singular (a repeated row) and nearly singular matrices take the SVD and its least-squares answer.
    cv::Mat singular = good.clone();
    good.row(3).copyTo(singular.row(7));
    const cv::Mat viaSvd = solveWith(singular, false, method);
    EXPECT_EQ(method, ReconstructorSolver::Method::SVD);
    cv::solve(singular, rhs, reference, cv::DECOMP_SVD);
    EXPECT_LT(cv::norm(viaSvd, reference, cv::NORM_INF), 1e-12);

    cv::Mat w, u, vt;
    cv::SVD::compute(good, w, u, vt);
    w.at<double>(n - 1) = w.at<double>(0) * 1e-11;
    const cv::Mat illConditioned = u * cv::Mat::diag(w) * vt;
    solveWith(illConditioned, false, method);
    EXPECT_EQ(method, ReconstructorSolver::Method::SVD);
    solveWith(good, true, method);
    EXPECT_EQ(method, ReconstructorSolver::Method::SVD);
}
