// Shape files and surfaces: actuator lists, phase maps (comma-separated and TIFF), the border a phase map gets
// before it is solved, the expected surface, and the statistics and pictures of a surface.
#pragma once

#include <QImage>
#include <QString>
#include <QVector>
#include <QRgb>

#include <opencv2/core.hpp>

#include <functional>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace shapes {

enum class Kind { ActuatorList, CsvPhaseMap, TiffPhaseMap, Unknown };

// How a file is read: decided by its extension (case ignored) and, for ".csv", by its first lines.
struct FileKind {
    Kind kind = Kind::Unknown;
    int headerLines = 0;  // comma-separated phase maps: lines before the numeric table
    bool rowLabels = false;  // the wavefront-sensor export: the first column holds the row coordinate
};
// False when the file cannot be opened for reading.
bool classify(const QString& path, FileKind* kind);

// One number in 0..1 per line, blanks around it and blank lines ignored (a single trailing comma is allowed, as
// a one-column table writes it). Any other line refuses the whole file: false, with `problem` naming the line.
bool readActuatorList(const QString& path, std::vector<double>* values, QString* problem = nullptr);

// Asks for the wavelength (nm) of a map given in waves; false when the user cancels.
using WavelengthPrompt = std::function<bool(double* wavelength)>;

// Reads a comma-separated phase map ("?" marks a missing value, read as 0). With scale 0 the unit is guessed
// from the value range: waves (0 < max < 5, min >= 0, converted with -wavelength), hundreds of nanometres
// (-10 < min < 0, max < 10, times 100) or nanometres. Returns false when the table cannot be parsed or the
// prompt is cancelled.
bool loadCSVPhaseMap(const QString& path, const FileKind& kind, cv::Mat* map, double scale,
                     const WavelengthPrompt& askWavelength);
// A TIFF read at its own bit depth; pixel values are heights, negated.
bool loadTiffPhaseMap(const QString& path, cv::Mat* map);

// The surface the mirror is expected to make: the grid surface enlarged to `size` and smoothed.
cv::Mat expectedSurface(const cv::Mat& gridSurface, int size);

struct SurfaceStats {
    double peakToValley = 0.0;
    double mean = 0.0;
    double stdDev = 0.0;
    double min = 0.0;
    double max = 0.0;
};
// The region the statistics are taken over: finite values inside the disc inscribed in the surface.
cv::Mat validRegion(const cv::Mat& surface);
// The aperture (diameter in actuator spacings, centred on a grid `gridWidth` wide) on a size x size picture of
// that grid, pixel centres mapped as image resizing maps them.
cv::Mat apertureRegion(int size, int gridWidth, double diameter);
// A region (CV_8U, nonzero inside) as runs of inside points, row by row: loops over a region made once visit
// only its points, with no test per point.
struct RegionRuns {
    static RegionRuns of(const cv::Mat& region);
    int rows = 0;
    int cols = 0;
    std::vector<int> rowStart;                // rows + 1 entries: row y's runs are runs[rowStart[y]..rowStart[y+1])
    std::vector<std::pair<int, int>> runs;    // [begin, end) columns
    std::uint64_t stamp = 0;                  // runs made by one call to of() (and their copies) share it
};
// Over the region, with every value first clipped to lo..hi (none by default).
SurfaceStats surfaceStats(const cv::Mat& surface, const cv::Mat& region,
                          double lo = -std::numeric_limits<double>::infinity(),
                          double hi = std::numeric_limits<double>::infinity());
SurfaceStats surfaceStats(const cv::Mat& surface, const RegionRuns& region,
                          double lo = -std::numeric_limits<double>::infinity(),
                          double hi = std::numeric_limits<double>::infinity());
// Whether the widest vector instructions the processor has (AVX2) are used: by default when it has them. The
// narrower path gives the same values and pictures; off forces it.
bool wideVectors();
void setWideVectors(bool on);

// The same statistics taken a span of points at a time (values clipped to clipLo..clipHi), as the points come:
// the spans of a region's runs, row by row, give the numbers surfaceStats gives over that region.
class StatsAccumulator {
public:
    StatsAccumulator(double clipLo, double clipHi);
    // The points v[begin..end).
    void add(const double* v, int begin, int end);
    // The points x in begin..end of a sum of terms: rows[t][x] * coefficients[t] summed over t in order, a
    // product then a sum (never fused, so the values are those of the sum written out first).
    void addSum(const double* const* rows, const double* coefficients, int terms, int begin, int end);
    SurfaceStats result() const;

private:
    static constexpr int kLanes = 4;
    double clipLo_, clipHi_;
    double lo_[kLanes], hi_[kLanes];
    double sum_[kLanes] = {}, squares_[kLanes] = {};
    long count_ = 0;
};
// 8-bit picture: lo..hi onto table entries 0..254, outside the region entry 255, coloured with the table.
QImage surfaceImage(const cv::Mat& surface, const cv::Mat& region, double lo, double hi, const QVector<QRgb>& table);

// Writes the frame as a one-column comma-separated table; ".csv" is appended unless the name ends in
// ".txt" or ".csv". Returns the name written, empty on failure.
QString saveActuatorList(const QString& path, const std::vector<double>& frame);

}  // namespace shapes
