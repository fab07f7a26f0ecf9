// Stacked uniform disks: with W(t) = t²·A_disk(u, ρt), dW/dt = 2t·Ā_ring(u, ρt)
// and integration by parts of the profile-weighted ring mean gives
//   A = [I(μ = 0)·A_disk(u, ρ) + J]/N,
//   J = ∫₀¹ (1 − μ²)·A_disk(u, ρ·t(μ))·dI/dμ dμ,  N = ∫₀¹ I·2μ dμ,
// integrated in x ∈ [0, π/2] with μ = cos(x)^p (the profile's p), split at
// the ring through the lens (t = z, where A_disk has a logarithmic kink) and
// at a tabulated profile's kinks, each piece on a Gauss–Legendre rule mapped
// by x = a + (b − a)·w³(10 − 15w + 6w²), graded cubically toward both ends:
// the kink's (t − z)·ln|t − z| becomes v⁵·ln v at the piece's end (error
// ~n⁻¹², against n⁻⁸ for a quadratic grading).  Outside the disk below
// z = 2 the piece is split at t = 2 − z, the mirror of the ring through the
// lens, where A_disk(u, ρt) varies on the scale z − 1.  Node counts per law
// and tolerance: nodes_table.hpp (tools/prove_ld_nodes.py).
#pragma once

#include "ld/models/profile.hpp"

namespace lumora::ld {

struct NodeCounts {
    int inside;     // per piece, lens over the disk (z < 1)
    int outside;    // z ≥ 1
    int tabulated;  // per piece of a tabulated profile
};

// A(u, ρ) by stacked disks for z = u/ρ, u ≥ 0, ρ > 0 (no checks).
double stacked_disks_unchecked(const Profile& profile, double u, double rho, NodeCounts counts) noexcept;

// The node counts of a law at a tolerance level (see nodes_table.hpp).
NodeCounts node_counts(Law law, int level) noexcept;

// The level of a tolerance: the largest 10^-(level+2) ≤ rtol.
int tolerance_level(double rtol) noexcept;

}  // namespace lumora::ld
