// The constants the numerical routines and the models share, each the
// double nearest to its value, written once as a 17-significant-digit
// literal: the multiples of π, and the thresholds of the elliptic-integral
// iterations that the lane-wise kernels (models/batch_lanes.hpp) repeat.
#pragma once

namespace lumora {

inline constexpr double pi = 3.141592653589793;           // π
inline constexpr double half_pi = 1.5707963267948966;     // π/2
inline constexpr double two_pi = 6.283185307179586;       // 2π

inline constexpr double one_minus_eps = 0.9999999999999998;     // 1 − 2^−52, the pole tests of Π and K
inline constexpr double rj_bound = 110.67925377307274;          // (ε/5)^(−1/8), RJ duplication stop bound
inline constexpr double agm_tolerance = 5.995204332975846e-16;  // 2.7ε, AGM stop test

}  // namespace lumora
