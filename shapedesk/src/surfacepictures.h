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
#include <memory>
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

// How far the mirror's expected surface departs from the target over a region (both CV_64F, the region's size):
// the expected surface's extremes (values that are not numbers ignored; +inf and -inf over no points) and the
// largest magnitude of the difference (not a number when any difference is one; 0 over no points).
struct Departure {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    double largest = 0.0;
};
Departure departure(const cv::Mat& target, const cv::Mat& expected, const RegionRuns& region);

// Pixels of one colour: the C library's wide-character fill, which is vectorised, stores 32-bit words.
void fillPixels(QRgb* begin, QRgb* end, QRgb colour);

// How values are coloured: lo..hi onto table entries 0..254 (rounded to the nearest, ties to the even one),
// clipped first to clipLo..clipHi; values beyond the scale take its ends, a value that is not a number the lowest
// entry. Entry 255 is the background. The table has at least 256 entries.
class ColourScale {
public:
    ColourScale(double lo, double hi, double clipLo, double clipHi, const QVector<QRgb>& table);
    // out[x] for x in begin..end: the colours of the sums of terms rows[t][x] * coefficients[t], summed over t in
    // order, a product then a sum (never fused, so the colours are those of the sum written out first).
    void colour(const float* const* rows, const float* coefficients, int terms, int begin, int end, QRgb* out) const;

    float scale = 0.0f, offset = 0.0f;  // a value's entry before rounding: value * scale + offset
    QRgb background = 0;

private:
    QRgb colours_[256];  // by entry, the clipping included
};

// RGB32 picture of a plane (CV_32F), coloured inside the region, background outside it.
QImage colourPicture(const cv::Mat& plane, const cv::Mat& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table);
QImage colourPicture(const cv::Mat& plane, const RegionRuns& region, double lo, double hi, double clipLo, double clipHi,
                     const QVector<QRgb>& table);

// The surface (nm) on the actuator grid of a Zernike series, as the controller computes it; false on failure.
using ZernikeGridSurface = std::function<bool(const std::vector<double>& coefficients, cv::Mat* grid)>;

// A picture made where it is shown: painting writes its pixels straight into the window's, and nothing is kept
// between paints.
class PictureSource {
public:
    virtual ~PictureSource() = default;
    virtual QSize size() const = 0;
    // The pixels of `area` (picture coordinates, within the picture) written at `origin`, the address of the
    // picture's (0, 0), rows `stride` bytes apart: opaque RGB32.
    virtual void draw(uchar* origin, qsizetype stride, const QRect& area) const = 0;
    // The whole picture.
    QImage image() const;
};

// The picture of a Zernike series: the terms' planes, coloured as they are drawn.
class SeriesPicture : public PictureSource {
public:
    // `runs` belongs to `geometry`, which is kept alive with the picture; the planes are shared, not copied.
    SeriesPicture(std::shared_ptr<const PictureGeometry> geometry, const RegionRuns& runs, std::vector<cv::Mat> planes,
                  std::vector<float> coefficients, const ColourScale& colours);
    QSize size() const override { return QSize(runs_.cols, runs_.rows); }
    void draw(uchar* origin, qsizetype stride, const QRect& area) const override;

private:
    std::shared_ptr<const PictureGeometry> geometry_;
    const RegionRuns& runs_;
    std::vector<cv::Mat> planes_;
    std::vector<float> coefficients_;
    ColourScale colours_;
};

// The pictures of a series, to be drawn where they are shown, and the numbers of its smooth surface.
struct SeriesPictures {
    std::shared_ptr<const SeriesPicture> target;
    std::shared_ptr<const SeriesPicture> smooth;
    SurfaceStats smoothStats;
};

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
    // The same planes' pictures, coloured when they are drawn, and the smooth surface's statistics over the fine
    // region with values clipped to statsLo..statsHi: the pixels and numbers colouring the composed planes and
    // taking their statistics give. False, with nothing written, when compose would refuse or the terms were not
    // made for `geometry`.
    bool draw(const std::vector<double>& coefficients, const cv::Mat& gridTarget, const cv::Mat& gridRegion,
              const std::shared_ptr<const PictureGeometry>& geometry, const ColourScale& targetColours,
              const ColourScale& smoothColours, double statsLo, double statsHi, SeriesPictures* out) const;

private:
    bool describes(const std::vector<double>& coefficients, const cv::Mat& gridTarget,
                   const RegionRuns& gridRuns) const;

    int terms_ = 0;
    int apertureDiameter_ = -1;
    int side_ = 0;
    int gridWidth_ = 0;
    double diameter_ = 0.0;
    std::vector<cv::Mat> grids_;
    std::vector<SurfacePlanes> planes_;
};

}  // namespace shapes
