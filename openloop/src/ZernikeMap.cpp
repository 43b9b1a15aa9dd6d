// Zernike series on the actuator grid: mode pairs converted once, radial polynomials shared by all terms.
#include "ZernikeMap.h"

#include "OpenLoopLog.h"

#include <Zernike.h>

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace MirrorKit {
namespace {

struct Term {
    double coefficient;
    int order;       // n
    int frequency;   // |m|
    bool sine;       // m < 0
    double norm;     // sqrt((2n + 2) / (1 + delta_m0))
};

// Radial polynomials of every pair up to maxOrder at one radius, by the three-term recurrence that the
// Zernike library uses for single terms: row t holds R_(i+2t)^i at place i, row 0 the powers of rho.
class RadialTable {
public:
    explicit RadialTable(int maxOrder) : maxOrder_(maxOrder), rows_(maxOrder / 2 + 1), values_(rowSize() * rows_) {}

    void evaluate(double rho) {
        double* row = values_.data();
        for (int i = 0; i <= maxOrder_; ++i) row[i] = std::pow(rho, i);
        for (int t = 1; t < rows_; ++t) {
            const double* old = row;
            row += rowSize();
            const int places = maxOrder_ - 2 * t;  // largest i with i + 2t <= maxOrder
            row[0] = 2.0 * rho * old[1] - old[0];
            for (int i = 1; i <= places; ++i) row[i] = rho * (row[i - 1] + old[i + 1]) - old[i];
        }
    }

    double at(int n, int m) const { return values_[static_cast<size_t>((n - m) / 2) * rowSize() + m]; }

private:
    size_t rowSize() const { return static_cast<size_t>(maxOrder_) + 1; }
    int maxOrder_;
    int rows_;
    std::vector<double> values_;
};

}  // namespace

cv::Mat zernikeGridMap(const std::vector<double>& coefficients, int gridWidth, int diameter) {
    std::vector<Term> terms;
    terms.reserve(coefficients.size());
    int maxOrder = 0;
    for (size_t k = 0; k < coefficients.size(); ++k) {
        int n = 0, m = 0;
        Zernike::OSAToQuantum(static_cast<int>(k), n, m);
        const int am = std::abs(m);
        terms.push_back({coefficients[k], n, am, m < 0, std::sqrt((2.0 * n + 2.0) / (1.0 + (m == 0 ? 1.0 : 0.0)))});
        maxOrder = std::max(maxOrder, n);
    }

    const double c = (gridWidth - 1) * 0.5;
    const double r = diameter * 0.5;
    const double k = (c / r) / std::ceil(c);
    cv::Mat map(gridWidth, gridWidth, CV_64F);
    cv::Mat inside(gridWidth, gridWidth, CV_8U);

    cv::parallel_for_(cv::Range(0, gridWidth), [&](const cv::Range& rows) {
        RadialTable radial(std::max(maxOrder, 1));
        std::vector<double> cosines(static_cast<size_t>(maxOrder) + 1), sines(static_cast<size_t>(maxOrder) + 1);
        for (int i = rows.start; i < rows.end; ++i) {
            double* out = map.ptr<double>(i);
            uint8_t* in = inside.ptr<uint8_t>(i);
            for (int j = 0; j < gridWidth; ++j) {
                const double dx = j - c, dy = i - c;
                const double rho = std::hypot(dx, dy) * k;
                const double theta = std::atan2(dy, dx);
                radial.evaluate(rho);
                for (int m = 0; m <= maxOrder; ++m) {
                    cosines[static_cast<size_t>(m)] = std::cos(m * theta);
                    sines[static_cast<size_t>(m)] = std::sin(m * theta);
                }
                double sum = 0.0;
                for (const Term& t : terms) {
                    const double angular = t.sine ? sines[static_cast<size_t>(t.frequency)]
                                                  : cosines[static_cast<size_t>(t.frequency)];
                    sum += t.coefficient * (radial.at(t.order, t.frequency) * t.norm * angular);
                }
                out[j] = sum;
                in[j] = rho > 1.0 ? 0 : 1;
            }
        }
    });

    // Corner fill: positions outside the aperture stay within the range of the values inside it.
    try {
        if (cv::countNonZero(inside) > 0) {
            double lo = 0.0, hi = 0.0;
            cv::minMaxLoc(map, &lo, &hi, nullptr, nullptr, inside);
            cv::min(map, hi, map);
            cv::max(map, lo, map);
        }
    } catch (const std::exception& e) {
        KRV_LOG_WARN(openLoopLogger(), "Could not fill in DM corners: " << e.what());
    }
    return map;
}

}  // namespace MirrorKit
