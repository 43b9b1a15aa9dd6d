// C++ against the open-loop and Zernike libraries of the installed kit, on the dummy mirror named on the
// command line.
#include <KRV.h>
#include <KRV_OpenLoop.h>
#include <Zernike.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int n = 0, m = 0;
    Zernike::NollToQuantum(4, n, m);  // defocus
    const double edge = Zernike::ZernikeRadialPolynomial(n, m, 1.0, Zernike::Recursion);
    DM dm{};
    if (KRVOpen(&dm, argv[1]) != NO_ERR) return 1;
    std::vector<double> frame(dm.ActCount, 0.5);
    const KRVRC set = KRVSetArray(&dm, frame.data(), nullptr);
    // Arguments the open-loop library refuses before it looks for a calibration.
    const KRVRC refused = KRVZernikeSurface(&dm, nullptr, 0, 0, 0, nullptr, 0);
    KRVClose(&dm);
    std::printf("C++: Noll 4 is (%d, %d), R at the edge %.3f, frame %d, bad surface call %d\n", n, m, edge, set, refused);
    return n == 2 && m == 0 && std::fabs(edge - 1.0) < 1e-12 && set == NO_ERR && refused == ERR_BADARG ? 0 : 1;
}
