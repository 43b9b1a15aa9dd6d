// Bringing a phase map of any size to the actuator grid: aperture fill, margins, bilinear sampling.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace MirrorKit {

// Whether the pixels outside the aperture (NaN, or zero around a disc) are to be filled from the aperture.
bool apertureNeedsFill(const cv::Mat& phase);

// Resamples phase (CV_64F, nm) to a gridWidth x gridWidth map for an aperture of `diameter` actuator
// spacings (3 <= diameter <= gridWidth - 1). Throws cv::Exception or std::bad_alloc on failure.
cv::Mat resamplePhaseMap(const cv::Mat& phase, int gridWidth, int diameter);

// Resampling that remembers. What depends only on the map's size, the grid and the diameter (each grid
// position's four taps and their weights) and what depends only on the map's valid region (the map pixel each
// tap reads, through the nearest-valid fill) is kept, so that a map like the last one costs one pass to check
// its region and four products per grid position. A new size, diameter or region (one pixel more or less NaN or
// zero) rebuilds what it changes. The grid holds exactly the values of resamplePhaseMap.
class ResamplePlan {
public:
    // How the last call went: everything reused, the region's sources rebuilt, or the geometry rebuilt too.
    enum class Reuse { All, Geometry, None };

    // phase: CV_64F, continuous. grid receives gridWidth x gridWidth doubles.
    // Throws cv::Exception or std::bad_alloc on failure, and then keeps nothing.
    void resample(const cv::Mat& phase, int gridWidth, int diameter, cv::Mat& grid);
    Reuse lastReuse() const { return lastReuse_; }
    void clear();

private:
    bool sameGeometry(const cv::Mat& phase, int gridWidth, int diameter) const;
    void buildGeometry(const cv::Mat& phase, int gridWidth, int diameter);
    // True when the map's NaN and zero pixels are where they were when the sources were built.
    bool sameRegion(const cv::Mat& phase) const;
    void buildRegion(const cv::Mat& phase);

    // Geometry.
    int rows_ = 0, cols_ = 0, gridWidth_ = 0, diameter_ = 0;
    int padX_ = 0, padY_ = 0;
    std::vector<int> tapX_, tapY_;  // two padded columns per grid column, two padded rows per grid row
    std::vector<float> weights_;    // four per grid position, in tap order
    // Region: one bit per pixel for NaN and for zero, and the map pixel that each tap reads.
    bool regionValid_ = false;
    std::vector<uint64_t> nanBits_, zeroBits_;
    std::vector<int64_t> sources_;  // four per grid position
    Reuse lastReuse_ = Reuse::None;
};

// Copies a grid-sized map for the caller: the centred (diameter + 1)^2 block when count is exactly that
// many values, otherwise the whole grid (count is then at least gridWidth^2).
void copyGridMap(const cv::Mat& grid, int diameter, double* out, unsigned count);

}  // namespace MirrorKit
