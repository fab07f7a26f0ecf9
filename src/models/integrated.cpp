#include "models/integrated.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "models/batch.hpp"
#include "models/radial_integral.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "numerics/strict_fp.hpp"
#include "numerics/tanh_sinh.hpp"

namespace lumora {

double linear_limb_darkening(double r) noexcept {
    return 1 + -0.6 * (1 - std::sqrt(1 - r * r));
}

std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return profile_integrated_heyrovsky_magnification(
        std::move(l), [](double r) noexcept { return linear_limb_darkening(r); }, re, rstar,
        linear_limb_darkening_flux);
}

std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    const double rho = rstar / re;
    const bool nan_radii = std::isnan(re) || std::isnan(rstar);
    std::vector<double> result;
    result.reserve(l.size());
    for (const double li : l) {
        const double u = li * rho;
        // The disk kernel returns NaN only when an elliptic integral failed
        // (a separation outside the model): the node still counts as 0 in
        // the quadrature, but the separation's result is NaN.
        bool failed = nan_radii || std::isnan(li);
        // J: magnified flux of the brightness μ = √(1 − r²), relative to πρ²,
        // as the mean over x of s²·W(u, ρs) with s = √(1 − x²).
        // The disks of one level go to the batch kernel together.
        const auto integrand = [&](const double* x, double* y, std::size_t n) noexcept {
            using quadrature::double_exponential::max_batch_size;
            std::array<double, max_batch_size> s;
            std::array<double, max_batch_size> separation;
            std::array<double, max_batch_size> radius;
            std::array<double, max_batch_size> w;
            for (std::size_t i = 0; i < n; ++i) {
                s[i] = std::sqrt(1 - x[i] * x[i]);
                separation[i] = u;
                radius[i] = rho * s[i];
            }
            disk_magnification_lanes(separation.data(), radius.data(), w.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isnan(w[i])) failed = true;
                y[i] = s[i] * s[i] * w[i];
            }
        };
        const double j = quadrature::double_exponential::integrate_batched(integrand, 0.0, 1.0, 1e-16).integral;
        const double a0 = witt_mao_magnification_scaled(u, rho);  // NaN stays NaN
        // I = 0.4 + 0.6·μ; π / (unlensed flux of the law).
        const double value = (0.6 * j + 0.4 * a0) * pi / linear_limb_darkening_flux;
        result.push_back(failed ? std::nan("") : value);
    }
    return result;
}

}  // namespace lumora
