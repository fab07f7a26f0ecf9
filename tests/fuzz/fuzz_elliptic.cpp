// libFuzzer target: Carlson's RF, RD, RJ, RC and the complete K, E, Π on
// arbitrary bit patterns.  Every call must return (the duplication loops
// have caps; libFuzzer's -timeout catches one that does not), without
// undefined behaviour (built with ASan and UBSan), and satisfy cheap
// identities:
//   K(m) >= π/2 for 0 <= m < 1 (the integrand is >= 1);
//   E(m) <= π/2 <= K(m) for 0 <= m <= 1;
//   RF is symmetric in its three arguments (DLMF 19.16.1);
//   RD(x, y, z) is symmetric in x and y;
//   Π(0, m) = K(m) where both succeed (DLMF 19.2.7 with n = 0);
//   RC(x, y) = RF(x, y, y) (DLMF 19.2.17).
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "numerics/carlson.hpp"
#include "numerics/ellint.hpp"
#include "fuzz_support.hpp"

using lumora::fuzz::close;
using lumora::fuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumora::fuzz::Doubles input(data, size);
    const double x = input.next(), y = input.next(), z = input.next(), p = input.next();

    const auto k = lumora::ellipk(x);
    const auto e = lumora::ellipe(x);
    const auto pi = lumora::ellippi(y, x);
    const auto pi0 = lumora::ellippi(0.0, x);
    if (x >= 0.0 && x < 1.0) {
        if (!k || !(*k >= 1.5707963267948966)) fail("K(m) >= pi/2", x, k ? *k : -1.0);
        if (!e || !(*e <= 1.5707963267948968) || !(*e >= 1.0)) fail("1 <= E(m) <= pi/2", x, e ? *e : -1.0);
    }
    if (k && pi0 && !close(*pi0, *k, 1e-14)) fail("Pi(0, m) = K(m)", *pi0, *k);
    (void)pi;

    // The symmetries are checked where no argument is subnormal or near
    // overflow: RD(1.39e-308, 0, 8.4e-323) is +inf but RD(0, 1.39e-308,
    // 8.4e-323) NaN.
    const auto moderate = [](double v) { return v == 0.0 || (std::abs(v) >= 1e-150 && std::abs(v) <= 1e150); };
    // ... and inside the documented domain: no negative argument, at most
    // one zero (RF(−0, 0, z) is NaN or +inf depending on the order).
    const int zeros = (x == 0.0) + (y == 0.0) + (z == 0.0);
    if (!(moderate(x) && moderate(y) && moderate(z)) || !(x >= 0.0 && y >= 0.0 && z >= 0.0) || zeros > 1) {
        (void)lumora::elliprf_unchecked(x, y, z);
        (void)lumora::elliprd_unchecked(x, y, z);
        (void)lumora::elliprj_unchecked(x, y, z, p);
        (void)lumora::elliprc_unchecked(x, y);
        return 0;
    }
    const double rf = lumora::elliprf_unchecked(x, y, z);
    const double permutations[] = {lumora::elliprf_unchecked(y, z, x), lumora::elliprf_unchecked(z, x, y),
                                   lumora::elliprf_unchecked(y, x, z)};
    for (const double other : permutations) {
        if (!close(rf, other, 1e-13)) fail("RF symmetric", rf, other);
    }
    const double rd = lumora::elliprd_unchecked(x, y, z);
    const double rd_swapped = lumora::elliprd_unchecked(y, x, z);
    if (!close(rd, rd_swapped, 1e-13)) fail("RD symmetric in x, y", rd, rd_swapped);
    (void)lumora::elliprj_unchecked(x, y, z, p);
    const double rc = lumora::elliprc_unchecked(x, y);
    if (x >= 0.0 && y > 0.0 && std::isfinite(x) && std::isfinite(y) && x < 1e300 && y < 1e300 &&
        x > 1e-300 && y > 1e-300) {
        const double rf_yy = lumora::elliprf_unchecked(x, y, y);
        if (!close(rc, rf_yy, 1e-13)) fail("RC(x, y) = RF(x, y, y)", rc, rf_yy);
    }
    return 0;
}
