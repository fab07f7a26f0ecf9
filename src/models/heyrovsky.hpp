// Mean point-lens magnification of a thin ring of radius r on the source:
//   M(l, r) = (1/2π) ∫₀^{2π} (d² + 2C²)/(d·√(d² + 4C²)) dφ,  d² = l² + r² − 2lr·cos φ,
// with the lens at distance l from the ring centre, l and r in source radii
// and C = re/rstar the Einstein radius in source radii.
//
// Method: the closed form of Heyrovský 2003, ApJ 594, 464 (2003ApJ...594..464H),
// in the complete elliptic integrals K(m) and Π(n, m) (parameter m = k²,
// DLMF §19.2); within 1e-5 of the ring passing through the lens, the
// expansion of the mean to first order in D = r − l about r = l, where the
// closed form runs into the logarithmic singularity of K at m = 1 (within
// 1e-5·l of it for a lens near the centre, l < 1).
//
// | input                              | result                                |
// |------------------------------------|---------------------------------------|
// | l = 0 (either sign)                | point-lens value at distance r        |
// | |r − l| < 1e-5·min(1, l)           | logarithmic expansion, never an error |
// | r = l exactly (l, C > 0)           | +∞                                    |
// | re = 0, |r − l| ≥ 1e-5             | 1 up to rounding                      |
// | NaN l or r, or l·r < 0             | "ellipk: Arguments cannot be NAN."    |
// | other elliptic failures            | the message of ellipk, then ellippi   |
//
// The scalar kernel is the definition; its lane-wise twin is
// Kernels::ring_near and Kernels::ring in batch_lanes.hpp (the batch form,
// ring_magnification_lanes, is in batch.hpp): a change of the order of
// operations here is made there too.
#pragma once

#include "numerics/expected.hpp"

namespace lumora {

// Ring magnification, or the message of the elliptic routine that failed
// first.  Pure and re-entrant; nothing is validated.
EllipticResult heyrovsky_magnification(double l, double r, double re, double rstar) noexcept;

}  // namespace lumora
