// Segmented-mirror calibration: trilinear lookup of driver values and the reachable ranges of each axis.
#include "KRVDMHexCalibration.h"

#include "CalibrationTable.h"
#include "OpenLoopLog.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace MirrorKit {
namespace {

const char* const kOutOfRange = "Value out of given range.";
const char* const kNotPopulated = "Value not populated in LUT.";
const char* const kLookupError = "Error looking up value in LUT.";

// A failed lookup and the message it is logged with.
struct LookupFailure {
    const char* message;
};

struct Axis {
    double first;
    double span;
    int samples;

    double step() const { return span / (samples - 1); }

    // The two samples around q (equal when q sits on a sample); both must lie on the axis.
    void neighbours(double q, int& i0, int& i1) const {
        const double f = (q - first) / span * (samples - 1);
        // Written so that NaN fails as well.
        if (!(f >= 0.0 && f <= static_cast<double>(samples - 1))) throw LookupFailure{kOutOfRange};
        i0 = static_cast<int>(std::floor(f));
        i1 = static_cast<int>(std::ceil(f));
    }

    double weight(double q, int i0) const { return (q - (i0 * step() + first)) / step(); }
    double sample(int i) const { return first + i * span / (samples - 1); }
};

using Entry = cv::Vec<uint16_t, 3>;
using Blend = std::array<double, 3>;

bool populated(const Entry& e) { return e[0] != 0 || e[1] != 0 || e[2] != 0; }

Blend mix(const Blend& a, const Blend& b, double t) {
    Blend r;
    for (int c = 0; c < 3; ++c) r[c] = a[c] * (1.0 - t) + b[c] * t;
    return r;
}

// First populated index of a line and the last index of the populated run that starts there; -1 for both
// when nothing on the line is populated.
template <typename At>
void populatedRun(int samples, At at, int& first, int& runEnd) {
    first = runEnd = -1;
    int i = 0;
    while (i < samples && !populated(at(i))) ++i;
    if (i == samples) return;
    first = i;
    while (i + 1 < samples && populated(at(i + 1))) ++i;
    runEnd = i;
}

}  // namespace

KRVDMHexCalibration::KRVDMHexCalibration(int segmentCount)
    : segmentCount_(segmentCount),
      pistonOffsets_(static_cast<size_t>(std::max(segmentCount, 0)), 0.0),
      xTiltOffsets_(static_cast<size_t>(std::max(segmentCount, 0)), 0.0),
      yTiltOffsets_(static_cast<size_t>(std::max(segmentCount, 0)), 0.0) {}

KRVRC KRVDMHexCalibration::load(const std::string& path) {
    const log4cxx::LoggerPtr log = openLoopLogger();
    MatlabVariables vars;
    const KRVRC rc = readCalibrationTable(path, vars, log);
    if (rc != NO_ERR) return rc;

    try {
        cv::Mat pistons = findDoubleMatrix(vars, "piston_range");
        cv::Mat maxLookup = findDoubleMatrix(vars, "piston_range_max_lookup");
        cv::Mat minLookup = findDoubleMatrix(vars, "piston_range_min_lookup");
        const cv::Mat xTilts = findDoubleMatrix(vars, "x_tilt_range");
        const cv::Mat yTilts = findDoubleMatrix(vars, "y_tilt_range");
        const cv::Mat commands = MatFileReader::find<cv::Mat>(vars, "get_commands");

        if (commands.dims != 3 || commands.type() != CV_16UC3 || commands.size[0] != commands.size[1] ||
            commands.size[1] != commands.size[2])
            return ERR_INVALID_CALIBRATION;
        const int L = commands.size[0];
        const auto isVector = [L](const cv::Mat& m) { return m.channels() == 1 && m.total() == static_cast<size_t>(L); };
        if (!isVector(pistons) || !isVector(xTilts) || !isVector(yTilts)) return ERR_INVALID_CALIBRATION;
        const auto isSquare = [L](const cv::Mat& m) {
            return m.dims == 2 && m.channels() == 1 && m.rows == L && m.cols == L;
        };
        if (!isSquare(maxLookup) || !isSquare(minLookup)) return ERR_INVALID_CALIBRATION;
        // A single sample spans nothing: no coordinate could be placed on such an axis.
        if (L < 2) return ERR_INVALID_CALIBRATION;

        pistons = pistons.reshape(1, 1) * 1e9;
        const cv::Mat xs = xTilts.reshape(1, 1), ys = yTilts.reshape(1, 1);
        // A coordinate is placed by its distance from an axis' first sample over the axis' span, and ranges are
        // reported from them: every axis needs finite end samples, increasing, with a finite span.
        for (const cv::Mat* axis : std::initializer_list<const cv::Mat*>{&pistons, &xs, &ys}) {
            const double first = axis->at<double>(0), last = axis->at<double>(L - 1);
            if (!(std::isfinite(first) && std::isfinite(last) && std::isfinite(last - first) && last > first))
                return ERR_INVALID_CALIBRATION;
        }
        maxLookup = maxLookup * 1e9;
        minLookup = minLookup * 1e9;
        for (cv::Mat* lookup : {&maxLookup, &minLookup})
            for (int r = 0; r < L; ++r)
                for (int c = 0; c < L; ++c) lookup->at<double>(r, c) = std::round(lookup->at<double>(r, c));

        lutSize_ = static_cast<uint32_t>(L);
        commandLut_ = commands.isContinuous() ? commands : commands.clone();
        pistonMaxLookup_ = maxLookup;
        pistonMinLookup_ = minLookup;
        pistonFirst_ = pistons.at<double>(0);
        pistonLast_ = pistons.at<double>(L - 1);
        pistonSpan_ = pistonLast_ - pistonFirst_;
        xTiltFirst_ = xs.at<double>(0);
        xTiltSpan_ = xs.at<double>(L - 1) - xTiltFirst_;
        yTiltFirst_ = ys.at<double>(0);
        yTiltSpan_ = ys.at<double>(L - 1) - yTiltFirst_;

        if (!hasVariable(vars, "initialSegmentTTPMap")) {
            KRV_LOG_WARN(log, "No initial segment TTP map found in calibration table.");
            return NO_ERR;
        }
        const cv::Mat ttp = findDoubleMatrix(vars, "initialSegmentTTPMap");
        if (ttp.dims != 2 || ttp.channels() != 1 || ttp.rows < segmentCount_ || ttp.cols != 3)
            return ERR_INVALID_CALIBRATION;
        // Offsets shift every coordinate and range of their segment.
        for (int s = 0; s < segmentCount_; ++s)
            for (int c = 0; c < 3; ++c)
                if (!std::isfinite(ttp.at<double>(s, c))) return ERR_INVALID_CALIBRATION;
        for (int s = 0; s < segmentCount_; ++s) {
            const double piston = ttp.at<double>(s, 2);
            pistonOffsets_[static_cast<size_t>(s)] = piston > 0.0 ? piston : 0.0;
            xTiltOffsets_[static_cast<size_t>(s)] = ttp.at<double>(s, 0);
            yTiltOffsets_[static_cast<size_t>(s)] = ttp.at<double>(s, 1);
        }
        return NO_ERR;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(log, "Error reading .MAT variables: " << e.what());
        return ERR_INVALID_CALIBRATION;
    }
}

KRVRC KRVDMHexCalibration::getActuatorValues(unsigned segment, double piston, double xTilt, double yTilt, unsigned* a0,
                                             unsigned* a1, unsigned* a2, bool applyOffsets) const {
    // Checked before any per-segment offset is read.
    if (segment >= static_cast<unsigned>(std::max(segmentCount_, 0))) return ERR_SEGMENT_ID;
    const log4cxx::LoggerPtr log = openLoopLogger();
    const int L = static_cast<int>(lutSize_);
    double p = piston, x = xTilt, y = yTilt;
    if (applyOffsets) {
        p = piston - pistonOffsets_[segment] + pistonLast_;
        x = xTilt - xTiltOffsets_[segment];
        y = yTilt - yTiltOffsets_[segment];
    }
    try {
        if (L < 2) throw LookupFailure{kLookupError};
        const Axis pistonAxis{pistonFirst_, pistonSpan_, L};
        const Axis yAxis{yTiltFirst_, yTiltSpan_, L};
        const Axis xAxis{xTiltFirst_, xTiltSpan_, L};

        int p0, p1;
        pistonAxis.neighbours(p, p0, p1);
        const double tp = pistonAxis.weight(p, p0);

        const auto onSlice = [&](int slice) {
            int y0, y1, x0, x1;
            yAxis.neighbours(y, y0, y1);
            const double ty = yAxis.weight(y, y0);
            xAxis.neighbours(x, x0, x1);
            const double tx = xAxis.weight(x, x0);
            const auto onLine = [&](int row) {
                const Entry& e0 = commandLut_.at<Entry>(slice, row, x0);
                const Entry& e1 = commandLut_.at<Entry>(slice, row, x1);
                if (!populated(e0) || !populated(e1)) throw LookupFailure{kNotPopulated};
                return mix(Blend{double(e0[0]), double(e0[1]), double(e0[2])},
                           Blend{double(e1[0]), double(e1[1]), double(e1[2])}, tx);
            };
            return mix(onLine(y0), onLine(y1), ty);
        };

        const Blend values = mix(onSlice(p0), onSlice(p1), tp);
        unsigned* out[3] = {a0, a1, a2};
        for (int c = 0; c < 3; ++c) *out[c] = static_cast<unsigned>(std::round(values[c]));
        return NO_ERR;
    } catch (const LookupFailure& failure) {
        KRV_LOG_DEBUG(log, failure.message);
    } catch (const std::exception&) {
        KRV_LOG_DEBUG(log, kLookupError);
    }
    return ERR_OUT_OF_LUT_RANGE;
}

KRVRC KRVDMHexCalibration::getPistonRange(unsigned segment, double xTilt, double yTilt, double* min, double* max,
                                          bool applyOffsets) const {
    if (segment >= static_cast<unsigned>(std::max(segmentCount_, 0))) return ERR_SEGMENT_ID;
    const log4cxx::LoggerPtr log = openLoopLogger();
    const int L = static_cast<int>(lutSize_);
    double x = xTilt, y = yTilt;
    if (applyOffsets) {
        x -= xTiltOffsets_[segment];
        y -= yTiltOffsets_[segment];
    }
    try {
        if (L < 2) throw LookupFailure{kLookupError};
        int r0, r1, c0, c1;
        Axis{xTiltFirst_, xTiltSpan_, L}.neighbours(x, r0, r1);
        Axis{yTiltFirst_, yTiltSpan_, L}.neighbours(y, c0, c1);
        double low = -HUGE_VAL, high = HUGE_VAL;
        for (int r = r0; r <= r1; ++r) {
            for (int c = c0; c <= c1; ++c) {
                const double lo = pistonMinLookup_.at<double>(r, c);
                const double hi = pistonMaxLookup_.at<double>(r, c);
                if (!std::isfinite(lo) || !std::isfinite(hi)) throw LookupFailure{kNotPopulated};
                low = std::max(low, lo);
                high = std::min(high, hi);
            }
        }
        if (applyOffsets) {
            low += pistonOffsets_[segment] - pistonLast_;
            high += pistonOffsets_[segment] - pistonLast_;
        }
        *min = low;
        *max = high;
        return NO_ERR;
    } catch (const LookupFailure& failure) {
        KRV_LOG_TRACE(log, failure.message);
    } catch (const std::exception&) {
        KRV_LOG_TRACE(log, kLookupError);
    }
    return ERR_OUT_OF_LUT_RANGE;
}

KRVRC KRVDMHexCalibration::getXTiltRange(unsigned segment, double piston, double yTilt, double* min, double* max,
                                         bool applyOffsets) const {
    return tiltRange(Free::X, segment, piston, yTilt, min, max, applyOffsets);
}

KRVRC KRVDMHexCalibration::getYTiltRange(unsigned segment, double piston, double xTilt, double* min, double* max,
                                         bool applyOffsets) const {
    return tiltRange(Free::Y, segment, piston, xTilt, min, max, applyOffsets);
}

KRVRC KRVDMHexCalibration::tiltRange(Free free, unsigned segment, double piston, double fixedTilt, double* min,
                                     double* max, bool applyOffsets) const {
    if (segment >= static_cast<unsigned>(std::max(segmentCount_, 0))) return ERR_SEGMENT_ID;
    const log4cxx::LoggerPtr log = openLoopLogger();
    const int L = static_cast<int>(lutSize_);
    const std::vector<double>& fixedOffsets = free == Free::X ? yTiltOffsets_ : xTiltOffsets_;
    const std::vector<double>& freeOffsets = free == Free::X ? xTiltOffsets_ : yTiltOffsets_;
    // Unlike the actuator lookup, the piston coordinate here is not moved by the last piston sample.
    double p = piston, fixed = fixedTilt;
    if (applyOffsets) {
        p = piston - pistonOffsets_[segment];
        fixed = fixedTilt - fixedOffsets[segment];
    }
    try {
        if (L < 2) throw LookupFailure{kLookupError};
        const Axis freeAxis = free == Free::X ? Axis{xTiltFirst_, xTiltSpan_, L} : Axis{yTiltFirst_, yTiltSpan_, L};
        const Axis fixedAxis = free == Free::X ? Axis{yTiltFirst_, yTiltSpan_, L} : Axis{xTiltFirst_, xTiltSpan_, L};
        int p0, p1, f0, f1;
        Axis{pistonFirst_, pistonSpan_, L}.neighbours(p, p0, p1);
        fixedAxis.neighbours(fixed, f0, f1);

        int low = -1, high = L;
        bool first = true;
        for (int slice : {p0, p1}) {
            for (int line : {f0, f1}) {
                int start, end;
                if (free == Free::X)
                    populatedRun(L, [&](int i) { return commandLut_.at<Entry>(slice, line, i); }, start, end);
                else
                    populatedRun(L, [&](int i) { return commandLut_.at<Entry>(slice, i, line); }, start, end);
                low = first ? start : std::max(low, start);
                high = first ? end : std::min(high, end);
                first = false;
            }
        }
        if (!(low >= 0 && high < L && low < high)) throw LookupFailure{kLookupError};
        double lo = freeAxis.sample(low), hi = freeAxis.sample(high);
        if (applyOffsets) {
            lo += freeOffsets[segment];
            hi += freeOffsets[segment];
        }
        *min = lo;
        *max = hi;
        return NO_ERR;
    } catch (const LookupFailure& failure) {
        KRV_LOG_TRACE(log, failure.message);
    } catch (const std::exception&) {
        KRV_LOG_TRACE(log, kLookupError);
    }
    return ERR_OUT_OF_LUT_RANGE;
}

}  // namespace MirrorKit
