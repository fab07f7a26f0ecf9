// Carlson's symmetric elliptic integrals RF, RD, RJ and RC:
//   RF(x,y,z)   = ½∫₀^∞ [(t+x)(t+y)(t+z)]^(−1/2) dt
//   RD(x,y,z)   = (3/2)∫₀^∞ [(t+x)(t+y)]^(−1/2) (t+z)^(−3/2) dt
//   RJ(x,y,z,p) = (3/2)∫₀^∞ [(t+x)(t+y)(t+z)]^(−1/2) (t+p)^(−1) dt
//   RC(x,y)     = ½∫₀^∞ (t+x)^(−1/2) (t+y)^(−1) dt = RF(x,y,y)
//
// Method: Carlson's duplication algorithms with the fifth-order series,
// B. C. Carlson, "Numerical computation of real or complex elliptic integrals",
// Numer. Algorithms 10 (1995) 13-26, doi:10.1007/BF02198293 (DLMF §19.36(i));
// the one-zero forms of RF and RD by the arithmetic-geometric mean (DLMF 19.22,
// Carlson 1995 §2); RC in closed form (DLMF 19.2.18-19.2.20); principal values
// of RC and RJ by DLMF 19.20.14 and 19.2.20 (Carlson 1995 §2, eqs. 2.21-2.22).
//
// None of these routines checks its arguments; a NaN argument gives NaN.
//
//   routine | domain                         | special values          | otherwise
//   --------+--------------------------------+-------------------------+--------------------------
//   RF      | x, y, z >= 0, at most one zero | RF(x,x,x) = 1/√x        | NaN: negative argument,
//           |                                | RF(0,y,y) = π/(2√y)     |  or 11 duplication steps
//           |                                |                         |  without settling
//   RD      | x, y >= 0, at most one zero;   | RD(x,x,x) = x^(−3/2)    | NaN: negative argument,
//           | z > 0                          | RD(0,y,y) = 3π/(4y√y)   |  or 50 steps
//           |                                | RD(0,0,z) = +∞, z < ∞   |
//   RJ      | x, y, z >= 0, at most one zero;| RJ(x,x,x,x) = x^(−3/2)  | NaN: negative x, y, z,
//           | p > 0, or p < 0 for the        | RJ(x,y,z,z) = RD(x,y,z) |  100 steps, or a principal
//           | Cauchy principal value         | RJ(0,0,z,0) = +∞,       |  value that is undefined
//           |                                |   0 < z < ∞             |
//   RC      | x >= 0, y > 0, or y < 0 for    | RC(x,x) = 1/√x          | NaN
//           | the Cauchy principal value     | RC(0,y) = π/(2√y)       |
#pragma once

namespace lumora {

// RF(x, y, z).  NaN when the duplication does not settle.
double elliprf_unchecked(double x, double y, double z) noexcept;

// RD(x, y, z), symmetric in x and y.  NaN when the duplication does not settle.
double elliprd_unchecked(double x, double y, double z) noexcept;

// RJ(x, y, z, p); the Cauchy principal value for p <= 0.  NaN when the
// duplication does not settle.
double elliprj_unchecked(double x, double y, double z, double p) noexcept;

// RC(x, y); the Cauchy principal value for y < 0.
double elliprc_unchecked(double x, double y) noexcept;

}  // namespace lumora
