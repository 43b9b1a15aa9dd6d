// Open-loop model of a segmented mirror: piston and tilts of a segment to its three driver values.
#pragma once

#include <KRV.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace MirrorKit {

class KRVDMHexCalibration {
public:
    explicit KRVDMHexCalibration(int segmentCount);
    KRVDMHexCalibration(const KRVDMHexCalibration&) = delete;
    KRVDMHexCalibration& operator=(const KRVDMHexCalibration&) = delete;

    KRVRC load(const std::string& path);

    // Driver values (16-bit DAC units) of actuators 3s, 3s + 1 and 3s + 2. Segments at or above the
    // segment count give ERR_SEGMENT_ID; unreachable requests ERR_OUT_OF_LUT_RANGE.
    KRVRC getActuatorValues(unsigned segment, double piston, double xTilt, double yTilt, unsigned* a0, unsigned* a1,
                            unsigned* a2, bool applyOffsets) const;
    KRVRC getPistonRange(unsigned segment, double xTilt, double yTilt, double* min, double* max,
                         bool applyOffsets) const;
    KRVRC getXTiltRange(unsigned segment, double piston, double yTilt, double* min, double* max,
                        bool applyOffsets) const;
    KRVRC getYTiltRange(unsigned segment, double piston, double xTilt, double* min, double* max,
                        bool applyOffsets) const;

    int segmentCount() const { return segmentCount_; }
    uint32_t lutSize() const { return lutSize_; }
    double pistonFirst() const { return pistonFirst_; }
    double pistonLast() const { return pistonLast_; }
    double xTiltFirst() const { return xTiltFirst_; }
    double xTiltSpan() const { return xTiltSpan_; }
    double yTiltFirst() const { return yTiltFirst_; }
    double yTiltSpan() const { return yTiltSpan_; }
    double pistonOffset(unsigned s) const { return pistonOffsets_.at(s); }
    double xTiltOffset(unsigned s) const { return xTiltOffsets_.at(s); }
    double yTiltOffset(unsigned s) const { return yTiltOffsets_.at(s); }

private:
    enum class Free { X, Y };
    KRVRC tiltRange(Free free, unsigned segment, double piston, double fixedTilt, double* min, double* max,
                    bool applyOffsets) const;

    uint32_t lutSize_ = 0;
    int segmentCount_;
    cv::Mat commandLut_;  // L x L x L of CV_16UC3: (piston, y-tilt, x-tilt), channel = actuator of the segment
    double pistonFirst_ = 0.0, pistonLast_ = 0.0, pistonSpan_ = 0.0;
    double xTiltFirst_ = 0.0, xTiltSpan_ = 0.0;
    double yTiltFirst_ = 0.0, yTiltSpan_ = 0.0;
    cv::Mat pistonMaxLookup_;  // L x L, nm; row = x-tilt index, column = y-tilt index
    cv::Mat pistonMinLookup_;
    std::vector<double> pistonOffsets_, xTiltOffsets_, yTiltOffsets_;
};

}  // namespace MirrorKit
