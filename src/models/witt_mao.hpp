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
#pragma once

#include <cstddef>
#include <vector>

#include "pool/pool.hpp"

namespace lumora {

// Uniform-disk magnification for u and ρ in Einstein radii.  Never fails:
// an elliptic-integral error becomes NaN here.  Pure and re-entrant.
double witt_mao_magnification_scaled(double u, double rho) noexcept;

// out[i] = witt_mao_magnification_scaled(u[i], rho[i]) for i < n, bit for
// bit: the batch form the quadratures and the pool's pieces call, with the
// vector kernels where the CPU has them (models/batch.hpp).  out may not
// overlap u or rho.
void witt_mao_magnification_scaled_batch(const double* u, const double* rho, double* out, std::size_t n) noexcept;

// The list function on the worker pool: ρ = rstar/re once, element i is
// witt_mao_magnification_scaled(l[i]·ρ, ρ), in input order, bit-identical
// for every thread count.  Throws InternalFailure if the pool cannot be
// created; std::bad_alloc if memory runs out.
pool::Output<double> witt_mao_magnification(const std::vector<double>& l, double re, double rstar);

// witt_mao_magnification(l, re[i], rstar[j]) for every pair, re outer and
// rstar inner (row i·len(rstar) + j): nested maps on the same pool, each
// reading the shared l.
pool::Output<pool::Output<double>> multi_witt_mao_magnification(const std::vector<double>& l,
                                                                const std::vector<double>& re,
                                                                const std::vector<double>& rstar);

}  // namespace lumora
