// Magnification of a limb-darkened source by a point-mass lens: the
// brightness-weighted mean of the point-lens magnification over the disk,
//   A = ∫₀¹ I(r)·2πr·M(l, r) dr / ∫₀¹ I(r)·2πr dr,
// with M the mean magnification of the ring of radius r (Heyrovský 2003,
// ApJ 594, 464) and I the surface brightness at fractional radius r.
//
// Method: tanh-sinh quadrature (Takahasi & Mori 1974, Publ. RIMS Kyoto Univ.
// 9, 721-741) over the source radius, either of ring magnifications weighted
// by any profile, or, for the linear law I = 0.4 + 0.6·μ (μ = √(1 − r²)),
// of uniform-disk magnifications (Witt & Mao 1994, ApJ 430, 505) of the
// disks that make up the μ term.
//
// | input                            | result                                    |
// |----------------------------------|-------------------------------------------|
// | l empty                          | empty, no integration                     |
// | large l                          | tends to 1                                |
// | kernel failure at any node       | NaN for that separation                   |
// | NaN l, re or rstar               | NaN                                       |
// | ring through the lens (+∞)       | the node counts as 0                      |
#pragma once

#include <cmath>
#include <vector>

#include "models/heyrovsky.hpp"
#include "numerics/tanh_sinh.hpp"

namespace lumora {

// Linear limb darkening with coefficient 0.6: I(r) = 1 − 0.6·(1 − √(1 − r²)),
// so I(0) = 1 and I(1) = 0.4.
double linear_limb_darkening(double r) noexcept;

// The literal flux normaliser of linear_limb_darkening (0.8π up to the last
// digits; the literal, not the nearest double to 0.8π, is what divides).
inline constexpr double linear_limb_darkening_flux = 2.5132741228717936;

// Brightness-weighted ring magnification of the source, one result per
// entry of l (source radii), divided by norm, the unlensed flux of profile.
//
// ∫₀¹ f(r) dr over the radius of the source, by tanh-sinh quadrature at the
// target 1e-16.  When the lens lies inside the source (0 < l < 1, in source
// radii) the integrand peaks or is singular at r = l, and tanh-sinh nodes
// cluster only at the ends of an interval: the radius is split there and the
// integrals over [0, l] and [l, 1] are added in that order.
template <class F>
double integrate_over_source_radius(const F& f, double l) noexcept {
    using quadrature::double_exponential::integrate;
    if (0.0 < l && l < 1.0) {
        const double inner = integrate(f, 0.0, l, 1e-16).integral;
        const double outer = integrate(f, l, 1.0, 1e-16).integral;
        return inner + outer;
    }
    return integrate(f, 0.0, 1.0, 1e-16).integral;
}

// The integrand is the profile times the magnified flux of the ring at r,
//   v(r) = I(r)·(2πr·M(l, r)),
// one ring-kernel call per node.  A ring magnification must not be put
// through the whole-disk rule π·d(r²A)/dr: that rule turns the magnification
// of a disk of radius r into the mean over its edge, and applied to a ring
// magnification it gives the magnification of the limb ring instead of the
// mean over the source (off by +1.5% at l = 2 and −33% at l = 0.5 for the
// linear law).  For 0 < l < 1 the ring through the lens, r = l, is a
// logarithmic singularity inside [0, 1]; tanh-sinh quadrature copes with
// singularities only at the ends of its interval, so the radius is split
// there and the two integrals over [0, l] and [l, 1] are added in that order.
//
// A ring-kernel error at a node means the separation itself is outside the
// model (a NaN or negative l, a NaN re or rstar): every node is still
// evaluated (the quadrature counts the failed one as 0), but the result for
// that separation is NaN, not the integral of what remained.  An infinite
// ring value (the ring through the lens) is a value and counts as 0.
template <class Profile>
std::vector<double> _integrated_heyrovsky_magnification(std::vector<double> l, const Profile& profile,
                                                        double re, double rstar, double norm) {
    std::vector<double> result;
    result.reserve(l.size());
    const bool nan_radii = std::isnan(re) || std::isnan(rstar);
    for (const double li : l) {
        bool failed = nan_radii || std::isnan(li);
        const auto integrand = [&](double r) noexcept -> double {
            const EllipticResult a = heyrovsky_magnification(li, r, re, rstar);
            if (!a) failed = true;
            const double ring = a ? *a : std::nan("");
            return profile(r) * (6.283185307179586 * r * ring);  // 2π
        };
        const double integral = integrate_over_source_radius(integrand, li);
        result.push_back(failed ? std::nan("") : integral / norm);
    }
    return result;
}

// Linearly limb-darkened magnification through ring magnifications.
std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar);

// Linearly limb-darkened magnification through uniform-disk magnifications:
// the μ term as a stack of uniform disks of radius ρ·√(1 − x²), x uniform on
// [0, 1], plus the uniform part as one whole-disk magnification.
std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar);

}  // namespace lumora
