// A checked radial profile of a limb-darkened source, written as a sum of
// basis terms in μ = √(1 − t²):
//   I(μ) = Σⱼ cⱼ·φⱼ(μ),  φⱼ ∈ {1, μ^k (k > 0), μ·ln μ},
// or, tabulated, linear in μ between given points and constant beyond them.
//
// Everything the methods need is prepared once here:
// - the flux N = ∫₀¹ I(t)·2t dt = ∫₀¹ I(μ)·2μ dμ (for μ^k: 2/(k + 2);
//   for μ·ln μ: −2/9);
// - the limb intensity I(μ = 0);
// - the radial moments Mₙ = ∫₀¹ t^(2n)·I·2t dt / N of the disk-mean series,
//   per basis term a Beta function, ∫₀¹ (1 − v)ⁿ v^(k/2) dv = B(n + 1, k/2 + 1),
//   and for μ·ln μ its derivative in k, −½·B(n + 1, 3/2)·Σⱼ₌₀ⁿ 1/(j + 3/2);
//   tabulated: by Gauss–Legendre on each segment, exact for its polynomial;
// - the substitution μ = cos(x)^p of the stacked-disk quadrature that makes
//   the profile's weight smooth at the limb, and the kinks of a tabulated
//   profile in x.
// The per-term moments stay available beside their sum (the magnification
// is linear in the profile).
//
// For the gradient, the derivative of I with respect to each coefficient
// is a combination of unit basis functions ψᵢ (the law's own terms, and
// for power2 μ^α·ln μ = ∂μ^α/∂α): ∂I/∂coefficient_k = Σᵢ Eₖᵢ·ψᵢ.  Since A
// is linear in I, ∂A/∂(coefficient of ψᵢ) = (Num(ψᵢ) − A·N(ψᵢ))/N, with
// Num the magnified flux; per basis function the flux N(ψᵢ) and, for the
// disk-mean series, the factors (mᵢ,ₙ − Mₙ·mᵢ,₀)/N of ∂Mₙ/∂cᵢ.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "ld/models/magnification.hpp"

namespace lumora::ld {

// Orders of the disk-mean series kept per profile: M₀ … M_{max_order}.
inline constexpr std::size_t max_order = 40;

// 1, μ^k, μ^k·ln μ.
enum class Basis { constant, power, mu_log_mu };

struct BasisTerm {
    Basis kind = Basis::constant;
    double exponent = 0;     // k for Basis::power and Basis::mu_log_mu
    double coefficient = 0;  // cⱼ
};

// The most basis functions of a profile's gradient, and coefficients of a law.
inline constexpr std::size_t basis_limit = 6;
inline constexpr std::size_t coefficient_limit = 4;

class Profile {
public:
    Law law() const noexcept { return law_; }
    // I(μ) for μ in [0, 1].
    double intensity(double mu) const noexcept;
    // dI/dμ (for the tabulated profile, the slope of the segment holding μ).
    double slope(double mu) const noexcept;
    double flux() const noexcept { return flux_; }
    double limb_intensity() const noexcept { return limb_; }
    // Mₙ, the normalised moment (M₀ = 1).
    double moment(std::size_t n) const noexcept { return moments_[n]; }
    const double* moments() const noexcept { return moments_.data(); }
    // The exponent p of μ = cos(x)^p in the stacked-disk quadrature.
    double power() const noexcept { return power_; }
    // True when I is constant (no stacked disks needed).
    bool uniform() const noexcept { return uniform_; }
    // A tabulated profile's kinks as x = acos(μᵢ^(1/p)) in (0, π/2), sorted.
    const std::vector<double>& kinks() const noexcept { return kinks_; }
    std::size_t term_count() const noexcept { return term_count_; }
    const BasisTerm& term(std::size_t j) const noexcept { return terms_[j]; }

    // The gradient's basis ψᵢ, the constant first; term coefficients are
    // I's own (0 for ψ that I does not use).
    std::size_t coefficient_count() const noexcept { return coefficient_count_; }
    std::size_t basis_count() const noexcept { return basis_count_; }
    const BasisTerm& basis(std::size_t i) const noexcept { return basis_[i]; }
    // N(ψᵢ) = ∫₀¹ ψᵢ·2μ dμ.
    double basis_flux(std::size_t i) const noexcept { return basis_flux_[i]; }
    // (mᵢ,ₙ − Mₙ·mᵢ,₀)/N for n ≤ max_order (0 at n = 0).
    const double* basis_factors(std::size_t i) const noexcept { return basis_factors_[i].data(); }
    // Eₖᵢ = ∂cᵢ/∂coefficient_k (NaN where I has no derivative: power2's
    // α = 0 with c ≠ 0).
    double derivative(std::size_t k, std::size_t i) const noexcept { return derivative_[k][i]; }

private:
    friend std::expected<Profile, ProfileError> make_profile(Law, std::span<const double>);
    friend void gradient_basis(Profile&, Law, std::span<const double>) noexcept;
    friend std::expected<Profile, ProfileError> make_tabulated_profile(std::span<const double>,
                                                                       std::span<const double>);
    Law law_ = Law::uniform;
    std::array<BasisTerm, 5> terms_{};
    std::size_t term_count_ = 0;
    double flux_ = 1;
    double limb_ = 1;
    double power_ = 1;
    bool uniform_ = true;
    std::array<double, max_order + 1> moments_{};
    std::size_t coefficient_count_ = 0;
    std::size_t basis_count_ = 0;
    std::array<BasisTerm, basis_limit> basis_{};
    std::array<double, basis_limit> basis_flux_{};
    std::array<std::array<double, max_order + 1>, basis_limit> basis_factors_{};
    std::array<std::array<double, basis_limit>, coefficient_limit> derivative_{};
    // Tabulated: μ ascending, the intensity there, the kinks in x.
    std::vector<double> mu_;
    std::vector<double> value_;
    std::vector<double> kinks_;
};

}  // namespace lumora::ld
