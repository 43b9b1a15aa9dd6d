// Zernike series on the actuator grid: mode pairs converted once, radial polynomials and angular factors shared by
// all terms of a position, the terms kept for the next series of the same shape.
#include "ZernikeMap.h"

#include "OpenLoopLog.h"
#include "ProcessorChoice.h"

#include <Zernike.h>

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace MirrorKit {
namespace {

struct Term {
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
        row[0] = 1.0;
        for (int i = 1; i <= maxOrder_; ++i) row[i] = row[i - 1] * rho;
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

// Sums of up to this many positions stay in the first-level cache while every term is added to them.
constexpr size_t kBlock = 256;

// sum[p] = (((sum[p] + w[0] b[0][p]) + w[1] b[1][p]) + w[2] b[2][p]) + w[3] b[3][p] for p < length: every lane
// does the same multiplications and additions in the same order as the plain loop, so the widths agree bit for bit
// (no fused multiply-add is enabled).
template <typename V>
inline void addFourTermsWith(double* sum, const double* const* b, const double* w, size_t length) {
    constexpr size_t lanes = sizeof(V) / sizeof(double);
    V w0, w1, w2, w3;
    for (size_t l = 0; l < lanes; ++l) w0[l] = w[0], w1[l] = w[1], w2[l] = w[2], w3[l] = w[3];
    size_t p = 0;
    for (; p + lanes <= length; p += lanes) {
        V s, v0, v1, v2, v3;
        std::memcpy(&s, sum + p, sizeof s);
        std::memcpy(&v0, b[0] + p, sizeof v0);
        std::memcpy(&v1, b[1] + p, sizeof v1);
        std::memcpy(&v2, b[2] + p, sizeof v2);
        std::memcpy(&v3, b[3] + p, sizeof v3);
        s = (((s + w0 * v0) + w1 * v1) + w2 * v2) + w3 * v3;
        std::memcpy(sum + p, &s, sizeof s);
    }
    for (; p < length; ++p) sum[p] = (((sum[p] + w[0] * b[0][p]) + w[1] * b[1][p]) + w[2] * b[2][p]) + w[3] * b[3][p];
}

typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));

void addFourTerms(double* sum, const double* const* b, const double* w, size_t length) {
    addFourTermsWith<Double2>(sum, b, w, length);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void addFourTermsAvx2(double* sum, const double* const* b, const double* w,
                                                      size_t length) {
    addFourTermsWith<Double4>(sum, b, w, length);
}

using AddFourTerms = void (*)(double*, const double* const*, const double*, size_t);
const AddFourTerms addFourTermsHere = chooseForProcessor<AddFourTerms>(addFourTermsAvx2, addFourTerms);
#else
const auto addFourTermsHere = addFourTerms;
#endif

}  // namespace

void ZernikeBasis::build(int count, int gridWidth, int diameter) {
    count_ = gridWidth_ = diameter_ = 0;
    std::vector<Term> terms;
    terms.reserve(static_cast<size_t>(count));
    int maxOrder = 0;
    for (int k = 0; k < count; ++k) {
        int n = 0, m = 0;
        Zernike::OSAToQuantum(k, n, m);
        const int am = std::abs(m);
        terms.push_back({n, am, m < 0, std::sqrt((2.0 * n + 2.0) / (1.0 + (m == 0 ? 1.0 : 0.0)))});
        maxOrder = std::max(maxOrder, n);
    }

    const double c = (gridWidth - 1) * 0.5;
    const double r = diameter * 0.5;
    const double k = (c / r) / std::ceil(c);
    const size_t positions = static_cast<size_t>(gridWidth) * gridWidth;
    const size_t size = static_cast<size_t>(count) * positions;
    if (terms_.capacity() > 2 * size) std::vector<double>().swap(terms_);
    terms_.resize(size);
    inside_.create(gridWidth, gridWidth, CV_8U);

    // On the calling thread: split over OpenCV's workers the build costs about twice the processor time for
    // little gain in elapsed time.
    const auto buildRows = [&](const cv::Range& rows) {
        RadialTable radial(std::max(maxOrder, 1));
        std::vector<double> cosines(static_cast<size_t>(maxOrder) + 1), sines(static_cast<size_t>(maxOrder) + 1);
        // One grid row of every term, written out term by term once the row is done.
        std::vector<double> row(static_cast<size_t>(count) * gridWidth);
        for (int i = rows.start; i < rows.end; ++i) {
            uint8_t* in = inside_.ptr<uint8_t>(i);
            for (int j = 0; j < gridWidth; ++j) {
                const double dx = j - c, dy = i - c;
                const double h = std::hypot(dx, dy);
                const double rho = h * k;
                radial.evaluate(rho);
                // cos and sin of m theta, theta = atan2(dy, dx), by turning through theta m times.
                const double c1 = h > 0.0 ? dx / h : 1.0, s1 = h > 0.0 ? dy / h : 0.0;
                cosines[0] = 1.0;
                sines[0] = 0.0;
                for (int m = 1; m <= maxOrder; ++m) {
                    const double cm = cosines[static_cast<size_t>(m - 1)], sm = sines[static_cast<size_t>(m - 1)];
                    cosines[static_cast<size_t>(m)] = cm * c1 - sm * s1;
                    sines[static_cast<size_t>(m)] = sm * c1 + cm * s1;
                }
                for (size_t t = 0; t < terms.size(); ++t) {
                    const Term& term = terms[t];
                    const double angular = term.sine ? sines[static_cast<size_t>(term.frequency)]
                                                     : cosines[static_cast<size_t>(term.frequency)];
                    row[t * gridWidth + j] = radial.at(term.order, term.frequency) * term.norm * angular;
                }
                in[j] = rho > 1.0 ? 0 : 1;
            }
            for (size_t t = 0; t < terms.size(); ++t)
                std::copy_n(row.data() + t * gridWidth, gridWidth,
                            terms_.data() + t * positions + static_cast<size_t>(i) * gridWidth);
        }
    };
    buildRows(cv::Range(0, gridWidth));
    count_ = count;
    gridWidth_ = gridWidth;
    diameter_ = diameter;
}

cv::Mat ZernikeBasis::map(const double* coefficients) const {
    const size_t positions = static_cast<size_t>(gridWidth_) * gridWidth_;
    cv::Mat out(gridWidth_, gridWidth_, CV_64F);
    double* sum = out.ptr<double>();
    // Term by term in series order for every position (four terms per pass over a block, added one after the
    // other), a block of positions at a time.
    for (size_t start = 0; start < positions; start += kBlock) {
        const size_t length = std::min<size_t>(kBlock, positions - start);
        double* __restrict block = sum + start;
        std::fill_n(block, length, 0.0);
        const double* base = terms_.data() + start;
        int t = 0;
        for (; t + 4 <= count_; t += 4) {
            const double* b0 = base + static_cast<size_t>(t) * positions;
            const double* const b[4] = {b0, b0 + positions, b0 + 2 * positions, b0 + 3 * positions};
            addFourTermsHere(block, b, coefficients + t, length);
        }
        for (; t < count_; ++t) {
            const double w0 = coefficients[t];
            const double* __restrict b0 = base + static_cast<size_t>(t) * positions;
            for (size_t p = 0; p < length; ++p) block[p] += w0 * b0[p];
        }
    }

    // Corner fill: positions outside the aperture stay within the range of the values inside it.
    try {
        if (cv::countNonZero(inside_) > 0) {
            double lo = 0.0, hi = 0.0;
            cv::minMaxLoc(out, &lo, &hi, nullptr, nullptr, inside_);
            cv::min(out, hi, out);
            cv::max(out, lo, out);
        }
    } catch (const std::exception& e) {
        KRV_LOG_WARN(openLoopLogger(), "Could not fill in DM corners: " << e.what());
    }
    return out;
}

cv::Mat zernikeGridMap(const std::vector<double>& coefficients, int gridWidth, int diameter) {
    return ZernikeBasis(static_cast<int>(coefficients.size()), gridWidth, diameter).map(coefficients.data());
}

}  // namespace MirrorKit
