// Phase map resampling with OpenCV image routines; per-pixel work runs on OpenCV's worker threads.
#include "Resample.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <vector>

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

// Every pixel whose mask is 0 takes the value of the nearest pixel whose mask is 1.
void fillFromNearestValid(cv::Mat& image, const cv::Mat& valid) {
    if (cv::countNonZero(valid) == 0) return;  // nothing to fill from
    cv::Mat invalid;
    cv::bitwise_not(valid, invalid);  // the transform measures the distance to the nearest zero pixel
    cv::Mat distance, labels;
    cv::distanceTransform(invalid, distance, labels, cv::DIST_L2, cv::DIST_MASK_5, cv::DIST_LABEL_PIXEL);

    double maxLabel = 0.0;
    cv::minMaxLoc(labels, nullptr, &maxLabel);
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

    // Margins so that the aperture spans `diameter` of the grid's gridWidth - 1 spacings.
    const double s = static_cast<double>(gridWidth - 1) / diameter - 1.0;
    const int padX = static_cast<int>(std::ceil(phase.cols * s * 0.5));
    const int padY = static_cast<int>(std::ceil(phase.rows * s * 0.5));
    cv::Mat padded;
    cv::copyMakeBorder(phase, padded, padY, padY, padX, padX, cv::BORDER_REPLICATE);

    if (fill) {
        cv::Mat notNaN, nonZero, valid;
        valid = validMask(phase, notNaN, nonZero);
        cv::Mat paddedValid;
        cv::copyMakeBorder(valid, paddedValid, padY, padY, padX, padX, cv::BORDER_CONSTANT, cv::Scalar(0));
        fillFromNearestValid(padded, paddedValid);
    }

    // One scale for both axes, taken from the width.
    const float scale = static_cast<float>(padded.cols - 1) / static_cast<float>(gridWidth - 1);
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
