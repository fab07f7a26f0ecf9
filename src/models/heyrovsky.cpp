#include "models/heyrovsky.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/ellint.hpp"
#include "numerics/strict_fp.hpp"

namespace lumora {

// Lane-wise twin: Kernels::ring_near and Kernels::ring (models/batch_lanes.hpp); change both alike.
EllipticResult heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    const double c = re / rstar;
    const double h = c * c;
    const double d = r - l;  // ring radius minus lens distance, signed

    // Lens at the centre of the ring: every point of the ring is at distance
    // r, so the mean is the point-lens magnification there, exactly (r = 0
    // gives +∞).  The general branch would reach it with m = n = 0, and the
    // near-ring expansion below divides by l.
    if (l == 0) {
        return (r * r + 2 * h) / (r * std::sqrt(r * r + 4 * h));
    }

    // Ring through the lens: K diverges logarithmically as m → 1, so the
    // closed form is replaced by its expansion to first order in D about
    // r = l (Heyrovský 2003).  The expansion is in D/l, so for a lens near
    // the centre (l < 1) the band shrinks with l; for l ≥ 1 it is |D| < 1e-5.
    // The test is on the unscaled radii; a NaN D, a NaN l and a negative l
    // compare false and take the general branch, where ellipk rejects them.
    if (std::abs(d) < 1e-5 * std::min(1.0, l)) {
        const double q = l * l + h;
        // D = 0 makes the logarithm +∞: the ring through the lens is a value.
        return ((2 * c / l) * (1 - d / (2 * l)) * std::log(8 * c * l / (std::sqrt(q) * std::abs(d))) +
                4 * std::atan(l / c) + d * c * (2 * (l * l) + h) / (q * (l * l))) /
               two_pi;
    }

    // General branch, symmetric in l and r.
    const double s = l + r;
    const double big_l = 4 * h + d * d;
    const double k = std::sqrt(l * r / big_l) * (4 * c / s);
    const double m = k * k;
    const double n = 4 * l * r / (s * s);

    // K before Π: the first error is the one reported.
    const EllipticResult kk = ellipk(m);
    if (!kk) {
        return kk;
    }
    const EllipticResult p = ellippi(n, m);
    if (!p) {
        return p;
    }
    return (2 * h * *kk + d * d * *p) * (4 / (s * std::sqrt(big_l))) / two_pi;
}

}  // namespace lumora
