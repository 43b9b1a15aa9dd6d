// Zernike library: index conventions, radial polynomials by both methods, normalisation and sums.
#include <Zernike.h>

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace Zernike;

namespace {

using Pair = std::pair<int, int>;

template <class F>
Pair convert(F f, int j)
{
    int n = -99, m = -99;
    f(j, n, m);
    return {n, m};
}

TEST(ZernikeIndices, FirstModesOfEachConvention)
{
    const std::vector<Pair> noll = {{0, 0}, {1, 1}, {1, -1}, {2, 0}, {2, -2}, {2, 2}, {3, -1}, {3, 1}, {3, -3}, {3, 3}};
    for (int j = 1; j <= 10; ++j)
        EXPECT_EQ(convert(NollToQuantum, j), noll[static_cast<size_t>(j - 1)]) << "Noll " << j;

    const std::vector<Pair> phasics = {{0, 0}, {1, 1}, {1, -1}, {2, 0}, {2, 2}, {2, -2}, {3, 1}, {3, -1}, {3, 3}, {3, -3}};
    for (int j = 1; j <= 10; ++j)
        EXPECT_EQ(convert(PhasicsToQuantum, j), phasics[static_cast<size_t>(j - 1)]) << "Phasics " << j;

    const std::vector<Pair> osa = {{0, 0}, {1, -1}, {1, 1}, {2, -2}, {2, 0}, {2, 2}, {3, -3}, {3, -1}, {3, 1}, {3, 3}};
    for (int j = 0; j < 10; ++j)
        EXPECT_EQ(convert(OSAToQuantum, j), osa[static_cast<size_t>(j)]) << "OSA " << j;

    const std::vector<Pair> natural = {{0, 0}, {0, 0}, {1, -1}, {1, 1}, {2, -2}, {2, 0}, {2, 2}, {3, -3}};
    for (int j = 0; j < 8; ++j)
        EXPECT_EQ(convert(NaturalToQuantum, j), natural[static_cast<size_t>(j)]) << "Natural " << j;
    EXPECT_EQ(QuantumToNatural(2, 0), 5);
}

// Noll's rule built independently: in row n the indices run from n(n+1)/2 + 1, |m| ascending, each
// nonzero |m| taking two consecutive indices of which the even one is the cosine term.
TEST(ZernikeIndices, NollAndPhasicsFollowTheRowRule)
{
    for (int n = 0; n <= 40; ++n) {
        int j = n * (n + 1) / 2 + 1;
        for (int am = n % 2; am <= n; am += 2) {
            for (int copy = 0; copy < (am == 0 ? 1 : 2); ++copy, ++j) {
                const int m = am == 0 ? 0 : (j % 2 == 0 ? am : -am);
                ASSERT_EQ(convert(NollToQuantum, j), Pair(n, m)) << "Noll " << j;
                // Phasics flips the sign in rows whose last index is even (n = 2, 3, 6, 7, ... mod 4).
                const int last = (n + 1) * (n + 2) / 2;
                ASSERT_EQ(convert(PhasicsToQuantum, j), Pair(n, last % 2 == 0 ? -m : m)) << "Phasics " << j;
            }
        }
    }
    // In rows 4 and 5 both conventions agree.
    for (int j = 11; j <= 21; ++j)
        EXPECT_EQ(convert(NollToQuantum, j), convert(PhasicsToQuantum, j));
}

TEST(ZernikeIndices, OsaAndNaturalRoundTrips)
{
    int osa = 0;
    for (int n = 0; n <= 200; ++n)
        for (int m = -n; m <= n; m += 2, ++osa) {
            ASSERT_EQ(convert(OSAToQuantum, osa), Pair(n, m)) << "OSA " << osa;
            const int natural = QuantumToNatural(n, m);
            ASSERT_EQ(convert(NaturalToQuantum, natural), Pair(n, m)) << "natural " << natural;
            ASSERT_EQ(natural, osa + 1);  // natural order is the OSA order shifted by one
        }
}

// The explicit sum with factorials, in long double, as a reference independent of both methods.
double radialReference(int n, int m, double rho)
{
    long double sum = 0;
    for (int s = 0; s <= (n - m) / 2; ++s) {
        const long double c = std::tgamma(static_cast<long double>(n - s + 1)) /
                               (std::tgamma(static_cast<long double>(s + 1)) *
                                std::tgamma(static_cast<long double>((n + m) / 2 - s + 1)) *
                                std::tgamma(static_cast<long double>((n - m) / 2 - s + 1)));
        sum += (s % 2 ? -c : c) * std::pow(static_cast<long double>(rho), n - 2 * s);
    }
    return static_cast<double>(sum);
}

TEST(ZernikeRadial, BothMethodsMatchTheExplicitSum)
{
    for (double rho : {0.0, 0.25, 0.5, 0.77, 1.0, 1.3}) {
        const double r40 = 6 * std::pow(rho, 4) - 6 * rho * rho + 1;
        EXPECT_NEAR(ZernikeRadialPolynomial(4, 0, rho, Direct), r40, 1e-13) << rho;
        EXPECT_NEAR(ZernikeRadialPolynomial(4, 0, rho, Recursion), r40, 1e-13) << rho;
        EXPECT_DOUBLE_EQ(ZernikeRadialPolynomial(3, 3, rho, Direct), rho * rho * rho);
        for (int n = 0; n <= 24; ++n)
            for (int m = n % 2; m <= n; m += 2) {
                const double ref = radialReference(n, m, rho);
                const double tol = 1e-11 * std::max(1.0, std::pow(rho, n) * std::pow(2.0, n));
                ASSERT_NEAR(ZernikeRadialPolynomial(n, m, rho, Direct), ref, tol) << n << "," << m << " @" << rho;
                ASSERT_NEAR(ZernikeRadialPolynomial(n, m, rho, Recursion), ref, tol) << n << "," << m << " @" << rho;
            }
    }
    // Every radial polynomial is 1 at the rim.
    for (unsigned n = 0; n <= 60; ++n)
        for (unsigned m = n % 2; m <= n; m += 2)
            ASSERT_NEAR(ZernikeRadialPolynomial(n, m, 1.0, Recursion), 1.0, 1e-9) << n << "," << m;
}

TEST(ZernikeRadial, UndefinedPairsAndUnknownMethods)
{
    // Reported on standard error: a library writes nothing into its caller's standard output.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZernikeRadialPolynomial(2, 4, 0.5, Recursion), 0.0);
    EXPECT_EQ(ZernikeRadialPolynomial(3, 0, 0.5, Direct), 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The Zernike polynomial is undefined if n<m or n-mis not even.\n"
              "The Zernike polynomial is undefined if n<m or n-mis not even.\n");

    testing::internal::CaptureStderr();
    const double v = ZernikeRadialPolynomial(4, 2, 0.6, static_cast<ZernikeEvaluationMethod>(7));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ZernikeRadialPolynomial: Specified eval_method not implemented.Using the recursion method by default.\n");
    EXPECT_DOUBLE_EQ(v, ZernikeRadialPolynomial(4, 2, 0.6, Recursion));

    // Orders far beyond the stack row still evaluate.
    EXPECT_NEAR(ZernikeRadialPolynomial(1200, 0, 1.0, Recursion), 1.0, 1e-6);
}

TEST(ZernikeTerms, NormalisationAndAngles)
{
    EXPECT_NEAR(ZernikePolynomial(2, 0, 1.0, 0.3), std::sqrt(3.0), 1e-15);
    EXPECT_NEAR(ZernikePolynomial(1, -1, 1.0, M_PI / 2), 2.0, 1e-15);
    EXPECT_NEAR(ZernikePolynomial(1, 1, 1.0, M_PI / 2), 0.0, 1e-15);
    EXPECT_NEAR(ZernikePolynomial(0, 0, 0.4, 1.0), 1.0, 1e-15);
    EXPECT_NEAR(ZernikePolynomial(3, -3, 0.5, 0.2), std::sqrt(8.0) * 0.125 * std::sin(0.6), 1e-15);
}

// Orthonormal over the unit disc: (1/pi) * integral of Zi Zj = delta_ij. Gauss-Legendre in rho and
// the trapezoid rule in theta are exact for these low orders.
TEST(ZernikeTerms, OrthonormalOverTheDisc)
{
    const double x[] = {-0.9602898564975363, -0.7966664774136267, -0.5255324099163290, -0.1834346424956498,
                        0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
    const double w[] = {0.1012285362903763, 0.2223810344533745, 0.3137066458778873, 0.3626837833783620,
                        0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
    const int modes = 15, steps = 32;
    for (int a = 0; a < modes; ++a)
        for (int b = a; b < modes; ++b) {
            int na, ma, nb, mb;
            OSAToQuantum(a, na, ma);
            OSAToQuantum(b, nb, mb);
            double sum = 0;
            for (int i = 0; i < 8; ++i) {
                const double rho = 0.5 * (x[i] + 1);
                for (int t = 0; t < steps; ++t) {
                    const double th = 2 * M_PI * t / steps;
                    sum += 0.5 * w[i] * rho * (2 * M_PI / steps) *
                           ZernikePolynomial(static_cast<unsigned>(na), ma, rho, th) *
                           ZernikePolynomial(static_cast<unsigned>(nb), mb, rho, th);
                }
            }
            EXPECT_NEAR(sum / M_PI, a == b ? 1.0 : 0.0, 1e-12) << "OSA " << a << " x " << b;
        }
}

TEST(ZernikeSums, ConventionsAndFirstIndices)
{
    const double rho = 0.63, th = 1.1;
    EXPECT_EQ(ZernikeAberrations({}, rho, th, OSA), 0.0);
    EXPECT_NEAR(ZernikeAberrations({0, 0, 0, 0, 2.5}, rho, th, OSA), 2.5 * ZernikePolynomial(2, 0, rho, th), 1e-15);
    EXPECT_NEAR(ZernikeAberrations({3.0}, rho, th, Noll), 3.0, 1e-15);
    // Natural places 0 and 1 are both piston.
    EXPECT_NEAR(ZernikeAberrations({1.5, 2.0}, rho, th, Natural), 3.5, 1e-15);
    // Place 4 is index 5: (2, -2) for Noll, (2, 2) for Phasics, and unknown conventions count as Phasics.
    const std::vector<double> c = {0, 0, 0, 0, 1.0};
    EXPECT_NEAR(ZernikeAberrations(c, rho, th, Noll), ZernikePolynomial(2, -2, rho, th), 1e-15);
    EXPECT_NEAR(ZernikeAberrations(c, rho, th, Phasics), ZernikePolynomial(2, 2, rho, th), 1e-15);
    EXPECT_EQ(ZernikeAberrations(c, rho, th, static_cast<e_IndexConventions>(9)),
              ZernikeAberrations(c, rho, th, Phasics));

    // A series is the sum of its terms.
    std::vector<double> many(66);
    double expected = 0;
    for (int k = 0; k < 66; ++k) {
        many[static_cast<size_t>(k)] = 0.1 * (k % 7) - 0.3;
        int n, m;
        OSAToQuantum(k, n, m);
        expected += many[static_cast<size_t>(k)] * ZernikePolynomial(static_cast<unsigned>(n), m, rho, th);
    }
    EXPECT_NEAR(ZernikeAberrations(many, rho, th, OSA), expected, 1e-12);
}

}  // namespace
