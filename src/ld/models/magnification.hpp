// Magnification of a limb-darkened source by a point lens, to a stated
// relative tolerance, for any radial profile:
//   A(u, ρ) = ∫₀¹ I(t)·2t·Ā_ring(u, ρt) dt / ∫₀¹ I(t)·2t dt,
// with u the lens–source separation and ρ the source radius (Einstein radii),
// t = r/ρ, μ = √(1 − t²), I(μ) the surface brightness and Ā_ring the mean of
// the point-lens magnification A₀(u) = (u² + 2)/(u·√(u² + 4)) over the ring
// of radius ρt about the source centre.
//
// This is the interface the lumora_ld binding is written against; the
// profile, its checks and the methods behind magnification() live beside it.
//
// | input                               | result                               |
// |-------------------------------------|--------------------------------------|
// | ρ = 0                               | the point lens A₀(u)                 |
// | u < 0, ρ < 0, NaN u or ρ            | NaN                                  |
// | u = 0, ρ > 0                        | finite (the lens over the centre)    |
// | ρ = 0 and u = 0                     | +∞                                   |
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumora::ld {

// The laws, with their coefficients in the order the user gives them
// (μ = cos of the angle to the line of sight):
//   uniform      ()          I = 1
//   linear       (a)         I = 1 − a(1 − μ)
//   quadratic    (a, b)      I = 1 − a(1 − μ) − b(1 − μ)²
//   square_root  (c, d)      I = 1 − c(1 − μ) − d(1 − √μ)
//   logarithmic  (c, d)      I = 1 − c(1 − μ) − d·μ·ln μ
//   power2       (c, α)      I = 1 − c(1 − μ^α)
//   claret4      (a1 … a4)   I = 1 − Σₖ aₖ(1 − μ^(k/2))
//   tabulated    intensities at given μ (see make_tabulated_profile)
enum class Law { uniform, linear, quadratic, square_root, logarithmic, power2, claret4, tabulated };

// The law of a name as the binding accepts it ("uniform", "linear", …,
// "claret4"); nullopt for any other name.
std::optional<Law> law_from_name(std::string_view name) noexcept;

// The number of coefficients a law takes (not for Law::tabulated).
std::size_t coefficient_count(Law law) noexcept;

// Why a profile was refused, as one sentence for a ValueError
// ("the profile is negative at μ = 0.25", "the profile has no flux", …).
struct ProfileError {
    std::string message;
};

class Profile;  // a checked profile, prepared once per call (profile.hpp)

// A checked profile of an analytic law: the right number of coefficients,
// finite, I(μ) ≥ 0 for every μ in [0, 1], positive flux.
std::expected<Profile, ProfileError> make_profile(Law law, std::span<const double> coefficients);

// A checked profile from intensities at given μ (as model atmospheres
// publish them): the μ need not be sorted; the profile is read as linear in μ
// between them and constant beyond the smallest and the largest μ.
std::expected<Profile, ProfileError> make_tabulated_profile(std::span<const double> mu,
                                                            std::span<const double> intensity);

// The tolerances a call may ask for.
inline constexpr double smallest_rtol = 1e-12;
inline constexpr double largest_rtol = 1e-2;

// out[i] = A(u[i], rho[i]) for i < n, each within rtol (smallest_rtol ≤ rtol
// ≤ largest_rtol) relative of the truth.  Allocates nothing, throws nothing,
// touches no shared state: safe to call from many threads at once on
// disjoint outputs, and out[i] depends on u[i], rho[i], the profile and
// rtol alone (the same bits whatever range a thread is given).
void magnification(const Profile& profile, double rtol, const double* u, const double* rho, double* out,
                   std::size_t n) noexcept;

// Where magnification_and_gradient writes value i: a[i] = A (the same bits
// as magnification), du[i] = ∂A/∂u, drho[i] = ∂A/∂ρ, and
// dcoefficients[k·stride + i] = ∂A/∂(coefficient k) for each of the law's
// coefficients in the order the user gives them (none for a tabulated
// profile).
struct GradientOutput {
    double* a;
    double* du;
    double* drho;
    double* dcoefficients;
    std::size_t stride;
};

// A and its exact derivatives for i < n, by the same method and nodes as
// magnification (each derivative of the method's own formula: the disk's
// slopes in closed form, the series term by term, the coefficients by the
// profile's linearity).  With the lens exactly on the limb (u = ρ) of a
// source whose limb is not dark, ∂A/∂u = −∞ and ∂A/∂ρ = +∞ (the edge of
// the disk meets the lens: A has a (z − 1)·ln|z − 1| term), and
// derivatives in coefficients that change the limb's intensity stay
// finite.  ρ = 0: the point lens, ∂A/∂ρ = 0 and no dependence on the
// coefficients.  NaN input gives NaN everywhere.  The same threading
// contract as magnification.
void magnification_and_gradient(const Profile& profile, double rtol, const double* u, const double* rho,
                                GradientOutput out, std::size_t n) noexcept;

}  // namespace lumora::ld
