#include "models/flux_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
#include "models/radial_integral.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "numerics/interp.hpp"
#include "numerics/tanh_sinh.hpp"
#include "pool/internal_failure.hpp"

namespace lumora {

namespace {

// The radii of a flux map, once the table check (which comes before anything
// else is computed) has found both columns of one length.
std::span<const double> checked_radii(const std::vector<double>& bl, const std::vector<double>& bf) {
    assert_equal(bl.size(), bf.size());
    return bl;
}

// The profile P(r) = interp(bl, bf, r, 0) of a flux map, with its segments
// derived once per call instead of once per sample (the values are those of
// interp()), and its unlensed flux F = ∫₀¹ P(r)·2πr dr.
struct TabulatedProfile {
    TabulatedProfile(const std::vector<double>& bl, const std::vector<double>& bf)
        : table(checked_radii(bl, bf), std::span<const double>(bf)) {
        const auto integrand = [this](double r) noexcept -> double {
            return table(r, 0.0) * (two_pi * r);
        };
        flux = quadrature::double_exponential::integrate(integrand, 0.0, 1.0, 1e-16).integral;
    }

    double operator()(double r) const noexcept { return table(r, 0.0); }

    InterpTable table;
    double flux = 0.0;
};

// The two disks of the thin annulus around radius r (source radii), clipped
// at the centre and at the limb, and their squared radii.
struct Annulus {
    explicit Annulus(double r) noexcept
        : r_minus(std::max(r - 0.0001, 0.0)), r_plus(std::min(r + 0.0001, 1.0)),
          s_minus(r_minus * r_minus), s_plus(r_plus * r_plus) {}

    // At the centre the inner disk is empty and needs no kernel call.
    bool has_inner() const noexcept { return s_minus != 0.0; }

    // The annulus mean from the disk magnifications W (w_minus ignored
    // without an inner disk): W·s is proportional to the magnified flux of
    // the disk of radius ρ·s.
    double mean(double w_minus, double w_plus) const noexcept {
        const double inner = s_minus == 0.0 ? 0.0 : w_minus * s_minus;
        const double outer = w_plus * s_plus;
        return (outer - inner) / (s_plus - s_minus);
    }

    double r_minus, r_plus, s_minus, s_plus;
};

// The disks of one batch of thin annuli, outer disks first, then the inner
// ones that exist: work space of thin_annulus_magnification_batch, set up
// once per call of the model (zeroed there: only the first entries of a
// batch are read, which the compiler cannot see).
struct AnnulusDisks {
    static constexpr std::size_t capacity = 2 * quadrature::double_exponential::max_batch_size;
    std::array<double, capacity> separation;
    std::array<double, capacity> radius;
    std::array<double, capacity> w;
    std::array<std::size_t, capacity / 2> inner_slot;  // index of annulus i's inner disk, if any
};

// out[i] = thin_annulus_magnification(u, rho, r[i], failed) for i < n
// (n ≤ the quadrature's largest batch), with the disks of every annulus
// evaluated in one call of the batch kernel.
void thin_annulus_magnification_batch(double u, double rho, const double* r, double* out, bool& failed,
                                      std::size_t n, AnnulusDisks& space) noexcept {
    auto& [separation, radius, w, inner_slot] = space;
    std::size_t disks = n;
    for (std::size_t i = 0; i < n; ++i) {
        const Annulus annulus(r[i]);
        separation[i] = u;
        radius[i] = rho * annulus.r_plus;
        if (annulus.has_inner()) {
            inner_slot[i] = disks;
            separation[disks] = u;
            radius[disks] = rho * annulus.r_minus;
            ++disks;
        }
    }
    disk_magnification_lanes(separation.data(), radius.data(), w.data(), disks);
    for (std::size_t i = 0; i < n; ++i) {
        const Annulus annulus(r[i]);
        const double w_minus = annulus.has_inner() ? w[inner_slot[i]] : 0.0;
        const double w_plus = w[i];
        // W is NaN only when an elliptic integral failed.
        if (std::isnan(w_minus) || std::isnan(w_plus)) failed = true;
        out[i] = annulus.mean(w_minus, w_plus);
    }
}

}  // namespace

double thin_annulus_magnification(double u, double rho, double r, bool& failed) noexcept {
    const Annulus annulus(r);
    // W is NaN only when an elliptic integral failed.
    const double w_minus = annulus.has_inner() ? witt_mao_magnification_scaled(u, rho * annulus.r_minus) : 0.0;
    const double w_plus = witt_mao_magnification_scaled(u, rho * annulus.r_plus);
    if (std::isnan(w_minus) || std::isnan(w_plus)) failed = true;
    return annulus.mean(w_minus, w_plus);
}

double thin_annulus_magnification(double u, double rho, double r) noexcept {
    bool failed = false;
    return thin_annulus_magnification(u, rho, r, failed);
}

std::expected<std::vector<double>, EllipticError> discrete_flux_map_heyrovsky_magnification(
    std::vector<double> l, std::vector<double> bl, std::vector<double> bf, double re, double rstar) {
    assert_equal(bl.size(), bf.size());
    std::vector<double> result;
    result.reserve(l.size());
    // The rings go to the batch kernel a block at a time; the sum runs in
    // table order, and the first failing ring's error (asked again of the
    // scalar kernel, which the batch kernel reproduces) ends the call.
    constexpr std::size_t block = 64;
    std::array<double, block> ring;
    std::array<bool, block> failed;
    for (const double li : l) {
        double sum = 0.0;
        for (std::size_t start = 0; start < bl.size(); start += block) {
            const std::size_t n = std::min(block, bl.size() - start);
            ring_magnification_lanes(li, bl.data() + start, re, rstar, ring.data(), failed.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                if (failed[i]) {
                    const EllipticResult a = heyrovsky_magnification(li, bl[start + i], re, rstar);
                    if (a) throw InternalFailure("the batch and scalar ring kernels disagree");
                    return std::unexpected(a.error());
                }
                sum = sum + ring[i] * bf[start + i];
            }
        }
        result.push_back(sum);
    }
    return result;
}

std::vector<double> integrated_flux_map_witt_mao_magnification(std::vector<double> l, std::vector<double> bl,
                                                               std::vector<double> bf, double re, double rstar) {
    const TabulatedProfile profile(bl, bf);

    const double rho = rstar / re;
    const bool nan_radii = std::isnan(re) || std::isnan(rstar);
    std::vector<double> result;
    result.reserve(l.size());
    AnnulusDisks space{};
    for (const double li : l) {
        const double u = li * rho;
        // A failed disk kernel (a separation outside the model) makes the
        // separation's result NaN; the quadrature itself counts it as 0.
        bool failed = nan_radii || std::isnan(li);
        const auto integrand = [&](const double* r, double* y, std::size_t n) noexcept {
            std::array<double, quadrature::double_exponential::max_batch_size> annulus;
            thin_annulus_magnification_batch(u, rho, r, annulus.data(), failed, n, space);
            for (std::size_t i = 0; i < n; ++i) y[i] = profile(r[i]) * (two_pi * r[i] * annulus[i]);
        };
        // For 0 < l < 1 the annulus that crosses the lens (r = l) magnifies a
        // narrow peak, a few annulus widths wide, that the nodes of a single
        // interval straddle and miss (2% off for a uniform source at l = 0.5);
        // split at l, the peak sits at the ends of two intervals.
        const double integral = integrate_over_source_radius(integrand, li);
        result.push_back(failed ? std::nan("") : integral / profile.flux);
    }
    return result;
}

std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                                                std::vector<double> bf, double re, double rstar) {
    const TabulatedProfile profile(bl, bf);
    return profile_integrated_heyrovsky_magnification(std::move(l), profile, re, rstar, profile.flux);
}

}  // namespace lumora
