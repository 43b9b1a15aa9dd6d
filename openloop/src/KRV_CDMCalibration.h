// Open-loop model of a continuous face-sheet mirror: desired surface at the actuator grid to commands.
#pragma once

#include "ReconstructorSolver.h"

#include <KRV.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MirrorKit {

class KRV_CDMCalibration {
public:
    // Fast: solve once per surface and shift solutions linearly (LU where the reconstructor is well
    // conditioned). Literal: SVD, one full solve per pass and per step of the piston scan; kept as the
    // reference the fast path is checked against.
    enum class SolvePath { Fast, Literal };

    explicit KRV_CDMCalibration(const DM& dm, SolvePath path = SolvePath::Fast);
    explicit KRV_CDMCalibration(uint32_t actuatorCount, SolvePath path = SolvePath::Fast);
    KRV_CDMCalibration(const KRV_CDMCalibration&) = delete;
    KRV_CDMCalibration& operator=(const KRV_CDMCalibration&) = delete;

    KRVRC load(const std::string& path);

    // surface: W x W doubles in nm. commands receives commandCount values (at most the actuator count).
    KRVRC calculateSurface(const cv::Mat& surface, unsigned options, double* commands, unsigned commandCount) const;

    // Deepest flat piston, mid-stroke command and slope, total stroke; run at the end of a load.
    void calculatePistonRange();

    uint32_t width() const { return width_; }
    uint32_t actuatorCount() const { return static_cast<uint32_t>(actuatorIndex_.size()); }
    // Grid positions (row-major index into the W x W grid) of the actuators, in actuator order.
    const std::vector<int>& actuatorPositions() const { return actuatorIndex_; }
    const cv::Mat& actuatorMask() const { return actuatorMask_; }
    bool loaded() const { return solver_ != nullptr; }
    ReconstructorSolver::Method solverMethod() const;
    double solverRcond() const { return solver_ ? solver_->rcond() : 0.0; }

    double pistonMin() const { return pistonMin_; }
    double pistonMax() const { return pistonMax_; }
    double strokeMin() const { return strokeMin_; }
    double strokeMax() const { return strokeMax_; }
    double midpointBias() const { return midpointBias_; }
    double commandSlope() const { return commandSlope_; }

private:
    struct Scratch;

    void prepareModel(cv::Mat reconstructor);
    // The reconstructor reduced to the actuators and scaled; throws when it fits neither form.
    cv::Mat scaleReconstructor(cv::Mat reconstructor) const;
    KRVRC runPasses(std::vector<double>& surface, const std::vector<double>& solution, unsigned options,
                    double* commands, unsigned commandCount) const;
    // v = sum over k of coeffs[k] * X^orders[k][0] * Y^orders[k][1]; false when the orders do not fit.
    bool evaluatePolynomial(const double* x, const double* y, double* v, size_t n, std::vector<double>& powers) const;
    // Outcome of a flat piston p (nm) with absolute deflection, without writing any output.
    KRVRC flatPiston(double piston, Scratch& scratch) const;
    double scanPistonMin();
    double scanPistonMinLiteral();
    void solve(const std::vector<double>& rhs, std::vector<double>& x) const;

    uint32_t modelKey_;
    uint32_t width_;
    double stroke_;
    SolvePath path_;
    cv::Mat actuatorMask_;           // W x W, CV_8U
    std::vector<int> actuatorIndex_; // grid position of each actuator
    bool geometryValid_ = false;

    cv::Mat coefficients_;  // 1 x K, CV_64F
    cv::Mat orders_;        // K x 2, CV_32S
    cv::Mat unpowered_;     // W x W, metres; empty when the table has none
    std::vector<double> unpoweredAtActuators_;  // metres; zeros when the table has no shape
    std::unique_ptr<ReconstructorSolver> solver_;
    std::vector<double> pistonResponse_;     // solution for a uniform surface of 1 nm
    std::vector<double> unpoweredResponse_;  // solution for the unpowered shape

    double pistonMin_;
    double pistonMax_ = 0.0;
    double strokeMin_;
    double strokeMax_ = 0.0;
    double midpointBias_ = 0.6;
    // Stays 0 when the slope evaluation fails (the recentring pass then adds no offset from it).
    double commandSlope_ = 0.0;
};

// The flexural rigidity of the face sheet times 16 pi: 3 um of E = 1.69e11 Pa, Poisson ratio 0.22.
double plateScale();

// Grid positions that hold actuators for a mirror of actuatorCount actuators on a W x W grid: the model's
// mask where it has one; else the whole grid, or the grid without its four corners, whichever has the
// right count. Empty when neither fits.
cv::Mat actuatorPresence(uint32_t actuatorCount, uint32_t width);

}  // namespace MirrorKit
