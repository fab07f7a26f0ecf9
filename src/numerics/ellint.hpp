// Complete elliptic integrals in Legendre form, parameter m = k²:
//   K(m)    = ∫₀^{π/2} (1 − m sin²θ)^(−1/2) dθ
//   E(m)    = ∫₀^{π/2} (1 − m sin²θ)^(1/2) dθ
//   Π(n, m) = ∫₀^{π/2} (1 − n sin²θ)^(−1) (1 − m sin²θ)^(−1/2) dθ
//
// Method: for −0.05 < m < 0.9 (K) and 0 <= m < 0.9 (E), Taylor polynomials
// about the centres of intervals of width 0.1 and 0.05 (ellint_table.hpp,
// from the hypergeometric series DLMF 19.5.1-19.5.2); beyond, the
// arithmetic-geometric mean (DLMF 19.8.5) for K, Carlson's one-zero form of
// RG (DLMF 19.25.1, 19.22) for E, and E(m) = √(1 − m)·E(m/(m − 1)) for m < 0
// (DLMF 19.7.5).  Π through Carlson's RF and RJ (DLMF 19.25.2), with
// DLMF 19.6.5 (principal value for n > 1) and 19.7.9-19.7.10 (n < 0):
// B. C. Carlson, Numer. Algorithms 10 (1995) 13-26, doi:10.1007/BF02198293.
//
//   routine   | arguments                   | result
//   ----------+-----------------------------+--------------------------------------------
//   ellipk    | m < 1                       | K(m); ellipk(0) = π/2, ellipk(−∞) = 0
//             | m = 1                       | +∞
//             | m > 1 / NaN                 | "ellipk: m must not be greater than 1." /
//             |                             | "ellipk: Arguments cannot be NAN."
//             | −∞ < m < −4.611686018427388e17 | "ellipk: Unexpected error."
//   ellipe    | m <= 1                      | E(m); ellipe(0) = π/2, ellipe(1) = 1,
//             |                             | ellipe(−∞) = +∞
//             | m > 1 / NaN                 | "ellipe: m must not be greater than 1." /
//             |                             | "ellipe: Arguments cannot be NAN."
//   ellippi   | n < 1, m < 1                | Π(n, m); Π(0, 0) = π/2, Π(n, 1) = +∞ for n <= 0
//             | n = 1 − 2^−53               | +∞
//             | n = 1                       | "ellippi: n cannot be 1."
//             | 1 < n <= 1 + 2^−52          | K(m) − E(m)/(1 − m), or the error of ellipk/ellipe
//             | n > 1 + 2^−52               | principal value K(m) − Π(m/n, m), unchecked
//             | m > 1 / NaN                 | "ellippi: m must not be greater than 1." /
//             |                             | "ellippi: Arguments cannot be NAN."
//             | n or m < −1.7976931348623156e306 | 0 when the candidate is not finite
//             | anything else not finite    | "ellippi: Unexpected error."
#pragma once

#include "numerics/expected.hpp"

namespace lumora {

// K(m), the complete elliptic integral of the first kind.
EllipticResult ellipk(double m) noexcept;

// E(m), the complete elliptic integral of the second kind.
EllipticResult ellipe(double m) noexcept;

// Π(n, m), the complete elliptic integral of the third kind
// (characteristic n; Cauchy principal value for n > 1).
EllipticResult ellippi(double n, double m) noexcept;

}  // namespace lumora
