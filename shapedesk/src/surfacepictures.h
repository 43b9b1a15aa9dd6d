// Pictures of surfaces made at the size they are shown: the target on the actuator grid and the smooth surface
// the mirror is expected to make, resampled once to the view's side and coloured. For a Zernike series the same
// pictures are sums of one precomputed picture per term, since every step that makes them is linear.
#pragma once

#include "shapes.h"

#include <QImage>
#include <QRgb>
#include <QVector>

#include <opencv2/core.hpp>

#include <functional>
#include <limits>
#include <vector>

namespace shapes {

// A surface's pictures before colouring.
struct SurfacePlanes {
    cv::Mat target;      // side x side, CV_32F: the target resampled from the grid
    cv::Mat smooth;      // side x side, CV_32F: the expected surface enlarged and smoothed, not yet clipped
    cv::Mat smoothFine;  // four samples per actuator, CV_64F: the same, for its numbers
};

// How the pictures of one mirror, aperture and view side are made. Every step is linear in the surface values:
// outside the aperture each grid point takes the value of the nearest point inside it (a fixed choice for a
// fixed aperture), then the surface is resampled and smoothed.
class PictureGeometry {
public:
    // gridRegion: 255 where the grid surface is inside the aperture (CV_8U, width x width).
    PictureGeometry(const cv::Mat& gridRegion, double diameter, int side);
    bool sameAs(const cv::Mat& gridRegion, double diameter, int side) const;

    SurfacePlanes planes(const cv::Mat& gridTarget, const cv::Mat& gridExpected) const;

    int side() const { return side_; }
    int gridWidth() const { return gridRegion_.cols; }
    double diameter() const { return diameter_; }
    const cv::Mat& gridRegion() const { return gridRegion_; }
    // Where each picture shows the surface (255) and where the background (0).
    const cv::Mat& targetRegion() const { return targetRegion_; }
    const cv::Mat& smoothRegion() const { return smoothRegion_; }
    const cv::Mat& fineRegion() const { return fineRegion_; }
    const RegionRuns& gridRuns() const { return gridRuns_; }
    const RegionRuns& targetRuns() const { return targetRuns_; }
    const RegionRuns& smoothRuns() const { return smoothRuns_; }
    const RegionRuns& fineRuns() const { return fineRuns_; }

private:
    cv::Mat extend(const cv::Mat& grid) const;

    cv::Mat gridRegion_;
    double diameter_ = 0.0;
    int side_ = 0;
    std::vector<int> nearest_;  // by grid point: the point inside the aperture it takes its value from
    cv::Mat targetRegion_, smoothRegion_, fineRegion_;
    RegionRuns gridRuns_, targetRuns_, smoothRuns_, fineRuns_;
};

// Pixels of one colour: the C library's wide-character fill, which is vectorised, stores 32-bit words.
void fillPixels(QRgb* begin, QRgb* end, QRgb colour);

// RGB32 picture of a plane: lo..hi onto table entries 0..254, clipped first to clipLo..clipHi, entry 255
// (the background) outside the region.
// The table has at least 256 entries.
QImage colourPicture(const cv::Mat& plane, const cv::Mat& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table);
// `bound`, when finite, is no smaller than any value's magnitude in the plane (saves looking for it).
QImage colourPicture(const cv::Mat& plane, const RegionRuns& region, double lo, double hi, double clipLo,
                     double clipHi, const QVector<QRgb>& table,
                     double bound = std::numeric_limits<double>::infinity());

// The surface (nm) on the actuator grid of a Zernike series, as the controller computes it; false on failure.
using ZernikeGridSurface = std::function<bool(const std::vector<double>& coefficients, cv::Mat* grid)>;

// One set of planes per Zernike term for one geometry and aperture.
class ZernikePictures {
public:
    bool fits(int terms, int apertureDiameter, const PictureGeometry& geometry) const;
    // Computes each term's grid surface (unit coefficient) and its planes; false when the controller refuses.
    bool build(const ZernikeGridSurface& surfaceOf, int terms, int apertureDiameter, const PictureGeometry& geometry);
    void clear();
    // The planes of a series, summed from the terms'. False, with nothing written, when the series' grid surface
    // differs from `gridTarget` inside the aperture: the pictures must then be made from the target itself.
    bool compose(const std::vector<double>& coefficients, const cv::Mat& gridTarget, const cv::Mat& gridRegion,
                 SurfacePlanes* out) const;

private:
    int terms_ = 0;
    int apertureDiameter_ = -1;
    int side_ = 0;
    int gridWidth_ = 0;
    double diameter_ = 0.0;
    std::vector<cv::Mat> grids_;
    std::vector<SurfacePlanes> planes_;
};

}  // namespace shapes
