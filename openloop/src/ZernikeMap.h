// Phase maps of Zernike series on the actuator grid.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace MirrorKit {

// Every term of a series of `count` terms (OSA/ANSI order, piston first) at every position of a
// gridWidth x gridWidth grid, for an aperture of `diameter` actuator spacings. Kept, it turns any coefficients of
// that many terms into their map with one weighted sum of the stored terms.
class ZernikeBasis {
public:
    ZernikeBasis() = default;
    // Throws std::bad_alloc when memory runs out (and then fits nothing).
    ZernikeBasis(int count, int gridWidth, int diameter) { build(count, gridWidth, diameter); }

    // Replaces the terms with those of another shape, reusing the storage where it is large enough (and not more
    // than twice as large as needed).
    void build(int count, int gridWidth, int diameter);
    bool fits(int count, int gridWidth, int diameter) const {
        return count == count_ && gridWidth == gridWidth_ && diameter == diameter_;
    }
    // The sum of coefficients[k] times term k at every position; values outside the aperture are held within the
    // range of those inside it.
    cv::Mat map(const double* coefficients) const;

private:
    int count_ = 0, gridWidth_ = 0, diameter_ = 0;
    std::vector<double> terms_;  // count rows of gridWidth^2 values
    cv::Mat inside_;             // 1 inside the aperture (rho <= 1)
};

// The map of one series without keeping its terms: ZernikeBasis(size, gridWidth, diameter).map(coefficients).
// Equal, within rounding, to evaluating Zernike::ZernikeAberrations at each position.
cv::Mat zernikeGridMap(const std::vector<double>& coefficients, int gridWidth, int diameter);

}  // namespace MirrorKit
