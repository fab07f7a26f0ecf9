// Small-source expansion of the limb-darkened point-lens magnification:
//   A(u, ρ) = (1/(ρN))·Σ_b w_b·Σₖ cₖ·ρ^(2k)·G_{k,b}(z),  z = u/ρ,
//   G_{k,b}(z) = ∫₀¹ 2t·φ_b(μ)·R_k(z, t) dt,  N = Σ_b w_b·N_b,
// from A₀(ρy) = h(ρ²y²)/(ρy), h(ε) = (1 + ε/2)(1 + ε/4)^(−1/2) = Σₖ cₖεᵏ,
// with I = Σ_b w_b·φ_b(μ) the profile's basis terms, N_b = ∫₀¹ 2t·φ_b dt
// (2/(k + 2) for μ^k, −2/9 for μ·ln μ) and R_k the mean of |y|^(2k−1) over
// the ring of radius t about the source centre.  Order 0 is the B₀ function
// of Gould 1994, ApJ 421, L71 (1994ApJ...421L..71G), and Yoo et al. 2004,
// ApJ 603, 139 (2004ApJ...603..139Y); the higher orders are the Taylor
// series of h.
//
// Method: G_{k,b} for b ∈ {1, μ^½, μ, μ^(3/2), μ², μ·ln μ} and k < 8 as
// Chebyshev series of degree 19 (summed on fewer terms at looser
// tolerances) on 16 panels in z graded toward the limb
// (small_source_table.hpp, tools/gen_ld_small_source_table.py: within
// 2.5e-18 of 50-digit values, 7e-16 summed in doubles).  The number of
// orders K per value comes from the bound |h − Σ_{k<K} cₖεᵏ| ≤ ¼·rtol·h
// on ε ≤ ρ²(z + 1)² (a non-negative profile averages A₀ with positive
// weights, so the bound carries over to A).
//
// | z = u/ρ, ρ                    | served                                   |
// |-------------------------------|------------------------------------------|
// | 0 ≤ z ≤ 1 − 2^−8, 1 + 2^−8 ≤ z < 2, ρ²(z + 1)² ≤ ε_8(rtol) | yes        |
// | |z − 1| < 2^−8 (the limb), z ≥ 2, larger ρ | no (orders() = 0)           |
// | a law with another basis term (power2 with α ∉ {½, 1, 3/2, 2}, tabulated) | no |
#pragma once

#include <array>
#include <cstddef>

#include "ld/models/profile.hpp"

namespace lumora::ld {

// What the expansion needs of one profile at one tolerance, prepared once
// per call.
struct SmallSource {
    std::size_t count = 0;         // profile terms with a table column
    std::array<int, 5> column{};   // the table column b of each
    std::array<double, 5> weight{};  // w_b/N
    double spread = 0;             // Σ|w_b·N_b|/N, the terms' cancellation (≥ 1)
    std::array<double, 8> epsilon_limit{};  // ε_K for K = 1 … 8; all 0: never served
    int terms = 0;                 // Chebyshev terms summed (4, 8, …, 20)
    // The table columns of the gradient's basis functions ψᵢ
    // (Profile::basis); gradient is false when one has none (power2's
    // μ^α·ln μ for α ≠ 1), and the derivatives are then found otherwise.
    std::size_t basis_count = 0;
    std::array<int, basis_limit> basis_column{};
    std::array<int, basis_limit> basis_term{};  // the profile term with that column, or −1
    bool gradient = false;
};

// The plan of a profile at rtol; a law the tables do not cover, or whose
// basis terms cancel too much for rtol, gets one that serves nothing.
SmallSource plan_small_source(const Profile& profile, double rtol) noexcept;

// The number of orders K (1 … 8) that serves (z, ρ), or 0 where the
// expansion does not serve it (z in the limb band or ≥ 2, ρ too large, NaN).
int small_source_orders(const SmallSource& plan, double z, double rho) noexcept;

// A(u, ρ) on K orders, for (u/ρ, ρ) where small_source_orders gives K > 0.
double small_source_unchecked(const SmallSource& plan, double u, double rho, int orders) noexcept;

// A and its derivatives at one (u, ρ) served with K orders, for gradients
// (plan.gradient true): sums[i] = Num(ψᵢ) = (1/ρ)·Σₖ cₖρ^(2k)·G_{k,b}(z),
// the magnified flux of the gradient's i-th basis function ψᵢ (table
// column b = basis_column[i]), so that for the coefficient cᵢ of ψᵢ
//   ∂A/∂cᵢ = (Num(ψᵢ) − A·N(ψᵢ))/N.
// d_u from the Chebyshev derivative of G; d_rho also from the ρ-series.
// The value is the same sum in the same order: the bits of
// small_source_unchecked.
struct SmallSourceParts {
    double value = 0;
    double d_u = 0;
    double d_rho = 0;
    std::array<double, basis_limit> sums{};
};
SmallSourceParts small_source_parts_unchecked(const SmallSource& plan, double u, double rho, int orders) noexcept;

}  // namespace lumora::ld
