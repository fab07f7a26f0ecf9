// Magnification of a limb-darkened source by a point-mass lens: the
// brightness-weighted mean of the point-lens magnification over the disk,
//   A = ∫₀¹ I(r)·2πr·M(l, r) dr / ∫₀¹ I(r)·2πr dr,
// with M the mean magnification of the ring of radius r (Heyrovský 2003,
// ApJ 594, 464) and I the surface brightness at fractional radius r.
//
// Method: tanh-sinh quadrature (Takahasi & Mori 1974, Publ. RIMS Kyoto Univ.
// 9, 721-741) over the source radius, either of ring magnifications (the
// radial integral of radial_integral.hpp) or, for the linear law
// I = 0.4 + 0.6·μ (μ = √(1 − r²)), of uniform-disk magnifications (Witt &
// Mao 1994, ApJ 430, 505) of the disks that make up the μ term.
//
// | input                            | result                                    |
// |----------------------------------|-------------------------------------------|
// | l empty                          | empty, no integration                     |
// | large l                          | tends to 1                                |
// | kernel failure at any node       | NaN for that separation                   |
// | NaN l, re or rstar               | NaN                                       |
// | ring through the lens (+∞)       | the node counts as 0                      |
#pragma once

#include <vector>

namespace lumora {

// Linear limb darkening with coefficient 0.6: I(r) = 1 − 0.6·(1 − √(1 − r²)),
// so I(0) = 1 and I(1) = 0.4.
double linear_limb_darkening(double r) noexcept;

// The literal flux normaliser of linear_limb_darkening (0.8π up to the last
// digits; the literal, not the nearest double to 0.8π, is what divides).
inline constexpr double linear_limb_darkening_flux = 2.5132741228717936;

// Linearly limb-darkened magnification through ring magnifications.
std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar);

// Linearly limb-darkened magnification through uniform-disk magnifications:
// the μ term as a stack of uniform disks of radius ρ·√(1 − x²), x uniform on
// [0, 1], plus the uniform part as one whole-disk magnification.
std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar);

}  // namespace lumora
