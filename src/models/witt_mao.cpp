#include "models/witt_mao.hpp"

#include <cmath>

#include "numerics/ellint.hpp"

namespace lumora {

double witt_mao_magnification_scaled(double u, double rho) noexcept {
    // Point source (no disk): the point-lens magnification.  A NaN ρ compares
    // false and goes on to the closed form, which turns it into NaN.
    if (rho <= 0.0) {
        return (2 + u * u) / (u * std::sqrt(u * u + 4));
    }

    // Edge of the disk on the lens.  At u = ρ the characteristic n reaches the
    // pole of Π (n = 1) and the closed form cancels badly nearby, so a small
    // window around it returns the limit value at u = ρ (Witt & Mao 1994).
    // std::fmax ignores a NaN product, leaving the width 1e-5; a NaN
    // difference compares false and takes the general branch.
    const double width = std::fmax(0.001 * std::abs(rho), 1e-5);
    if (width > std::abs(u - rho)) {
        // π/2 = 1.5707963267948966, π = 3.141592653589793
        return (((1 + rho * rho) / (rho * rho)) *
                    (std::asin((rho * rho - 1) / (rho * rho + 1)) + 1.5707963267948966) +
                2 / rho) /
               3.141592653589793;
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
    const EllipticResult pi = ellippi(n, m);
    if (!pi) {
        return std::nan("");
    }

    const double c_e = r * (u + rho) / (2 * (rho * rho));
    const double c_k = (u - rho) * ((u * u - rho * rho) / 2 + 4) / (r * (rho * rho));
    const double c_pi =
        2 * ((u - rho) * (u - rho)) * (1 + rho * rho) / (r * (rho * rho) * (u + rho));
    return ((*e * c_e - *kk * c_k) + *pi * c_pi) / 3.141592653589793;  // π
}

std::vector<double> witt_mao_magnification(const std::vector<double>& l, double re, double rstar) {
    const double rho = rstar / re;
    std::vector<double> result;
    result.reserve(l.size());
    for (const double li : l) {
        result.push_back(witt_mao_magnification_scaled(li * rho, rho));
    }
    return result;
}

}  // namespace lumora
