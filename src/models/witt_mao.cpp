#include "models/witt_mao.hpp"

#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/ellint.hpp"
#include "numerics/strict_fp.hpp"

namespace lumora {

// Lane-wise twin: Kernels::disk_far and Kernels::disk (models/batch_lanes.hpp); change both alike.
double witt_mao_magnification_scaled(double u, double rho) noexcept {
    // Point source (no disk): the point-lens magnification.  A NaN ρ compares
    // false and goes on to the closed form, which turns it into NaN.
    if (rho <= 0.0) {
        return (2 + u * u) / (u * std::sqrt(u * u + 4));
    }

    // Edge of the disk on the lens.  At u = ρ the characteristic n reaches the
    // pole of Π (n = 1) and the closed form cancels badly nearby, so a small
    // window around it returns the limit value at u = ρ (Witt & Mao 1994).
    // The window is relative, 0.001·ρ: an absolute floor would swallow the
    // whole limb of a small source (at ρ = 1e-4 it cost 10-20% there, and a
    // source of ρ < 1e-8 would be all window).  A NaN ρ makes the width NaN
    // and a NaN difference compares false: both take the general branch.
    const double width = 0.001 * std::abs(rho);
    if (width > std::abs(u - rho)) {
        // A(ρ, ρ) = ((1 + ρ²)/ρ²·(asin((ρ² − 1)/(ρ² + 1)) + π/2) + 2/ρ)/π, with
        // asin((ρ² − 1)/(ρ² + 1)) + π/2 = 2·atan(ρ) for ρ > 0 (ρ = tan θ turns
        // the quotient into −cos 2θ).  The asin form cancels for small ρ,
        // where its argument rounds next to −1: 1.3e-1 relative at ρ = 1e-8.
        return (((1 + rho * rho) / (rho * rho)) * (2 * std::atan(rho)) + 2 / rho) / pi;
    }

    // Far from the source the closed form is a small difference of large
    // terms (1e-10 relative at u = 1000ρ, 0.6 at 1e8ρ, then negative).  There
    // the mean of the point lens over the disk is taken from its Taylor
    // expansion: the mean of f over a disk of radius ρ is
    // f + (ρ²/8)·∇²f + O(ρ⁴), and for A(u) = (u² + 2)/(u·√(u² + 4)),
    // ∇²A = 32(u² + 1)/(u³(u² + 4)^(5/2)).  The next term is O((ρ/u)⁴)
    // relative to the first: below 1e-13 beyond u = 1000ρ.  A NaN u compares
    // false and takes the general branch.
    if (u > 1000 * rho) {
        const double uu = u * u;
        const double q = uu + 4;
        const double s = std::sqrt(q);
        return (2 + uu) / (u * s) + ((4 * (rho * rho)) * (uu + 1)) / ((u * uu) * ((q * q) * s));
    }

    // General case (Witt & Mao 1994).
    const double n = 4 * u * rho / ((u + rho) * (u + rho));
    const double r = std::sqrt((u - rho) * (u - rho) + 4);
    const double k = std::sqrt(4 * n) / r;
    const double m = k * k;

    // E, K, Π in this order; the first error ends the evaluation as NaN.
    const EllipticResult e = ellipe(m);
    if (!e) {
        return std::nan("");
    }
    const EllipticResult kk = ellipk(m);
    if (!kk) {
        return std::nan("");
    }
    const EllipticResult p = ellippi(n, m);
    if (!p) {
        return std::nan("");
    }

    const double c_e = r * (u + rho) / (2 * (rho * rho));
    const double c_k = (u - rho) * ((u * u - rho * rho) / 2 + 4) / (r * (rho * rho));
    const double c_pi =
        2 * ((u - rho) * (u - rho)) * (1 + rho * rho) / (r * (rho * rho) * (u + rho));
    return ((*e * c_e - *kk * c_k) + *p * c_pi) / pi;
}

}  // namespace lumora
