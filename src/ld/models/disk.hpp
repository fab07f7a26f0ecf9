// Uniform-disk magnification by a point lens, accurate up to the limb:
//   A_disk(u, R) = (1/πR²)∫_{|y − u| < R} A₀(|y|) d²y,
//   A₀(u) = (u² + 2)/(u·√(u² + 4)),
// and the disk-mean series of any radial profile far from the lens.
//
// Closed form: Witt & Mao 1994, ApJ 430, 505 (1994ApJ...430..505W), eq. 9,
//   π·A_disk = c_E·E(m) − c_K·K(m) + c_Π·Π(n, m),
//   n = 4uR/(u + R)², m = 4n/((u − R)² + 4),
// with the three Legendre integrals gathered into two of Bulirsch's general
// complete elliptic integrals cel(k_c, p, a, b) (Bulirsch 1969, Numer. Math.
// 13, 305–315; DLMF 19.2.11), k_c = √(1 − m), p = 1 and p = 1 − n, and
//   1 − n = ((u − R)/(u + R))²,  1 − m = (4(1 − n) + (u − R)²)/(4 + (u − R)²)
// formed without subtraction from 1, so that no limb window is needed.
//
// Disk-mean series (Pizzetti's mean-value expansion): the mean of A₀ over a
// radial profile of radius ρ is
//   A = Σₙ (ρ²/4)ⁿ·Mₙ·ΔⁿA₀(u)/(n!)²,  ΔⁿA₀ = Pₙ(s)/(s^(n+½)(s + 4)^(2n+½)),
// s = u², converging for u > ρ; Pₙ in series_table.hpp.
//
// | input                     | result                                   |
// |---------------------------|------------------------------------------|
// | R = 0                     | A₀(u)                                    |
// | u = R                     | ((1 + R²)/R²·2 atan R + 2/R)/π (limit)   |
// | u = 0                     | √(R² + 4)/R                              |
// | R < 0.1u                  | the series with Mₙ = 1/(n + 1)           |
//
// Slopes ∂A_disk/∂u, ∂A_disk/∂R (disk_slopes_unchecked): Gauss's divergence
// theorem on the disk turns each into a mean over its edge, in closed form
// as complete elliptic integrals with the value's own k_c (see the .cpp).
//
// | input                     | slopes (∂/∂u, ∂/∂R)                      |
// |---------------------------|------------------------------------------|
// | R = 0                     | (dA₀/du, 0)                              |
// | u = R                     | (−∞, +∞): the edge mean diverges         |
// | u = 0                     | (0, −4/(R²√(R² + 4)))                    |
// | R < 0.1u                  | the series, term by term                 |
#pragma once

#include <array>
#include <cstddef>

namespace lumora::ld {

// A₀(u); +∞ at u = 0.
double point_lens(double u) noexcept;

// dA₀/du = −8/(u²(u² + 4)^(3/2)); −∞ at u = 0.
double point_lens_slope(double u) noexcept;

struct DiskSlopes {
    double du;  // ∂A_disk/∂u
    double dr;  // ∂A_disk/∂R
};

// The slopes of A_disk(u, R) for u ≥ 0, R ≥ 0 (no checks).
DiskSlopes disk_slopes_unchecked(double u, double r) noexcept;

// A_disk(u, R), the same bits as disk_magnification_unchecked, and its
// slopes, the same as disk_slopes_unchecked's, from one arithmetic–geometric
// sequence (the slopes' elliptic integrals share the value's k_c).
double disk_magnification_and_slopes_unchecked(double u, double r, DiskSlopes& slopes) noexcept;

// Both of the above for two radii, interleaved as in
// disk_magnification_pair_unchecked: the same bits as two calls.
void disk_magnification_pair_and_slopes_unchecked(double u, double r1, double r2, double& a1, double& a2,
                                                  DiskSlopes& slopes1, DiskSlopes& slopes2) noexcept;

// The most basis sums a series gradient carries (a profile's basis).
inline constexpr std::size_t series_basis_limit = 6;

// What disk_mean_series_gradient adds to the sum: its derivatives in u and
// ρ, and per basis function i < basis_count the sum Σₙ≥₁ Xₙ·fᵢ[n] with
// Xₙ = (ρ²/4)ⁿ·ΔⁿA₀(u)/(n!)² and fᵢ = basis_factors[i] (set by the caller).
struct SeriesGradient {
    double du = 0;
    double drho = 0;
    std::size_t basis_count = 0;
    std::array<const double*, series_basis_limit> basis_factors{};
    std::array<double, series_basis_limit> sums{};
};

// A_disk(u, R) for u ≥ 0, R ≥ 0 (no checks).
double disk_magnification_unchecked(double u, double r) noexcept;

// a1 = A_disk(u, r1), a2 = A_disk(u, r2), the same bits as two calls of
// disk_magnification_unchecked, in less time than two.
void disk_magnification_pair_unchecked(double u, double r1, double r2, double& a1, double& a2) noexcept;

// Σₙ (ρ²/4)ⁿ·Mₙ·ΔⁿA₀(u)/(n!)² for u > ρ, stopping once a term falls
// below tol times the sum (at most `orders` terms, M₀ = 1 implied).
double disk_mean_series(double u, double rho, const double* moments, std::size_t orders, double tol) noexcept;

// The same sum, the same bits, with its gradient in `gradient`; the
// derivatives' own terms fall below tol times their sums before it stops.
double disk_mean_series_gradient(double u, double rho, const double* moments, std::size_t orders, double tol,
                                 SeriesGradient& gradient) noexcept;

}  // namespace lumora::ld
