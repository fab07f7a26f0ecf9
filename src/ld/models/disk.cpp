#include "ld/models/disk.hpp"

#include <array>
#include <cmath>

#include "ld/models/series_table.hpp"
#include "numerics/constants.hpp"

namespace lumora::ld {

namespace {

// Mₙ = 1/(n + 1) for the uniform disk: ∫₀¹ t^(2n)·2t dt.
constexpr std::array<double, series::orders> uniform_moments = [] {
    std::array<double, series::orders> m{};
    for (std::size_t n = 0; n < series::orders; ++n) m[n] = 1.0 / static_cast<double>(n + 1);
    return m;
}();

// cel(k_c, 1, a₁, b₁) + cel(k_c, q², a₂, b₂) for 0 < k_c ≤ 1 and q > 0, with
// Bulirsch's general complete elliptic integral
//   cel(k_c, p, a, b) = ∫₀^{π/2} (a·cos²φ + b·sin²φ) /
//                       ((cos²φ + p·sin²φ)·√(cos²φ + k_c²·sin²φ)) dφ
// (R. Bulirsch 1969, Numer. Math. 13, 305–315, doi:10.1007/BF02165405;
// DLMF 19.2.11), so that K = cel(k_c, 1, 1, 1), E = cel(k_c, 1, 1, k_c²) and
// Π(n, m) = cel(k_c, 1 − n, 1, 1) with k_c² = 1 − m.  Method: Bulirsch's
// Gauss (Landen) transformation, which converges quadratically and takes
// k_c and p themselves, so that 1 − m and 1 − n never meet a subtraction from
// 1.  Both integrals share k_c and so the arithmetic–geometric sequence
// (k_c, e, m); only p, a and b differ.  The second integral is given as
// √p = q and b₂/q (its first step divides b₂ by √p).
//
// The two integrals sit side by side in one two-lane vector (SSE2, part of
// the x86-64 baseline): lane by lane the same IEEE operations, and so the
// same bits, as two scalar loops.
using pair = double __attribute__((vector_size(16)));

struct CelPair {
    pair a, b, p;
    double kc;  // the geometric mean k_c,j
    double e;   // the running product k_c,j·m_j
    double m;   // the arithmetic mean
};

CelPair cel_start(double kc, double q, double a1, double b1, double a2, double b2_over_q) noexcept {
    CelPair c;
    c.a = pair{a1, a2};
    c.b = pair{b1, b2_over_q};
    c.p = pair{1, q};
    c.kc = kc;
    c.e = kc;
    c.m = 1;
    return c;
}

// One Gauss step; true once the means agree to ca relative (or on NaN),
// when the state holds what cel_end needs and must not step again.
bool cel_step(CelPair& c) noexcept {
    // The error after this last step is of order ca² (Bulirsch 1969, §2).
    constexpr double ca = 1e-8;
    const pair f = c.a;
    const pair inverse = 1 / c.p;
    c.a = c.a + c.b * inverse;
    const pair g = c.e * inverse;
    c.b = 2 * (c.b + f * g);
    c.p = g + c.p;
    const double previous = c.m;
    c.m = c.kc + c.m;
    if (!(std::abs(previous - c.kc) > previous * ca)) {  // settled (or NaN: stop)
        return true;
    }
    c.kc = 2 * std::sqrt(c.e);
    c.e = c.kc * c.m;
    return false;
}

double cel_end(const CelPair& c) noexcept {
    const pair parts = (c.b + c.a * c.m) / (c.m * (c.m + c.p));
    return half_pi * (parts[0] + parts[1]);
}

// The steps a cel pair may take: quadratic convergence settles in under 10
// for every k_c the kernel meets.
constexpr int cel_steps = 40;

// Witt & Mao's π·A = c_E·E − c_K·K + c_Π·Π as two of Bulirsch's cel
// with k_c = √(1 − m): c_E·E − c_K·K = cel(k_c, 1, c_E − c_K, c_E·k_c² − c_K)
// and c_Π·Π = cel(k_c, 1 − n, c_Π, c_Π), where (with d = u − R, e = u + R,
// all over √(d² + 4)·R²)
//   c_E − c_K = 2(3R − u),  c_E·k_c² − c_K = −2d(u + 3R)/e,
//   c_Π = 2d²(1 + R²)/e,     c_Π/√(1 − n) = 2|d|(1 + R²):
// every coefficient formed without cancellation.  `scale` receives
// √(d² + 4)·R²·π, the divisor of the cel pair's sum.
CelPair witt_mao_start(double u, double r, double& scale) noexcept {
    const double d = u - r;
    const double e = u + r;
    const double dd = d * d;
    const double q = std::abs(d) / e;  // √(1 − n)
    const double root = std::sqrt(dd + 4);
    const double kc = std::sqrt(4 * (q * q) + dd) / root;  // √(1 − m)
    const double rr = r * r;
    const double one_plus_rr = 1 + rr;
    scale = root * rr * pi;
    return cel_start(kc, q, 2 * (3 * r - u), -2 * d * (u + 3 * r) / e, 2 * dd * one_plus_rr / e,
                     2 * std::abs(d) * one_plus_rr);
}

// Whether A_disk(u, R) takes the closed form (see disk_magnification_unchecked).
bool closed_form(double u, double r) noexcept {
    return r != 0 && u != r && !(r < 0.1 * u);
}

}  // namespace

double point_lens(double u) noexcept {
    // (u² + 2)/(u·√(u² + 4)); beyond u = 1e100, where u² would overflow,
    // A₀ − 1 = 2/u⁴ + … is below the last bit of 1.
    if (u > 1e100) {
        return 1;
    }
    const double s = u * u;
    return (s + 2) / (u * std::sqrt(s + 4));
}

double disk_mean_series(double u, double rho, const double* moments, std::size_t orders, double tol) noexcept {
    if (u > 1e100) {
        return 1;  // every term but A₀ = 1 is below its last bit
    }
    const double s = u * u;
    const double v = 1 / (s + 4);
    const double w = s * v;  // s/(s + 4)
    // Term n = Mₙ/(4ⁿ(n!)²)·(ρ²/s)ⁿ·P̂ₙ/(√s·(s + 4)^(3/2)), with
    // P̂ₙ = Pₙ(s)/(s + 4)^(2n−1) = Σₖ cₖ·wᵏ·v^(2n−1−k) (deg Pₙ = 2n − 1),
    // bounded for every s: no power of s or ρ overflows.
    const double ratio = (rho * rho) / s;
    const double front = 1 / (std::sqrt(s) * ((s + 4) * std::sqrt(s + 4)));
    double sum = point_lens(u);
    double factor = 1;  // (ρ²/s)ⁿ/(4ⁿ(n!)²)
    const std::size_t last = orders < series::orders ? orders : series::orders;
    for (std::size_t n = 1; n < last; ++n) {
        const double nn = static_cast<double>(n);
        factor = factor * ratio / (4 * nn * nn);
        const double* c = series::coefficients.data() + series::offset[n];
        const int d = series::degree[n];
        double p = c[d];
        double vk = 1;
        for (int k = d - 1; k >= 0; --k) {
            vk = vk * v;
            p = p * w + c[k] * vk;
        }
        const double term = moments[n] * factor * p * front;
        sum = sum + term;
        if (std::abs(term) <= tol * sum) {
            break;
        }
    }
    return sum;
}

double disk_magnification_unchecked(double u, double r) noexcept {
    if (r == 0) {
        return point_lens(u);
    }
    if (u == r) {
        // The lens on the limb: the limit of the closed form, with
        // asin((R² − 1)/(R² + 1)) + π/2 = 2 atan R (Witt & Mao 1994).
        return (((1 + r * r) / (r * r)) * (2 * std::atan(r)) + 2 / r) / pi;
    }
    if (r < 0.1 * u) {
        // The closed form loses about (u/R)² relative far from the disk (its
        // terms cancel: 3e-13 at u/R = 32, 3e-14 at 10); the series
        // converges like (R/u)^(2n), within 1e-17 in about 9 terms at 10.
        return disk_mean_series(u, r, uniform_moments.data(), series::orders, 1e-17);
    }
    // Witt & Mao 1994 eq. 9 by two of Bulirsch's cel (witt_mao_start).
    double scale = 0;
    CelPair c = witt_mao_start(u, r, scale);
    for (int step = 0; step < cel_steps; ++step) {
        if (cel_step(c)) {
            break;
        }
    }
    return cel_end(c) / scale;
}

void disk_magnification_pair_unchecked(double u, double r1, double r2, double& a1, double& a2) noexcept {
    if (!closed_form(u, r1) || !closed_form(u, r2)) {
        a1 = disk_magnification_unchecked(u, r1);
        a2 = disk_magnification_unchecked(u, r2);
        return;
    }
    // The two disks' Gauss steps interleaved: each step's chain of
    // dependent divisions and square roots is long and the two are
    // independent, so the processor overlaps them.  A disk whose steps have
    // settled stops stepping: the same operations, and bits, as alone.
    double scale1 = 0;
    double scale2 = 0;
    CelPair c1 = witt_mao_start(u, r1, scale1);
    CelPair c2 = witt_mao_start(u, r2, scale2);
    bool done1 = false;
    bool done2 = false;
    for (int step = 0; step < cel_steps && !(done1 && done2); ++step) {
        if (!done1) done1 = cel_step(c1);
        if (!done2) done2 = cel_step(c2);
    }
    a1 = cel_end(c1) / scale1;
    a2 = cel_end(c2) / scale2;
}

}  // namespace lumora::ld
