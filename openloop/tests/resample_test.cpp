// Phase map resampling (aperture fill, margins, sampling, the caller's copy) and Zernike grid maps.
#include "Resample.h"
#include "ZernikeMap.h"

#include <Zernike.h>

#include "SerialOpenCV.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace MirrorKit;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A map that is linear inside a centred disc of the given radius and `outside` elsewhere.
cv::Mat discMap(int size, double radius, double outside) {
    cv::Mat m(size, size, CV_64F);
    const double c = (size - 1) / 2.0;
    for (int r = 0; r < size; ++r)
        for (int col = 0; col < size; ++col) {
            const bool in = std::hypot(r - c, col - c) <= radius;
            m.at<double>(r, col) = in ? 100.0 + 2.0 * col - 1.0 * r : outside;
        }
    return m;
}

}  // namespace

TEST(Resample, FillDecision) {
    // NaN outside the inscribed disc: well over 21 % of the map.
    EXPECT_TRUE(apertureNeedsFill(discMap(100, 49.5, kNaN)));
    // Zero outside the disc, with nothing else there: filled as well.
    EXPECT_TRUE(apertureNeedsFill(discMap(100, 49.5, 0.0)));
    // A nonzero value outside the disc means the zeros are part of the surface.
    cv::Mat marked = discMap(100, 49.5, 0.0);
    marked.at<double>(0, 0) = 3.0;
    EXPECT_FALSE(apertureNeedsFill(marked));
    // 21 % or fewer invalid pixels: sampled as they are.
    cv::Mat few(100, 100, CV_64F, cv::Scalar(5.0));
    few.rowRange(0, 21).setTo(kNaN);
    EXPECT_FALSE(apertureNeedsFill(few));
    few.rowRange(21, 22).setTo(kNaN);
    EXPECT_TRUE(apertureNeedsFill(few));
    // An all-zero map is never filled.
    EXPECT_FALSE(apertureNeedsFill(cv::Mat::zeros(64, 64, CV_64F)));
}

TEST(Resample, AllZeroMapGivesZeros) {
    const cv::Mat grid = resamplePhaseMap(cv::Mat::zeros(50, 50, CV_64F), 12, 9);
    ASSERT_EQ(grid.rows, 12);
    ASSERT_EQ(grid.cols, 12);
    EXPECT_EQ(cv::countNonZero(grid), 0);
}

TEST(Resample, FullApertureSpansTheMapEdgeToEdge) {
    // With D = W - 1 there is no margin; a linear ramp is sampled at c * (width - 1) / (W - 1).
    const int size = 97, w = 13;
    cv::Mat ramp(size, size, CV_64F);
    for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c) ramp.at<double>(r, c) = 3.0 * c + 0.5 * r;
    const cv::Mat grid = resamplePhaseMap(ramp, w, w - 1);
    const double step = (size - 1.0) / (w - 1.0);
    EXPECT_DOUBLE_EQ(grid.at<double>(0, 0), 0.0);
    EXPECT_NEAR(grid.at<double>(w - 1, w - 1), 3.5 * (size - 1), 1e-9);
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < w; ++c)
            EXPECT_NEAR(grid.at<double>(r, c), 3.0 * c * step + 0.5 * r * step, 3.5 / 32.0);  // sub-pixel steps
}

TEST(Resample, MarginsCentreTheAperture) {
    // D = W - 3: the map covers the middle D spacings, its edge values repeated outwards.
    const int size = 120, w = 12, d = 9;
    cv::Mat ramp(size, size, CV_64F);
    for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c) ramp.at<double>(r, c) = static_cast<double>(c);
    const cv::Mat grid = resamplePhaseMap(ramp, w, d);
    const double s = (w - 1.0) / d - 1.0;
    const int pad = static_cast<int>(std::ceil(size * s * 0.5));
    const double scale = (size + 2.0 * pad - 1.0) / (w - 1.0);
    for (int c = 0; c < w; ++c) {
        const double expected = std::min(size - 1.0, std::max(0.0, c * scale - pad));
        EXPECT_NEAR(grid.at<double>(5, c), expected, scale / 32.0 + 1e-9) << c;
    }
    EXPECT_EQ(grid.at<double>(3, 0), 0.0);  // inside the left margin
    EXPECT_EQ(grid.at<double>(3, w - 1), size - 1.0);
}

TEST(Resample, NaNBorderIsFilledFromTheNearestApertureValue) {
    const int size = 101, w = 12;
    const cv::Mat map = discMap(size, 50.0, kNaN);
    const cv::Mat grid = resamplePhaseMap(map, w, w - 1);
    EXPECT_TRUE(cv::checkRange(grid));
    // The grid corners sit on the map corners, whose nearest aperture pixels lie on the diagonal at the rim.
    const double c = (size - 1) / 2.0;
    for (const auto& [r, col] : {std::pair<int, int>{0, 0}, {0, size - 1}, {size - 1, 0}, {size - 1, size - 1}}) {
        double best = HUGE_VAL, value = 0.0;
        for (int i = 0; i < size; ++i)
            for (int j = 0; j < size; ++j) {
                if (std::hypot(i - c, j - c) > 50.0) continue;
                const double dist = std::hypot(i - r, j - col);
                if (dist < best) best = dist, value = map.at<double>(i, j);
            }
        const int gr = r ? w - 1 : 0, gc = col ? w - 1 : 0;
        // The distance masks approximate Euclidean distance: a neighbour or two along the rim may win.
        EXPECT_NEAR(grid.at<double>(gr, gc), value, 6.0) << r << "," << col;
    }
    // Inside the aperture nothing changes.
    EXPECT_NEAR(grid.at<double>(6, 6), map.at<double>(static_cast<int>(std::lround(6 * (size - 1) / 11.0)),
                                                     static_cast<int>(std::lround(6 * (size - 1) / 11.0))),
                3.0);
}

TEST(Resample, FewInvalidPixelsAreNotFilled) {
    cv::Mat map(100, 100, CV_64F, cv::Scalar(7.0));
    map.rowRange(0, 10).setTo(kNaN);
    const cv::Mat grid = resamplePhaseMap(map, 12, 11);
    EXPECT_TRUE(std::isnan(grid.at<double>(0, 5)));
    EXPECT_EQ(grid.at<double>(11, 5), 7.0);
}

TEST(Resample, CallerCopy) {
    cv::Mat grid(12, 12, CV_64F);
    for (int i = 0; i < 144; ++i) grid.ptr<double>()[i] = i;
    // D = 9, N = 10: the block starts at floor(5.5 - 4.5) = 1.
    std::vector<double> block(100, -1.0);
    copyGridMap(grid, 9, block.data(), 100);
    EXPECT_EQ(block[0], 13.0);
    EXPECT_EQ(block[9], 22.0);
    EXPECT_EQ(block[99], 10 * 12 + 10);
    std::vector<double> whole(150, -1.0);
    copyGridMap(grid, 9, whole.data(), 150);
    EXPECT_EQ(whole[143], 143.0);
    EXPECT_EQ(whole[144], -1.0);
    // With D = W - 1 the block is the whole grid.
    std::vector<double> all(144, -1.0);
    copyGridMap(grid, 11, all.data(), 144);
    EXPECT_EQ(all[0], 0.0);
    EXPECT_EQ(all[143], 143.0);
}

// Equal to the library's sum within rounding: the map raises rho by multiplication and turns through theta for
// cos/sin(m theta), the library calls pow, cos and sin, so the two differ by a few units in the last place of the
// largest terms. The tolerance is 1e-12 of the sum of the terms' magnitudes at the position (for a clamped corner,
// the largest such sum inside the aperture).
TEST(ZernikeGrid, EqualsThePerPositionSum) {
    const int w = 64, d = 61;
    std::vector<double> coeffs(66);
    cv::RNG rng(17);
    for (double& c : coeffs) c = rng.uniform(-50.0, 50.0);
    const cv::Mat map = zernikeGridMap(coeffs, w, d);

    const double c = (w - 1) * 0.5, r = d * 0.5, k = (c / r) / std::ceil(c);
    cv::Mat direct(w, w, CV_64F), magnitude(w, w, CV_64F);
    double lo = HUGE_VAL, hi = -HUGE_VAL, largest = 0.0;
    for (int i = 0; i < w; ++i)
        for (int j = 0; j < w; ++j) {
            const double rho = std::hypot(j - c, i - c) * k, theta = std::atan2(i - c, j - c);
            const double v = Zernike::ZernikeAberrations(coeffs, rho, theta, Zernike::OSA);
            double sum = 0.0;
            for (int q = 0; q < 66; ++q) {
                int n, m;
                Zernike::OSAToQuantum(q, n, m);
                sum += std::fabs(coeffs[static_cast<size_t>(q)] * Zernike::ZernikePolynomial(n, m, rho, theta));
            }
            direct.at<double>(i, j) = v;
            magnitude.at<double>(i, j) = sum;
            if (rho <= 1.0) lo = std::min(lo, v), hi = std::max(hi, v), largest = std::max(largest, sum);
        }
    int clamped = 0;
    for (int i = 0; i < w; ++i)
        for (int j = 0; j < w; ++j) {
            const double expected = std::min(hi, std::max(lo, direct.at<double>(i, j)));
            const bool corner = expected != direct.at<double>(i, j);
            clamped += corner;
            const double scale = corner ? largest : magnitude.at<double>(i, j);
            EXPECT_NEAR(map.at<double>(i, j), expected, 1e-12 * std::max(1.0, scale));
        }
    EXPECT_GT(clamped, 0);  // the corners of this series leave the aperture's range
}

TEST(ZernikeGrid, PistonOnlyIsFlat) {
    const cv::Mat map = zernikeGridMap({42.5}, 12, 9);
    double lo, hi;
    cv::minMaxLoc(map, &lo, &hi);
    EXPECT_EQ(lo, 42.5);
    EXPECT_EQ(hi, 42.5);
}

namespace {

bool sameBits(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// discMap with values that change from call to call while NaN and zeros stay where they are.
cv::Mat varied(const cv::Mat& map, double k) {
    cv::Mat out = map.clone();
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            double& v = out.at<double>(r, c);
            if (!std::isnan(v) && v != 0.0) v += k * std::sin(0.05 * r + 0.03 * c * k);
        }
    return out;
}

}  // namespace

// Every call of a plan gives the grid of a fresh resampling, bit for bit, whatever it reused.
TEST(ResamplePlan, RemembersAndAgreesWithAFreshResampling) {
    using Reuse = ResamplePlan::Reuse;
    ResamplePlan plan;
    cv::Mat grid;
    const auto check = [&](const cv::Mat& map, int w, int d, Reuse expected) {
        plan.resample(map, w, d, grid);
        EXPECT_EQ(plan.lastReuse(), expected);
        EXPECT_TRUE(sameBits(grid, resamplePhaseMap(map, w, d))) << map.size() << " " << w << " " << d;
    };
    const cv::Mat disc = discMap(200, 90.0, kNaN);
    check(disc, 34, 31, Reuse::None);
    for (double k : {1.0, 2.5, -3.0}) check(varied(disc, k), 34, 31, Reuse::All);
    cv::Mat one = varied(disc, 4.0);
    one.at<double>(100, 100) = kNaN;  // one more NaN inside the aperture
    check(one, 34, 31, Reuse::Geometry);
    one.at<double>(100, 100) = 0.0;  // now a zero there
    check(one, 34, 31, Reuse::Geometry);
    check(varied(disc, 5.0), 34, 31, Reuse::Geometry);  // the first region again
    check(varied(disc, 6.0), 34, 31, Reuse::All);
    check(disc, 34, 33, Reuse::None);                   // another diameter
    check(disc, 12, 9, Reuse::None);                    // another grid

    // Maps that are not filled, or filled because they are zero around a disc; maps that are not square.
    cv::Mat few(100, 100, CV_64F, cv::Scalar(7.0));
    few.rowRange(0, 10).setTo(kNaN);
    check(few, 12, 11, Reuse::None);
    check(discMap(101, 50.0, 0.0), 12, 9, Reuse::None);
    check(cv::Mat::zeros(64, 64, CV_64F), 12, 9, Reuse::None);
    cv::Mat wide = discMap(160, 60.0, kNaN).rowRange(20, 140).clone();
    check(wide, 13, 10, Reuse::None);
    check(varied(wide, 2.0), 13, 10, Reuse::All);
    check(wide.t(), 13, 10, Reuse::None);
    // A map too small for the grid: taps fall on the replicated border.
    check(discMap(7, 3.0, kNaN), 34, 31, Reuse::None);
}
