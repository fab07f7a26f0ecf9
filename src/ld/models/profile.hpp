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
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "ld/models/magnification.hpp"

namespace lumora::ld {

// Orders of the disk-mean series kept per profile: M₀ … M_{max_order}.
inline constexpr std::size_t max_order = 40;

enum class Basis { constant, power, mu_log_mu };

struct BasisTerm {
    Basis kind = Basis::constant;
    double exponent = 0;     // k for Basis::power
    double coefficient = 0;  // cⱼ
};

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

private:
    friend std::expected<Profile, ProfileError> make_profile(Law, std::span<const double>);
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
    // Tabulated: μ ascending, the intensity there, the kinks in x.
    std::vector<double> mu_;
    std::vector<double> value_;
    std::vector<double> kinks_;
};

}  // namespace lumora::ld
