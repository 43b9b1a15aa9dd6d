// Continuous-mirror calibration: table loading, the piston range scan and the surface to command solve.
#include "KRV_CDMCalibration.h"

#include "CalibrationTable.h"
#include "OpenLoopLog.h"

#include "krv/ModelTable.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace MirrorKit {
namespace {
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot see how OpenCV's worker pool (not instrumented) hands work between threads and reports
// every parallel loop as a race. In that build the library runs OpenCV's loops on the calling thread, so that what
// it reports, in every program that loads a table, is the kit's own.
[[maybe_unused]] const bool kSerialOpenCV = (cv::setNumThreads(0), true);
#endif

constexpr double kOffsetMargin = 75.0;       // nm kept between the surface and the unpowered shape
constexpr double kRecentreTolerance = 0.005; // command units
constexpr double kScanStart = -600.0;
constexpr double kScanEnd = -10000.0;        // exclusive
constexpr int kScanSteps = 9400;             // -600 ... -9999 nm
// Each shift ends the shifting on the next level, so a surface needs at most three passes; the limit
// only guards against arithmetic that never settles.
constexpr int kMaxPasses = 8;
// Exponents up to this share tables of powers; larger ones (not met in practice) are raised one by one.
constexpr int kMaxTabledPower = 16;
// Exponents of the command polynomial; the tables in use stay below 10, and far larger ones only overflow.
constexpr int kMaxOrder = 64;

double ipow(double x, int e) {
    if (e < 0) return 1.0 / ipow(x, -e);
    double result = 1.0;
    double base = x;
    unsigned u = static_cast<unsigned>(e);
    while (u) {
        if (u & 1u) result *= base;
        u >>= 1;
        if (u) base *= base;
    }
    return result;
}

const DMModel* modelOf(uint32_t actuatorCount) { return findModel(actuatorCount); }

}  // namespace

struct KRV_CDMCalibration::Scratch {
    explicit Scratch(size_t n) : x(n), y(n), v(n) {}
    std::vector<double> x, y, v, powers;
};

double plateScale() {
    const double youngsModulus = 1.69e11;
    const double thickness = 3e-6;
    return 16.0 * CV_PI * youngsModulus * thickness * thickness * thickness / 11.4192;
}

cv::Mat actuatorPresence(uint32_t actuatorCount, uint32_t width) {
    const int w = static_cast<int>(width);
    cv::Mat mask(w, w, CV_8U, cv::Scalar(1));
    const DMModel* model = modelOf(actuatorCount);
    if (model && !model->Mask().empty()) {
        const std::vector<int32_t>& cells = model->Mask();
        for (int i = 0; i < w * w; ++i) mask.data[i] = cells[static_cast<size_t>(i)] ? 1 : 0;
    } else if (static_cast<uint64_t>(width) * width == actuatorCount + 4ull && w >= 2) {
        // Square mirrors one actuator short in each corner carry no mask in the model table.
        mask.at<uint8_t>(0, 0) = mask.at<uint8_t>(0, w - 1) = 0;
        mask.at<uint8_t>(w - 1, 0) = mask.at<uint8_t>(w - 1, w - 1) = 0;
    }
    if (static_cast<uint32_t>(cv::countNonZero(mask)) != actuatorCount) return cv::Mat();
    return mask;
}

KRV_CDMCalibration::KRV_CDMCalibration(const DM& dm, SolvePath path) : KRV_CDMCalibration(dm.ActCount, path) {}

KRV_CDMCalibration::KRV_CDMCalibration(uint32_t actuatorCount, SolvePath path)
    : modelKey_(actuatorCount), width_(modelWidth(actuatorCount)), stroke_(0.0), path_(path) {
    if (const DMModel* model = modelOf(actuatorCount)) stroke_ = model->StrokeNm;
    pistonMin_ = strokeMin_ = -stroke_;
    actuatorMask_ = actuatorPresence(actuatorCount, width_);
    geometryValid_ = !actuatorMask_.empty();
    if (!geometryValid_) actuatorMask_ = cv::Mat(static_cast<int>(width_), static_cast<int>(width_), CV_8U, cv::Scalar(1));
    for (int i = 0; i < static_cast<int>(actuatorMask_.total()); ++i)
        if (actuatorMask_.data[i]) actuatorIndex_.push_back(i);
}

ReconstructorSolver::Method KRV_CDMCalibration::solverMethod() const {
    return solver_ ? solver_->method() : ReconstructorSolver::Method::SVD;
}

KRVRC KRV_CDMCalibration::load(const std::string& path) {
    const log4cxx::LoggerPtr log = openLoopLogger();
    MatlabVariables vars;
    const KRVRC rc = readCalibrationTable(path, vars, log);
    if (rc != NO_ERR) return rc;

    if (!geometryValid_) {
        KRV_LOG_ERROR(log, "No actuator grid of width " << width_ << " holds " << modelKey_ << " actuators.");
        return ERR_INVALID_CALIBRATION;
    }

    try {
        cv::Mat reconstructor = findDoubleMatrix(vars, "DM_reconstructor");
        cv::Mat coeffs = findDoubleMatrix(vars, "coeffs");
        if (coeffs.total() < 2) return ERR_INVALID_CALIBRATION;
        // A coefficient that is not finite makes every command NaN, which no later range test catches.
        if (!cv::checkRange(coeffs)) {
            KRV_LOG_ERROR(log, "Calibration coefficients hold values that are not finite.");
            return ERR_INVALID_CALIBRATION;
        }
        coefficients_ = coeffs.reshape(1, 1).clone();

        const cv::Mat orders = findDoubleMatrix(vars, "orders");
        for (auto it = orders.begin<double>(); it != orders.end<double>(); ++it) {
            const double e = *it;
            if (!(std::fabs(e) <= kMaxOrder) || e != std::nearbyint(e)) {
                KRV_LOG_ERROR(log, "Calibration orders must be whole numbers from " << -kMaxOrder << " to "
                                                                                     << kMaxOrder << ".");
                return ERR_INVALID_CALIBRATION;
            }
        }
        orders.convertTo(orders_, CV_32S);

        const int w = static_cast<int>(width_);
        if (hasVariable(vars, "Z_unpow_discrete")) {
            cv::Mat shape = findDoubleMatrix(vars, "Z_unpow_discrete");
            if (shape.dims != 2 || shape.rows != w || shape.cols != w || shape.channels() != 1) {
                KRV_LOG_WARN(log, "Unpowered shape does not match DM size.");
                return ERR_INVALID_CALIBRATION;
            }
            if (!cv::checkRange(shape)) {
                KRV_LOG_ERROR(log, "Unpowered shape holds values that are not finite.");
                return ERR_INVALID_CALIBRATION;
            }
            unpowered_ = shape.clone();
        } else {
            KRV_LOG_WARN(log, "No unpowered shape found in calibration table.");
            unpowered_.release();
        }
        vars.clear();  // the reconstructor's storage is now held by `reconstructor` alone

        prepareModel(std::move(reconstructor));
        calculatePistonRange();
        return NO_ERR;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(log, "Error reading .MAT variables: " << e.what());
        solver_.reset();
        return ERR_INVALID_CALIBRATION;
    }
}

cv::Mat KRV_CDMCalibration::scaleReconstructor(cv::Mat reconstructor) const {
    const int ni = static_cast<int>(actuatorIndex_.size());
    double scale = plateScale();
    // Tables with fewer than nine coefficients keep the plate scale itself.
    if (coefficients_.total() > 8 && coefficients_.at<double>(8) > 1000.0) scale = 1.0 / scale;

    if (reconstructor.dims != 2 || reconstructor.channels() != 1)
        throw std::runtime_error("DM_reconstructor is not a matrix");
    cv::Mat scaled;
    if (reconstructor.rows == ni) {
        if (reconstructor.cols != ni) throw std::runtime_error("DM_reconstructor is not square");
        if (!reconstructor.isContinuous()) reconstructor = reconstructor.clone();
        // In place: the table's copy is not needed afterwards.
        reconstructor *= scale;
        scaled = reconstructor;
    } else {
        const int cells = static_cast<int>(actuatorMask_.total());
        if (reconstructor.rows != cells || reconstructor.cols != cells)
            throw std::runtime_error("DM_reconstructor of " + std::to_string(reconstructor.rows) + " x " +
                                     std::to_string(reconstructor.cols) + " fits neither " + std::to_string(ni) +
                                     " actuators nor the " + std::to_string(cells) + " grid positions");
        scaled.create(ni, ni, CV_64F);
        for (int i = 0; i < ni; ++i) {
            const double* src = reconstructor.ptr<double>(actuatorIndex_[static_cast<size_t>(i)]);
            double* dst = scaled.ptr<double>(i);
            for (int j = 0; j < ni; ++j) dst[j] = src[actuatorIndex_[static_cast<size_t>(j)]] * scale;
        }
    }
    if (!cv::checkRange(scaled)) throw std::runtime_error("DM_reconstructor holds values that are not finite");
    return scaled;
}

void KRV_CDMCalibration::prepareModel(cv::Mat reconstructor) {
    const size_t n = actuatorIndex_.size();

    // Without an unpowered shape the surface is taken relative to a flat mirror.
    unpoweredAtActuators_.assign(n, 0.0);
    if (!unpowered_.empty()) {
        const double* shape = unpowered_.ptr<double>();
        for (size_t i = 0; i < n; ++i) unpoweredAtActuators_[i] = shape[actuatorIndex_[i]];
    }

    // The LU works on a copy, so that the SVD, should it be needed after all, decomposes the matrix that was
    // checked here and not whatever the file holds by then.
    solver_ = ReconstructorSolver::create(scaleReconstructor(std::move(reconstructor)), path_ == SolvePath::Literal);
    KRV_LOG_DEBUG(openLoopLogger(), "Reconstructor of " << n << " actuators solved by "
                                        << (solver_->method() == ReconstructorSolver::Method::LU ? "LU" : "SVD")
                                        << ", reciprocal condition " << solver_->rcond());

    pistonResponse_.clear();
    unpoweredResponse_.clear();
    if (path_ == SolvePath::Fast) {
        // Solutions are linear in the surface: a uniform shift moves them along the response to 1 nm.
        std::vector<double> rhs(n, 1e-9);
        solve(rhs, pistonResponse_);
        solve(unpoweredAtActuators_, unpoweredResponse_);
    }
}

void KRV_CDMCalibration::solve(const std::vector<double>& rhs, std::vector<double>& x) const {
    x.resize(rhs.size());
    solver_->solve(rhs.data(), x.data());
}

bool KRV_CDMCalibration::evaluatePolynomial(const double* x, const double* y, double* v, size_t n,
                                            std::vector<double>& powers) const {
    const int terms = static_cast<int>(coefficients_.total());
    if (orders_.rows != terms || orders_.cols != 2 || orders_.type() != CV_32S) return false;
    const double* c = coefficients_.ptr<double>();
    std::fill(v, v + n, 0.0);

    int maxX = 0, maxY = 0;
    for (int k = 0; k < terms; ++k) {
        maxX = std::max(maxX, std::abs(orders_.at<int>(k, 0)));
        maxY = std::max(maxY, std::abs(orders_.at<int>(k, 1)));
    }
    if (maxX > kMaxTabledPower || maxY > kMaxTabledPower) {
        for (int k = 0; k < terms; ++k) {
            const int ex = orders_.at<int>(k, 0), ey = orders_.at<int>(k, 1);
            for (size_t i = 0; i < n; ++i) v[i] += c[k] * ipow(x[i], ex) * ipow(y[i], ey);
        }
        return true;
    }

    // The powers of every actuator's X and Y, built by repeated multiplication once and shared by the terms.
    powers.resize(static_cast<size_t>(maxX + maxY + 2) * n);
    const auto px = [&](int e) { return powers.data() + static_cast<size_t>(e) * n; };
    const auto py = [&](int e) { return powers.data() + static_cast<size_t>(maxX + 1 + e) * n; };
    std::fill(px(0), px(0) + n, 1.0);
    std::fill(py(0), py(0) + n, 1.0);
    for (int e = 1; e <= maxX; ++e)
        for (size_t i = 0; i < n; ++i) px(e)[i] = px(e - 1)[i] * x[i];
    for (int e = 1; e <= maxY; ++e)
        for (size_t i = 0; i < n; ++i) py(e)[i] = py(e - 1)[i] * y[i];
    for (int k = 0; k < terms; ++k) {
        const int ex = orders_.at<int>(k, 0), ey = orders_.at<int>(k, 1);
        const double* a = px(std::abs(ex));
        const double* b = py(std::abs(ey));
        const double ck = c[k];
        if (ex >= 0 && ey >= 0) {
            for (size_t i = 0; i < n; ++i) v[i] += ck * a[i] * b[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                v[i] += ck * (ex >= 0 ? a[i] : 1.0 / a[i]) * (ey >= 0 ? b[i] : 1.0 / b[i]);
        }
    }
    return true;
}

KRVRC KRV_CDMCalibration::calculateSurface(const cv::Mat& surface, unsigned options, double* commands,
                                           unsigned commandCount) const {
    const log4cxx::LoggerPtr log = openLoopLogger();
    try {
        if (surface.rows != static_cast<int>(width_)) return ERR_NOT_IMPLEMENTED;
        if (!solver_) return ERR_INVALID_CALIBRATION;
        if (surface.cols != static_cast<int>(width_) || surface.type() != CV_64F)
            throw std::invalid_argument("surface is not a " + std::to_string(width_) + " x " +
                                        std::to_string(width_) + " matrix of doubles");

        const size_t n = actuatorIndex_.size();
        std::vector<double> shifted(n);
        const cv::Mat grid = surface.isContinuous() ? surface : surface.clone();
        const double* s = grid.ptr<double>();
        for (size_t i = 0; i < n; ++i) shifted[i] = s[actuatorIndex_[i]];

        std::vector<double> solution;
        if (path_ == SolvePath::Fast) {
            std::vector<double> rel(n);
            for (size_t i = 0; i < n; ++i) rel[i] = 1e-9 * shifted[i] - unpoweredAtActuators_[i];
            solve(rel, solution);
        }
        return runPasses(shifted, solution, options, commands, commandCount);
    } catch (const std::exception& e) {
        KRV_LOG_DEBUG(log, "Error calculating surface: " << e.what());
        KRV_LOG_TRACE(log, "Options: " << options);
        return ERR_UNKNOWN;
    }
}

// One call of the surface calculation, with its automatic offsets unrolled: every offset shifts the whole
// surface and starts the next pass. surface holds the values at the actuators (nm) and is shifted in place;
// solution is the solve of the unshifted surface (fast path only).
KRVRC KRV_CDMCalibration::runPasses(std::vector<double>& surface, const std::vector<double>& solution,
                                    unsigned options, double* commands, unsigned commandCount) const {
    const log4cxx::LoggerPtr log = openLoopLogger();
    const size_t n = surface.size();
    std::vector<double> rel(n), x(n), bigX(n), bigY(n), v(n), powers;
    double totalShift = 0.0;

    for (int pass = 0; pass < kMaxPasses; ++pass) {
        double maxRel = -HUGE_VAL, minRel = HUGE_VAL;
        for (size_t i = 0; i < n; ++i) {
            rel[i] = 1e-9 * surface[i] - unpoweredAtActuators_[i];
            maxRel = std::max(maxRel, rel[i]);
            minRel = std::min(minRel, rel[i]);
        }
        const double mid = (maxRel + minRel) / 2.0 * 1e9;

        auto shiftBy = [&](double offset) {
            for (double& value : surface) value += offset;
            totalShift += offset;
        };

        if (!(options & DM_SURFACE_ABSOLUTE_DEFLECTION)) {
            if (maxRel > 0.0) {
                shiftBy(-maxRel * 1e9 - kOffsetMargin);
                continue;
            }
            const double halfStroke = (strokeMax_ - strokeMin_) / 2.0;
            if (halfStroke > std::fabs(mid)) {
                shiftBy(std::min(std::fabs(mid) - halfStroke - kOffsetMargin,
                                 kOffsetMargin - 0.7 * (minRel * 1e9 - pistonMin_)));
                continue;
            }
        }

        if (path_ == SolvePath::Fast) {
            for (size_t i = 0; i < n; ++i) x[i] = solution[i] + totalShift * pistonResponse_[i];
        } else {
            solve(rel, x);
        }
        for (size_t i = 0; i < n; ++i) {
            bigX[i] = 1e6 * rel[i];
            bigY[i] = 1000.0 * x[i];
        }
        if (!evaluatePolynomial(bigX.data(), bigY.data(), v.data(), n, powers)) {
            KRV_LOG_DEBUG(log, "Error evaluating command polynomial: " << orders_.rows << " x " << orders_.cols
                                   << " orders for " << coefficients_.total() << " coefficients");
            return ERR_INVALID_CALIBRATION;
        }

        if (commandCount > n) {
            KRV_LOG_DEBUG(log, "Error copying commands: " << commandCount << " requested, " << n << " actuators");
            return ERR_BADARG;
        }
        // A table with extreme values can overflow the polynomial for some surfaces: a value that is not a number
        // has no command, not even a clamped one.
        if (std::any_of(v.begin(), v.end(), [](double value) { return std::isnan(value); })) {
            KRV_LOG_DEBUG(log, "Command polynomial is not a number for this surface");
            return ERR_OUT_OF_LUT_RANGE;
        }
        const bool bestEffort = (options & DM_SURFACE_BEST_EFFORT) != 0;
        if (std::any_of(v.begin(), v.end(), [](double value) { return value < 0.0; })) {
            if (!bestEffort) {
                std::memcpy(commands, v.data(), sizeof(double) * commandCount);
                return ERR_OUT_OF_LUT_RANGE;
            }
            for (double& value : v)
                if (value < 0.0) value = 0.0;
        }
        for (double& value : v) value = std::sqrt(value);

        if (!(options & DM_SURFACE_ABSOLUTE_DEFLECTION)) {
            const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
            const double centre = (*lo + *hi) / 2.0;
            const double d = centre - midpointBias_;
            if (std::fabs(d) > kRecentreTolerance) {
                const double a = *hi - 1.0 + kRecentreTolerance;
                const double g = std::max(a, d);
                shiftBy(std::min(g * commandSlope_, -maxRel * 1e9 - kOffsetMargin));
                options |= DM_SURFACE_ABSOLUTE_DEFLECTION;  // the recentred pass is final
                continue;
            }
        }

        bool outside = false;
        for (double& value : v) {
            if (value < 0.0 || value > 1.0) {
                outside = true;
                if (bestEffort) value = value < 0.0 ? 0.0 : 1.0;
            }
        }
        std::memcpy(commands, v.data(), sizeof(double) * commandCount);
        return outside && !bestEffort ? ERR_OUT_OF_LUT_RANGE : NO_ERR;
    }
    throw std::runtime_error("surface offsets did not settle");
}

KRVRC KRV_CDMCalibration::flatPiston(double piston, Scratch& scratch) const {
    const size_t n = actuatorIndex_.size();
    for (size_t i = 0; i < n; ++i) {
        scratch.x[i] = 1e6 * (1e-9 * piston - unpoweredAtActuators_[i]);
        // The solution of a flat surface: the piston times the response to 1 nm, less the unpowered shape's.
        scratch.y[i] = 1000.0 * (piston * pistonResponse_[i] - unpoweredResponse_[i]);
    }
    if (!evaluatePolynomial(scratch.x.data(), scratch.y.data(), scratch.v.data(), n, scratch.powers))
        return ERR_INVALID_CALIBRATION;
    for (size_t i = 0; i < n; ++i) {
        const double value = scratch.v[i];
        if (!(value >= 0.0)) return ERR_OUT_OF_LUT_RANGE;  // NaN as well
        if (value > 1.0 && std::sqrt(value) > 1.0) return ERR_OUT_OF_LUT_RANGE;
    }
    return NO_ERR;
}

// The flat pistons are independent, so they are evaluated a block at a time on the worker threads; the
// scan still stops at the first piston that fails, in order, exactly as a step-by-step scan does.
double KRV_CDMCalibration::scanPistonMin() {
    const log4cxx::LoggerPtr log = openLoopLogger();
    const size_t n = actuatorIndex_.size();
    constexpr int kBlock = 64;
    std::vector<KRVRC> outcome(kBlock);
    double last = 0.0;
    for (int start = 0; start < kScanSteps; start += kBlock) {
        const int count = std::min(kBlock, kScanSteps - start);
        cv::parallel_for_(cv::Range(0, count), [&](const cv::Range& range) {
            Scratch scratch(n);
            for (int k = range.start; k < range.end; ++k)
                outcome[static_cast<size_t>(k)] = flatPiston(kScanStart - (start + k), scratch);
        });
        for (int k = 0; k < count; ++k) {
            const KRVRC rc = outcome[static_cast<size_t>(k)];
            if (rc == ERR_OUT_OF_LUT_RANGE) return last;
            if (rc != NO_ERR) {
                KRV_LOG_WARN(log, "Error calculating piston range.");
                return last;
            }
            last = kScanStart - (start + k);
        }
    }
    return last;
}

double KRV_CDMCalibration::scanPistonMinLiteral() {
    const log4cxx::LoggerPtr log = openLoopLogger();
    const int w = static_cast<int>(width_);
    std::vector<double> scratch(actuatorIndex_.size());
    double last = 0.0;
    for (double p = kScanStart; p > kScanEnd; p -= 1.0) {
        const cv::Mat flat(w, w, CV_64F, cv::Scalar(p));
        const KRVRC rc = calculateSurface(flat, DM_SURFACE_ABSOLUTE_DEFLECTION, scratch.data(),
                                          static_cast<unsigned>(scratch.size()));
        if (rc == ERR_OUT_OF_LUT_RANGE) break;
        if (rc != NO_ERR) {
            KRV_LOG_WARN(log, "Error calculating piston range.");
            break;
        }
        last = p;
    }
    return last;
}

void KRV_CDMCalibration::calculatePistonRange() {
    const log4cxx::LoggerPtr log = openLoopLogger();
    const int w = static_cast<int>(width_);
    const size_t n = actuatorIndex_.size();
    std::vector<double> scratch(n);
    const auto mean = [&] {
        double sum = 0.0;
        for (double c : scratch) sum += c;
        return n ? sum / static_cast<double>(n) : 0.0;
    };

    pistonMin_ = path_ == SolvePath::Fast ? scanPistonMin() : scanPistonMinLiteral();
    pistonMax_ = 0.0;

    const double midpoint = (pistonMin_ + 0.0) / 2.0;
    if (calculateSurface(cv::Mat(w, w, CV_64F, cv::Scalar(midpoint)), DM_SURFACE_ABSOLUTE_DEFLECTION,
                         scratch.data(), static_cast<unsigned>(n)) == NO_ERR) {
        midpointBias_ = mean();
        KRV_LOG_INFO(log, "Midpoint bias command: " << midpointBias_);
    } else {
        KRV_LOG_WARN(log, "Error calculating midpoint.");
    }

    if (calculateSurface(cv::Mat(w, w, CV_64F, cv::Scalar(midpoint + 20.0)), DM_SURFACE_ABSOLUTE_DEFLECTION,
                         scratch.data(), static_cast<unsigned>(n)) == NO_ERR) {
        commandSlope_ = -20.0 / (mean() - midpointBias_);
        KRV_LOG_INFO(log, "Midpoint nm per command slope: " << commandSlope_);
    } else {
        KRV_LOG_WARN(log, "Error calculating VvD slope.");
    }

    double highest = 0.0, lowest = 0.0;
    if (!unpowered_.empty()) {
        cv::Mat blurred;
        cv::blur(unpowered_, blurred, cv::Size(3, 3));  // reflect-101 border
        cv::minMaxLoc(blurred, nullptr, &highest);
        lowest = n ? *std::min_element(unpoweredAtActuators_.begin(), unpoweredAtActuators_.end()) : 0.0;
    }
    strokeMax_ = highest * 1e9 + pistonMax_;
    strokeMin_ = pistonMin_ - (highest - lowest) * 1e9;
    KRV_LOG_INFO(log, "Piston DM stroke: " << (pistonMax_ - pistonMin_) << "nm");
    KRV_LOG_INFO(log, "Total DM stroke (P-V): " << (strokeMax_ - strokeMin_) << "nm");
}

}  // namespace MirrorKit
