#include "ld/models/disk.hpp"

#include <array>
#include <cmath>
#include <limits>

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
// Four integrals with one k_c, for the gradient (gradient_cels).
using quad = double __attribute__((vector_size(32)));

template <class Lanes>
struct Cel {
    Lanes a, b, p;
    double kc;  // the geometric mean k_c,j
    double e;   // the running product k_c,j·m_j
    double m;   // the arithmetic mean
};
using CelPair = Cel<pair>;

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

// The lanes' part of a Gauss step, with the running product e of the
// sequence they follow.
template <class Lanes>
void cel_lanes_step(Cel<Lanes>& c, double e) noexcept {
    const Lanes f = c.a;
    const Lanes inverse = 1 / c.p;
    c.a = c.a + c.b * inverse;
    const Lanes g = e * inverse;
    c.b = 2 * (c.b + f * g);
    c.p = g + c.p;
}

// One Gauss step; true once the means agree to ca relative (or on NaN),
// when the state holds what cel_end needs and must not step again.
template <class Lanes>
bool cel_step(Cel<Lanes>& c) noexcept {
    // The error after this last step is of order ca² (Bulirsch 1969, §2).
    constexpr double ca = 1e-8;
    cel_lanes_step(c, c.e);
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

// A Gauss step of `d` beside one of `c`, with c's k_c, e and m: the slopes'
// integrals share the value's k_c (gradient_start) and so its whole
// arithmetic–geometric sequence, which is computed once, by cel_step(c),
// whose lanes see the same operations as alone.
bool cel_step_beside(CelPair& c, Cel<quad>& d) noexcept {
    cel_lanes_step(d, c.e);
    const bool settled = cel_step(c);
    d.m = c.m;
    return settled;
}

// Each lane of a settled cel, cel(k_c, p, a, b) itself.
void cel_lanes(const Cel<quad>& c, quad& lanes) noexcept {
    lanes = half_pi * ((c.b + c.a * c.m) / (c.m * (c.m + c.p)));
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

namespace {

// The disk-mean series and, when Gradient, its derivatives term by term:
// ∂/∂ρ of order n is (2n/ρ)·its term, ∂/∂u is Mₙ(ρ²/4)ⁿ·u·Dₙ(s)/
// (s^(n+3/2)(s + 4)^(2n+3/2))/(n!)² with Dₙ in series_table.hpp, and the
// profile's basis sums weigh Xₙ = (ρ²/4)ⁿΔⁿA₀/(n!)² by their own factors.
// The sum of the value stops where it always does (its bits do not depend
// on Gradient); the derivatives go on until the ρ-derivative's term falls
// below tol times its sum.
template <bool Gradient>
double mean_series(double u, double rho, const double* moments, std::size_t orders, double tol,
              SeriesGradient* g) noexcept {
    if (u > 1e100) {
        if constexpr (Gradient) {
            *g = SeriesGradient{0, 0, g->basis_count, g->basis_factors, {}};
        }
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
    [[maybe_unused]] bool summed = false;  // the value's sum has stopped
    double previous = 0;                   // the last term's size
    [[maybe_unused]] double previous_rho = 0;  // and the ρ-derivative's
    [[maybe_unused]] const double front_u = front / u;
    [[maybe_unused]] const double two_over_rho = 2 / rho;
    // The derivatives in locals (g's arrays may alias them), stored at the end.
    [[maybe_unused]] double du = -8 * front_u;  // D₀ = −8: dA₀/du
    [[maybe_unused]] double drho = 0;
    [[maybe_unused]] std::array<double, series_basis_limit> sums{};
    [[maybe_unused]] const std::size_t basis_count = Gradient ? g->basis_count : 0;
    for (std::size_t n = 1; n < last; ++n) {
        const double nn = static_cast<double>(n);
        factor = factor * ratio / (4 * nn * nn);
        const double* c = series::coefficients.data() + series::offset[n];
        const int d = series::degree[n];
        double p = c[d];
        double vk = 1;
        // D̂ₙ = Dₙ(s)/(s + 4)^(2n) (deg Dₙ = 2n = deg Pₙ + 1), the
        // u-derivative's own bounded form, beside P̂ₙ in the same loop.
        [[maybe_unused]] const double* dc = series::slope_coefficients.data() + series::slope_offset[n];
        [[maybe_unused]] double q = 0;
        if constexpr (Gradient) {
            q = dc[d + 1] * w + dc[d] * v;
        }
        for (int k = d - 1; k >= 0; --k) {
            vk = vk * v;
            p = p * w + c[k] * vk;
            if constexpr (Gradient) {
                q = q * w + dc[k] * (vk * v);
            }
        }
        if (!summed) {
            const double term = moments[n] * factor * p * front;
            sum = sum + term;
            // The tail beyond a term that fell by r < 1/4 from the one
            // before is taken as term·r/(1 − r), a geometric tail (the
            // ratios mostly fall with n; with tol = 0.1·rtol the error
            // stays below 0.16·rtol on a dense grid of ρ and z ≥ 2);
            // otherwise as the term itself.
            const double size = std::abs(term);
            const double tail = size < 0.25 * previous ? size * (size / (previous - size)) : size;
            previous = size;
            if (tail <= tol * sum) {
                if constexpr (!Gradient) {
                    break;
                }
                summed = true;
            }
        }
        if constexpr (Gradient) {
            const double x = factor * p * front;  // Xₙ
            const double term_u = moments[n] * factor * q * front_u;
            const double term_rho = moments[n] * x * (nn * two_over_rho);
            du += term_u;
            drho += term_rho;
            for (std::size_t i = 0; i < basis_count; ++i) sums[i] += x * g->basis_factors[i][n];
            // Every derivative's terms fall like Xₙ times a power of n, as
            // the ρ-derivative's (all of one sign for z > 1): its test
            // stands for all, with the value's tail estimate.  The value
            // stops at tol relative to A, the derivatives at 10·tol (rtol
            // itself) relative to their own, much smaller, size: the
            // orders the value does not need are the gradient's main cost
            // far from a large source.
            const double size_rho = std::abs(term_rho);
            const double tail_rho =
                size_rho < 0.25 * previous_rho ? size_rho * (size_rho / (previous_rho - size_rho)) : size_rho;
            previous_rho = size_rho;
            const bool settled = tail_rho <= 10 * tol * std::abs(drho);
            if (summed && settled) {
                break;
            }
        }
    }
    if constexpr (Gradient) {
        g->du = du;
        g->drho = drho;
        g->sums = sums;
    }
    return sum;
}

// The coefficients of ₂F₁(3/2, 3/2; 3; w) = Σₖ fₖ·wᵏ (DLMF 15.2.1),
// f₀ = 1, fₖ₊₁ = fₖ·(k + 3/2)²/((k + 1)(k + 3)); 18 of them leave less
// than 1e-17 relative for w ≤ 0.1.
constexpr std::size_t hypergeometric_terms = 18;
constexpr std::array<double, hypergeometric_terms> hypergeometric = [] {
    std::array<double, hypergeometric_terms> f{};
    f[0] = 1;
    for (std::size_t k = 0; k + 1 < hypergeometric_terms; ++k) {
        const double kk = static_cast<double>(k);
        f[k + 1] = f[k] * ((kk + 1.5) * (kk + 1.5)) / ((kk + 1) * (kk + 3));
    }
    return f;
}();

// The slopes of the closed form.
// With d² = a·cos²θ + b·sin²θ the squared distance from the lens to the
// disk's edge at angle 2θ (a = (u + R)², b = (u − R)²) and D² = d² + 4:
//   ∂A_disk/∂u = (2/R)·mean over the edge of A₀·cos φ
//              = −(128u/π)∫₀^{π/2} sin²θ·cos²θ/(d³D³) dθ
// (the divergence theorem, then parts in φ: every term positive),
//              = −8u·₂F₁(3/2, 3/2; 3; w)/(a(b + 4))^(3/2),
// w = 16uR/(a(b + 4)) = 1 − k_c², the same k_c as the value's
// (Gradshteyn & Ryzhik 3.197.1); for w > 1/4 by Bulirsch's cel instead,
//   ∂A_disk/∂u = −(128u/π)·[cel(k_c, 1, 0, 1) − k_c²·cel(k_c, k_c², 0, 1)]
//                /(w·(a(b + 4))^(3/2))
// (Carlson's R_D(0, x, y), R_D(0, y, x) in cel form; w ≥ 1/4 keeps the
// difference within a factor 4 of its terms).  The scaling
// u∂_u + R∂_R of ∫_disk A₀ gives
//   ∂A_disk/∂R = −(u/R)·∂A_disk/∂u − (8/(πR²))·cel(k_c, 1/y, R + u, (R − u)/y)/√(a(b + 4)),
// y = (b + 4)/(a + 4), the cel being ∫(d² + R² − u²)/(dD) over the edge
// (the flux of ∇asinh(r/2)/4, whose Laplacian is r·dA₀/dr/(−8)).
// Lanes (√p, a, b/√p): cel(k_c, 1, 0, 1), cel(k_c, k_c², 0, −k_c²),
// cel(k_c, 1/y, R + u, (R − u)/y), and an idle one; w and big = a(b + 4)
// go to slopes_end.
Cel<quad> slopes_start(double u, double r, double& w, double& big) noexcept {
    const double d = u - r;
    const double e = u + r;
    const double dd = d * d;
    const double q = std::abs(d) / e;
    const double root = std::sqrt(dd + 4);
    const double kc = std::sqrt(4 * (q * q) + dd) / root;  // √(1 − m), as witt_mao_start
    big = (e * e) * (dd + 4);
    w = 16 * u * r / big;                                  // 1 − k_c²
    const double root_y = root / std::sqrt(e * e + 4);     // √y
    Cel<quad> c;
    c.a = quad{0, 0, r + u, 0};
    c.b = quad{1, -kc, (r - u) / root_y, 0};
    c.p = quad{1, kc, 1 / root_y, 1};
    c.kc = kc;
    c.e = kc;
    c.m = 1;
    return c;
}

// Below w = 0.1 the cel difference would lose 1/w: the series, 17 terms
// for 1e-17.
constexpr double hypergeometric_below = 0.1;

DiskSlopes slopes_end(double u, double r, const Cel<quad>& c, double w, double big) noexcept {
    quad lanes;
    cel_lanes(c, lanes);
    const double scale = big * std::sqrt(big);  // (a(b + 4))^(3/2)
    double du = 0;
    if (w <= hypergeometric_below) {
        double f = hypergeometric[hypergeometric_terms - 1];
        for (std::size_t k = hypergeometric_terms - 1; k-- > 0;) {
            f = f * w + hypergeometric[k];
        }
        du = -8 * u * f / scale;
    } else {
        du = -(128 / pi) * u * (lanes[0] + lanes[1]) / (w * scale);
    }
    const double dr = -(u / r) * du - (8 / pi) * lanes[2] / ((r * r) * std::sqrt(big));
    return {du, dr};
}

}  // namespace

double point_lens_slope(double u) noexcept {
    const double s = u * u;
    return -8 / (s * ((s + 4) * std::sqrt(s + 4)));  // −∞ at u = 0, −0 once s overflows
}

double disk_mean_series(double u, double rho, const double* moments, std::size_t orders, double tol) noexcept {
    return mean_series<false>(u, rho, moments, orders, tol, nullptr);
}

double disk_mean_series_gradient(double u, double rho, const double* moments, std::size_t orders, double tol,
                                 SeriesGradient& gradient) noexcept {
    return mean_series<true>(u, rho, moments, orders, tol, &gradient);
}

DiskSlopes disk_slopes_unchecked(double u, double r) noexcept {
    if (r == 0) {
        return {point_lens_slope(u), 0};  // A_disk = A₀ + O(R²)
    }
    if (u == r) {
        // The ring through the lens: its mean diverges like −ln|u − R|, and
        // so do both slopes.
        return {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    }
    if (r < 0.1 * u) {
        SeriesGradient g;
        mean_series<true>(u, r, uniform_moments.data(), series::orders, 1e-17, &g);
        return {g.du, g.drho};
    }
    double w = 0;
    double big = 0;
    Cel<quad> c = slopes_start(u, r, w, big);
    for (int step = 0; step < cel_steps; ++step) {
        if (cel_step(c)) {
            break;
        }
    }
    return slopes_end(u, r, c, w, big);
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

double disk_magnification_and_slopes_unchecked(double u, double r, DiskSlopes& slopes) noexcept {
    if (!closed_form(u, r)) {
        slopes = disk_slopes_unchecked(u, r);
        return disk_magnification_unchecked(u, r);
    }
    double scale = 0;
    CelPair c = witt_mao_start(u, r, scale);
    double w = 0;
    double big = 0;
    Cel<quad> d = slopes_start(u, r, w, big);
    for (int step = 0; step < cel_steps; ++step) {
        if (cel_step_beside(c, d)) {
            break;
        }
    }
    slopes = slopes_end(u, r, d, w, big);
    return cel_end(c) / scale;
}

void disk_magnification_pair_and_slopes_unchecked(double u, double r1, double r2, double& a1, double& a2,
                                                  DiskSlopes& slopes1, DiskSlopes& slopes2) noexcept {
    if (!closed_form(u, r1) || !closed_form(u, r2)) {
        a1 = disk_magnification_and_slopes_unchecked(u, r1, slopes1);
        a2 = disk_magnification_and_slopes_unchecked(u, r2, slopes2);
        return;
    }
    // As disk_magnification_pair_unchecked, each disk with its slopes.
    double scale1 = 0;
    double scale2 = 0;
    CelPair c1 = witt_mao_start(u, r1, scale1);
    CelPair c2 = witt_mao_start(u, r2, scale2);
    double w1 = 0, big1 = 0, w2 = 0, big2 = 0;
    Cel<quad> d1 = slopes_start(u, r1, w1, big1);
    Cel<quad> d2 = slopes_start(u, r2, w2, big2);
    bool done1 = false;
    bool done2 = false;
    for (int step = 0; step < cel_steps && !(done1 && done2); ++step) {
        if (!done1) done1 = cel_step_beside(c1, d1);
        if (!done2) done2 = cel_step_beside(c2, d2);
    }
    slopes1 = slopes_end(u, r1, d1, w1, big1);
    slopes2 = slopes_end(u, r2, d2, w2, big2);
    a1 = cel_end(c1) / scale1;
    a2 = cel_end(c2) / scale2;
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
