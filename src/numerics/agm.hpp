// The arithmetic–geometric mean step shared by K (DLMF 19.8.1), the
// one-zero forms of RF, RD and RG (Carlson 1995, §2) and their loops.
//
// An AGM loop goes on while |a − g| >= 2.7ε·|a|; a NaN makes that
// comparison false and so ends every AGM loop at its next test.
#pragma once

#include <cmath>

#include "numerics/constants.hpp"

namespace lumora::agm {

inline constexpr double tolerance = agm_tolerance;  // 2.7ε (numerics/constants.hpp)

inline bool continues(double a, double g) noexcept {
    return std::fabs(a - g) >= tolerance * std::fabs(a);
}

// (a, g) <- ((a + g)/2, √(a·g)), both from the old a and g.
inline void step(double& a, double& g) noexcept {
    const double a_next = (a + g) / 2;
    g = std::sqrt(a * g);
    a = a_next;
}

}  // namespace lumora::agm
