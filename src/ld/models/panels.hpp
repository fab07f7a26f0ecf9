// Chebyshev series on the z panels shared by the tabulated regimes
// (small_source_table.hpp, mid_source_table.hpp): [0, ½], then
// [1 − 2^−j, 1 − 2^−(j+1)] and [1 + 2^−(j+1), 1 + 2^−j] for j < band_exponent,
// graded toward the limb z = 1, whose neighbourhood |z − 1| < 2^−8 neither
// table serves.  Each panel lies at least half its width from z = 1, so the
// series converge at one geometric rate on all of them.
#pragma once

#include <bit>
#include <cstdint>

namespace lumora::ld::panels {

inline constexpr int band_exponent = 8;  // |z − 1| < 2^−8: no panel
inline constexpr int count = 2 * band_exponent;

// The panel holding z and the Chebyshev variable there, or panel −1 in the
// limb band (and for z ≥ 2, z < 0 or NaN).  Panels: 0 = [0, ½];
// j = 1 … 7: [1 − 2^−j, 1 − 2^−(j+1)]; 8 + j: [1 + 2^−(j+1), 1 + 2^−j].
// d = |z − 1| is exact for z ≥ ½ (Sterbenz), and x = ±(2^(j+2)·d − 3) then
// exact as well; dx/dz = 2^(j+2).
struct Place {
    int panel;
    double x;
    double scale;  // dx/dz
};

inline Place place_of(double z) noexcept {
    const bool inside = z < 1;
    const double d = inside ? 1 - z : z - 1;
    // d = f·2^(e−1), f in [1, 2), from the exponent bits (d ≥ 2^−8 is
    // normal; smaller d, zero and NaN fall in the band below).
    const int e = static_cast<int>((std::bit_cast<std::uint64_t>(d) >> 52) & 0x7ff) - 1022;
    int j = -e;
    if (j < 0) j = 0;  // z < ½ (d > ½), z = 0 included
    if (!(j < band_exponent) || !(d >= 0x1p-8)) {  // NaN: the band too
        return {-1, 0, 0};
    }
    const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 + j + 2) << 52);  // 2^(j+2)
    if (inside) {
        return {j, j == 0 ? 4 * z - 1 : 3 - scale * d, scale};
    }
    return {band_exponent + j, scale * d - 3, scale};
}

// Tₙ(x), n < m.
inline void chebyshev(double x, double* t, int m) noexcept {
    t[0] = 1;
    t[1] = x;
    const double x2 = 2 * x;
    for (int n = 2; n < m; ++n) t[n] = x2 * t[n - 1] - t[n - 2];
}

// dTₙ/dx = n·U_(n−1)(x), n < m.
inline void chebyshev_slopes(double x, double* dt, int m) noexcept {
    dt[0] = 0;
    double u0 = 1;
    double u1 = 2 * x;
    dt[1] = 1;
    for (int n = 2; n < m; ++n) {
        dt[n] = n * u1;
        const double next = 2 * x * u1 - u0;
        u0 = u1;
        u1 = next;
    }
}

// Σₙ₍<m₎ aₙ·vₙ in four interleaved partial sums (a fixed order: the same
// bits on every thread), m a multiple of 4.
inline double dot(const double* a, const double* v, int m) noexcept {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int n = 0; n < m; n += 4) {
        s0 += a[n] * v[n];
        s1 += a[n + 1] * v[n + 1];
        s2 += a[n + 2] * v[n + 2];
        s3 += a[n + 3] * v[n + 3];
    }
    return (s0 + s1) + (s2 + s3);
}

}  // namespace lumora::ld::panels
