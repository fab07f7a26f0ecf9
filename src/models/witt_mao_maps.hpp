// The uniform-disk magnification (Witt & Mao 1994, ApJ 430, 505; the kernel
// of witt_mao.hpp) over a list of separations and over a grid of source
// sizes, on the process-wide worker pool (pool/pool.hpp): each piece of a
// list goes to the batch kernel (disk_magnification_lanes, batch.hpp), and
// every element has the scalar kernel's bits, for any thread count.
#pragma once

#include <vector>

#include "pool/pool.hpp"

namespace lumora {

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
