// What the vector unit (batch_avx2.cpp) defines and what it calls of the
// baseline build: its entry points, one per kernel, and the scalar ring kernel as a value or NaN (the
// scalar disk kernel it calls is declared in models/witt_mao.hpp).
//
// Only the code built for baseline x86-64 (batch.cpp) calls the entry
// points, and only after checking the CPU.  Declarations only: the vector
// unit includes no header with inline functions it calls (an inline
// function compiled there could be the copy the linker keeps for every
// caller).
#pragma once

#include <cstddef>

namespace lumora::batch::detail {

// heyrovsky_magnification(l, r, re, rstar) as a value, or NaN with
// *failed = true on an elliptic error (*failed = false otherwise).
double ring_or_nan(double l, double r, double re, double rstar, bool* failed) noexcept;

#if defined(LUMORA_SIMD_X86)
void disk_lanes_avx2(const double* u, const double* rho, double* out, std::size_t n) noexcept;
void ring_lanes_avx2(double l, const double* r, double re, double rstar, double* out, bool* failed,
                     std::size_t n) noexcept;
#endif

}  // namespace lumora::batch::detail
