// The vector variants of the batch kernels (models/batch.hpp), one per
// translation unit compiled for its instruction set, and the scalar
// per-element fallbacks they call, compiled for the baseline.
//
// Only the code built for baseline x86-64 may call the variants, and only
// after checking the CPU.  The variant translation units include no header
// with out-of-line inline functions they call (an inline function compiled
// there could be the copy the linker keeps for every caller).
#pragma once

#include <cstddef>

namespace lumora::batch::detail {

// heyrovsky_magnification(l, r, re, rstar) as a value, or NaN with
// *failed = true on an elliptic error (*failed = false otherwise).
double ring_or_nan(double l, double r, double re, double rstar, bool* failed) noexcept;

#if defined(LUMORA_SIMD_X86)
void witt_mao_avx512(const double* u, const double* rho, double* out, std::size_t n) noexcept;
void witt_mao_avx2(const double* u, const double* rho, double* out, std::size_t n) noexcept;
void heyrovsky_avx512(double l, const double* r, double re, double rstar, double* out, bool* failed,
                      std::size_t n) noexcept;
void heyrovsky_avx2(double l, const double* r, double re, double rstar, double* out, bool* failed,
                    std::size_t n) noexcept;
#endif

}  // namespace lumora::batch::detail
