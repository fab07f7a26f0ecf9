// Magnification of a uniformly bright circular source by a point-mass lens:
//   A(u, ρ) = (1/πρ²) ∬_{|x − u| ≤ ρ} (d² + 2) / (d·√(d² + 4)) d²x,  d = |x|,
// with the lens–centre distance u and the disk radius ρ in Einstein radii.
//
// Method: the closed form of Witt & Mao 1994, ApJ 430, 505 (1994ApJ...430..505W),
// written with the complete elliptic integrals K(m), E(m) and
// Π(n, m) (parameter m = k², DLMF §19.2), n = 4uρ/(u + ρ)², m = 4n/((u − ρ)² + 4).
//
// | input                         | result                                      |
// |-------------------------------|---------------------------------------------|
// | ρ ≤ 0                         | point source (2 + u²)/(u√(u² + 4)); u = 0: +∞ |
// | |u − ρ| < 0.001ρ              | the value at u = ρ exactly (edge on the lens) |
// | u > 1000ρ                     | point lens + (ρ²/8)·∇²A (disk-mean expansion)  |
// | u = 0, ρ > 0                  | √(ρ² + 4)/ρ                                 |
// | NaN or infinite u or ρ        | NaN (an elliptic integral rejects it)        |
// | u < 0                         | not folded: whatever the closed form gives   |
//
// The scalar kernel is the definition; its lane-wise twin is
// Kernels::disk_far and Kernels::disk in batch_lanes.hpp (the batch form,
// disk_magnification_lanes, is in batch.hpp): a change of the order of
// operations here is made there too.  Declarations only, with no inline
// code: the vector units include this header for their scalar fallback.
#pragma once

namespace lumora {

// Uniform-disk magnification for u and ρ in Einstein radii.  Never fails:
// an elliptic-integral error becomes NaN here.  Pure and re-entrant.
double witt_mao_magnification_scaled(double u, double rho) noexcept;

}  // namespace lumora
