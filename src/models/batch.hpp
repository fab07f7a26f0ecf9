// Batch forms of the uniform-disk and ring kernels: element i of the output
// is, bit for bit, what the scalar kernel returns for element i of the input
//   disk_magnification_lanes: witt_mao_magnification_scaled(u[i], ρ[i])
//                             (models/witt_mao.hpp)
//   ring_magnification_lanes: heyrovsky_magnification(l, r[i], re, rstar)
//                             (models/heyrovsky.hpp)
//
// Method: the scalar kernels are the definition.  On x86-64 an AVX2
// variant sits beside them, for the general branch with
// 0 <= m < 1 (K and E from their Taylor tables or the AGM) and
// Π(n, m) = RF(0, 1 − m, 1) + (n/3)·RJ(0, 1 − m, 1, 1 − n) with its
// duplication loop (Carlson 1995, Numer. Algorithms 10, 13-26; DLMF 19.25.2,
// 19.36), two vectors of 4 lanes at a time.  Each lane performs the
// scalar sequence of IEEE operations in the same order: separate multiplies
// and adds (no fused multiply-add: the vector units are compiled with
// -ffp-contract=off, and tools/check_objects.py verifies it), correctly
// rounded division and square root, branches as masks, loops with
// data-dependent counts run until every lane has stopped, with the finished
// lanes frozen, and the C library calls (atan, pow, log) made per lane.
// The far-field branch of the disk and the near-ring expansion of the ring
// are vectorised as well.  Every other input (the point source, the limb
// window, l = 0, the special cases of Π, NaN and infinite arguments, a
// duplication that does not settle) is evaluated by the scalar kernel for
// that element.
//
// | variant | lanes | when                                                  |
// |---------|-------|-------------------------------------------------------|
// | avx2    | 2 × 4 | x86-64 build with the vector variant, CPU has AVX2    |
// | scalar  | 1     | always available; the only one elsewhere              |
//
// There is no AVX-512 variant: the same code at 2 × 8 lanes is no faster
// in whole calls (benchmarks/bench_variants.py: its median ratios to the
// scalar variant are within 0.03 of AVX2's, either way), the kernels being
// bound by the divider and the per-lane C library calls, not by the width.
//
// The variant is chosen once per process (chosen_variant): all variants
// give identical bits, so the choice never shows in a result.
#pragma once

#include <cstddef>

namespace lumora {

// out[i] = witt_mao_magnification_scaled(u[i], rho[i]) for i < n, with the
// process's variant.  out may alias neither input.
void disk_magnification_lanes(const double* u, const double* rho, double* out, std::size_t n) noexcept;

// out[i] = heyrovsky_magnification(l, r[i], re, rstar) and failed[i] =
// false for i < n, or, where that returns an elliptic error, out[i] = NaN
// and failed[i] = true; with the process's variant.  The outputs may not
// overlap r.
void ring_magnification_lanes(double l, const double* r, double re, double rstar, double* out, bool* failed,
                              std::size_t n) noexcept;

namespace batch {

enum class Variant { scalar, avx2 };

// Whether this build and this CPU can run the variant (scalar: always).
bool supported(Variant variant) noexcept;

// The variant of this process, determined on the first call (the first
// batch call, or an earlier call of this function) and kept.
// LUMORA_KERNELS, read then and only then, names it:
//   unset, empty or "auto"  avx2 where this build and CPU have it, else
//                           scalar;
//   "scalar" or "avx2"      that variant, if this build and CPU have it;
//                           otherwise as "auto";
//   anything else           as "auto".
Variant chosen_variant() noexcept;

// The variant that LUMORA_KERNELS = text selects on this CPU (text may be
// null, for unset), by the rules of chosen_variant.
Variant variant_from_env(const char* text) noexcept;

// "scalar" or "avx2".
const char* name(Variant variant) noexcept;

// The batch forms above with the given variant (which must be supported).
void disk_magnification_lanes(Variant variant, const double* u, const double* rho, double* out,
                              std::size_t n) noexcept;
void ring_magnification_lanes(Variant variant, double l, const double* r, double re, double rstar, double* out,
                              bool* failed, std::size_t n) noexcept;

}  // namespace batch
}  // namespace lumora
