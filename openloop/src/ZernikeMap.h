// Phase maps of Zernike series on the actuator grid.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace MirrorKit {

// The sum of the terms (OSA/ANSI order, piston first) at every position of a gridWidth x gridWidth grid,
// for an aperture of `diameter` actuator spacings; values outside the aperture are held within the range
// of those inside it. Equal to evaluating Zernike::ZernikeAberrations at each position.
cv::Mat zernikeGridMap(const std::vector<double>& coefficients, int gridWidth, int diameter);

}  // namespace MirrorKit
