// The multiples of π the numerical routines and the models use, each the
// double nearest to its value, written once as a 17-significant-digit literal.
#pragma once

namespace lumora {

inline constexpr double pi = 3.141592653589793;           // π
inline constexpr double half_pi = 1.5707963267948966;     // π/2
inline constexpr double two_pi = 6.283185307179586;       // 2π

}  // namespace lumora
