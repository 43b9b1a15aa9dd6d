// Least-squares solves with the scaled reconstructor: LU where it is well conditioned, SVD otherwise.
#pragma once

#include <opencv2/core.hpp>

#include <memory>

namespace MirrorKit {

class ReconstructorSolver {
public:
    enum class Method { LU, SVD };

    virtual ~ReconstructorSolver() = default;

    // Factorizes the n x n matrix a (CV_64F). With forceSvd, or when a is singular or too ill-conditioned
    // for an LU solve to agree with the SVD one, the singular value decomposition of a is used. The solver may
    // take over a's storage; the LU factorization works on a copy.
    static std::unique_ptr<ReconstructorSolver> create(cv::Mat a, bool forceSvd);

    // x = least-squares solution of a x = rhs; both hold size() values and may not overlap.
    virtual void solve(const double* rhs, double* x) const = 0;

    virtual Method method() const = 0;
    int size() const { return n_; }
    // Reciprocal condition estimate in the 1-norm from the LU factors; 0 when no LU was tried or it failed.
    double rcond() const { return rcond_; }

protected:
    explicit ReconstructorSolver(int n, double rcond) : n_(n), rcond_(rcond) {}

private:
    int n_;
    double rcond_;
};

}  // namespace MirrorKit
