// Sources of moderate size, 1/8 ≤ ρ < 4, near the lens (z = u/ρ < 2): the
// magnified flux of each basis term of the profile as a two-dimensional
// Chebyshev series in z and ρ,
//   A(u, ρ) = (1/ρ)·Σ_b (w_b/N)·P_b(z, ρ),   P_b = ρ·∫₀¹ 2t·φ_b(μ)·Ā(u, ρt) dt,
// Ā the ring mean of the point-lens magnification (mid_source_table.hpp,
// tools/gen_ld_mid_source_table.py: P_b on the z panels of panels.hpp times
// the octaves of ρ, 16 × 16 terms per cell, within 1e-14 of the stacked
// disks with 64 nodes per piece it was built from).  Here the small-source
// expansion needs too many orders or diverges (its ρ² series converges for
// ρ(z + 1) < 2 only), and stacked disks take 30–50 kernel calls per value;
// the sum costs a few hundred multiplications.
//
// The sum is cut to the first m_z × m_ρ terms (multiples of 4) whose
// tabulated error bound, times the profile's cancellation, stays below a
// share of the tolerance; a level no cut reaches, a law without table
// columns (the small-source plan's), the limb band |z − 1| < 2^−8, z ≥ 2 and
// ρ outside [1/8, 4) are served otherwise.
#pragma once

#include "ld/models/small_source.hpp"

namespace lumora::ld {

struct MidSource {
    int z_terms = 0;    // 0: never served
    int rho_terms = 0;
};

// The cut at rtol for the profile whose columns and weights `columns` holds.
MidSource plan_mid_source(const SmallSource& columns, double rtol) noexcept;

// Where (z, ρ) falls in the table: its z panel and ρ octave, with the
// Chebyshev variables there; panel −1 where the table does not serve it.
struct MidPlace {
    int panel = -1;
    int octave = -1;
    double x = 0;        // the Chebyshev variable in z
    double x_scale = 0;  // dx/dz
    double y = 0;        // in ρ
    double y_scale = 0;  // dy/dρ
};
MidPlace mid_source_place(const MidSource& plan, double z, double rho) noexcept;

// A(u, ρ) at a place the table serves.
double mid_source_unchecked(const SmallSource& columns, const MidSource& plan, const MidPlace& place,
                            double rho) noexcept;

// A and its derivatives at z = u/ρ (columns.gradient true), as
// small_source_parts_unchecked: the value's bits, ∂A/∂u, ∂A/∂ρ and
// sums[i] = Num(ψᵢ), all from the same cut of the series.
SmallSourceParts mid_source_parts_unchecked(const SmallSource& columns, const MidSource& plan,
                                            const MidPlace& place, double z, double rho) noexcept;

}  // namespace lumora::ld
