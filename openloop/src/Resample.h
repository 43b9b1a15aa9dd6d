// Bringing a phase map of any size to the actuator grid: aperture fill, margins, bilinear sampling.
#pragma once

#include <opencv2/core.hpp>

namespace MirrorKit {

// Whether the pixels outside the aperture (NaN, or zero around a disc) are to be filled from the aperture.
bool apertureNeedsFill(const cv::Mat& phase);

// Resamples phase (CV_64F, nm) to a gridWidth x gridWidth map for an aperture of `diameter` actuator
// spacings (3 <= diameter <= gridWidth - 1). Throws cv::Exception or std::bad_alloc on failure.
cv::Mat resamplePhaseMap(const cv::Mat& phase, int gridWidth, int diameter);

// Copies a grid-sized map for the caller: the centred (diameter + 1)^2 block when count is exactly that
// many values, otherwise the whole grid (count is then at least gridWidth^2).
void copyGridMap(const cv::Mat& grid, int diameter, double* out, unsigned count);

}  // namespace MirrorKit
