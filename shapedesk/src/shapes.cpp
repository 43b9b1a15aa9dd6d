// Shape files and surfaces: actuator lists, phase maps (comma-separated and TIFF), the border a phase map gets
// before it is solved, the expected surface, and the statistics and pictures of a surface.
#include "shapes.h"

#include "desklog.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QTextStream>

#include <immintrin.h>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ml.hpp>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace shapes {

namespace {

log4cxx::LoggerPtr logger() {
    static const log4cxx::LoggerPtr log = log4cxx::Logger::getLogger("KRV.ShapeDesk");
    return log;
}

}  // namespace

bool classify(const QString& path, FileKind* kind) {
    *kind = FileKind{};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "txt") {
        kind->kind = Kind::ActuatorList;
    } else if (suffix == "tif" || suffix == "tiff") {
        kind->kind = Kind::TiffPhaseMap;
    } else if (suffix == "csv") {
        QTextStream in(&file);
        const QString first = in.readLine().trimmed();
        const bool sensor = first.startsWith("Thorlabs");
        if (first.split(',').size() == 1 && !sensor) {
            kind->kind = Kind::ActuatorList;
            return true;
        }
        kind->kind = Kind::CsvPhaseMap;
        // A wavefront-sensor export: a header down to the "y / x" line, whose first column then labels rows.
        QStringList lines{first};
        bool spots = false;
        while (!in.atEnd()) {
            const QString line = in.readLine();
            spots = spots || line.startsWith("Spots X");
            lines << line;
        }
        if (sensor || spots) {
            for (int i = 0; i < lines.size(); ++i) {
                if (lines[i].startsWith("y / x")) {
                    kind->headerLines = i + 1;
                    kind->rowLabels = true;
                    break;
                }
            }
            KRV_LOG_DEBUG(logger(), "Header line count: " << kind->headerLines);
        }
    }
    return true;
}

bool readActuatorList(const QString& path, std::vector<double>* values, QString* problem) {
    auto refuse = [&](const QString& why) {
        if (problem) *problem = why;
        values->clear();
        return false;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return refuse(QObject::tr("the file cannot be opened"));
    QTextStream in(&file);
    int lineNumber = 0;
    while (!in.atEnd()) {
        QString line = in.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty()) continue;
        if (line.endsWith(',')) line.chop(1);
        bool ok = false;
        const double value = line.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return refuse(QObject::tr("line %1 (\"%2\") is not a number").arg(lineNumber).arg(line.left(40)));
        if (value < 0.0 || value > 1.0)
            return refuse(QObject::tr("line %1 (%2) is outside 0 to 1").arg(lineNumber).arg(line.left(40)));
        values->push_back(value);
    }
    if (values->empty()) return refuse(QObject::tr("the file holds no values"));
    return true;
}

bool loadCSVPhaseMap(const QString& path, const FileKind& kind, cv::Mat* map, double scale,
                     const WavelengthPrompt& askWavelength) {
    auto log = logger();
    cv::Mat table;
    try {
        // Every column is an ordered variable, so the reader's response column is just the last one.
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) throw std::runtime_error("cannot open");
        QTextStream in(&file);
        for (int i = 0; i < kind.headerLines && !in.atEnd(); ++i) in.readLine();
        QString first;
        while (!in.atEnd() && first.trimmed().isEmpty()) first = in.readLine();
        const int columns = first.split(',').size();
        if (columns < 1) throw std::runtime_error("no columns");
        const std::string types = columns > 1 ? "ord[0-" + std::to_string(columns - 1) + "]" : "ord[0]";
        cv::Ptr<cv::ml::TrainData> data = cv::ml::TrainData::loadFromCSV(
            QFile::encodeName(path).toStdString(), kind.headerLines, -1, -1, types, ',', '?');
        if (!data) throw std::runtime_error("not a table");
        cv::Mat samples = data->getSamples(), responses = data->getResponses();
        if (responses.rows == samples.rows && !responses.empty()) {
            responses = responses.reshape(1, samples.rows);
            cv::hconcat(samples, responses, table);
        } else {
            table = samples;
        }
        table.convertTo(table, CV_64F);
        if (kind.rowLabels && table.cols > 1) table = table.colRange(1, table.cols).clone();
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(log, "Error loading file: " << QFile::encodeName(path).constData() << ": " << e.what());
        return false;
    }
    if (table.empty()) {
        KRV_LOG_ERROR(log, "Error loading file: " << QFile::encodeName(path).constData());
        return false;
    }
    // Missing values come back as the reader's marker: read them as 0 after the unit is settled.
    cv::Mat missing = cv::abs(table) >= FLT_MAX / 2;
    table.setTo(0.0, missing);
    KRV_LOG_INFO(log, "Loaded CSV phase map: " << QFile::encodeName(path).constData() << " (" << table.cols << " x "
                                               << table.rows << ")");
    double lo = 0, hi = 0;
    cv::minMaxLoc(table, &lo, &hi, nullptr, nullptr, ~missing);
    double factor = scale;
    if (factor == 0.0) {
        if (hi > 0.0 && hi < 5.0 && lo >= 0.0) {
            double wavelength = 750.0;
            if (!askWavelength || !askWavelength(&wavelength)) return false;
            factor = -wavelength;
        } else if (hi < 10.0 && lo < 0.0 && lo > -10.0) {
            factor = 100.0;
        } else {
            factor = 1.0;
        }
    }
    *map = table * factor;
    return true;
}

bool loadTiffPhaseMap(const QString& path, cv::Mat* map) {
    const cv::Mat image = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_ANYDEPTH);
    if (image.empty()) {
        KRV_LOG_ERROR(logger(), "Error loading file: " << QFile::encodeName(path).constData());
        return false;
    }
    image.convertTo(*map, CV_64F, -1.0);
    return true;
}

cv::Mat expectedSurface(const cv::Mat& gridSurface, int size) {
    cv::Mat big, smooth;
    if (gridSurface.empty() || size < 1) return big;
    cv::resize(gridSurface, big, cv::Size(size, size), 0, 0, cv::INTER_CUBIC);
    cv::GaussianBlur(big, smooth, cv::Size(0, 0), 2.0);
    return smooth;
}

cv::Mat validRegion(const cv::Mat& surface) {
    cv::Mat region(surface.size(), CV_8U, cv::Scalar(0));
    const double cx = (surface.cols - 1) * 0.5, cy = (surface.rows - 1) * 0.5;
    const double r = std::min(surface.rows, surface.cols) * 0.5;
    // The disc drawn with 4 fractional bits, so that its edge falls where the distance test would put it.
    cv::circle(region, cv::Point(cvRound(cx * 16), cvRound(cy * 16)), cvRound(r * 16), cv::Scalar(255), cv::FILLED,
               cv::LINE_8, 4);
    // NaN compares unequal to itself: those points are left out.
    cv::Mat finite;
    cv::compare(surface, surface, finite, cv::CMP_EQ);
    return region & finite;
}

cv::Mat apertureRegion(int size, int gridWidth, double diameter) {
    cv::Mat region(size, size, CV_8U, cv::Scalar(0));
    if (size < 1 || gridWidth < 1) return region;
    const double scale = static_cast<double>(gridWidth) / size, c = (gridWidth - 1) * 0.5;
    const double r2 = diameter * diameter * 0.25;
    for (int y = 0; y < size; ++y) {
        const double gy = (y + 0.5) * scale - 0.5 - c;
        uchar* row = region.ptr<uchar>(y);
        for (int x = 0; x < size; ++x) {
            const double gx = (x + 0.5) * scale - 0.5 - c;
            row[x] = gx * gx + gy * gy <= r2 ? 255 : 0;
        }
    }
    return region;
}

RegionRuns RegionRuns::of(const cv::Mat& region) {
    static std::atomic<std::uint64_t> stamps{0};
    RegionRuns r;
    r.stamp = ++stamps;
    if (region.empty() || region.type() != CV_8U) return r;
    r.rows = region.rows;
    r.cols = region.cols;
    r.rowStart.reserve(static_cast<size_t>(r.rows) + 1);
    for (int y = 0; y < region.rows; ++y) {
        r.rowStart.push_back(static_cast<int>(r.runs.size()));
        const uchar* inside = region.ptr<uchar>(y);
        for (int x = 0; x < region.cols;) {
            if (!inside[x]) {
                ++x;
                continue;
            }
            const int begin = x;
            while (x < region.cols && inside[x]) ++x;
            r.runs.emplace_back(begin, x);
        }
    }
    r.rowStart.push_back(static_cast<int>(r.runs.size()));
    return r;
}

SurfaceStats surfaceStats(const cv::Mat& surface, const cv::Mat& region, double clipLo, double clipHi) {
    if (surface.empty() || surface.type() != CV_64F || region.size() != surface.size() || region.type() != CV_8U)
        return SurfaceStats();
    return surfaceStats(surface, RegionRuns::of(region), clipLo, clipHi);
}

SurfaceStats surfaceStats(const cv::Mat& surface, const RegionRuns& region, double clipLo, double clipHi) {
    if (surface.empty() || surface.type() != CV_64F || region.rows != surface.rows || region.cols != surface.cols)
        return SurfaceStats();
    StatsAccumulator stats(clipLo, clipHi);
    for (int y = 0; y < surface.rows; ++y) {
        const double* v = surface.ptr<double>(y);
        for (int k = region.rowStart[static_cast<size_t>(y)]; k < region.rowStart[static_cast<size_t>(y) + 1]; ++k)
            stats.add(v, region.runs[static_cast<size_t>(k)].first, region.runs[static_cast<size_t>(k)].second);
    }
    return stats.result();
}

StatsAccumulator::StatsAccumulator(double clipLo, double clipHi) : clipLo_(clipLo), clipHi_(clipHi) {
    const double inf = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kLanes; ++i) {
        lo_[i] = inf;
        hi_[i] = -inf;
    }
}

namespace {

std::atomic<bool> wide{__builtin_cpu_supports("avx2") != 0};

// The sum of the terms at point x: a product, then a sum per term, never fused (every path gives the same value).
inline double sumAt(const double* const* rows, const double* coefficients, int terms, int x) {
    if (terms == 0) return 0.0;
    double s = rows[0][x] * coefficients[0];
    for (int t = 1; t < terms; ++t) s = s + rows[t][x] * coefficients[t];
    return s;
}

// The four lanes of StatsAccumulator::addSum in one register each. `Terms`, when not 0, is the number of terms,
// known when compiled.
template <int Terms>
__attribute__((target("avx2"))) int addLanesAvx2(const double* const* rows, const double* coefficients, int terms,
                                                 int begin, int end, double clipLo, double clipHi, double* lo,
                                                 double* hi, double* sum, double* squares) {
    const int count = Terms > 0 ? Terms : terms;
    const __m256d clipLos = _mm256_set1_pd(clipLo), clipHis = _mm256_set1_pd(clipHi);
    __m256d l = _mm256_loadu_pd(lo), h = _mm256_loadu_pd(hi), s = _mm256_loadu_pd(sum), q = _mm256_loadu_pd(squares);
    int x = begin;
    for (; x + 4 <= end; x += 4) {
        __m256d v = _mm256_setzero_pd();
        if (count > 0) {
            v = _mm256_mul_pd(_mm256_loadu_pd(rows[0] + x), _mm256_set1_pd(coefficients[0]));
            for (int t = 1; t < count; ++t)
                v = _mm256_add_pd(v, _mm256_mul_pd(_mm256_loadu_pd(rows[t] + x), _mm256_set1_pd(coefficients[t])));
        }
        const __m256d a = _mm256_min_pd(_mm256_max_pd(v, clipLos), clipHis);
        l = _mm256_min_pd(l, a);
        h = _mm256_max_pd(h, a);
        s = _mm256_add_pd(s, a);
        q = _mm256_add_pd(q, _mm256_mul_pd(a, a));
    }
    _mm256_storeu_pd(lo, l);
    _mm256_storeu_pd(hi, h);
    _mm256_storeu_pd(sum, s);
    _mm256_storeu_pd(squares, q);
    return x;
}

int addLanesWide(const double* const* rows, const double* coefficients, int terms, int begin, int end, double clipLo,
                 double clipHi, double* lo, double* hi, double* sum, double* squares) {
    switch (terms) {
        case 1: return addLanesAvx2<1>(rows, coefficients, terms, begin, end, clipLo, clipHi, lo, hi, sum, squares);
        case 2: return addLanesAvx2<2>(rows, coefficients, terms, begin, end, clipLo, clipHi, lo, hi, sum, squares);
        case 3: return addLanesAvx2<3>(rows, coefficients, terms, begin, end, clipLo, clipHi, lo, hi, sum, squares);
        default: return addLanesAvx2<0>(rows, coefficients, terms, begin, end, clipLo, clipHi, lo, hi, sum, squares);
    }
}

}  // namespace

bool wideVectors() { return wide; }

void setWideVectors(bool on) { wide = on && __builtin_cpu_supports("avx2"); }

void StatsAccumulator::add(const double* v, int begin, int end) {
    const double one = 1.0;  // v times one is v
    addSum(&v, &one, 1, begin, end);
}

// Extremes, sum and sum of squares, four points at a time in independent accumulators so that no addition waits
// for the one before it.
void StatsAccumulator::addSum(const double* const* rows, const double* coefficients, int terms, int begin, int end) {
    if (end <= begin) return;
    count_ += end - begin;
    int x = begin;
    if (x + kLanes <= end && wide) {
        x = addLanesWide(rows, coefficients, terms, begin, end, clipLo_, clipHi_, lo_, hi_, sum_, squares_);
    } else if (x + kLanes <= end) {
        // Two points per register, two registers: the lanes, as vector operations.
        const cv::v_float64x2 clipLos = cv::v_setall_f64(clipLo_), clipHis = cv::v_setall_f64(clipHi_);
        cv::v_float64x2 lo0 = cv::v_load(lo_), lo1 = cv::v_load(lo_ + 2);
        cv::v_float64x2 hi0 = cv::v_load(hi_), hi1 = cv::v_load(hi_ + 2);
        cv::v_float64x2 sum0 = cv::v_load(sum_), sum1 = cv::v_load(sum_ + 2);
        cv::v_float64x2 sq0 = cv::v_load(squares_), sq1 = cv::v_load(squares_ + 2);
        for (; x + kLanes <= end; x += kLanes) {
            cv::v_float64x2 v0 = cv::v_setzero_f64(), v1 = cv::v_setzero_f64();
            if (terms > 0) {
                const cv::v_float64x2 c = cv::v_setall_f64(coefficients[0]);
                v0 = cv::v_load(rows[0] + x) * c;
                v1 = cv::v_load(rows[0] + x + 2) * c;
                for (int t = 1; t < terms; ++t) {
                    const cv::v_float64x2 ct = cv::v_setall_f64(coefficients[t]);
                    v0 = v0 + cv::v_load(rows[t] + x) * ct;
                    v1 = v1 + cv::v_load(rows[t] + x + 2) * ct;
                }
            }
            const cv::v_float64x2 a = cv::v_min(cv::v_max(v0, clipLos), clipHis);
            const cv::v_float64x2 b = cv::v_min(cv::v_max(v1, clipLos), clipHis);
            lo0 = cv::v_min(lo0, a);
            lo1 = cv::v_min(lo1, b);
            hi0 = cv::v_max(hi0, a);
            hi1 = cv::v_max(hi1, b);
            sum0 += a;
            sum1 += b;
            sq0 += a * a;
            sq1 += b * b;
        }
        cv::v_store(lo_, lo0);
        cv::v_store(lo_ + 2, lo1);
        cv::v_store(hi_, hi0);
        cv::v_store(hi_ + 2, hi1);
        cv::v_store(sum_, sum0);
        cv::v_store(sum_ + 2, sum1);
        cv::v_store(squares_, sq0);
        cv::v_store(squares_ + 2, sq1);
    }
    for (; x < end; ++x) {
        const double value = std::min(std::max(sumAt(rows, coefficients, terms, x), clipLo_), clipHi_);
        lo_[0] = std::min(lo_[0], value);
        hi_[0] = std::max(hi_[0], value);
        sum_[0] += value;
        squares_[0] += value * value;
    }
}

SurfaceStats StatsAccumulator::result() const {
    SurfaceStats s;
    if (count_ == 0) return s;
    s.min = std::min(std::min(lo_[0], lo_[1]), std::min(lo_[2], lo_[3]));
    s.max = std::max(std::max(hi_[0], hi_[1]), std::max(hi_[2], hi_[3]));
    s.mean = ((sum_[0] + sum_[1]) + (sum_[2] + sum_[3])) / count_;
    const double meanSquare = ((squares_[0] + squares_[1]) + (squares_[2] + squares_[3])) / count_;
    s.stdDev = std::sqrt(std::max(0.0, meanSquare - s.mean * s.mean));
    s.peakToValley = s.max - s.min;
    return s;
}

QImage surfaceImage(const cv::Mat& surface, const cv::Mat& region, double lo, double hi, const QVector<QRgb>& table) {
    const double span = hi - lo;
    cv::Mat indices;
    // lo..hi onto 0..254 (rounded, saturated), then the points outside the region to the background entry.
    surface.convertTo(indices, CV_8U, span > 0 ? 254.0 / span : 0.0, span > 0 ? -lo * 254.0 / span : 0.0);
    cv::min(indices, 254, indices);
    indices.setTo(255, region == 0);
    QImage image(surface.cols, surface.rows, QImage::Format_Indexed8);
    image.setColorTable(table);
    for (int y = 0; y < surface.rows; ++y) std::memcpy(image.scanLine(y), indices.ptr<uchar>(y), surface.cols);
    return image;
}

QString saveActuatorList(const QString& path, const std::vector<double>& frame) {
    QString name = path;
    if (!name.endsWith(".txt", Qt::CaseInsensitive) && !name.endsWith(".csv", Qt::CaseInsensitive)) name += ".csv";
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return QString();
    QTextStream out(&file);
    for (double v : frame) out << QString::number(v, 'g', 17) << '\n';
    out.flush();
    return file.error() == QFile::NoError ? name : QString();
}

}  // namespace shapes
