// KRVZernikeSurface with 66 terms on a 64 x 64 grid, measured three ways against baselines of the same run:
//   - repeated calls of one series shape on an open mirror (the stored terms reused) against one dense product of
//     a 4096 x 66 matrix with the coefficients (BLAS dgemv): goal at most 2 times;
//   - the first call of a shape (the diameter alternates, so every call builds the terms) against a tuned loop:
//     goal at most 2 times;
//   - the export on a record that is not open (nothing kept) against the same tuned loop, reported only.
// The tuned loop works per position: the powers of rho and cos/sin(m theta) by recurrence once, then every term a
// short sum over them with its radial coefficients (normalisation folded in), on one thread.
//
// Before timing, the export's map and the tuned loop's are checked against Zernike::ZernikeAberrations at every
// position (within 1e-12, corners clamped to the aperture's range). Ratios are judged on process CPU time (all
// threads; other work on a shared machine does not count), medians of the repetitions; wall-clock ratios beside.
#include <KRV.h>
#include <KRV_OpenLoop.h>
#include <Zernike.h>

#include <benchmark/benchmark.h>

#include "support/MirrorTree.h"
#include "support/RatioReporter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
                       const int* lda, const double* x, const int* incx, const double* beta, double* y,
                       const int* incy);

namespace {

constexpr double kGoal = 2.0;
constexpr int kTerms = 66;
constexpr int kWidth = 64;
constexpr int kDiameter = kWidth - 3;
constexpr int kPositions = kWidth * kWidth;

std::vector<double> coefficients(double phase = 0.3) {
    std::vector<double> c(kTerms);
    for (int k = 0; k < kTerms; ++k) c[static_cast<size_t>(k)] = 30.0 * std::sin(1.7 * k + phase) / (1 + k / 10);
    return c;
}

// A record that KRVZernikeSurface accepts without being open: it reads nothing but the actuator count.
DM closedRecord() {
    DM dm{};
    dm.ActCount = 4092;
    return dm;
}

// The tuned loop's plan: each term's radial polynomial as a list of (power, coefficient times normalisation).
struct TunedPlan {
    struct Term {
        int m;  // |m|
        bool sine;
        int first, count;  // into the lists below
    };
    std::vector<Term> terms;
    std::vector<int> powers;
    std::vector<double> factors;
    int maxOrder = 0;

    explicit TunedPlan(int count) {
        const auto factorial = [](int n) {
            double f = 1.0;
            for (int i = 2; i <= n; ++i) f *= i;
            return f;
        };
        for (int k = 0; k < count; ++k) {
            int n, m;
            Zernike::OSAToQuantum(k, n, m);
            const int am = std::abs(m);
            const double norm = std::sqrt((2.0 * n + 2.0) / (m == 0 ? 2.0 : 1.0));
            Term t{am, m < 0, static_cast<int>(powers.size()), 0};
            for (int s = 0; s <= (n - am) / 2; ++s, ++t.count) {
                const double c = (s % 2 ? -1.0 : 1.0) * factorial(n - s) /
                                 (factorial(s) * factorial((n + am) / 2 - s) * factorial((n - am) / 2 - s));
                powers.push_back(n - 2 * s);
                factors.push_back(c * norm);
            }
            terms.push_back(t);
            maxOrder = std::max(maxOrder, n);
        }
    }
};

void tunedMap(const TunedPlan& plan, const std::vector<double>& coeffs, std::vector<double>& out) {
    const double c = (kWidth - 1) * 0.5, r = kDiameter * 0.5, scale = (c / r) / std::ceil(c);
    double pw[64], cs[64], sn[64];
    const int top = plan.maxOrder;
    for (int i = 0; i < kWidth; ++i)
        for (int j = 0; j < kWidth; ++j) {
            const double dx = j - c, dy = i - c, h = std::hypot(dx, dy), rho = h * scale;
            const double c1 = h > 0.0 ? dx / h : 1.0, s1 = h > 0.0 ? dy / h : 0.0;
            pw[0] = 1.0;
            cs[0] = 1.0;
            sn[0] = 0.0;
            for (int t = 1; t <= top; ++t) {
                pw[t] = pw[t - 1] * rho;
                cs[t] = cs[t - 1] * c1 - sn[t - 1] * s1;
                sn[t] = sn[t - 1] * c1 + cs[t - 1] * s1;
            }
            double sum = 0.0;
            for (size_t k = 0; k < plan.terms.size(); ++k) {
                const TunedPlan::Term& t = plan.terms[k];
                double radial = 0.0;
                for (int q = t.first; q < t.first + t.count; ++q)
                    radial += plan.factors[static_cast<size_t>(q)] * pw[plan.powers[static_cast<size_t>(q)]];
                sum += coeffs[k] * radial * (t.sine ? sn[t.m] : cs[t.m]);
            }
            out[static_cast<size_t>(i) * kWidth + j] = sum;
        }
}

// Within rounding of a sum whose terms add up to `magnitude` in absolute value.
bool near(double a, double b, double magnitude) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, magnitude); }

// The export (open and closed records) and the tuned loop against the library's per-position sum.
bool mapsMatchThePerPositionSum(DM* open) {
    std::vector<double> coeffs = coefficients(), kept(kPositions), plain(kPositions), direct(kPositions);
    DM closed = closedRecord();
    if (KRVZernikeSurface(open, coeffs.data(), kTerms, 0, 0, kept.data(), kPositions) != NO_ERR ||
        KRVZernikeSurface(&closed, coeffs.data(), kTerms, 0, 0, plain.data(), kPositions) != NO_ERR)
        return false;
    const double c = (kWidth - 1) * 0.5, r = kDiameter * 0.5, scale = (c / r) / std::ceil(c);
    std::vector<double> magnitude(kPositions);
    double lo = HUGE_VAL, hi = -HUGE_VAL, largest = 0.0;
    for (int i = 0; i < kWidth; ++i)
        for (int j = 0; j < kWidth; ++j) {
            const double rho = std::hypot(j - c, i - c) * scale, theta = std::atan2(i - c, j - c);
            const size_t at = static_cast<size_t>(i) * kWidth + j;
            direct[at] = Zernike::ZernikeAberrations(coeffs, rho, theta, Zernike::OSA);
            for (int q = 0; q < kTerms; ++q) {
                int n, m;
                Zernike::OSAToQuantum(q, n, m);
                magnitude[at] += std::fabs(coeffs[static_cast<size_t>(q)] * Zernike::ZernikePolynomial(n, m, rho, theta));
            }
            if (rho <= 1.0) lo = std::min(lo, direct[at]), hi = std::max(hi, direct[at]), largest = std::max(largest, magnitude[at]);
        }
    std::vector<double> tuned(kPositions);
    tunedMap(TunedPlan(kTerms), coeffs, tuned);
    for (size_t k = 0; k < direct.size(); ++k) {
        const double expected = std::min(hi, std::max(lo, direct[k]));
        const double bound = expected != direct[k] ? largest : magnitude[k];
        if (!near(kept[k], expected, bound) || kept[k] != plain[k] || !near(tuned[k], direct[k], magnitude[k]))
            return false;
    }
    return true;
}

// Opened on first use, closed at the end of main.
std::unique_ptr<krvbench::MirrorTree> tree;

krvbench::MirrorTree* openMirror() {
    if (!tree) {
        tree = std::make_unique<krvbench::MirrorTree>("olzernike");
        tree->open("OLZERN00001", {"type=2", "size=4092", "maxv=100", "vlim=100"});
    }
    return tree.get();
}

void BM_Repeated(benchmark::State& state) {
    DM* dm = openMirror()->dm();
    if (!dm || !mapsMatchThePerPositionSum(dm)) {
        state.SkipWithError("no mirror, or KRVZernikeSurface differs from the per-position sum");
        return;
    }
    std::vector<double> sets[2] = {coefficients(0.3), coefficients(1.1)}, phase(kPositions);
    size_t i = 0;
    for (auto _ : state) {
        KRVZernikeSurface(dm, sets[i++ % 2].data(), kTerms, 0, 0, phase.data(), kPositions);
        benchmark::DoNotOptimize(phase.data());
    }
}

// Every call a new shape: the diameter alternates between two values of the same grid.
void BM_FirstCall(benchmark::State& state) {
    DM* dm = openMirror()->dm();
    if (!dm) {
        state.SkipWithError("no mirror");
        return;
    }
    std::vector<double> coeffs = coefficients(), phase(kPositions);
    int i = 0;
    for (auto _ : state) {
        KRVZernikeSurface(dm, coeffs.data(), kTerms, i++ % 2 ? kDiameter - 1 : kDiameter, 0, phase.data(), kPositions);
        benchmark::DoNotOptimize(phase.data());
    }
}

void BM_NothingKept(benchmark::State& state) {
    std::vector<double> coeffs = coefficients(), phase(kPositions);
    DM dm = closedRecord();
    for (auto _ : state) {
        KRVZernikeSurface(&dm, coeffs.data(), kTerms, 0, 0, phase.data(), kPositions);
        benchmark::DoNotOptimize(phase.data());
    }
}

void BM_TunedLoop(benchmark::State& state) {
    std::vector<double> coeffs = coefficients(), out(kPositions);
    const TunedPlan plan(kTerms);
    for (auto _ : state) {
        tunedMap(plan, coeffs, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_DenseProduct(benchmark::State& state) {
    std::vector<double> basis(static_cast<size_t>(kPositions) * kTerms), coeffs = coefficients(), out(kPositions);
    for (size_t k = 0; k < basis.size(); ++k) basis[k] = std::sin(0.001 * static_cast<double>(k));
    const int m = kTerms, n = kPositions, inc = 1;
    const double one = 1.0, zero = 0.0;
    for (auto _ : state) {
        // Row-major positions x terms, read by BLAS as its column-major transpose.
        dgemv_("T", &m, &n, &one, basis.data(), &m, coeffs.data(), &inc, &zero, out.data(), &inc);
        benchmark::DoNotOptimize(out.data());
    }
}

#define KRV_ZERNIKE_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime()->Repetitions(7)->ReportAggregatesOnly(true)
KRV_ZERNIKE_BENCH(BM_DenseProduct);
KRV_ZERNIKE_BENCH(BM_Repeated);
KRV_ZERNIKE_BENCH(BM_TunedLoop);
KRV_ZERNIKE_BENCH(BM_FirstCall);
KRV_ZERNIKE_BENCH(BM_NothingKept);

int compare(const krvbench::RatioReporter& reporter, const char* what, const char* name, const char* base,
            const char* baseWhat, bool judged) {
    const krvbench::Times t = reporter.times(name), b = reporter.times(base);
    if (t.cpu < 0 || b.cpu < 0) {
        std::printf("%s: not measured\n", what);
        return 1;
    }
    const double ratio = t.cpu / b.cpu;
    std::printf("%s: %.1f us, %s %.1f us (process CPU), ratio %.2f", what, t.cpu * 1e6, baseWhat, b.cpu * 1e6, ratio);
    if (judged) std::printf(" (goal <= %.1f) %s", kGoal, ratio <= kGoal ? "met" : "MISSED");
    std::printf("; wall-clock ratio %.2f\n", t.wall / b.wall);
    return judged && ratio > kGoal;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    int failures = 0;
    failures += compare(reporter, "Zernike surface, repeated", "BM_Repeated", "BM_DenseProduct", "dense product", true);
    failures += compare(reporter, "Zernike surface, first call of a shape", "BM_FirstCall", "BM_TunedLoop",
                        "tuned loop", true);
    failures += compare(reporter, "Zernike surface, nothing kept", "BM_NothingKept", "BM_TunedLoop", "tuned loop",
                        false);
    tree.reset();
    return failures ? 1 : 0;
}
