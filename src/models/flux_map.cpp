#include "models/flux_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "models/batch.hpp"
#include "models/heyrovsky.hpp"
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

// The number of entries of x that every point of the open interval (a, b)
// exceeds, when no entry lies inside it: detail::count_below's search with
// "xp > x[i]" replaced by "a >= x[i]", which holds for the same entries (an
// entry ≤ a lies below every such xp, one ≥ b above it, a NaN compares false
// in both), so the search takes the same path for every xp in (a, b).
std::size_t count_not_above(std::span<const double> x, double a) noexcept {
    std::size_t base = 0;
    std::size_t size = x.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        base = a >= x[mid] ? mid : base;
        size -= half;
    }
    return a >= x[base] ? base + 1 : base;
}

// A straight piece of the profile, a < r < b:
//   P(r) = slope·r + intercept,
// with p and q its values at a and b (the table's own entries where an end is
// a radius of the segment, the line's value where the piece is clipped at 0
// or 1).  A dark piece has all four zero.
struct ProfilePiece {
    double a, b;
    double slope, intercept;
    double p, q;

    bool dark() const noexcept { return slope == 0.0 && intercept == 0.0; }
    double operator()(double r) const noexcept { return slope * r + intercept; }
};

// The profile P(r) = interp(bl, bf, r, 0) of a flux map on [0, 1], cut at
// every table radius strictly inside (0, 1) into pieces on each of which it is
// one straight line (bit for bit the value interp gives inside the piece),
// neighbours on the same line merged; and its unlensed flux
//   F = ∫₀¹ P(r)·2πr dr = (π/3)·Σ (b − a)·(p·(2a + b) + q·(a + 2b)),
// exact for each straight piece (a, p) – (b, q).
//
// Between two neighbouring cuts no radius lies inside, so every point of the
// open interval falls in the same segment and passes the same end tests of
// interp (for any table: ascending or not, with repeated, NaN or infinite
// radii); the segment is found once, with the search of count_not_above.
struct PiecewiseProfile {
    PiecewiseProfile(const std::vector<double>& bl, const std::vector<double>& bf) {
        const std::span<const double> x = checked_radii(bl, bf);
        const std::span<const double> y(bf);
        std::vector<double> cuts{0.0, 1.0};
        for (const double r : x) {
            if (0.0 < r && r < 1.0) cuts.push_back(r);  // NaN compares false: no cut
        }
        std::ranges::sort(cuts);
        cuts.erase(std::ranges::unique(cuts).begin(), cuts.end());
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            const ProfilePiece piece = piece_between(x, y, cuts[i], cuts[i + 1]);
            if (!pieces.empty() && pieces.back().slope == piece.slope && pieces.back().intercept == piece.intercept) {
                pieces.back().b = piece.b;  // collinear with its neighbour: one piece
                pieces.back().q = piece.q;
            } else {
                pieces.push_back(piece);
            }
        }
        double sum = 0.0;
        for (const ProfilePiece& piece : pieces) {
            const double a = piece.a;
            const double b = piece.b;
            sum = sum + (b - a) * (piece.p * (a + a + b) + piece.q * (a + b + b));
        }
        flux = pi * sum / 3.0;
    }

    // The line of interp(x, y, r, 0) for a < r < b, no radius inside.
    static ProfilePiece piece_between(std::span<const double> x, std::span<const double> y, double a,
                                      double b) noexcept {
        const std::size_t n = x.size();
        if (n == 0) return ProfilePiece{a, b, 0.0, 0.0, 0.0, 0.0};  // interp: 0.0
        if (n == 1) return ProfilePiece{a, b, 0.0, y[0], y[0], y[0]};  // interp: y[0] everywhere
        // interp's end tests for r in (a, b): r < x[0] and r > x[n−1] give 0.
        if (x[0] >= b || x[n - 1] <= a) return ProfilePiece{a, b, 0.0, 0.0, 0.0, 0.0};
        const std::size_t k = detail::segment_index(count_not_above(x, a), n);
        const detail::Segment line = detail::segment(x, y, k);
        const double p = a == x[k] ? y[k] : line.slope * a + line.intercept;
        const double q = b == x[k + 1] ? y[k + 1] : line.slope * b + line.intercept;
        return ProfilePiece{a, b, line.slope, line.intercept, p, q};
    }

    std::vector<ProfilePiece> pieces;  // ascending, covering [0, 1]
    double flux = 0.0;
};

// The relative targets of the pieces of a cut profile (integrate_profile).
// On a smooth piece the level differences fall from ~3e-6 of the integral
// (third level) to ~3e-14 (fourth), where the rounding of the sums holds
// them; the stop test compares a quarter of the target with them, so the
// rings stop after the fourth level, 49 nodes, where the next levels would
// change nothing but rounding.  A thin annulus is the difference of two
// disks 2e-4 apart, noisy at ~1e-16·r/1e-4 ≈ 1e-12: its pieces need the
// looser target, still 100 times below the annuli's own error outside the
// source.
inline constexpr double rings_relative_target = 1e-12;
inline constexpr double annuli_relative_target = 1e-11;

// The nodes of the first levels of the tanh-sinh rule, the centre and
// levels 0 to 3 (49 nodes): every interval of a cut profile evaluates them
// (the first stop test follows level 2 and a smooth piece's level-2
// difference, ~3e-6, never meets it), so they are evaluated for all
// intervals at once, in batches as large as the kernel takes.
inline constexpr std::size_t first_levels = 4;
inline constexpr std::size_t first_nodes = 1 + 2 * quadrature::double_exponential::detail::level_begin[first_levels];

// One interval of the radial quadrature, part of a bright piece, with its
// first nodes in the order the rule asks for them (the centre, then for each
// level and table pair c·x + d and c·(−x) + d, with c = (b − a)/2 and
// d = (a + b)/2, as integrate_batched forms them) and the integrand there.
struct RadialInterval {
    double a, b;
    const ProfilePiece* piece;
    std::array<double, first_nodes> node;
    std::array<double, first_nodes> value;

    void place_nodes() noexcept {
        using quadrature::double_exponential::detail::nodes;
        const double c = (b - a) * 0.5;
        const double d = (a + b) * 0.5;
        node[0] = c * 0.0 + d;
        for (std::size_t k = 0; 2 * k + 2 < first_nodes; ++k) {
            node[2 * k + 1] = c * nodes[k].abscissa + d;
            node[2 * k + 2] = c * -nodes[k].abscissa + d;
        }
    }
};

// ∫₀¹ P(r)·v(r) dr for the batch kernel part v(r, out, n), which sets
// out[i] = v(r[i]) (the magnified flux 2πr·M of the ring or annulus at
// r[i]; n at most the quadrature's largest batch); the integrand is
// P(r)·v(r) in that order.  Tanh-sinh quadrature (Takahasi & Mori 1974)
// over each bright piece, the piece that holds the lens (0 < l < 1) split
// at r = l, the intervals added in ascending r.  Dark pieces add nothing and
// are not evaluated.  `intervals` is work space.
//
// A kink or step of the profile inside an interval would make the rule
// converge slowly (4-8% off for a step), and its nodes could miss a narrow
// bright segment altogether; on a piece that is one straight line they
// cannot: a line that is not zero vanishes at one point at most, so all but
// one node of a bright piece's first level see its light.  The integrand
// peaks (thin annuli) or is singular (rings) at r = l, where tanh-sinh nodes
// must sit at an interval's end.
//
// Target: a profile that is one straight line on [0, 1] keeps the absolute
// target 1e-16 of the limb-darkened integrals and its intervals' plain
// quadrature.  On a cut profile that target is out of reach of every piece
// (the differences end at ~1e-14 of the piece's integral) and each would
// take all 385 nodes; its intervals stop at relative_target·(b − a)·
// |f((a + b)/2)|, the rule's estimate from its first node, so the
// intervals' errors add up to about relative_target of the integral.  Their
// first nodes are evaluated together beforehand and handed to the rule when
// it asks for them (each batch checked node by node), which gives the same
// sums as evaluating them level by level.
template <class V>
double integrate_profile(const PiecewiseProfile& profile, double l, double relative_target, const V& v,
                         std::vector<RadialInterval>& intervals) noexcept {
    using quadrature::double_exponential::integrate_batched;
    using quadrature::double_exponential::max_batch_size;
    intervals.clear();
    const auto add = [&](double a, double b, const ProfilePiece& piece) {
        intervals.emplace_back();
        intervals.back().a = a;
        intervals.back().b = b;
        intervals.back().piece = &piece;
    };
    for (const ProfilePiece& piece : profile.pieces) {
        if (piece.dark()) continue;
        if (piece.a < l && l < piece.b) {
            add(piece.a, l, piece);
            add(l, piece.b, piece);
        } else {
            add(piece.a, piece.b, piece);
        }
    }
    const bool cut = profile.pieces.size() > 1;
    if (cut) {
        // All first nodes of all intervals, max_batch_size at a time.
        std::array<double, max_batch_size> r;
        std::array<double, max_batch_size> y;
        std::array<double*, max_batch_size> slot;
        std::size_t n = 0;
        const auto flush = [&] {
            v(r.data(), y.data(), n);
            for (std::size_t i = 0; i < n; ++i) *slot[i] = y[i];
            n = 0;
        };
        for (RadialInterval& interval : intervals) {
            interval.place_nodes();
            for (std::size_t j = 0; j < first_nodes; ++j) {
                r[n] = interval.node[j];
                slot[n] = &interval.value[j];
                if (++n == max_batch_size) flush();
            }
        }
        if (n > 0) flush();
        for (RadialInterval& interval : intervals) {
            for (std::size_t j = 0; j < first_nodes; ++j) {
                interval.value[j] = (*interval.piece)(interval.node[j]) * interval.value[j];
            }
        }
    }
    double sum = 0.0;
    for (const RadialInterval& interval : intervals) {
        const ProfilePiece& piece = *interval.piece;
        std::size_t served = cut ? 0 : first_nodes;  // first nodes handed out so far
        const auto f = [&](const double* x, double* out, std::size_t n) noexcept {
            if (served + n <= first_nodes && std::equal(x, x + n, interval.node.begin() + served)) {
                std::copy_n(interval.value.begin() + served, n, out);
                served += n;
                return;
            }
            served = first_nodes;
            v(x, out, n);
            for (std::size_t i = 0; i < n; ++i) out[i] = piece(x[i]) * out[i];
        };
        // A NaN centre value (a failed kernel) makes the target NaN: every level runs.
        const double target =
            cut ? relative_target * ((interval.b - interval.a) * std::abs(interval.value[0])) : 1e-16;
        sum = sum + integrate_batched(f, interval.a, interval.b, target).integral;
    }
    return sum;
}

// The magnification from the integral over the source and the profile's
// flux: NaN for a failed separation, and for a table without positive flux
// (empty, dark, or negative overall), where there is no source to magnify.
double flux_weighted_mean(double integral, double flux, bool failed) noexcept {
    if (failed || !(flux > 0.0)) return std::nan("");  // a NaN flux also takes this branch
    return integral / flux;
}

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
    const PiecewiseProfile profile(bl, bf);

    const double rho = rstar / re;
    const bool nan_radii = std::isnan(re) || std::isnan(rstar);
    std::vector<double> result;
    result.reserve(l.size());
    AnnulusDisks space{};
    std::vector<RadialInterval> intervals;
    for (const double li : l) {
        const double u = li * rho;
        // A failed disk kernel (a separation outside the model) makes the
        // separation's result NaN; the quadrature itself counts it as 0.
        bool failed = nan_radii || std::isnan(li);
        const auto annuli = [&](const double* r, double* y, std::size_t n) noexcept {
            std::array<double, quadrature::double_exponential::max_batch_size> annulus;
            thin_annulus_magnification_batch(u, rho, r, annulus.data(), failed, n, space);
            for (std::size_t i = 0; i < n; ++i) y[i] = two_pi * r[i] * annulus[i];
        };
        // For 0 < l < 1 the annulus that crosses the lens (r = l) magnifies a
        // narrow peak, a few annulus widths wide, that the nodes of a single
        // interval straddle and miss (2% off for a uniform source at l = 0.5);
        // split at l, the peak sits at the ends of two intervals.
        const double integral = integrate_profile(profile, li, annuli_relative_target, annuli, intervals);
        result.push_back(flux_weighted_mean(integral, profile.flux, failed));
    }
    return result;
}

// The ring magnification M(l, r) of Heyrovský (2003) per node, one batch per
// level; the ring through the lens (+∞) counts as 0, a ring-kernel error
// (a separation outside the model) makes the separation's result NaN.
std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                                                std::vector<double> bf, double re, double rstar) {
    const PiecewiseProfile profile(bl, bf);

    const bool nan_radii = std::isnan(re) || std::isnan(rstar);
    std::vector<double> result;
    result.reserve(l.size());
    std::vector<RadialInterval> intervals;
    for (const double li : l) {
        bool failed = nan_radii || std::isnan(li);
        const auto rings = [&](const double* r, double* y, std::size_t n) noexcept {
            std::array<double, quadrature::double_exponential::max_batch_size> ring;
            std::array<bool, quadrature::double_exponential::max_batch_size> ring_failed;
            ring_magnification_lanes(li, r, re, rstar, ring.data(), ring_failed.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                if (ring_failed[i]) failed = true;  // ring[i] is NaN there
                y[i] = two_pi * r[i] * ring[i];
            }
        };
        const double integral = integrate_profile(profile, li, rings_relative_target, rings, intervals);
        result.push_back(flux_weighted_mean(integral, profile.flux, failed));
    }
    return result;
}

}  // namespace lumora
