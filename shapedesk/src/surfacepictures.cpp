// Pictures of surfaces made at the size they are shown, and the per-term pictures of Zernike series.
#include "surfacepictures.h"

#include <immintrin.h>
#include <opencv2/core/hal/intrin.hpp>
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

namespace {

// The terms of a series that count, each as its coefficient and its plane.
template <typename T>
struct Term {
    T coefficient;
    const cv::Mat* plane;
};

// The pixels of `area` of a picture of a sum of terms, coloured a run at a time, written at `origin` (the picture's
// (0, 0)), rows `stride` bytes apart, the background outside the region. Each point's colour depends on its own
// values only, so a part is drawn as the whole picture draws it.
void colourArea(const std::vector<const cv::Mat*>& planes, const std::vector<float>& coefficients,
                const RegionRuns& region, const ColourScale& colours, uchar* origin, qsizetype stride,
                const QRect& area) {
    const int count = static_cast<int>(planes.size());
    std::vector<const float*> rows(planes.size());
    const int left = std::max(0, area.left()), right = std::min(region.cols, area.right() + 1);
    const int top = std::max(0, area.top()), bottom = std::min(region.rows, area.bottom() + 1);
    if (left >= right) return;
    for (int y = top; y < bottom; ++y) {
        auto* out = reinterpret_cast<QRgb*>(origin + y * stride);
        for (size_t t = 0; t < planes.size(); ++t) rows[t] = planes[t]->ptr<float>(y);
        int done = left;
        for (int k = region.rowStart[static_cast<size_t>(y)]; k < region.rowStart[static_cast<size_t>(y) + 1]; ++k) {
            const int begin = std::max(region.runs[static_cast<size_t>(k)].first, left);
            const int end = std::min(region.runs[static_cast<size_t>(k)].second, right);
            if (begin >= end) continue;
            fillPixels(out + done, out + begin, colours.background);
            colours.colour(rows.data(), coefficients.data(), count, begin, end, out);
            done = end;
        }
        fillPixels(out + done, out + right, colours.background);
    }
}

// A picture of a sum of terms.
QImage colourSum(const std::vector<Term<float>>& terms, const RegionRuns& region, const ColourScale& colours) {
    QImage image(region.cols, region.rows, QImage::Format_RGB32);
    std::vector<const cv::Mat*> planes(terms.size());
    std::vector<float> coefficients(terms.size());
    for (size_t t = 0; t < terms.size(); ++t) {
        coefficients[t] = terms[t].coefficient;
        planes[t] = terms[t].plane;
    }
    colourArea(planes, coefficients, region, colours, image.bits(), image.bytesPerLine(),
               QRect(0, 0, region.cols, region.rows));
    return image;
}

}  // namespace

QImage colourPicture(const cv::Mat& plane, const cv::Mat& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table) {
    CV_Assert(region.type() == CV_8U && plane.size() == region.size());
    return colourPicture(plane, RegionRuns::of(region), lo, hi, clipLo, clipHi, table);
}

ColourScale::ColourScale(double lo, double hi, double clipLo, double clipHi, const QVector<QRgb>& table) {
    CV_Assert(table.size() >= 256);
    const double span = hi - lo;
    const double a = span > 0 ? 254.0 / span : 0.0, b = span > 0 ? -lo * 254.0 / span : 0.0;
    scale = static_cast<float>(a);
    offset = static_cast<float>(b);
    // lo..hi onto entries 0..254, rounded to the nearest. Rounding keeps order, so clipping the values to
    // clipLo..clipHi is clipping the scaled values to the (whole) entries of those limits, before rounding: a
    // table whose entries below `first` and above `last` repeat those limits' colours.
    const double first = std::isfinite(clipLo) ? std::clamp(std::round(clipLo * a + b), 0.0, 254.0) : 0.0;
    const double last = std::isfinite(clipHi) ? std::clamp(std::round(clipHi * a + b), first, 254.0) : 254.0;
    const QRgb* colours = table.constData();
    for (int i = 0; i < 256; ++i)
        colours_[i] = colours[static_cast<int>(std::clamp(static_cast<double>(i), first, last))];
    background = colours[255];
}

namespace {

// A point's value: the terms' values times their coefficients, summed term by term in order; then scaled. Each
// step a product, then a sum: never fused, so that every path gives the same values.
inline float sumAt(const float* const* rows, const float* coefficients, int terms, int x) {
    if (terms == 0) return 0.0f;
    float s = rows[0][x] * coefficients[0];
    for (int t = 1; t < terms; ++t) s = s + rows[t][x] * coefficients[t];
    return s;
}

// Eight points at a time; returns where it stopped. `Terms`, when not 0, is the number of terms, known when
// compiled (the coefficients then stay in registers).
template <int Terms>
__attribute__((target("avx2"))) int colourAvx2(const float* const* rows, const float* coefficients, int terms,
                                               int begin, int end, float scale, float offset, const QRgb* colours,
                                               QRgb* out) {
    const int count = Terms > 0 ? Terms : terms;
    const __m256 a = _mm256_set1_ps(scale), b = _mm256_set1_ps(offset);
    const __m256 below = _mm256_setzero_ps(), above = _mm256_set1_ps(255.0f);
    const int* table = reinterpret_cast<const int*>(colours);
    int x = begin;
    for (; x + 8 <= end; x += 8) {
        __m256 v = _mm256_setzero_ps();
        if (count > 0) {
            v = _mm256_mul_ps(_mm256_loadu_ps(rows[0] + x), _mm256_set1_ps(coefficients[0]));
            for (int t = 1; t < count; ++t)
                v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_loadu_ps(rows[t] + x), _mm256_set1_ps(coefficients[t])));
        }
        // _mm256_max_ps gives its second operand when the first is not a number.
        const __m256 e = _mm256_min_ps(_mm256_max_ps(_mm256_add_ps(_mm256_mul_ps(v, a), b), below), above);
        const __m256i entries = _mm256_cvtps_epi32(e);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_i32gather_epi32(table, entries, 4));
    }
    return x;
}

int colourWide(const float* const* rows, const float* coefficients, int terms, int begin, int end, float scale,
               float offset, const QRgb* colours, QRgb* out) {
    switch (terms) {
        case 1: return colourAvx2<1>(rows, coefficients, terms, begin, end, scale, offset, colours, out);
        case 2: return colourAvx2<2>(rows, coefficients, terms, begin, end, scale, offset, colours, out);
        case 3: return colourAvx2<3>(rows, coefficients, terms, begin, end, scale, offset, colours, out);
        default: return colourAvx2<0>(rows, coefficients, terms, begin, end, scale, offset, colours, out);
    }
}

}  // namespace

// Each value scaled, held to 0..255 (a value that is not a number becomes 0; a scaled value in -1..0 rounds to
// entry 0 either way) and rounded to the nearest entry, ties to the even one.
void ColourScale::colour(const float* const* rows, const float* coefficients, int terms, int begin, int end,
                         QRgb* out) const {
    // Eight points at a time from `from`; returns where it stopped.
    auto eights = [&](int from) {
        if (wideVectors()) return colourWide(rows, coefficients, terms, from, end, scale, offset, colours_, out);
        int x = from;
        const cv::v_float32x4 a = cv::v_setall_f32(scale), b = cv::v_setall_f32(offset);
        const cv::v_float32x4 below = cv::v_setzero_f32(), above = cv::v_setall_f32(255.0f);
        alignas(16) uchar entries[16];
        for (; x + 8 <= end; x += 8) {
            cv::v_float32x4 v0 = cv::v_setzero_f32(), v1 = cv::v_setzero_f32();
            if (terms > 0) {
                const cv::v_float32x4 c = cv::v_setall_f32(coefficients[0]);
                v0 = cv::v_load(rows[0] + x) * c;
                v1 = cv::v_load(rows[0] + x + 4) * c;
                for (int t = 1; t < terms; ++t) {
                    const cv::v_float32x4 ct = cv::v_setall_f32(coefficients[t]);
                    v0 = v0 + cv::v_load(rows[t] + x) * ct;
                    v1 = v1 + cv::v_load(rows[t] + x + 4) * ct;
                }
            }
            // v_max gives its second operand when the first is not a number.
            const cv::v_float32x4 t0 = cv::v_min(cv::v_max(v0 * a + b, below), above);
            const cv::v_float32x4 t1 = cv::v_min(cv::v_max(v1 * a + b, below), above);
            const cv::v_int16x8 e = cv::v_pack(cv::v_round(t0), cv::v_round(t1));
            cv::v_store_low(entries, cv::v_pack_u(e, e));
            const QRgb c0 = colours_[entries[0]], c1 = colours_[entries[1]], c2 = colours_[entries[2]];
            const QRgb c3 = colours_[entries[3]], c4 = colours_[entries[4]], c5 = colours_[entries[5]];
            const QRgb c6 = colours_[entries[6]], c7 = colours_[entries[7]];
            out[x] = c0;
            out[x + 1] = c1;
            out[x + 2] = c2;
            out[x + 3] = c3;
            out[x + 4] = c4;
            out[x + 5] = c5;
            out[x + 6] = c6;
            out[x + 7] = c7;
        }
        return x;
    };
    int x = eights(begin);
    // A run of eight points or more ends with its last eight, some of them coloured again: each point's colour
    // depends on its own values only, so they come out as before.
    if (x < end && end - begin >= 8) x = eights(end - 8);
    for (; x < end; ++x) {
        float t = sumAt(rows, coefficients, terms, x) * scale;
        t = t + offset;
        t = t > 0.0f ? t : 0.0f;
        t = t < 255.0f ? t : 255.0f;
        out[x] = colours_[cvRound(t)];
    }
}

QImage colourPicture(const cv::Mat& plane, const RegionRuns& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table) {
    CV_Assert(plane.type() == CV_32F && plane.rows == region.rows && plane.cols == region.cols && table.size() >= 256);
    // The plane as a sum of one term (a value times one is the value).
    return colourSum({{1.0f, &plane}}, region, ColourScale(lo, hi, clipLo, clipHi, table));
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

namespace {

// All lanes of a vector register set to one value, in the register of the value's precision.
inline cv::v_float32x4 splat(float c) { return cv::v_setall_f32(c); }
inline cv::v_float64x2 splat(double c) { return cv::v_setall_f64(c); }

// out[x] for x in begin..end of row y: the terms' values times their coefficients, summed term by term in order (a
// product, then a sum: never fused, so that a span gives the same values whichever way it is cut); zero without terms.
template <typename T>
void sumSpan(const std::vector<Term<T>>& terms, int y, int begin, int end, T* out) {
    if (terms.empty()) {
        std::fill(out + begin, out + end, T(0));
        return;
    }
    using Vector = decltype(splat(T()));
    constexpr int lanes = Vector::nlanes;
    for (size_t t = 0; t < terms.size(); ++t) {
        const T* p = terms[t].plane->template ptr<T>(y);
        const T c = terms[t].coefficient;
        const Vector vc = splat(c);
        int x = begin;
        if (t == 0) {
            for (; x + lanes <= end; x += lanes) cv::v_store(out + x, cv::v_load(p + x) * vc);
            for (; x < end; ++x) out[x] = p[x] * c;
        } else {
            for (; x + lanes <= end; x += lanes) cv::v_store(out + x, cv::v_load(out + x) + cv::v_load(p + x) * vc);
            for (; x < end; ++x) out[x] = out[x] + p[x] * c;
        }
    }
}

// The pictures' terms (single precision) and the fine surface's (double), in the order of the series.
void termsOf(const std::vector<double>& coefficients, const std::vector<SurfacePlanes>& planes,
             std::vector<Term<float>>* target, std::vector<Term<float>>* smooth, std::vector<Term<double>>* fine) {
    for (size_t t = 0; t < planes.size(); ++t) {
        const double c = coefficients[t];
        if (c == 0.0) continue;
        if (target) target->push_back({static_cast<float>(c), &planes[t].target});
        if (smooth) smooth->push_back({static_cast<float>(c), &planes[t].smooth});
        if (fine) fine->push_back({c, &planes[t].smoothFine});
    }
}

double largestOf(const cv::v_float64x2& v) {
    double a[2];
    cv::v_store(a, v);
    return std::max(a[0], a[1]);
}

double smallestOf(const cv::v_float64x2& v) {
    double a[2];
    cv::v_store(a, v);
    return std::min(a[0], a[1]);
}

}  // namespace

bool ZernikePictures::describes(const std::vector<double>& coefficients, const cv::Mat& gridTarget,
                                const RegionRuns& gridRuns) const {
    if (planes_.empty() || coefficients.size() != planes_.size() || gridTarget.size() != grids_[0].size() ||
        gridTarget.type() != CV_64F || gridRuns.rows != gridTarget.rows || gridRuns.cols != gridTarget.cols)
        return false;
    // The series on the grid, checked against the surface the kit solved for: the pictures are the target's
    // only when the two agree (the kit may treat points of the map that are exactly zero as missing).
    std::vector<std::pair<double, const cv::Mat*>> used;
    for (size_t t = 0; t < planes_.size(); ++t)
        if (coefficients[t] != 0.0) used.emplace_back(coefficients[t], &grids_[t]);
    // Two points at a time: the largest difference (any that is not a number fails the check below) and the
    // target's largest magnitude.
    const cv::v_float64x2 zero = cv::v_setzero_f64();
    cv::v_float64x2 worst = zero, scale = zero, nan = zero;
    double worstOne = 0.0, scaleOne = 0.0;
    bool nanOne = false;
    for (int y = 0; y < gridRuns.rows; ++y) {
        const double* target = gridTarget.ptr<double>(y);
        for (int k = gridRuns.rowStart[static_cast<size_t>(y)]; k < gridRuns.rowStart[static_cast<size_t>(y) + 1];
             ++k) {
            const auto [begin, end] = gridRuns.runs[static_cast<size_t>(k)];
            int x = begin;
            for (; x + 2 <= end; x += 2) {
                cv::v_float64x2 sum = zero;
                for (const auto& [c, grid] : used)
                    sum = sum + cv::v_load(grid->ptr<double>(y) + x) * cv::v_setall_f64(c);
                const cv::v_float64x2 t = cv::v_load(target + x);
                const cv::v_float64x2 off = cv::v_abs(sum - t);
                nan = nan | (off != off);
                worst = cv::v_max(off, worst);
                scale = cv::v_max(cv::v_abs(t), scale);
            }
            for (; x < end; ++x) {
                double sum = 0.0;
                for (const auto& [c, grid] : used) sum = sum + grid->ptr<double>(y)[x] * c;
                const double off = std::abs(sum - target[x]);
                nanOne = nanOne || std::isnan(off);
                worstOne = std::max(worstOne, off);
                scaleOne = std::max(scaleOne, std::abs(target[x]));
            }
        }
    }
    if (nanOne || cv::v_check_any(nan)) return false;
    const double largest = std::max(worstOne, largestOf(worst));
    return largest <= 1e-6 * std::max({1.0, scaleOne, largestOf(scale)});
}

Departure departure(const cv::Mat& target, const cv::Mat& expected, const RegionRuns& region) {
    Departure d;
    CV_Assert(target.type() == CV_64F && expected.type() == CV_64F && target.rows == region.rows &&
              target.cols == region.cols && expected.size() == target.size());
    const cv::v_float64x2 zero = cv::v_setzero_f64();
    cv::v_float64x2 lo = cv::v_setall_f64(d.lo), hi = cv::v_setall_f64(d.hi), largest = zero, nan = zero;
    bool nanOne = false;
    for (int y = 0; y < region.rows; ++y) {
        const double* t = target.ptr<double>(y);
        const double* e = expected.ptr<double>(y);
        for (int k = region.rowStart[static_cast<size_t>(y)]; k < region.rowStart[static_cast<size_t>(y) + 1]; ++k) {
            const auto [begin, end] = region.runs[static_cast<size_t>(k)];
            int x = begin;
            for (; x + 2 <= end; x += 2) {
                // v_min and v_max give their second operand when the first is not a number.
                const cv::v_float64x2 ev = cv::v_load(e + x);
                lo = cv::v_min(ev, lo);
                hi = cv::v_max(ev, hi);
                const cv::v_float64x2 off = cv::v_abs(ev - cv::v_load(t + x));
                nan = nan | (off != off);
                largest = cv::v_max(off, largest);
            }
            for (; x < end; ++x) {
                d.lo = std::min(d.lo, e[x]);
                d.hi = std::max(d.hi, e[x]);
                const double off = std::abs(e[x] - t[x]);
                nanOne = nanOne || std::isnan(off);
                d.largest = std::max(d.largest, off);
            }
        }
    }
    d.lo = std::min(d.lo, smallestOf(lo));
    d.hi = std::max(d.hi, largestOf(hi));
    d.largest = nanOne || cv::v_check_any(nan) ? std::numeric_limits<double>::quiet_NaN()
                                               : std::max(d.largest, largestOf(largest));
    return d;
}

bool ZernikePictures::compose(const std::vector<double>& coefficients, const cv::Mat& gridTarget,
                              const cv::Mat& gridRegion, SurfacePlanes* out) const {
    if (gridRegion.type() != CV_8U || gridRegion.size() != gridTarget.size() ||
        !describes(coefficients, gridTarget, RegionRuns::of(gridRegion)))
        return false;
    std::vector<Term<float>> target, smooth;
    std::vector<Term<double>> fine;
    termsOf(coefficients, planes_, &target, &smooth, &fine);
    SurfacePlanes sum;
    sum.target.create(planes_[0].target.size(), CV_32F);
    sum.smooth.create(planes_[0].smooth.size(), CV_32F);
    sum.smoothFine.create(planes_[0].smoothFine.size(), CV_64F);
    for (int y = 0; y < sum.target.rows; ++y) sumSpan(target, y, 0, sum.target.cols, sum.target.ptr<float>(y));
    for (int y = 0; y < sum.smooth.rows; ++y) sumSpan(smooth, y, 0, sum.smooth.cols, sum.smooth.ptr<float>(y));
    for (int y = 0; y < sum.smoothFine.rows; ++y)
        sumSpan(fine, y, 0, sum.smoothFine.cols, sum.smoothFine.ptr<double>(y));
    *out = std::move(sum);
    return true;
}

bool ZernikePictures::draw(const std::vector<double>& coefficients, const cv::Mat& gridTarget,
                           const cv::Mat& gridRegion, const std::shared_ptr<const PictureGeometry>& geometry,
                           const ColourScale& targetColours, const ColourScale& smoothColours, double statsLo,
                           double statsHi, SeriesPictures* out) const {
    if (!geometry || !fits(terms_, apertureDiameter_, *geometry) ||
        !geometry->sameAs(gridRegion, geometry->diameter(), geometry->side()) ||
        !describes(coefficients, gridTarget, geometry->gridRuns()))
        return false;
    std::vector<Term<float>> target, smooth;
    std::vector<Term<double>> fine;
    termsOf(coefficients, planes_, &target, &smooth, &fine);
    auto pictureOf = [&](const std::vector<Term<float>>& terms, const RegionRuns& runs, const ColourScale& colours) {
        std::vector<cv::Mat> planes;
        std::vector<float> factors;
        for (const Term<float>& t : terms) {
            planes.push_back(*t.plane);
            factors.push_back(t.coefficient);
        }
        return std::make_shared<const SeriesPicture>(geometry, runs, std::move(planes), std::move(factors), colours);
    };
    SeriesPictures drawn;
    drawn.target = pictureOf(target, geometry->targetRuns(), targetColours);
    drawn.smooth = pictureOf(smooth, geometry->smoothRuns(), smoothColours);
    // The smooth surface's numbers, over its fine region's runs.
    const RegionRuns& runs = geometry->fineRuns();
    std::vector<const double*> rows(fine.size());
    std::vector<double> fineCoefficients(fine.size());
    for (size_t t = 0; t < fine.size(); ++t) fineCoefficients[t] = fine[t].coefficient;
    StatsAccumulator stats(statsLo, statsHi);
    for (int y = 0; y < runs.rows; ++y) {
        for (size_t t = 0; t < fine.size(); ++t) rows[t] = fine[t].plane->ptr<double>(y);
        for (int k = runs.rowStart[static_cast<size_t>(y)]; k < runs.rowStart[static_cast<size_t>(y) + 1]; ++k)
            stats.addSum(rows.data(), fineCoefficients.data(), static_cast<int>(fine.size()),
                         runs.runs[static_cast<size_t>(k)].first, runs.runs[static_cast<size_t>(k)].second);
    }
    drawn.smoothStats = stats.result();
    *out = std::move(drawn);
    return true;
}

QImage PictureSource::image() const {
    QImage picture(size(), QImage::Format_RGB32);
    if (!picture.isNull()) draw(picture.bits(), picture.bytesPerLine(), picture.rect());
    return picture;
}

SeriesPicture::SeriesPicture(std::shared_ptr<const PictureGeometry> geometry, const RegionRuns& runs,
                             std::vector<cv::Mat> planes, std::vector<float> coefficients, const ColourScale& colours)
    : geometry_(std::move(geometry)), runs_(runs), planes_(std::move(planes)), coefficients_(std::move(coefficients)),
      colours_(colours) {}

void SeriesPicture::draw(uchar* origin, qsizetype stride, const QRect& area) const {
    std::vector<const cv::Mat*> planes;
    planes.reserve(planes_.size());
    for (const cv::Mat& plane : planes_) planes.push_back(&plane);
    colourArea(planes, coefficients_, runs_, colours_, origin, stride, area);
}

}  // namespace shapes
