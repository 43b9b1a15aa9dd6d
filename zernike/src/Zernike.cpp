// Zernike mode conversions and evaluation; evaluation allocates nothing for any order in practical use.
#include <Zernike.h>

#include <boost/math/policies/policy.hpp>
#include <boost/math/special_functions/binomial.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

namespace Zernike {
namespace {

// Overflow of the binomial coefficient (orders far beyond any optics) gives infinity, and nothing in
// the library throws: the callers evaluate it per pixel inside parallel loops.
namespace bmp = boost::math::policies;
using QuietPolicy = bmp::policy<bmp::overflow_error<bmp::ignore_error>, bmp::domain_error<bmp::ignore_error>,
                                bmp::evaluation_error<bmp::ignore_error>>;

// Standard error: a library writes nothing into its caller's standard output.
void report(const char* line)
{
    std::fputs(line, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Rows of the recurrence up to this length live on the stack (orders up to about 500).
constexpr unsigned kStackRow = 256;

// Truncation of a double to int that cannot invoke undefined behaviour on out-of-range indices.
int toInt(double v)
{
    if (!(v == v))
        return 0;
    if (v >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (v <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// Noll (phasics = false) and Phasics (phasics = true) share the row arithmetic.
void rowIndexToQuantum(int j, bool phasics, int& n, int& m)
{
    const int c = toInt(std::trunc(std::ceil((std::sqrt(8.0 * j + 1.0) + 1.0) * 0.5) - 1.0));
    n = c - 1;
    const std::int64_t last = static_cast<std::int64_t>(c) * (c + 1) / 2;
    const std::int64_t pos = j - last + n;
    // The row's |m| values sorted ascending: 0, 2, 2, 4, 4, ... for even n, 1, 1, 3, 3, ... for odd n.
    std::int64_t absM = 0;
    if (pos >= 0 && pos < c)
        absM = (n % 2 == 0) ? 2 * ((pos + 1) / 2) : 2 * (pos / 2) + 1;
    // Even indices are cosine terms (m >= 0), odd ones sine terms.
    std::int64_t value = (j % 2 == 0) ? absM : -absM;
    if (phasics && last % 2 == 0)
        value = -value;
    m = static_cast<int>(value);
}

double radialRecursion(unsigned n, unsigned m, double rho)
{
    const unsigned h = (n + m) / 2;
    const unsigned k = (n - m) / 2;
    double stackRow[kStackRow];
    double* row = stackRow;
    // Not a std::vector: its out-of-line members would join the library's exported symbols.
    std::unique_ptr<double[]> heapRow;
    if (h + 1 > kStackRow) {
        heapRow.reset(new (std::nothrow) double[static_cast<std::size_t>(h) + 1]);
        if (!heapRow)
            return std::numeric_limits<double>::quiet_NaN();
        row = heapRow.get();
    }
    // Start with R_i^i = rho^i, then lift every place by two orders per pass; the update runs in
    // place because place i needs the new place i-1 and the old places i and i+1.
    double p = 1.0;
    for (unsigned i = 0; i <= h; ++i) {
        row[i] = p;
        p *= rho;
    }
    unsigned len = h + 1;
    for (unsigned pass = 0; pass < k; ++pass) {
        --len;
        double prevNew = 2.0 * rho * row[1] - row[0];
        row[0] = prevNew;
        for (unsigned i = 1; i < len; ++i) {
            prevNew = rho * (prevNew + row[i + 1]) - row[i];
            row[i] = prevNew;
        }
    }
    return row[m];
}

double radialDirect(unsigned n, unsigned m, double rho)
{
    const unsigned sMax = (n - m) / 2;
    const unsigned h = (n + m) / 2;
    double c = boost::math::binomial_coefficient<double>(h, sMax, QuietPolicy());
    if (sMax % 2 == 1)
        c = -c;
    double p = std::pow(rho, static_cast<double>(m));
    const double rho2 = rho * rho;
    double sum = c * p;
    for (unsigned s = sMax; s-- > 0;) {
        const std::uint64_t num = static_cast<std::uint64_t>(n - s) * (s + 1);
        const std::uint64_t den = static_cast<std::uint64_t>(sMax - s) * (h - s);
        c = -c * (static_cast<double>(num) / static_cast<double>(den));
        p *= rho2;
        sum += c * p;
    }
    return sum;
}

}  // namespace

void NaturalToQuantum(int index, int& n, int& m)
{
    if (index == 0) {
        n = 0;
        m = 0;
        return;
    }
    // Smallest c >= 1 with c(c+1)/2 >= index, from an estimate corrected both ways.
    std::int64_t c = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil((std::sqrt(8.0 * index + 1.0) - 1.0) * 0.5)));
    while (c > 1 && (c - 1) * c / 2 >= index)
        --c;
    while (c * (c + 1) / 2 < index)
        ++c;
    n = static_cast<int>(c - 1);
    m = static_cast<int>(2 * (index - c * (c + 1) / 2) - 1 + c);
}

int QuantumToNatural(int n, int m)
{
    return (n + m) / 2 + n * (n + 1) / 2 + 1;
}

void OSAToQuantum(int index, int& n, int& m)
{
    n = toInt(std::ceil((std::sqrt(8.0 * index + 9.0) - 3.0) * 0.5));
    m = static_cast<int>(2 * static_cast<std::int64_t>(index) - static_cast<std::int64_t>(n) * (n + 2));
}

void NollToQuantum(int index, int& n, int& m) { rowIndexToQuantum(index, false, n, m); }

void PhasicsToQuantum(int index, int& n, int& m) { rowIndexToQuantum(index, true, n, m); }

double ZernikeRadialPolynomial(unsigned n, unsigned m, double rho, ZernikeEvaluationMethod method)
{
    if (n < m || (n - m) % 2 != 0) {
        report("The Zernike polynomial is undefined if n<m or n-mis not even.");
        return 0.0;
    }
    if (n == m)
        return std::pow(rho, static_cast<double>(n));
    switch (method) {
    case Direct:
        return radialDirect(n, m, rho);
    case Recursion:
        return radialRecursion(n, m, rho);
    default:
        report("ZernikeRadialPolynomial: Specified eval_method not implemented.Using the recursion method by default.");
        return radialRecursion(n, m, rho);
    }
}

double ZernikePolynomial(unsigned n, int m, double rho, double theta)
{
    const unsigned am = m < 0 ? 0u - static_cast<unsigned>(m) : static_cast<unsigned>(m);
    const double radial = ZernikeRadialPolynomial(n, am, rho, Recursion);
    const double norm = std::sqrt((2.0 * n + 2.0) / (m == 0 ? 2.0 : 1.0));
    const double angular = m >= 0 ? std::cos(am * theta) : std::sin(am * theta);
    return radial * norm * angular;
}

double ZernikeAberrations(std::vector<double> coefficients, double rho, double theta, e_IndexConventions convention)
{
    void (*convert)(int, int&, int&);
    int first;
    switch (convention) {
    case Natural: convert = NaturalToQuantum; first = 0; break;
    case Noll: convert = NollToQuantum; first = 1; break;
    case OSA: convert = OSAToQuantum; first = 0; break;
    default: convert = PhasicsToQuantum; first = 1; break;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < coefficients.size(); ++k) {
        int n = 0, m = 0;
        convert(static_cast<int>(k) + first, n, m);
        sum += coefficients[k] * ZernikePolynomial(static_cast<unsigned>(n), m, rho, theta);
    }
    return sum;
}

}  // namespace Zernike
