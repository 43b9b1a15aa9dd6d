// Segmented-mirror calibration: table checks, trilinear lookup, populated entries and the range searches.
#include "KRVDMHexCalibration.h"
#include "MatWriter.h"
#include "OpenLoopTestSupport.h"

#include "SerialOpenCV.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace MirrorKit;
using oltest::table;

namespace {

constexpr int kSegments = 37;  // the 111-actuator mirror

using Entry = cv::Vec<uint16_t, 3>;

// The raw table, read with the reader only: the independent side of these checks.
struct RawTable {
    cv::Mat lut;  // (piston, y, x) x 3 channels
    std::vector<double> pistons, xs, ys;
    cv::Mat pmax, pmin;
    cv::Mat ttp;
    int L = 0;

    explicit RawTable(const std::string& path) {
        MatFileReader reader;
        EXPECT_TRUE(reader.open(path));
        const MatlabVariables vars = reader.read();
        lut = MatFileReader::find<cv::Mat>(vars, "get_commands");
        L = lut.size[0];
        const auto vec = [&](const char* name, double scale) {
            const cv::Mat m = MatFileReader::find<cv::Mat>(vars, name);
            std::vector<double> v(m.total());
            for (size_t i = 0; i < v.size(); ++i) v[i] = m.ptr<double>()[i] * scale;
            return v;
        };
        pistons = vec("piston_range", 1e9);
        xs = vec("x_tilt_range", 1.0);
        ys = vec("y_tilt_range", 1.0);
        pmax = MatFileReader::find<cv::Mat>(vars, "piston_range_max_lookup") * 1e9;
        pmin = MatFileReader::find<cv::Mat>(vars, "piston_range_min_lookup") * 1e9;
        for (const auto& v : vars)
            if (v.name == "initialSegmentTTPMap") ttp = boost::any_cast<cv::Mat>(v.data);
    }

    Entry at(int p, int y, int x) const { return lut.at<Entry>(p, y, x); }
    static bool populated(const Entry& e) { return e[0] || e[1] || e[2]; }
};

struct HexTest : ::testing::Test {
    void SetUp() override {
        if (!std::filesystem::exists(table("hex_111.mat"))) GTEST_SKIP() << "no generated tables";
        ASSERT_EQ(cal.load(table("hex_111.mat")), NO_ERR);
    }
    KRVDMHexCalibration cal{kSegments};
};

std::array<unsigned, 3> values(const KRVDMHexCalibration& cal, unsigned s, double p, double x, double y, bool offsets,
                               KRVRC& rc) {
    std::array<unsigned, 3> v{9999, 9999, 9999};
    rc = cal.getActuatorValues(s, p, x, y, &v[0], &v[1], &v[2], offsets);
    return v;
}

}  // namespace

TEST_F(HexTest, TableIsReadIntoNanometres) {
    const RawTable raw(table("hex_111.mat"));
    EXPECT_EQ(cal.lutSize(), 15u);
    EXPECT_DOUBLE_EQ(cal.pistonFirst(), raw.pistons.front());
    EXPECT_DOUBLE_EQ(cal.pistonLast(), raw.pistons.back());
    EXPECT_NEAR(cal.pistonLast(), 1500.0, 1e-9);
    ASSERT_FALSE(raw.ttp.empty());
    for (unsigned s = 0; s < kSegments; ++s) {
        const double p = raw.ttp.at<double>(static_cast<int>(s), 2);
        EXPECT_EQ(cal.pistonOffset(s), p > 0.0 ? p : 0.0);
        EXPECT_EQ(cal.xTiltOffset(s), raw.ttp.at<double>(static_cast<int>(s), 0));
        EXPECT_EQ(cal.yTiltOffset(s), raw.ttp.at<double>(static_cast<int>(s), 1));
    }
}

TEST(HexLoad, RejectedAndPartialTables) {
    OLTEST_REQUIRE_FILE(table("hex_111_badlut.mat"));
    KRVDMHexCalibration bad(kSegments);
    EXPECT_EQ(bad.load(table("hex_111_badlut.mat")), ERR_INVALID_CALIBRATION);  // L x L x (L + 1) x 3
    KRVDMHexCalibration more(200);  // more segments than offset rows
    EXPECT_EQ(more.load(table("hex_111.mat")), ERR_INVALID_CALIBRATION);
    KRVDMHexCalibration wrongType(kSegments);
    EXPECT_EQ(wrongType.load(table("cdm_137.mat")), ERR_INVALID_CALIBRATION);
    KRVDMHexCalibration wrongName(kSegments);
    EXPECT_EQ(wrongName.load(table("hex_111.txt")), ERR_OPENFILE);

    KRVDMHexCalibration compressed(kSegments), plain(kSegments);
    ASSERT_EQ(compressed.load(table("hex_111_z.mat")), NO_ERR);
    ASSERT_EQ(plain.load(table("hex_111.mat")), NO_ERR);
    KRVRC a, b;
    EXPECT_EQ(values(compressed, 3, -700.0, 1e-4, -2e-4, true, a), values(plain, 3, -700.0, 1e-4, -2e-4, true, b));
    EXPECT_EQ(a, NO_ERR);
    EXPECT_EQ(b, NO_ERR);
}

// Coordinates that land exactly on samples take those samples alone.
TEST_F(HexTest, SamplesOnTheGrid) {
    const RawTable raw(table("hex_111.mat"));
    const int L = raw.L;
    int checked = 0;
    const auto exact = [L](const std::vector<double>& axis, int i) {
        const double span = axis.back() - axis.front();
        const double q = axis.front() + i * span / (L - 1);
        return (q - axis.front()) / span * (L - 1) == i ? q : std::nan("");
    };
    for (int p = 0; p < L; ++p)
        for (int y = 0; y < L; ++y)
            for (int x = 0; x < L; ++x) {
                const double qp = exact(raw.pistons, p), qy = exact(raw.ys, y), qx = exact(raw.xs, x);
                if (std::isnan(qp) || std::isnan(qy) || std::isnan(qx)) continue;
                KRVRC rc;
                const auto v = values(cal, 5, qp, qx, qy, false, rc);
                const Entry e = raw.at(p, y, x);
                if (RawTable::populated(e)) {
                    ASSERT_EQ(rc, NO_ERR);
                    EXPECT_EQ(v[0], e[0]);
                    EXPECT_EQ(v[1], e[1]);
                    EXPECT_EQ(v[2], e[2]);
                    ++checked;
                } else {
                    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
                }
            }
    EXPECT_GT(checked, 100);
}

// Between samples, the blend of the eight surrounding entries, each weighted by its three distances.
TEST_F(HexTest, TrilinearBetweenSamples) {
    const RawTable raw(table("hex_111.mat"));
    const int L = raw.L;
    cv::RNG rng(11);
    int checked = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const double p = rng.uniform(raw.pistons.front(), raw.pistons.back());
        const double x = rng.uniform(raw.xs.front(), raw.xs.back());
        const double y = rng.uniform(raw.ys.front(), raw.ys.back());
        const auto frac = [L](const std::vector<double>& axis, double q) {
            return (q - axis.front()) / (axis.back() - axis.front()) * (L - 1);
        };
        const double fp = frac(raw.pistons, p), fx = frac(raw.xs, x), fy = frac(raw.ys, y);
        const int p0 = static_cast<int>(fp), x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
        std::array<double, 3> expected{0, 0, 0};
        bool complete = true;
        for (int dp = 0; dp <= 1; ++dp)
            for (int dy = 0; dy <= 1; ++dy)
                for (int dx = 0; dx <= 1; ++dx) {
                    const Entry e = raw.at(p0 + dp, y0 + dy, x0 + dx);
                    complete = complete && RawTable::populated(e);
                    const double wgt = (dp ? fp - p0 : 1 - (fp - p0)) * (dy ? fy - y0 : 1 - (fy - y0)) *
                                       (dx ? fx - x0 : 1 - (fx - x0));
                    for (int c = 0; c < 3; ++c) expected[c] += wgt * e[c];
                }
        KRVRC rc;
        const auto v = values(cal, 0, p, x, y, false, rc);
        if (!complete) {
            EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
            continue;
        }
        ASSERT_EQ(rc, NO_ERR);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(v[c], expected[c], 0.5 + 1e-6);
        ++checked;
    }
    EXPECT_GT(checked, 50);
}

TEST_F(HexTest, OutsideTheTable) {
    const double last = cal.pistonLast();
    KRVRC rc;
    values(cal, 0, last / 2, 0.0, 0.0, false, rc);
    ASSERT_EQ(rc, NO_ERR);
    values(cal, 0, last + 1e-6, 0.0, 0.0, false, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
    values(cal, 0, cal.pistonFirst() - 1e-6, 0.0, 0.0, false, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
    values(cal, 0, last / 2, cal.xTiltFirst() - 1e-9, 0.0, false, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
    values(cal, 0, last / 2, 0.0, cal.yTiltFirst() + cal.yTiltSpan() * 1.0001, false, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
    values(cal, 0, std::nan(""), 0.0, 0.0, false, rc);
    EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
}

// A point between populated samples on the piston and y axes still fails when one x neighbour is empty.
TEST_F(HexTest, UnpopulatedNeighbour) {
    const RawTable raw(table("hex_111.mat"));
    const int L = raw.L;
    const auto at = [&](const std::vector<double>& axis, double f) {
        return axis.front() + f * (axis.back() - axis.front()) / (L - 1);
    };
    bool found = false;
    for (int p = 0; p + 1 < L && !found; ++p)
        for (int y = 0; y + 1 < L && !found; ++y)
            for (int x = 0; x + 2 < L && !found; ++x) {
                bool block = !RawTable::populated(raw.at(p, y, x));
                for (int dp = 0; dp <= 1; ++dp)
                    for (int dy = 0; dy <= 1; ++dy)
                        for (int dx = 1; dx <= 2; ++dx) block = block && RawTable::populated(raw.at(p + dp, y + dy, x + dx));
                if (!block) continue;
                found = true;
                KRVRC rc;
                values(cal, 0, at(raw.pistons, p + 0.5), at(raw.xs, x + 0.75), at(raw.ys, y + 0.5), false, rc);
                EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
                values(cal, 0, at(raw.pistons, p + 0.5), at(raw.xs, x + 1.5), at(raw.ys, y + 0.5), false, rc);
                EXPECT_EQ(rc, NO_ERR);
            }
    EXPECT_TRUE(found);
}

TEST_F(HexTest, SegmentNumberCheckedFirst) {
    double lo = 0, hi = 0;
    KRVRC rc;
    values(cal, kSegments, -700.0, 0.0, 0.0, true, rc);
    EXPECT_EQ(rc, ERR_SEGMENT_ID);
    EXPECT_EQ(cal.getPistonRange(kSegments, 0.0, 0.0, &lo, &hi, true), ERR_SEGMENT_ID);
    EXPECT_EQ(cal.getXTiltRange(kSegments + 100, 700.0, 0.0, &lo, &hi, true), ERR_SEGMENT_ID);
    EXPECT_EQ(cal.getYTiltRange(0xFFFFFFFFu, 700.0, 0.0, &lo, &hi, false), ERR_SEGMENT_ID);
    values(cal, kSegments - 1, -700.0, 0.0, 0.0, true, rc);
    EXPECT_EQ(rc, NO_ERR);
}

TEST_F(HexTest, OffsetsMoveTheCoordinates) {
    const unsigned s = 4;
    KRVRC a, b;
    const double p = 600.0, x = 3e-4, y = -5e-4;
    const auto withOffsets = values(cal, s, p, x, y, true, a);
    const auto shifted = values(cal, s, p - cal.pistonOffset(s) + cal.pistonLast(), x - cal.xTiltOffset(s),
                                y - cal.yTiltOffset(s), false, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(withOffsets, shifted);

    double lo1, hi1, lo2, hi2;
    ASSERT_EQ(cal.getPistonRange(s, x, y, &lo1, &hi1, true), NO_ERR);
    ASSERT_EQ(cal.getPistonRange(s, x - cal.xTiltOffset(s), y - cal.yTiltOffset(s), &lo2, &hi2, false), NO_ERR);
    EXPECT_DOUBLE_EQ(lo1, lo2 + cal.pistonOffset(s) - cal.pistonLast());
    EXPECT_DOUBLE_EQ(hi1, hi2 + cal.pistonOffset(s) - cal.pistonLast());

    ASSERT_EQ(cal.getXTiltRange(s, p, y, &lo1, &hi1, true), NO_ERR);
    ASSERT_EQ(cal.getXTiltRange(s, p - cal.pistonOffset(s), y - cal.yTiltOffset(s), &lo2, &hi2, false), NO_ERR);
    EXPECT_DOUBLE_EQ(lo1, lo2 + cal.xTiltOffset(s));
    EXPECT_DOUBLE_EQ(hi1, hi2 + cal.xTiltOffset(s));
}

// Without a TTP map the offsets are zero: the actuator lookup still moves the piston by the last sample,
// the tilt-range searches do not.
TEST(HexLoad, MissingOffsetMap) {
    OLTEST_REQUIRE_FILE(table("hex_111_nooffsets.mat"));
    KRVDMHexCalibration cal(kSegments);
    ASSERT_EQ(cal.load(table("hex_111_nooffsets.mat")), NO_ERR);
    EXPECT_EQ(cal.pistonOffset(9), 0.0);
    EXPECT_EQ(cal.xTiltOffset(9), 0.0);
    const double last = cal.pistonLast();
    KRVRC a, b;
    EXPECT_EQ(values(cal, 9, -800.0, 1e-4, 1e-4, true, a), values(cal, 9, last - 800.0, 1e-4, 1e-4, false, b));
    EXPECT_EQ(a, NO_ERR);
    EXPECT_EQ(b, NO_ERR);
    values(cal, 9, 700.0, 1e-4, 1e-4, true, a);
    EXPECT_EQ(a, ERR_OUT_OF_LUT_RANGE);  // 700 + 1500 is beyond the piston axis

    double lo1, hi1, lo2, hi2;
    ASSERT_EQ(cal.getXTiltRange(9, 700.0, 1e-4, &lo1, &hi1, true), NO_ERR);
    ASSERT_EQ(cal.getXTiltRange(9, 700.0, 1e-4, &lo2, &hi2, false), NO_ERR);
    EXPECT_EQ(lo1, lo2);
    EXPECT_EQ(hi1, hi2);
    EXPECT_EQ(cal.getYTiltRange(9, -800.0, 1e-4, &lo1, &hi1, true), ERR_OUT_OF_LUT_RANGE);
    ASSERT_EQ(cal.getPistonRange(9, 1e-4, 1e-4, &lo1, &hi1, true), NO_ERR);
    ASSERT_EQ(cal.getPistonRange(9, 1e-4, 1e-4, &lo2, &hi2, false), NO_ERR);
    EXPECT_DOUBLE_EQ(lo1, lo2 - last);
}

TEST_F(HexTest, PistonRangeFromTheLookups) {
    const RawTable raw(table("hex_111.mat"));
    const int L = raw.L;
    const double xSpan = raw.xs.back() - raw.xs.front(), ySpan = raw.ys.back() - raw.ys.front();
    int checked = 0, refused = 0;
    cv::RNG rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        const double x = rng.uniform(raw.xs.front(), raw.xs.back());
        const double y = rng.uniform(raw.ys.front(), raw.ys.back());
        const double fx = (x - raw.xs.front()) / xSpan * (L - 1), fy = (y - raw.ys.front()) / ySpan * (L - 1);
        double low = -HUGE_VAL, high = HUGE_VAL;
        bool finite = true;
        for (int r : {int(std::floor(fx)), int(std::ceil(fx))})
            for (int c : {int(std::floor(fy)), int(std::ceil(fy))}) {
                const double lo = std::round(raw.pmin.at<double>(r, c)), hi = std::round(raw.pmax.at<double>(r, c));
                finite = finite && std::isfinite(lo) && std::isfinite(hi);
                low = std::max(low, lo);
                high = std::min(high, hi);
            }
        double lo, hi;
        const KRVRC rc = cal.getPistonRange(0, x, y, &lo, &hi, false);
        if (!finite) {
            EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
            ++refused;
            continue;
        }
        ASSERT_EQ(rc, NO_ERR);
        EXPECT_EQ(lo, low);
        EXPECT_EQ(hi, high);
        EXPECT_EQ(lo, std::round(lo));  // the lookups are whole nanometres
        ++checked;
    }
    EXPECT_GT(checked, 30);
    EXPECT_GT(refused, 5);
}

TEST_F(HexTest, TiltRangesAreTheCommonPopulatedRun) {
    const RawTable raw(table("hex_111.mat"));
    const int L = raw.L;
    const auto frac = [L](const std::vector<double>& axis, double q) {
        return (q - axis.front()) / (axis.back() - axis.front()) * (L - 1);
    };
    const auto run = [&](int p, int fixed, bool freeX, int& first, int& end) {
        first = end = -1;
        for (int i = 0; i < L; ++i) {
            const bool pop = RawTable::populated(freeX ? raw.at(p, fixed, i) : raw.at(p, i, fixed));
            if (first < 0) {
                if (pop) first = end = i;
            } else if (pop && end == i - 1) {
                end = i;
            }
        }
    };
    cv::RNG rng(3);
    int checked = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const bool freeX = trial % 2 == 0;
        const double p = rng.uniform(raw.pistons.front(), raw.pistons.back());
        const std::vector<double>& fixedAxis = freeX ? raw.ys : raw.xs;
        const std::vector<double>& freeAxis = freeX ? raw.xs : raw.ys;
        const double fixed = rng.uniform(fixedAxis.front(), fixedAxis.back());
        const double fp = frac(raw.pistons, p), ff = frac(fixedAxis, fixed);
        int low = -1, high = L;
        bool first = true;
        for (int ip : {int(std::floor(fp)), int(std::ceil(fp))})
            for (int jf : {int(std::floor(ff)), int(std::ceil(ff))}) {
                int a, b;
                run(ip, jf, freeX, a, b);
                low = first ? a : std::max(low, a);
                high = first ? b : std::min(high, b);
                first = false;
            }
        double lo, hi;
        const KRVRC rc = freeX ? cal.getXTiltRange(0, p, fixed, &lo, &hi, false)
                               : cal.getYTiltRange(0, p, fixed, &lo, &hi, false);
        if (!(low >= 0 && high < L && low < high)) {
            EXPECT_EQ(rc, ERR_OUT_OF_LUT_RANGE);
            continue;
        }
        ASSERT_EQ(rc, NO_ERR);
        const double span = freeAxis.back() - freeAxis.front();
        EXPECT_DOUBLE_EQ(lo, freeAxis.front() + low * span / (L - 1));
        EXPECT_DOUBLE_EQ(hi, freeAxis.front() + high * span / (L - 1));
        EXPECT_LT(lo, hi);
        ++checked;
    }
    EXPECT_GT(checked, 60);
}

// Axis ends and offsets that are not finite numbers (or an axis that does not increase) would turn coordinates
// and reported ranges into NaN; such tables are refused at load.
TEST(HexLoad, NonFiniteAxesAndOffsetsAreRefused) {
    krvtest::TempDir dir;
    const double nan = std::nan(""), inf = HUGE_VAL;
    struct Case {
        const char* what;
        std::array<double, 2> pistons, xs, ys;
        double offset;
        KRVRC expected;
    };
    const Case cases[] = {
        {"good", {0, 1.5e-6}, {-1e-3, 1e-3}, {-1e-3, 1e-3}, 0.0, NO_ERR},
        {"NaN x-tilt", {0, 1.5e-6}, {nan, 1e-3}, {-1e-3, 1e-3}, 0.0, ERR_INVALID_CALIBRATION},
        {"infinite piston", {0, inf}, {-1e-3, 1e-3}, {-1e-3, 1e-3}, 0.0, ERR_INVALID_CALIBRATION},
        {"span overflows", {0, 1.5e-6}, {-1e308, 1e308}, {-1e-3, 1e-3}, 0.0, ERR_INVALID_CALIBRATION},
        {"flat y-tilt", {0, 1.5e-6}, {-1e-3, 1e-3}, {1e-3, 1e-3}, 0.0, ERR_INVALID_CALIBRATION},
        {"NaN offset", {0, 1.5e-6}, {-1e-3, 1e-3}, {-1e-3, 1e-3}, nan, ERR_INVALID_CALIBRATION},
    };
    for (const Case& c : cases) {
        MatWriter w;
        w.addUInt16("get_commands", {2, 2, 2, 3}, std::vector<uint16_t>(24, 30000));
        w.addDouble("piston_range", cv::Mat(1, 2, CV_64F, const_cast<double*>(c.pistons.data())));
        w.addDouble("x_tilt_range", cv::Mat(1, 2, CV_64F, const_cast<double*>(c.xs.data())));
        w.addDouble("y_tilt_range", cv::Mat(1, 2, CV_64F, const_cast<double*>(c.ys.data())));
        w.addDouble("piston_range_max_lookup", cv::Mat(2, 2, CV_64F, cv::Scalar(1.5e-6)));
        w.addDouble("piston_range_min_lookup", cv::Mat(2, 2, CV_64F, cv::Scalar(0.0)));
        cv::Mat ttp(kSegments, 3, CV_64F, cv::Scalar(0.0));
        ttp.at<double>(5, 0) = c.offset;
        w.addDouble("initialSegmentTTPMap", ttp);
        const std::string path = dir.path() + "/t.mat";
        ASSERT_TRUE(w.save(path));
        KRVDMHexCalibration cal(kSegments);
        EXPECT_EQ(cal.load(path), c.expected) << c.what;
    }
}
