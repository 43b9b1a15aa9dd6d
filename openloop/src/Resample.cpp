// Phase map resampling with OpenCV image routines; per-pixel work runs on OpenCV's worker threads.
#include "Resample.h"

#include "ProcessorChoice.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace MirrorKit {
namespace {

constexpr double kInvalidShare = 0.21;

cv::Mat validMask(const cv::Mat& phase, cv::Mat& notNaN, cv::Mat& nonZero) {
    cv::compare(phase, phase, notNaN, cv::CMP_EQ);
    cv::compare(phase, 0.0, nonZero, cv::CMP_NE);
    cv::Mat valid;
    cv::bitwise_and(notNaN, nonZero, valid);
    return valid;
}

// Labels of the nearest pixel whose mask is 1, one label per such pixel; returns the largest label.
int nearestValidLabels(const cv::Mat& valid, cv::Mat& labels) {
    cv::Mat invalid;
    cv::bitwise_not(valid, invalid);  // the transform measures the distance to the nearest zero pixel
    cv::Mat distance;
    cv::distanceTransform(invalid, distance, labels, cv::DIST_L2, cv::DIST_MASK_5, cv::DIST_LABEL_PIXEL);
    double maxLabel = 0.0;
    cv::minMaxLoc(labels, nullptr, &maxLabel);
    return static_cast<int>(maxLabel);
}

// Every pixel whose mask is 0 takes the value of the nearest pixel whose mask is 1.
void fillFromNearestValid(cv::Mat& image, const cv::Mat& valid) {
    if (cv::countNonZero(valid) == 0) return;  // nothing to fill from
    cv::Mat labels;
    const int maxLabel = nearestValidLabels(valid, labels);
    std::vector<double> valueOfLabel(static_cast<size_t>(maxLabel) + 1, 0.0);
    // Each valid pixel carries its own label, so the rows write disjoint entries.
    cv::parallel_for_(cv::Range(0, image.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const uint8_t* ok = valid.ptr<uint8_t>(r);
            const int* label = labels.ptr<int>(r);
            const double* value = image.ptr<double>(r);
            for (int c = 0; c < image.cols; ++c)
                if (ok[c]) valueOfLabel[static_cast<size_t>(label[c])] = value[c];
        }
    });
    cv::parallel_for_(cv::Range(0, image.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const uint8_t* ok = valid.ptr<uint8_t>(r);
            const int* label = labels.ptr<int>(r);
            double* value = image.ptr<double>(r);
            for (int c = 0; c < image.cols; ++c)
                if (!ok[c]) value[c] = valueOfLabel[static_cast<size_t>(label[c])];
        }
    });
}

// Margins so that the aperture spans `diameter` of the grid's gridWidth - 1 spacings.
struct Margins {
    int x, y;
};

Margins marginsFor(const cv::Mat& phase, int gridWidth, int diameter) {
    const double s = static_cast<double>(gridWidth - 1) / diameter - 1.0;
    return {static_cast<int>(std::ceil(phase.cols * s * 0.5)), static_cast<int>(std::ceil(phase.rows * s * 0.5))};
}

// One scale for both axes, taken from the width.
float samplingScale(int paddedCols, int gridWidth) {
    return static_cast<float>(paddedCols - 1) / static_cast<float>(gridWidth - 1);
}

// Bit i of nan and zero for pixel i of p[0..count), count <= 64.
inline void classifyWord(const double* p, int count, uint64_t& nan, uint64_t& zero) {
    uint64_t n = 0, z = 0;
    int i = 0;
#ifdef __SSE2__
    const __m128d zeroes = _mm_setzero_pd();
    for (; i + 2 <= count; i += 2) {
        const __m128d v = _mm_loadu_pd(p + i);
        n |= static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpunord_pd(v, v))) << i;
        z |= static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpeq_pd(v, zeroes))) << i;
    }
#endif
    for (; i < count; ++i) {
        n |= static_cast<uint64_t>(std::isnan(p[i])) << i;
        z |= static_cast<uint64_t>(p[i] == 0.0) << i;
    }
    nan = n;
    zero = z;
}

// The NaN and zero bits of a whole map, 64 pixels a word; with `compare`, false at the first word that differs
// from the bits given (which are then left as they are), else the bits are written.
using ClassifyMap = bool (*)(const double* p, size_t total, uint64_t* nan, uint64_t* zero, bool compare);

template <typename Word>
inline bool classifyMapWith(const double* p, size_t total, uint64_t* nanBits, uint64_t* zeroBits, bool compare,
                            Word word) {
    for (size_t w = 0, at = 0; at < total; ++w, at += 64) {
        uint64_t nan = 0, zero = 0;
        word(p + at, static_cast<int>(std::min<size_t>(64, total - at)), nan, zero);
        if (!compare) {
            nanBits[w] = nan;
            zeroBits[w] = zero;
        } else if (((nan ^ nanBits[w]) | (zero ^ zeroBits[w])) != 0) {
            return false;
        }
    }
    return true;
}

bool classifyMap(const double* p, size_t total, uint64_t* nan, uint64_t* zero, bool compare) {
    return classifyMapWith(p, total, nan, zero, compare, classifyWord);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) bool classifyMapAvx2(const double* p, size_t total, uint64_t* nan, uint64_t* zero,
                                                     bool compare) {
    const auto word = [](const double* q, int count, uint64_t& nanWord, uint64_t& zeroWord)
                          __attribute__((target("avx2"))) {
        if (count < 64) return classifyWord(q, count, nanWord, zeroWord);
        const __m256d zeroes = _mm256_setzero_pd();
        uint64_t n = 0, z = 0;
        for (int i = 0; i < 64; i += 4) {
            const __m256d v = _mm256_loadu_pd(q + i);
            n |= static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(v, v, _CMP_UNORD_Q))) << i;
            z |= static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(v, zeroes, _CMP_EQ_OQ))) << i;
        }
        nanWord = n;
        zeroWord = z;
    };
    return classifyMapWith(p, total, nan, zero, compare, word);
}

const ClassifyMap classifyMapHere = chooseForProcessor<ClassifyMap>(classifyMapAvx2, classifyMap);
#else
const ClassifyMap classifyMapHere = classifyMap;
#endif

int clampIndex(int i, int size) { return i < 0 ? 0 : (i < size ? i : size - 1); }

}  // namespace

bool apertureNeedsFill(const cv::Mat& phase) {
    const double limit = kInvalidShare * phase.cols * phase.rows;
    cv::Mat notNaN, nonZero;
    const cv::Mat valid = validMask(phase, notNaN, nonZero);
    const double total = static_cast<double>(phase.total());
    if (total - cv::countNonZero(notNaN) > limit) return true;
    if (total - cv::countNonZero(valid) > limit) {
        if (cv::countNonZero(nonZero) == 0) return false;  // an all-zero map has no aperture to fill from
        // Fill only when everything outside the inscribed disc is NaN or zero.
        cv::Mat outside = notNaN.clone();
        cv::circle(outside, cv::Point(phase.cols / 2, phase.rows / 2), phase.cols / 2 + 1, cv::Scalar(0), cv::FILLED);
        cv::Mat kept = cv::Mat::zeros(phase.size(), CV_64F);
        phase.copyTo(kept, outside);
        return cv::countNonZero(kept) == 0;
    }
    return false;
}

cv::Mat resamplePhaseMap(const cv::Mat& phase, int gridWidth, int diameter) {
    CV_Assert(phase.type() == CV_64F && gridWidth >= 2 && diameter > 0);
    const bool fill = apertureNeedsFill(phase);

    const Margins margins = marginsFor(phase, gridWidth, diameter);
    const int padX = margins.x, padY = margins.y;
    cv::Mat padded;
    cv::copyMakeBorder(phase, padded, padY, padY, padX, padX, cv::BORDER_REPLICATE);

    if (fill) {
        cv::Mat notNaN, nonZero, valid;
        valid = validMask(phase, notNaN, nonZero);
        cv::Mat paddedValid;
        cv::copyMakeBorder(valid, paddedValid, padY, padY, padX, padX, cv::BORDER_CONSTANT, cv::Scalar(0));
        fillFromNearestValid(padded, paddedValid);
    }

    const float scale = samplingScale(padded.cols, gridWidth);
    cv::Mat mapX(gridWidth, gridWidth, CV_32F), mapY(gridWidth, gridWidth, CV_32F);
    cv::parallel_for_(cv::Range(0, gridWidth), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            float* x = mapX.ptr<float>(r);
            float* y = mapY.ptr<float>(r);
            for (int c = 0; c < gridWidth; ++c) {
                x[c] = static_cast<float>(c) * scale;
                y[c] = static_cast<float>(r) * scale;
            }
        }
    });
    cv::Mat grid;
    cv::remap(padded, grid, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return grid;
}

void ResamplePlan::clear() {
    gridWidth_ = 0;
    regionValid_ = false;
    tapX_.clear();
    tapY_.clear();
    weights_.clear();
    nanBits_.clear();
    zeroBits_.clear();
    sources_.clear();
}

bool ResamplePlan::sameGeometry(const cv::Mat& phase, int gridWidth, int diameter) const {
    return gridWidth_ != 0 && phase.rows == rows_ && phase.cols == cols_ && gridWidth == gridWidth_ &&
           diameter == diameter_;
}

// The taps and weights that cv::remap takes for the grid positions of resamplePhaseMap: each coordinate in
// fixed point with 5 fraction bits (rounded to nearest), the taps clipped to the padded map as its replicated
// border does, and the weights the products of the two axes' fractions in single precision.
void ResamplePlan::buildGeometry(const cv::Mat& phase, int gridWidth, int diameter) {
    clear();
    const Margins margins = marginsFor(phase, gridWidth, diameter);
    const int paddedRows = phase.rows + 2 * margins.y, paddedCols = phase.cols + 2 * margins.x;
    const float scale = samplingScale(paddedCols, gridWidth);
    constexpr int kFractionBits = 5;  // INTER_BITS
    constexpr int kSteps = 1 << kFractionBits;

    const auto axis = [&](int size, std::vector<int>& taps, std::vector<float>& fractions) {
        taps.resize(2 * static_cast<size_t>(gridWidth));
        fractions.resize(static_cast<size_t>(gridWidth));
        for (int i = 0; i < gridWidth; ++i) {
            const float at = static_cast<float>(i) * scale;
            const int fixed = cvRound(at * static_cast<float>(kSteps));
            const int whole = cv::saturate_cast<short>(fixed >> kFractionBits);
            taps[2 * static_cast<size_t>(i)] = clampIndex(whole, size);
            taps[2 * static_cast<size_t>(i) + 1] = clampIndex(whole + 1, size);
            fractions[static_cast<size_t>(i)] = static_cast<float>(fixed & (kSteps - 1)) * (1.f / kSteps);
        }
    };
    std::vector<float> fx, fy;
    axis(paddedCols, tapX_, fx);
    axis(paddedRows, tapY_, fy);
    weights_.resize(4 * static_cast<size_t>(gridWidth) * gridWidth);
    float* w = weights_.data();
    for (int r = 0; r < gridWidth; ++r) {
        const float y1 = fy[static_cast<size_t>(r)], y0 = 1.f - y1;
        for (int c = 0; c < gridWidth; ++c, w += 4) {
            const float x1 = fx[static_cast<size_t>(c)], x0 = 1.f - x1;
            w[0] = y0 * x0;
            w[1] = y0 * x1;
            w[2] = y1 * x0;
            w[3] = y1 * x1;
        }
    }
    rows_ = phase.rows;
    cols_ = phase.cols;
    diameter_ = diameter;
    padX_ = margins.x;
    padY_ = margins.y;
    gridWidth_ = gridWidth;
}

bool ResamplePlan::sameRegion(const cv::Mat& phase) const {
    return regionValid_ && classifyMapHere(phase.ptr<double>(), phase.total(), const_cast<uint64_t*>(nanBits_.data()),
                                           const_cast<uint64_t*>(zeroBits_.data()), true);
}

// Which map pixel every tap reads: the replicated border without a fill; with one, the pixel itself where it is
// valid and the nearest valid pixel elsewhere (the margins are never valid).
void ResamplePlan::buildRegion(const cv::Mat& phase) {
    regionValid_ = false;
    const double* p = phase.ptr<double>();
    const size_t total = phase.total();
    const size_t words = (total + 63) / 64;
    nanBits_.resize(words);
    zeroBits_.resize(words);
    classifyMapHere(p, total, nanBits_.data(), zeroBits_.data(), false);

    const auto inside = [&](int paddedRow, int paddedCol) {
        return static_cast<int64_t>(clampIndex(paddedRow - padY_, rows_)) * cols_ + clampIndex(paddedCol - padX_, cols_);
    };
    const int w = gridWidth_;
    sources_.resize(4 * static_cast<size_t>(w) * w);
    cv::Mat paddedValid, labels;
    std::vector<int64_t> sourceOfLabel;
    if (apertureNeedsFill(phase)) {
        cv::Mat notNaN, nonZero;
        const cv::Mat valid = validMask(phase, notNaN, nonZero);
        if (cv::countNonZero(valid) > 0) {
            cv::copyMakeBorder(valid, paddedValid, padY_, padY_, padX_, padX_, cv::BORDER_CONSTANT, cv::Scalar(0));
            const int maxLabel = nearestValidLabels(paddedValid, labels);
            sourceOfLabel.assign(static_cast<size_t>(maxLabel) + 1, -1);
            for (int r = 0; r < paddedValid.rows; ++r) {
                const uint8_t* ok = paddedValid.ptr<uint8_t>(r);
                const int* label = labels.ptr<int>(r);
                for (int c = 0; c < paddedValid.cols; ++c)
                    if (ok[c]) sourceOfLabel[static_cast<size_t>(label[c])] = inside(r, c);
            }
        }
    }
    const auto source = [&](int paddedRow, int paddedCol) {
        if (paddedValid.empty() || paddedValid.at<uint8_t>(paddedRow, paddedCol)) return inside(paddedRow, paddedCol);
        const int64_t from = sourceOfLabel[static_cast<size_t>(labels.at<int>(paddedRow, paddedCol))];
        CV_Assert(from >= 0);  // every label belongs to a valid pixel
        return from;
    };
    int64_t* s = sources_.data();
    for (int r = 0; r < w; ++r) {
        const int y0 = tapY_[2 * static_cast<size_t>(r)], y1 = tapY_[2 * static_cast<size_t>(r) + 1];
        for (int c = 0; c < w; ++c, s += 4) {
            const int x0 = tapX_[2 * static_cast<size_t>(c)], x1 = tapX_[2 * static_cast<size_t>(c) + 1];
            s[0] = source(y0, x0);
            s[1] = source(y0, x1);
            s[2] = source(y1, x0);
            s[3] = source(y1, x1);
        }
    }
    regionValid_ = true;
}

void ResamplePlan::resample(const cv::Mat& phase, int gridWidth, int diameter, cv::Mat& grid) {
    CV_Assert(phase.type() == CV_64F && phase.isContinuous() && gridWidth >= 2 && diameter > 0);
    try {
        if (!sameGeometry(phase, gridWidth, diameter)) {
            buildGeometry(phase, gridWidth, diameter);
            buildRegion(phase);
            lastReuse_ = Reuse::None;
        } else if (!sameRegion(phase)) {
            buildRegion(phase);
            lastReuse_ = Reuse::Geometry;
        } else {
            lastReuse_ = Reuse::All;
        }
    } catch (...) {
        clear();
        throw;
    }
    // The sum in the order and precision of cv::remap's bilinear step: double values, single-precision weights.
    grid.create(gridWidth, gridWidth, CV_64F);
    const double* p = phase.ptr<double>();
    const int64_t* s = sources_.data();
    const float* w = weights_.data();
    double* out = grid.ptr<double>();
    const size_t positions = static_cast<size_t>(gridWidth) * gridWidth;
    for (size_t i = 0; i < positions; ++i, s += 4, w += 4)
        out[i] = p[s[0]] * w[0] + p[s[1]] * w[1] + p[s[2]] * w[2] + p[s[3]] * w[3];
}

void copyGridMap(const cv::Mat& grid, int diameter, double* out, unsigned count) {
    const int w = grid.cols;
    const int n = diameter + 1;
    if (count == static_cast<unsigned>(n) * static_cast<unsigned>(n)) {
        const int o = static_cast<int>(std::floor((w - 1) * 0.5 - diameter * 0.5));
        for (int r = 0; r < n; ++r) std::memcpy(out + static_cast<size_t>(r) * n, grid.ptr<double>(o + r) + o, sizeof(double) * n);
    } else {
        for (int r = 0; r < w; ++r) std::memcpy(out + static_cast<size_t>(r) * w, grid.ptr<double>(r), sizeof(double) * w);
    }
}

}  // namespace MirrorKit
