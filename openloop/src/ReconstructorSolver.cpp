// LU (LAPACK) and SVD (OpenCV) solvers of the scaled reconstructor system.
#include "ReconstructorSolver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
// LAPACK as installed by the system (reference or OpenBLAS through the library alternatives).
void dgetrf_(const int* m, const int* n, double* a, const int* lda, int* ipiv, int* info);
void dgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* lda, const int* ipiv,
             double* b, const int* ldb, int* info);
void dgecon_(const char* norm, const int* n, const double* a, const int* lda, const double* anorm, double* rcond,
             double* work, int* iwork, int* info);
}

namespace MirrorKit {
namespace {

class LuSolver final : public ReconstructorSolver {
public:
    LuSolver(cv::Mat factors, std::vector<int> pivots, double rcond)
        : ReconstructorSolver(factors.rows, rcond), factors_(std::move(factors)), pivots_(std::move(pivots)) {}

    void solve(const double* rhs, double* x) const override {
        const int n = size();
        const int one = 1;
        int info = 0;
        std::memcpy(x, rhs, sizeof(double) * static_cast<size_t>(n));
        // The factors are those of the row-major matrix read as column-major, that is of its transpose;
        // solving with the transpose again gives the solution for the matrix itself.
        dgetrs_("T", &n, &one, factors_.ptr<double>(), &n, pivots_.data(), x, &n, &info);
    }

    Method method() const override { return Method::LU; }

private:
    cv::Mat factors_;
    std::vector<int> pivots_;
};

class SvdSolver final : public ReconstructorSolver {
public:
    SvdSolver(const cv::Mat& a, double rcond) : ReconstructorSolver(a.rows, rcond), svd_(a) {}

    void solve(const double* rhs, double* x) const override {
        const cv::Mat b(size(), 1, CV_64F, const_cast<double*>(rhs));
        cv::Mat out(size(), 1, CV_64F, x);
        svd_.backSubst(b, out);
        // backSubst allocates a new result when it cannot write into out's buffer.
        if (out.ptr<double>() != x) std::memcpy(x, out.ptr<double>(), sizeof(double) * static_cast<size_t>(size()));
    }

    Method method() const override { return Method::SVD; }

private:
    cv::SVD svd_;
};

// The SVD back-substitution drops singular values below 2 * DBL_EPSILON times their sum, which can reach
// 2 * DBL_EPSILON * n times the largest. Below that condition nothing is dropped, and an LU solve gives the
// same solution within rounding. The 1-norm estimate can differ from the 2-norm condition by a factor of up
// to n (and the estimate itself by a small factor), hence the margin; and the LU is never trusted beyond a
// condition of 1e8, where the two solutions would differ by more than a few parts in 1e8.
double minimumRcond(int n) {
    const double nn = static_cast<double>(n);
    return std::max(20.0 * DBL_EPSILON * nn * nn, 1e-8);
}

}  // namespace

std::unique_ptr<ReconstructorSolver> ReconstructorSolver::create(cv::Mat a, bool forceSvd) {
    CV_Assert(a.type() == CV_64F && a.rows == a.cols && a.rows > 0);
    if (forceSvd) return std::make_unique<SvdSolver>(a, 0.0);

    if (!a.isContinuous()) a = a.clone();
    const int n = a.rows;
    // LAPACK sees the row-major buffer as the transpose; its 1-norm is the largest absolute row sum here.
    double anorm = 0.0;
    for (int r = 0; r < n; ++r) {
        const double* row = a.ptr<double>(r);
        double sum = 0.0;
        for (int c = 0; c < n; ++c) sum += std::fabs(row[c]);
        anorm = std::max(anorm, sum);
    }
    if (!(anorm > 0.0) || !std::isfinite(anorm)) return std::make_unique<SvdSolver>(a, 0.0);

    // The factorization works on a copy in case the SVD is needed.
    cv::Mat factors = a.clone();
    std::vector<int> pivots(static_cast<size_t>(n));
    int info = 0;
    dgetrf_(&n, &n, factors.ptr<double>(), &n, pivots.data(), &info);
    double rcond = 0.0;
    if (info == 0) {
        std::vector<double> work(4 * static_cast<size_t>(n));
        std::vector<int> iwork(static_cast<size_t>(n));
        dgecon_("1", &n, factors.ptr<double>(), &n, &anorm, &rcond, work.data(), iwork.data(), &info);
        if (info != 0) rcond = 0.0;
    }
    if (rcond >= minimumRcond(n)) return std::make_unique<LuSolver>(std::move(factors), std::move(pivots), rcond);

    factors.release();
    return std::make_unique<SvdSolver>(a, rcond);
}

}  // namespace MirrorKit
