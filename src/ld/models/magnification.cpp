#include "ld/models/magnification.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "ld/models/disk.hpp"
#include "ld/models/gauss_table.hpp"
#include "ld/models/nodes_table.hpp"
#include "ld/models/profile.hpp"
#include "ld/models/series_table.hpp"
#include "ld/models/small_source.hpp"
#include "ld/models/stacked.hpp"
#include "numerics/constants.hpp"

namespace lumora::ld {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// t = √(1 − cos(x)^(2p)) from sx = sin x and s = cos x, without
// cancellation at small x.
double radius_of(double sx, double s, double p) noexcept {
    if (p == 1) {
        return sx;
    }
    if (p == 2) {
        return sx * std::sqrt(1 + s * s);  // 1 − s⁴ = (1 − s²)(1 + s²)
    }
    // ln s² from ln(1 − sin²x) near x = 0, where s rounds next to 1.
    const double log_s2 = s < 0.7 ? 2 * std::log(s) : std::log1p(-(sx * sx));
    return std::sqrt(-std::expm1(p * log_s2));
}

// s^e for e ≥ 0.  The exponents p·k − 1 of the weight are whole numbers for
// every law (μ = s^p is chosen so), but p·k may round off one: e within
// 1e-12 of a whole number is taken as it, and up to 4 by repeated products.
double power_of(double s, double e) noexcept {
    if (e == 0) return 1;
    if (e == 1) return s;
    if (e == 2) return s * s;
    if (e == 3) return (s * s) * s;
    if (e == 4) return (s * s) * (s * s);
    const double whole = std::nearbyint(e);
    if (std::abs(e - whole) < 1e-12 && whole >= 0 && whole <= 4) {
        return power_of(s, whole);
    }
    return std::pow(s, e);
}

// The x where t(x) = z < 1: cos x = (1 − z²)^(1/(2p)).
double kink_of(double z, double p) noexcept {
    const double mu = std::sqrt((1 - z) * (1 + z));
    if (p == 1) {
        return std::atan2(z, mu);
    }
    const double s = std::pow(mu, 1 / p);
    const double sin2 = -std::expm1(std::log1p(-(z * z)) / p);  // 1 − s²
    return std::atan2(std::sqrt(sin2), s);
}

// p·s^(p−1)·sin x·dI/dμ at μ = s^p, s = cos x, sx = sin x: the profile's
// weight per dx.
double weight_of(const Profile& profile, double sx, double s) noexcept {
    const double p = profile.power();
    double sum = 0;
    for (std::size_t j = 1; j < profile.term_count(); ++j) {
        const BasisTerm& term = profile.term(j);
        if (term.kind == Basis::power) {
            // d(μ^k)/dμ·dμ/ds = k·p·s^(pk − 1)
            sum += term.coefficient * (term.exponent * p) * power_of(s, p * term.exponent - 1);
        } else if (term.kind == Basis::mu_log_mu) {
            // d(μ ln μ)/dμ·dμ/ds = (p·ln s + 1)·p·s^(p − 1)
            sum += term.coefficient * ((p * std::log(s) + 1) * p * power_of(s, p - 1));
        }
    }
    return sum * sx;
}

// ∫_a^b t²·A_disk(u, ρt)·F(x) dx on n graded nodes; F = the profile's
// weight, or slope·sin x for a tabulated piece (p = 1).
double piece(const Profile& profile, double u, double rho, double a, double b, int n, bool tabulated,
             double slope) noexcept {
    const std::size_t first = static_cast<std::size_t>(n) * static_cast<std::size_t>(n - 1) / 2;
    const double width = b - a;
    // Node k's radius t and its factor w_k·g′·F(x), t²·A_disk aside.
    auto node = [&](int k, double& t) {
        const double w = gauss_nodes[first + static_cast<std::size_t>(k)];
        const double g = w * w * w * (10 + w * (6 * w - 15));
        const double dg = 30 * (w * w) * ((1 - w) * (1 - w));
        const double x = a + width * g;
        const double sx = std::sin(x);
        const double s = std::cos(x);
        t = radius_of(sx, s, profile.power());
        const double f = tabulated ? slope * sx : weight_of(profile, sx, s);
        return std::pair{gauss_weights[first + static_cast<std::size_t>(k)] * dg, f};
    };
    double sum = 0;
    int k = 0;
    // Two nodes per kernel call (disk_magnification_pair_unchecked), the
    // sum taken in node order as one at a time.
    for (; k + 1 < n; k += 2) {
        double t1 = 0;
        double t2 = 0;
        const auto [weight1, f1] = node(k, t1);
        const auto [weight2, f2] = node(k + 1, t2);
        double disk1 = 0;
        double disk2 = 0;
        disk_magnification_pair_unchecked(u, rho * t1, rho * t2, disk1, disk2);
        sum += weight1 * (t1 * t1 * disk1 * f1);
        sum += weight2 * (t2 * t2 * disk2 * f2);
    }
    if (k < n) {
        double t = 0;
        const auto [weight, f] = node(k, t);
        sum += weight * (t * t * disk_magnification_unchecked(u, rho * t) * f);
    }
    return width * sum;
}

}  // namespace

int tolerance_level(double rtol) noexcept {
    if (!(rtol >= smallest_rtol)) {  // smaller, or NaN: the finest level
        return nodes::levels - 1;
    }
    if (!(rtol <= largest_rtol)) {
        return 0;
    }
    int level = static_cast<int>(std::ceil(-std::log10(rtol) - 1e-9)) - 2;
    if (level < 0) level = 0;
    if (level >= nodes::levels) level = nodes::levels - 1;
    return level;
}

NodeCounts node_counts(Law law, int level) noexcept {
    for (const nodes::LawNodes& row : nodes::by_law) {
        if (row.law == law) {
            return {row.inside[level], row.outside[level], nodes::tabulated[level]};
        }
    }
    return {nodes::by_law[0].inside[level], nodes::by_law[0].outside[level], nodes::tabulated[level]};
}

double stacked_disks_unchecked(const Profile& profile, double u, double rho, NodeCounts counts) noexcept {
    const double z = u / rho;
    double j = 0;
    if (profile.law() == Law::tabulated) {
        // Pieces between the kinks and the ring through the lens; the slope
        // is constant on each (zero beyond the end points).
        const auto& kinks = profile.kinks();
        bool z_pending = z > 0 && z < 1;
        const double xz = z_pending ? kink_of(z, 1) : 0;
        double a = 0;
        std::size_t i = 0;
        while (i <= kinks.size()) {
            const double next = i < kinks.size() ? kinks[i] : half_pi;
            double b = next;
            if (z_pending && xz <= next) {
                b = xz;
                z_pending = false;
            } else {
                ++i;
            }
            if (b > a) {
                const double slope = profile.slope(std::cos(0.5 * (a + b)));
                if (slope != 0) {
                    j += piece(profile, u, rho, a, b, counts.tabulated, true, slope);
                }
            }
            a = b;
        }
    } else if (z > 0 && z < 1) {
        const double xz = kink_of(z, profile.power());
        j = piece(profile, u, rho, 0, xz, counts.inside, false, 0) +
            piece(profile, u, rho, xz, half_pi, counts.inside, false, 0);
    } else if (z > 1) {
        // The ring through the lens lies outside the disk, at distance z − 1
        // from the limb: A_disk(u, ρt) varies on that scale near t = 1, which
        // μ = cos(x)^p (p > 1) stretches away from x = π/2.  A split at its
        // mirror image t = 2 − z grades the nodes toward that scale.
        const double mirror = 2 - z;
        if (mirror > 0) {
            const double xf = kink_of(mirror, profile.power());
            j = piece(profile, u, rho, 0, xf, counts.outside, false, 0) +
                piece(profile, u, rho, xf, half_pi, counts.outside, false, 0);
        } else {
            j = piece(profile, u, rho, 0, half_pi, counts.outside, false, 0);
        }
    } else {
        j = piece(profile, u, rho, 0, half_pi, z < 1 ? counts.inside : counts.outside, false, 0);
    }
    return (profile.limb_intensity() * disk_magnification_unchecked(u, rho) + j) / profile.flux();
}

// The far regime: the disk-mean series from z = far_from, with its stop
// test (a term below far_tol·rtol of the sum; the tail beyond is below a
// third of the last term for z ≥ 2).
constexpr double far_from = 2;
constexpr double far_tol = 0.1;

void magnification(const Profile& profile, double rtol, const double* u, const double* rho, double* out,
                   std::size_t n) noexcept {
    const int level = tolerance_level(rtol);
    const NodeCounts counts = node_counts(profile.law(), level);
    const SmallSource small = plan_small_source(profile, rtol);
    for (std::size_t i = 0; i < n; ++i) {
        const double ui = u[i];
        const double ri = rho[i];
        if (!(ui >= 0) || !(ri >= 0)) {  // negative or NaN: NaN
            out[i] = nan;
            continue;
        }
        if (ri == 0) {
            out[i] = point_lens(ui);  // +∞ at u = 0
            continue;
        }
        double a;
        if (profile.uniform()) {
            a = disk_magnification_unchecked(ui, ri);
        } else if (ui / ri >= far_from) {
            a = disk_mean_series(ui, ri, profile.moments(), max_order + 1, far_tol * rtol);
        } else if (const int orders = small_source_orders(small, ui / ri, ri); orders > 0) {
            a = small_source_unchecked(small, ui, ri, orders);
        } else {
            a = stacked_disks_unchecked(profile, ui, ri, counts);
        }
        // A non-negative source is magnified by more than 1 wherever the lens
        // is.  Where the truth lies within rounding of 1 (a large source with
        // the lens outside it: A − 1 ≈ 2/u⁴), a value that rounded below 1 is
        // taken as 1, which is nearer the truth.  NaN compares false and stays.
        out[i] = a < 1 ? 1.0 : a;
    }
}

}  // namespace lumora::ld
