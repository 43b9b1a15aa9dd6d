// Zernike polynomials: mode index conventions, radial polynomials, normalised terms and coefficient sums.
#pragma once

#include <cstdint>
#include <vector>

#if defined(_WIN32)
#define ZERNIKE_API __declspec(dllexport)
#else
#define ZERNIKE_API __attribute__((visibility("default")))
#endif

namespace Zernike {

// Single-index numbering of the modes. Natural and OSA count from 0, Noll and Phasics from 1.
enum e_IndexConventions : std::int32_t { Natural = 0, Noll = 1, Phasics = 2, OSA = 3 };

enum ZernikeEvaluationMethod : std::int32_t {
    Direct = 0,     // explicit sum, from the lowest power upward
    Recursion = 1,  // three-term recurrence over the orders
};

// Index to (radial order n, azimuthal frequency m); m >= 0 selects cos(|m| theta), m < 0 sin(|m| theta).
// Natural and OSA expect index >= 0, Noll and Phasics index >= 1.
ZERNIKE_API void NaturalToQuantum(int index, int& n, int& m);
ZERNIKE_API void NollToQuantum(int index, int& n, int& m);
ZERNIKE_API void OSAToQuantum(int index, int& n, int& m);
ZERNIKE_API void PhasicsToQuantum(int index, int& n, int& m);
ZERNIKE_API int QuantumToNatural(int n, int m);

// R_n^m(rho). An undefined pair (n < m, or n - m odd) is reported on standard error and gives 0.0;
// an unknown method is reported and replaced by Recursion. rho is not clipped to the unit disc.
ZERNIKE_API double ZernikeRadialPolynomial(unsigned n, unsigned m, double rho, ZernikeEvaluationMethod method);

// The orthonormal term: R_n^|m|(rho) * sqrt((2n + 2) / (1 + [m == 0])) * cos(|m| theta) or sin(|m| theta).
ZERNIKE_API double ZernikePolynomial(unsigned n, int m, double rho, double theta);

// Sum of coefficient[k] times the term of index k + first (first = 0 for Natural and OSA, 1 otherwise;
// conventions other than Natural, Noll and OSA count as Phasics). With Natural, places 0 and 1 are
// both the piston term.
ZERNIKE_API double ZernikeAberrations(std::vector<double> coefficients, double rho, double theta,
                                      e_IndexConventions convention);

}  // namespace Zernike
