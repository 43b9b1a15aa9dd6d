// Pictures of surfaces made at the size they are shown, and the per-term pictures of Zernike series.
#include "surfacepictures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>

namespace shapes {

namespace {

// Four samples per actuator: the smooth surface's numbers are taken there.
constexpr int kFineSamples = 4;

// Scaled values below this in magnitude round and saturate to entries as they are.
constexpr double kOnScale = 1 << 30;

}  // namespace

PictureGeometry::PictureGeometry(const cv::Mat& gridRegion, double diameter, int side)
    : gridRegion_(gridRegion.clone()), diameter_(diameter), side_(std::max(1, side)) {
    const int w = gridRegion_.cols;
    const int n = static_cast<int>(gridRegion_.total());
    nearest_.resize(static_cast<size_t>(n));
    std::vector<int> inside;
    for (int i = 0; i < n; ++i)
        if (gridRegion_.data[i]) inside.push_back(i);
    for (int i = 0; i < n; ++i) {
        nearest_[static_cast<size_t>(i)] = i;
        if (gridRegion_.data[i] || inside.empty()) continue;
        const int y = i / w, x = i % w;
        long best = std::numeric_limits<long>::max();
        for (int j : inside) {
            const long dy = j / w - y, dx = j % w - x, d = dx * dx + dy * dy;
            if (d < best) {
                best = d;
                nearest_[static_cast<size_t>(i)] = j;
            }
        }
    }
    // The discrete target keeps its cells: the grid region enlarged without smoothing.
    cv::resize(gridRegion_, targetRegion_, cv::Size(side_, side_), 0, 0, cv::INTER_NEAREST);
    smoothRegion_ = apertureRegion(side_, w, diameter_);
    fineRegion_ = apertureRegion(kFineSamples * w, w, diameter_);
    gridRuns_ = RegionRuns::of(gridRegion_);
    targetRuns_ = RegionRuns::of(targetRegion_);
    smoothRuns_ = RegionRuns::of(smoothRegion_);
    fineRuns_ = RegionRuns::of(fineRegion_);
}

bool PictureGeometry::sameAs(const cv::Mat& gridRegion, double diameter, int side) const {
    return side == side_ && diameter == diameter_ && gridRegion.size() == gridRegion_.size() &&
           gridRegion.type() == gridRegion_.type() &&
           (gridRegion.isContinuous() ? std::memcmp(gridRegion.data, gridRegion_.data,
                                                    gridRegion.total() * gridRegion.elemSize()) == 0
                                      : cv::countNonZero(gridRegion != gridRegion_) == 0);
}

cv::Mat PictureGeometry::extend(const cv::Mat& grid) const {
    cv::Mat out(grid.size(), CV_64F);
    const cv::Mat values = grid.isContinuous() ? grid : grid.clone();
    const double* in = values.ptr<double>();
    double* o = out.ptr<double>();
    for (size_t i = 0; i < nearest_.size(); ++i) {
        const double v = in[nearest_[i]];
        // Nothing to take from (an empty aperture): a point without a value counts as zero.
        o[i] = std::isfinite(v) ? v : 0.0;
    }
    return out;
}

SurfacePlanes PictureGeometry::planes(const cv::Mat& gridTarget, const cv::Mat& gridExpected) const {
    SurfacePlanes p;
    cv::Mat big;
    cv::resize(extend(gridTarget), big, cv::Size(side_, side_), 0, 0, cv::INTER_LINEAR);
    big.convertTo(p.target, CV_32F);
    const int fine = kFineSamples * gridWidth();
    cv::Mat enlarged;
    cv::resize(extend(gridExpected), enlarged, cv::Size(fine, fine), 0, 0, cv::INTER_CUBIC);
    cv::GaussianBlur(enlarged, p.smoothFine, cv::Size(0, 0), 2.0);
    cv::resize(p.smoothFine, big, cv::Size(side_, side_), 0, 0, cv::INTER_LINEAR);
    big.convertTo(p.smooth, CV_32F);
    return p;
}

void fillPixels(QRgb* begin, QRgb* end, QRgb colour) {
    static_assert(sizeof(wchar_t) == sizeof(QRgb), "wide characters are 32-bit words here");
    if (end > begin)
        std::wmemset(reinterpret_cast<wchar_t*>(begin), static_cast<wchar_t>(colour), static_cast<size_t>(end - begin));
}

QImage colourPicture(const cv::Mat& plane, const cv::Mat& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table) {
    CV_Assert(region.type() == CV_8U && plane.size() == region.size());
    return colourPicture(plane, RegionRuns::of(region), lo, hi, clipLo, clipHi, table);
}

QImage colourPicture(const cv::Mat& plane, const RegionRuns& region, double lo, double hi, double clipLo,
                     double clipHi, const QVector<QRgb>& table, double bound) {
    CV_Assert(plane.type() == CV_32F && plane.rows == region.rows && plane.cols == region.cols && table.size() >= 256);
    const double span = hi - lo;
    const double a = span > 0 ? 254.0 / span : 0.0, b = span > 0 ? -lo * 254.0 / span : 0.0;
    // lo..hi onto entries 0..254, rounded to the nearest. Rounding keeps order, so clipping the values to
    // clipLo..clipHi is clipping the scaled values to the (whole) entries of those limits, before rounding.
    const double first = std::isfinite(clipLo) ? std::clamp(std::round(clipLo * a + b), 0.0, 254.0) : 0.0;
    const double last = std::isfinite(clipHi) ? std::clamp(std::round(clipHi * a + b), first, 254.0) : 254.0;
    // The entries of every point, rounded and saturated to 0..255 in one vectorised pass; clipping is then a
    // table whose entries below `first` and above `last` repeat those limits' colours. A value that is not a
    // number becomes 0 and so takes the lowest entry. Scaled values beyond the integers (infinities, or values
    // far off the scale) would not saturate: the picture's values are clamped to the scale's ends first then.
    thread_local cv::Mat entries, clamped;
    double largest = bound;
    if (!(largest * std::abs(a) + std::abs(b) < kOnScale)) {
        // No bound from the caller: the largest magnitude, looked for (a value that is not a number gives one).
        largest = 0.0;
        for (int y = 0; y < plane.rows; ++y) {
            const float* in = plane.ptr<float>(y);
            for (int x = 0; x < plane.cols; ++x) {
                const float m = std::abs(in[x]);
                largest = m > largest || m != m ? m : largest;
            }
        }
    }
    if (largest * std::abs(a) + std::abs(b) < kOnScale) {
        plane.convertTo(entries, CV_8U, a, b);
    } else {
        plane.convertTo(clamped, CV_32F, a, b);
        cv::patchNaNs(clamped, 0.0);
        cv::min(clamped, 255.0, clamped);
        cv::max(clamped, -1.0, clamped);
        clamped.convertTo(entries, CV_8U);
    }
    const QRgb* colours = table.constData();
    QRgb clipped[256];
    for (int i = 0; i < 256; ++i)
        clipped[i] = colours[static_cast<int>(std::clamp(static_cast<double>(i), first, last))];
    QImage image(plane.cols, plane.rows, QImage::Format_RGB32);
    const QRgb background = colours[255];
    uchar* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    for (int y = 0; y < plane.rows; ++y) {
        const uchar* __restrict entry = entries.ptr<uchar>(y);
        auto* __restrict out = reinterpret_cast<QRgb*>(bits + y * stride);
        int done = 0;
        for (int k = region.rowStart[static_cast<size_t>(y)]; k < region.rowStart[static_cast<size_t>(y) + 1]; ++k) {
            const auto [begin, end] = region.runs[static_cast<size_t>(k)];
            fillPixels(out + done, out + begin, background);
            int x = begin;
            for (; x + 4 <= end; x += 4) {
                const QRgb c0 = clipped[entry[x]], c1 = clipped[entry[x + 1]];
                const QRgb c2 = clipped[entry[x + 2]], c3 = clipped[entry[x + 3]];
                out[x] = c0;
                out[x + 1] = c1;
                out[x + 2] = c2;
                out[x + 3] = c3;
            }
            for (; x < end; ++x) out[x] = clipped[entry[x]];
            done = end;
        }
        fillPixels(out + done, out + plane.cols, background);
    }
    return image;
}

bool ZernikePictures::fits(int terms, int apertureDiameter, const PictureGeometry& geometry) const {
    return !planes_.empty() && terms == terms_ && apertureDiameter == apertureDiameter_ &&
           geometry.side() == side_ && geometry.gridWidth() == gridWidth_ && geometry.diameter() == diameter_;
}

void ZernikePictures::clear() {
    grids_.clear();
    planes_.clear();
    terms_ = 0;
    apertureDiameter_ = -1;
}

bool ZernikePictures::build(const ZernikeGridSurface& surfaceOf, int terms, int apertureDiameter,
                            const PictureGeometry& geometry) {
    clear();
    std::vector<cv::Mat> grids;
    std::vector<SurfacePlanes> planes;
    for (int t = 0; t < terms; ++t) {
        std::vector<double> unit(static_cast<size_t>(terms), 0.0);
        unit[static_cast<size_t>(t)] = 1.0;
        cv::Mat grid;
        if (!surfaceOf(unit, &grid) || grid.size() != geometry.gridRegion().size()) return false;
        grid.convertTo(grid, CV_64F);
        planes.push_back(geometry.planes(grid, grid));
        grids.push_back(grid);
    }
    grids_ = std::move(grids);
    planes_ = std::move(planes);
    terms_ = terms;
    apertureDiameter_ = apertureDiameter;
    side_ = geometry.side();
    gridWidth_ = geometry.gridWidth();
    diameter_ = geometry.diameter();
    return true;
}

bool ZernikePictures::compose(const std::vector<double>& coefficients, const cv::Mat& gridTarget,
                              const cv::Mat& gridRegion, SurfacePlanes* out) const {
    if (planes_.empty() || coefficients.size() != planes_.size() || gridTarget.size() != grids_[0].size() ||
        gridTarget.type() != CV_64F)
        return false;
    // The series on the grid, checked against the surface the kit solved for: the pictures are the target's
    // only when the two agree (the kit may treat points of the map that are exactly zero as missing).
    if (gridRegion.size() != gridTarget.size() || gridRegion.type() != CV_8U || !gridRegion.isContinuous() ||
        !gridTarget.isContinuous())
        return false;
    std::vector<std::pair<double, const double*>> used;
    for (size_t t = 0; t < planes_.size(); ++t)
        if (coefficients[t] != 0.0) used.emplace_back(coefficients[t], grids_[t].ptr<double>());
    const double* target = gridTarget.ptr<double>();
    const uchar* inside = gridRegion.ptr<uchar>();
    double worst = 0.0, scale = 0.0;
    const size_t points = gridTarget.total();
    for (size_t i = 0; i < points; ++i) {
        if (!inside[i]) continue;
        double sum = 0.0;
        for (const auto& [c, grid] : used) sum += grid[i] * c;
        // A difference that is not a number fails the check below.
        const double off = std::abs(sum - target[i]);
        worst = off > worst || std::isnan(off) ? off : worst;
        scale = std::max(scale, std::abs(target[i]));
    }
    if (!(worst <= 1e-6 * std::max(1.0, scale))) return false;

    SurfacePlanes sum;
    bool first = true;
    for (size_t t = 0; t < planes_.size(); ++t) {
        const double c = coefficients[t];
        if (c == 0.0) continue;
        const SurfacePlanes& term = planes_[t];
        if (first) {
            term.target.convertTo(sum.target, CV_32F, c);
            term.smooth.convertTo(sum.smooth, CV_32F, c);
            term.smoothFine.convertTo(sum.smoothFine, CV_64F, c);
            first = false;
            continue;
        }
        cv::scaleAdd(term.target, c, sum.target, sum.target);
        cv::scaleAdd(term.smooth, c, sum.smooth, sum.smooth);
        cv::scaleAdd(term.smoothFine, c, sum.smoothFine, sum.smoothFine);
    }
    if (first) {  // every coefficient zero: a flat surface
        sum.target = cv::Mat::zeros(planes_[0].target.size(), CV_32F);
        sum.smooth = cv::Mat::zeros(planes_[0].smooth.size(), CV_32F);
        sum.smoothFine = cv::Mat::zeros(planes_[0].smoothFine.size(), CV_64F);
    }
    *out = std::move(sum);
    return true;
}

}  // namespace shapes
