#include "ld/models/magnification.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "ld/models/disk.hpp"
#include "ld/models/gauss_table.hpp"
#include "ld/models/mid_source.hpp"
#include "ld/models/nodes_table.hpp"
#include "ld/models/profile.hpp"
#include "ld/models/series_table.hpp"
#include "ld/models/small_source.hpp"
#include "ld/models/stacked.hpp"
#include "numerics/constants.hpp"

namespace lumora::ld {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The derivatives of one value: ∂A/∂u, ∂A/∂ρ and, per basis function ψᵢ of
// the profile's gradient, ∂A/∂cᵢ (cᵢ the coefficient of ψᵢ in I).
struct ValueGradient {
    double du = 0;
    double drho = 0;
    std::array<double, basis_limit> basis{};
};

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

// p·s^(p−1)·sin x·dψ/dμ for one unit basis function ψ of the gradient
// (the terms of weight_of with coefficient 1, and μ^k·ln μ for any k).
double basis_weight(const BasisTerm& term, double p, double sx, double s) noexcept {
    if (term.kind == Basis::power) {
        return (term.exponent * p) * power_of(s, p * term.exponent - 1) * sx;
    }
    if (term.kind == Basis::mu_log_mu) {
        // d(μ^k ln μ)/dμ·dμ/ds = (kp·ln s + 1)·p·s^(pk − 1)
        const double kp = term.exponent * p;
        return (kp * std::log(s) + 1) * p * power_of(s, kp - 1) * sx;
    }
    return 0;
}

// The derivatives a piece adds beside its value: ∫ t²·∂_u A_disk·F dx,
// ∫ t³·∂_R A_disk·F dx (∂/∂ρ of A_disk(u, ρt)) and per basis function
// ∫ t²·(A_disk − 1)·Fᵢ dx.
struct PieceGradient {
    double du = 0;
    double drho = 0;
    std::array<double, basis_limit> basis{};
    // The piece that ends at the limb (x = π/2): its width L and the rule's
    // ∫ ln(π/2 − x) dx, for the limb's logarithm of μ^k·ln μ with kp = 1.
    double limb_width = 0;
    double limb_log = 0;
};

// Above ρ = peak_from the derivatives of stacked disks split also at
// t = z ± peak_scales/ρ (stacked_disks).
constexpr double peak_from = 2;
// The peak's tails fall like |t − z|⁻³: cuts at geometric distances.
constexpr std::array<double, 3> peak_scales = {3, 30, 300};

// The logarithm of the slopes at the ring through the lens (0 < z < 1):
// near R = u, ∂A_disk/∂u = (2/(πu²))·ln|u − R| + O(1) and ∂A_disk/∂R =
// −(u/R) times that + O(1) (the ₂F₁ of disk.cpp near w = 1, DLMF 15.4.21),
// so near x_z, where t(x_z) = z, the integrands of PieceGradient carry
// σ·ln|x − x_z| with σ_u = (2/(πρ²))·F(x_z), σ_ρ = −z·σ_u.  On the two
// pieces that end at x_z the rule integrates the remainder (of the value's
// own (x − x_z)·ln|x − x_z| kind) and the logarithm is added in closed
// form, ∫ ln|x − x_z| dx = L·ln L − L over a piece of width L (singularity
// subtraction; Davis & Rabinowitz 1984, §2.12.7).  At the nodes
// |x − x_z| = L·g(w) or L·g(1 − w), whose logarithms are tabulated once.
struct Singularity {
    double x = 0;     // x_z
    double du = 0;    // σ_u
    double drho = 0;  // σ_ρ
};

// ln g(w) and ln g(1 − w) of every Gauss node w of gauss_table.hpp, with
// g(w) = w³(10 − 15w + 6w²) the grading, computed on first use.
struct GradedLogs {
    std::array<double, gauss_nodes.size()> start;
    std::array<double, gauss_nodes.size()> end;
};

const GradedLogs& graded_logs() noexcept {
    static const GradedLogs logs = [] {
        GradedLogs out{};
        for (std::size_t i = 0; i < gauss_nodes.size(); ++i) {
            const double w = gauss_nodes[i];
            const double v = 1 - w;
            out.start[i] = std::log(w * w * w * (10 + w * (6 * w - 15)));
            out.end[i] = std::log(v * v * v * (10 + v * (6 * v - 15)));
        }
        return out;
    }();
    return logs;
}

// ∫_a^b t²·A_disk(u, ρt)·F(x) dx on n graded nodes; F = the profile's
// weight, or slope·sin x for a tabulated piece (p = 1).  With Gradient,
// the same nodes also give the integrals of PieceGradient, added to *g.
template <bool Gradient>
double piece(const Profile& profile, double u, double rho, double a, double b, int n, bool tabulated, double slope,
             PieceGradient* g, const Singularity* log = nullptr) noexcept;

// The value's pieces: with the gradient into *g, or without when g is null.
double value_piece(const Profile& profile, double u, double rho, double a, double b, int n, bool tabulated,
                   double slope, PieceGradient* g, const Singularity* log = nullptr) noexcept {
    return g != nullptr ? piece<true>(profile, u, rho, a, b, n, tabulated, slope, g, log)
                        : piece<false>(profile, u, rho, a, b, n, tabulated, slope, nullptr, nullptr);
}

template <bool Gradient>
double piece(const Profile& profile, double u, double rho, double a, double b, int n, bool tabulated, double slope,
             PieceGradient* g, const Singularity* log) noexcept {
    const std::size_t first = static_cast<std::size_t>(n) * static_cast<std::size_t>(n - 1) / 2;
    const double width = b - a;
    [[maybe_unused]] PieceGradient local;
    // The logarithm of |x − x_z| at node k of a piece that ends at x_z, of
    // π/2 − x of a piece that ends at the limb.
    [[maybe_unused]] const GradedLogs* logs = nullptr;
    [[maybe_unused]] const Singularity* singular = nullptr;
    [[maybe_unused]] const double log_width = Gradient ? std::log(width) : 0.0;
    // A tabulated piece that does not end at x_z may still end next to it
    // (x_z next to one of the profile's kinks): it subtracts the same
    // logarithm, at its nodes' own |x − x_z|.
    [[maybe_unused]] const Singularity* near = nullptr;
    [[maybe_unused]] double node_x = 0;
    if constexpr (Gradient) {
        logs = &graded_logs();
        if (log != nullptr && (b == log->x || a == log->x)) {
            singular = log;
        } else if (log != nullptr && tabulated) {
            near = log;
        }
    }
    // Node k's radius t and its factor w_k·g′·F(x), t²·A_disk aside
    // (sin x and cos x go to sx and s, for the gradient's basis).
    auto node = [&](int k, double& t, double& sx, double& s) {
        const std::size_t i = first + static_cast<std::size_t>(k);
        const double w = gauss_nodes[i];
        const double g = w * w * w * (10 + w * (6 * w - 15));
        const double dg = 30 * (w * w) * ((1 - w) * (1 - w));
        const double x = a + width * g;
        if constexpr (Gradient) {
            node_x = x;
        }
        sx = std::sin(x);
        s = std::cos(x);
        t = radius_of(sx, s, profile.power());
        const double f = tabulated ? slope * sx : weight_of(profile, sx, s);
        return std::pair{gauss_weights[i] * dg, f};
    };
    [[maybe_unused]] auto add = [&](int k, double x, double weight, double t, double disk, const DiskSlopes& slopes,
                                    double f, double sx, double s) {
        const std::size_t i = first + static_cast<std::size_t>(k);
        if (!std::isfinite(slopes.du)) {
            // A node on the ring through the lens itself: only in a piece
            // narrower than rounding (x_z an ulp from a tabulated kink),
            // whose share of the integral is below rounding too.
            return;
        }
        double du = t * t * slopes.du * f;
        double drho = t * t * t * slopes.dr * f;
        if (near != nullptr) {
            const double ln = slope * std::log(std::abs(x - near->x));
            du -= near->du * ln;
            drho -= near->drho * ln;
        }
        if (singular != nullptr) {
            const double graded = b == singular->x ? logs->end[i] : logs->start[i];
            const double ln = (tabulated ? slope : 1.0) * (log_width + graded);
            du -= singular->du * ln;
            drho -= singular->drho * ln;
        }
        local.du += weight * du;
        local.drho += weight * drho;
        if (b == half_pi) {
            local.limb_log += weight * (log_width + logs->end[i]);  // ln(π/2 − x)
        }
        if (!tabulated) {
            const double excess = t * t * (disk - 1);
            for (std::size_t j = 1; j < profile.basis_count(); ++j) {
                local.basis[j] += weight * (excess * basis_weight(profile.basis(j), profile.power(), sx, s));
            }
        }
    };
    double sum = 0;
    int k = 0;
    // Two nodes per kernel call (disk_magnification_pair_unchecked), the
    // sum taken in node order as one at a time.
    for (; k + 1 < n; k += 2) {
        double t1 = 0;
        double t2 = 0;
        double sx1 = 0, s1 = 0, sx2 = 0, s2 = 0;
        const auto [weight1, f1] = node(k, t1, sx1, s1);
        [[maybe_unused]] const double x1 = node_x;
        const auto [weight2, f2] = node(k + 1, t2, sx2, s2);
        [[maybe_unused]] const double x2 = node_x;
        double disk1 = 0;
        double disk2 = 0;
        [[maybe_unused]] DiskSlopes slopes1{};
        [[maybe_unused]] DiskSlopes slopes2{};
        if constexpr (Gradient) {
            // Each disk with its slopes: the same bits.
            disk_magnification_pair_and_slopes_unchecked(u, rho * t1, rho * t2, disk1, disk2, slopes1, slopes2);
        } else {
            disk_magnification_pair_unchecked(u, rho * t1, rho * t2, disk1, disk2);
        }
        sum += weight1 * (t1 * t1 * disk1 * f1);
        sum += weight2 * (t2 * t2 * disk2 * f2);
        if constexpr (Gradient) {
            add(k, x1, weight1, t1, disk1, slopes1, f1, sx1, s1);
            add(k + 1, x2, weight2, t2, disk2, slopes2, f2, sx2, s2);
        }
    }
    if (k < n) {
        double t = 0;
        double sx = 0, s = 0;
        const auto [weight, f] = node(k, t, sx, s);
        [[maybe_unused]] DiskSlopes slopes{};
        const double disk = Gradient ? disk_magnification_and_slopes_unchecked(u, rho * t, slopes)
                                     : disk_magnification_unchecked(u, rho * t);
        sum += weight * (t * t * disk * f);
        if constexpr (Gradient) {
            add(k, node_x, weight, t, disk, slopes, f, sx, s);
        }
    }
    if constexpr (Gradient) {
        g->du += width * local.du;
        g->drho += width * local.drho;
        if (singular != nullptr) {
            const double integral = (tabulated ? slope : 1.0) * (width * log_width - width);  // ∫ ln|x − x_z| dx
            g->du += singular->du * integral;
            g->drho += singular->drho * integral;
        }
        if (near != nullptr) {
            // ∫_a^b ln|x − x_z| dx = [(x − x_z)·ln|x − x_z| − x]_a^b
            const double da = a - near->x;
            const double db = b - near->x;
            const double integral = slope * (db * std::log(std::abs(db)) - da * std::log(std::abs(da)) - width);
            g->du += near->du * integral;
            g->drho += near->drho * integral;
        }
        for (std::size_t i = 1; i < profile.basis_count(); ++i) g->basis[i] += width * local.basis[i];
        if (b == half_pi) {
            g->limb_width = width;
            g->limb_log = width * local.limb_log;
        }
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

namespace {

// A(u, ρ) by stacked disks and, with Gradient, its derivatives into *out.
template <bool Gradient>
double stacked_disks(const Profile& profile, double u, double rho, NodeCounts counts, ValueGradient* out) noexcept {
    [[maybe_unused]] PieceGradient sums;
    const double z = u / rho;
    // A large source (or a tabulated one just outside the limb) takes the
    // derivatives on pieces of their own (below); its value pass computes
    // none.
    const bool tabulated = profile.law() == Law::tabulated;
    const bool peaked = rho > peak_from && z < 1 + peak_scales.back() / rho;
    const bool own_pieces = Gradient && (peaked || (tabulated && z > 1 && z < 2));
    PieceGradient* g = Gradient && !own_pieces ? &sums : nullptr;
    // The tabulated pieces and the two of z < 1 below split at x_z = kink_of(z, p),
    // the same value as here.
    [[maybe_unused]] Singularity singularity;
    const Singularity* log = nullptr;
    if constexpr (Gradient) {
        if (z > 0 && z < 1) {
            const bool tabulated = profile.law() == Law::tabulated;
            const double p = tabulated ? 1.0 : profile.power();
            const double xz = kink_of(z, p);
            const double sx = std::sin(xz);
            const double s = std::cos(xz);
            // A tabulated piece's F is slope·sin x: per unit slope here, times
            // each piece's own slope there.
            const double f = tabulated ? sx : weight_of(profile, sx, s);
            singularity = Singularity{xz, 2 / (pi * rho * rho) * f, 0};
            singularity.drho = -z * singularity.du;
            log = &singularity;
        }
    }
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
                    j += value_piece(profile, u, rho, a, b, counts.tabulated, true, slope, g, log);
                }
            }
            a = b;
        }
    } else if (z > 0 && z < 1) {
        const double xz = kink_of(z, profile.power());
        j = value_piece(profile, u, rho, 0, xz, counts.inside, false, 0, g, log) +
            value_piece(profile, u, rho, xz, half_pi, counts.inside, false, 0, g, log);
    } else if (z > 1) {
        // The ring through the lens lies outside the disk, at distance z − 1
        // from the limb: A_disk(u, ρt) varies on that scale near t = 1, which
        // μ = cos(x)^p (p > 1) stretches away from x = π/2.  A split at its
        // mirror image t = 2 − z grades the nodes toward that scale.
        const double mirror = 2 - z;
        if (mirror > 0) {
            const double xf = kink_of(mirror, profile.power());
            j = value_piece(profile, u, rho, 0, xf, counts.outside, false, 0, g) +
                value_piece(profile, u, rho, xf, half_pi, counts.outside, false, 0, g);
        } else {
            j = value_piece(profile, u, rho, 0, half_pi, counts.outside, false, 0, g);
        }
    } else {
        j = value_piece(profile, u, rho, 0, half_pi, z < 1 ? counts.inside : counts.outside, false, 0, g);
    }
    if constexpr (Gradient) {
        if (own_pieces) {
            // A large source: A_disk(u, ρt) − 1 ≈ (2/(ρt)²)·[t > z] steps
            // up over |t − z| ~ 1/ρ (the Einstein ring on the source's
            // scale), and its slopes peak there, narrower than the value's
            // nodes resolve.  The derivatives are taken on pieces of their
            // own, split also at z ± 3/ρ, 30/ρ, 300/ρ (the value keeps its
            // nodes), and for 1 < z < 2 at the mirror t = 2 − z, which the
            // value of a tabulated profile does without: the slopes grow
            // like ln|t − z| toward a limb just inside the lens.
            sums = PieceGradient{};
            std::array<double, 2 * peak_scales.size() + 1> cuts{};
            std::size_t count = 0;
            const double p = tabulated ? 1.0 : profile.power();
            if (z > 0 && z < 1) cuts[count++] = kink_of(z, p);
            if (z > 1 && z < 2) cuts[count++] = kink_of(2 - z, p);
            for (const double scale : peaked ? peak_scales : std::array<double, peak_scales.size()>{}) {
                for (const double t : {z - scale / rho, z + scale / rho}) {
                    if (scale > 0 && t > 0 && t < 1) cuts[count++] = kink_of(t, p);
                }
            }
            // Pieces between 0, the cuts and a tabulated profile's kinks
            // (both sorted, merged here without allocating) and π/2.
            for (std::size_t m = 1; m < count; ++m) {  // insertion sort of at most 7
                for (std::size_t n = m; n > 0 && cuts[n] < cuts[n - 1]; --n) std::swap(cuts[n], cuts[n - 1]);
            }
            const std::vector<double>& kinks = profile.kinks();
            std::size_t i = 0;
            std::size_t k = 0;
            double a = 0;
            while (a < half_pi) {
                double b = half_pi;
                if (i < count && (k >= kinks.size() || cuts[i] <= kinks[k])) {
                    b = cuts[i++];
                } else if (k < kinks.size()) {
                    b = kinks[k++];
                }
                if (b > a) {
                    if (tabulated) {
                        const double slope = profile.slope(std::cos(0.5 * (a + b)));
                        if (slope != 0) piece<true>(profile, u, rho, a, b, counts.tabulated, true, slope, &sums, log);
                    } else {
                        piece<true>(profile, u, rho, a, b, z < 1 ? counts.inside : counts.outside, false, 0, &sums,
                                    log);
                    }
                    a = b;
                }
            }
        }
    }
    [[maybe_unused]] DiskSlopes edge{};
    const double disk =
        Gradient ? disk_magnification_and_slopes_unchecked(u, rho, edge) : disk_magnification_unchecked(u, rho);
    const double a = (profile.limb_intensity() * disk + j) / profile.flux();
    if constexpr (Gradient) {
        // The limb term I(0)·A_disk(u, ρ) adds I(0) times the disk's slopes
        // (infinite with the lens on the limb; nothing for a dark limb).
        const double limb = profile.limb_intensity();
        const double n = profile.flux();
        out->du = ((limb == 0 ? 0.0 : limb * edge.du) + sums.du) / n;
        out->drho = ((limb == 0 ? 0.0 : limb * edge.dr) + sums.drho) / n;
        // Num(ψᵢ) − N(ψᵢ) = ψᵢ(0)·(A_disk(u, ρ) − 1) + ∫ t²·(A_disk − 1)·Fᵢ dx
        // (the same integral with A_disk − 1 in place of A_disk: the rule
        // integrates the smooth t²·Fᵢ alone to rounding), so that
        // Num(ψᵢ) − A·N(ψᵢ) is formed from A − 1, without cancellation for a
        // large source, where A − 1 ≪ 1.
        std::array<double, basis_limit> excess{};
        double mean = 0;  // (A − 1) from the same sums
        for (std::size_t i = 0; i < profile.basis_count(); ++i) {
            excess[i] = i == 0 ? disk - 1 : sums.basis[i];
            const BasisTerm& term = profile.basis(i);
            // kp is 1 to rounding for power2's α ≤ 1 (p = 1/α), as in power_of.
            if (term.kind == Basis::mu_log_mu && std::abs(term.exponent * profile.power() - 1) < 1e-12 &&
                sums.limb_width > 0) {
                // The weight of μ^k·ln μ with kp = 1 is (ln s + 1)·p·sin x:
                // ln s = ln(π/2 − x) + smooth at the limb, where the rest of
                // the integrand is (A_disk(u, ρ) − 1)·p.  Its logarithm is
                // taken in closed form, ∫ ln(π/2 − x) dx = L·ln L − L over
                // the last piece, in place of the rule's.
                const double width = sums.limb_width;
                excess[i] += (disk - 1) * profile.power() * (width * std::log(width) - width - sums.limb_log);
            }
            mean += profile.basis(i).coefficient * excess[i];
        }
        mean = mean / n;
        for (std::size_t i = 0; i < profile.basis_count(); ++i) {
            out->basis[i] = (excess[i] - mean * profile.basis_flux(i)) / n;
        }
    }
    return a;
}

}  // namespace

double stacked_disks_unchecked(const Profile& profile, double u, double rho, NodeCounts counts) noexcept {
    return stacked_disks<false>(profile, u, rho, counts, nullptr);
}

// The far regime: the disk-mean series from z = far_from, with its stop
// test (a term below far_tol·rtol of the sum; the tail beyond is below a
// third of the last term for z ≥ 2).
constexpr double far_from = 2;
constexpr double far_tol = 0.1;

namespace {

// The far regime with its gradient (the series term by term).
double far_gradient(const Profile& profile, double u, double rho, double rtol, ValueGradient& out) noexcept {
    SeriesGradient series;
    series.basis_count = profile.basis_count();
    for (std::size_t i = 0; i < series.basis_count; ++i) series.basis_factors[i] = profile.basis_factors(i);
    const double a = disk_mean_series_gradient(u, rho, profile.moments(), max_order + 1, far_tol * rtol, series);
    out.du = series.du;
    out.drho = series.drho;
    for (std::size_t i = 0; i < series.basis_count; ++i) out.basis[i] = series.sums[i];
    return a;
}

// A value of a tabulated regime (the small-source expansion, the magnified
// fluxes of a source of moderate size) and, with Gradient, its derivatives
// from the same tables; where a basis function has no table column
// (power2's μ^α·ln μ), the derivatives by stacked disks, the value kept.
template <bool Gradient, class Value, class Parts>
double from_tables(const Profile& profile, const SmallSource& small, NodeCounts counts, double u, double rho,
                   ValueGradient* out, Value value, Parts parts) noexcept {
    if constexpr (Gradient) {
        if (small.gradient) {
            const SmallSourceParts p = parts();
            out->du = p.d_u;
            out->drho = p.d_rho;
            for (std::size_t i = 0; i < profile.basis_count(); ++i) {
                out->basis[i] = (p.sums[i] - p.value * profile.basis_flux(i)) / profile.flux();
            }
            return p.value;
        }
        stacked_disks<true>(profile, u, rho, counts, out);
    }
    return value();
}

// The one place that picks the method for a value: the uniform disk, the
// disk-mean series far from the source, the small-source expansion near a
// small one, the tabulated magnified fluxes near one of moderate size,
// stacked disks otherwise.  With
// Gradient, the same method also gives the derivatives into *out (the
// value's bits do not depend on Gradient).
template <bool Gradient>
double value_of(const Profile& profile, double rtol, NodeCounts counts, const SmallSource& small,
                const MidSource& mid, double u, double rho, ValueGradient* out) noexcept {
    if (!(u >= 0) || !(rho >= 0)) {  // negative or NaN: NaN
        if constexpr (Gradient) {
            out->du = nan;
            out->drho = nan;
            out->basis.fill(nan);
        }
        return nan;
    }
    if (rho == 0) {
        if constexpr (Gradient) {
            out->du = point_lens_slope(u);  // A = A₀ + O(ρ²), whatever the profile
            out->drho = 0;
            out->basis.fill(0);
        }
        return point_lens(u);  // +∞ at u = 0
    }
    double a;
    if (profile.uniform()) {
        [[maybe_unused]] DiskSlopes slopes{};
        a = Gradient ? disk_magnification_and_slopes_unchecked(u, rho, slopes) : disk_magnification_unchecked(u, rho);
        if constexpr (Gradient) {
            out->basis.fill(0);
            if (profile.coefficient_count() > 0) {
                // A law whose coefficients make it uniform here still has
                // derivatives in them: the basis sums by the method the
                // law would take, the value and slopes from the disk.
                if (u / rho >= far_from) {
                    far_gradient(profile, u, rho, rtol, *out);
                } else {
                    stacked_disks<true>(profile, u, rho, counts, out);
                }
            }
            out->du = slopes.du;
            out->drho = slopes.dr;
        }
    } else if (u / rho >= far_from) {
        if constexpr (Gradient) {
            a = far_gradient(profile, u, rho, rtol, *out);
        } else {
            a = disk_mean_series(u, rho, profile.moments(), max_order + 1, far_tol * rtol);
        }
    } else if (const int orders = small_source_orders(small, u / rho, rho); orders > 0) {
        a = from_tables<Gradient>(
            profile, small, counts, u, rho, out, [&] { return small_source_unchecked(small, u, rho, orders); },
            [&] { return small_source_parts_unchecked(small, u, rho, orders); });
    } else if (const MidPlace place = mid_source_place(mid, u / rho, rho); place.panel >= 0) {
        a = from_tables<Gradient>(
            profile, small, counts, u, rho, out, [&] { return mid_source_unchecked(small, mid, place, rho); },
            [&] { return mid_source_parts_unchecked(small, mid, place, u / rho, rho); });
    } else {
        a = stacked_disks<Gradient>(profile, u, rho, counts, out);
    }
    // A non-negative source is magnified by more than 1 wherever the lens
    // is.  Where the truth lies within rounding of 1 (a large source with
    // the lens outside it: A − 1 ≈ 2/u⁴), a value that rounded below 1 is
    // taken as 1, which is nearer the truth.  NaN compares false and stays.
    return a < 1 ? 1.0 : a;
}

}  // namespace

void magnification(const Profile& profile, double rtol, const double* u, const double* rho, double* out,
                   std::size_t n) noexcept {
    const NodeCounts counts = node_counts(profile.law(), tolerance_level(rtol));
    const SmallSource small = plan_small_source(profile, rtol);
    const MidSource mid = plan_mid_source(small, rtol);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = value_of<false>(profile, rtol, counts, small, mid, u[i], rho[i], nullptr);
    }
}

void magnification_and_gradient(const Profile& profile, double rtol, const double* u, const double* rho,
                                 GradientOutput out, std::size_t n) noexcept {
    const NodeCounts counts = node_counts(profile.law(), tolerance_level(rtol));
    const SmallSource small = plan_small_source(profile, rtol);
    const MidSource mid = plan_mid_source(small, rtol);
    const std::size_t coefficients = profile.coefficient_count();
    for (std::size_t i = 0; i < n; ++i) {
        ValueGradient g;
        out.a[i] = value_of<true>(profile, rtol, counts, small, mid, u[i], rho[i], &g);
        out.du[i] = g.du;
        out.drho[i] = g.drho;
        for (std::size_t k = 0; k < coefficients; ++k) {
            double sum = 0;
            for (std::size_t j = 0; j < profile.basis_count(); ++j) {
                const double e = profile.derivative(k, j);
                if (e != 0) {  // 0·∞ (the limb) would be NaN
                    sum += e * g.basis[j];
                }
            }
            out.dcoefficients[k * out.stride + i] = sum;
        }
    }
}

}  // namespace lumora::ld
