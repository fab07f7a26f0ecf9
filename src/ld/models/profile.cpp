#include "ld/models/profile.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <utility>

#include "ld/models/gauss_table.hpp"

namespace lumora::ld {

namespace {

struct NamedLaw {
    std::string_view name;
    Law law;
    std::size_t count;
};

constexpr std::array<NamedLaw, 7> named_laws = {{
    {"uniform", Law::uniform, 0},
    {"linear", Law::linear, 1},
    {"quadratic", Law::quadratic, 2},
    {"square_root", Law::square_root, 2},
    {"logarithmic", Law::logarithmic, 2},
    {"power2", Law::power2, 2},
    {"claret4", Law::claret4, 4},
}};

std::string format_mu(double mu) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", mu);
    return text;
}

double basis_value(const BasisTerm& term, double mu) noexcept {
    switch (term.kind) {
    case Basis::constant:
        return 1;
    case Basis::power:
        return std::pow(mu, term.exponent);  // 0^k = 0 for k > 0
    case Basis::mu_log_mu:
        if (term.exponent == 1) {
            return mu > 0 ? mu * std::log(mu) : 0.0;  // μ·ln μ → 0 at the limb
        }
        return mu > 0 ? std::pow(mu, term.exponent) * std::log(mu) : 0.0;
    }
    return 0;
}

// ∫₀¹ (1 − v)ⁿ·φ(√v) dv for n = 0 … max_order: the n-th moment of a basis
// term, ∫₀¹ t^(2n)·φ(μ)·2t dt with v = μ².
std::array<double, max_order + 1> basis_moments(const BasisTerm& term) noexcept {
    std::array<double, max_order + 1> out{};
    // B(n + 1, b) = B(n, b)·n/(n + b), B(1, b) = 1/b.
    const double b = term.kind == Basis::constant ? 1.0 : term.exponent / 2 + 1;
    double beta = 1 / b;
    double harmonic = 1 / b;  // Σⱼ₌₀ⁿ 1/(j + k/2 + 1)
    for (std::size_t n = 0; n <= max_order; ++n) {
        if (n > 0) {
            beta = beta * static_cast<double>(n) / (static_cast<double>(n) + b);
            harmonic = harmonic + 1 / (static_cast<double>(n) + b);
        }
        // μ^k·ln μ = ∂/∂k μ^k: the derivative of B(n + 1, k/2 + 1) in k is
        // ½·B·(ψ(k/2 + 1) − ψ(n + k/2 + 2)) = −½·B·Σⱼ₌₀ⁿ 1/(j + k/2 + 1).
        out[n] = term.kind == Basis::mu_log_mu ? -0.5 * beta * harmonic : beta;
    }
    return out;
}

// Where a law can take its smallest value on μ in [0, 1]: the ends, and
// the zeros of dI/dμ inside (written per law; each law is a low polynomial
// in μ or s = √μ, or has one stationary point).  At most 5 points.
struct Candidates {
    std::array<double, 5> mu{0.0, 1.0};
    std::size_t count = 2;
    void add(double m) noexcept {
        if (m > 0 && m < 1) mu[count++] = m;  // a NaN is not added
    }
};

Candidates stationary_points(Law law, std::span<const double> c) noexcept {
    Candidates out;
    switch (law) {
    case Law::quadratic:  // dI/dμ = a + 2b(1 − μ)
        if (c[1] != 0) out.add(1 + c[0] / (2 * c[1]));
        break;
    case Law::square_root: {  // with μ = s²: dI/ds = 2cs + d
        if (c[0] != 0) {
            const double s = -c[1] / (2 * c[0]);
            if (s > 0 && s < 1) out.add(s * s);
        }
        break;
    }
    case Law::logarithmic:  // dI/dμ = c − d(ln μ + 1)
        if (c[1] != 0 && c[0] / c[1] - 1 < 0) out.add(std::exp(c[0] / c[1] - 1));
        break;
    case Law::claret4: {
        // With μ = s²: dI/ds = a₁ + 2a₂s + 3a₃s² + 4a₄s³, a cubic; its zeros
        // in (0, 1) are bracketed on 64 steps and bisected.
        const auto slope = [&c](double s) { return c[0] + s * (2 * c[1] + s * (3 * c[2] + s * (4 * c[3]))); };
        double s0 = 0;
        double d0 = slope(0);
        for (int i = 1; i <= 64; ++i) {
            const double s1 = i / 64.0;
            const double d1 = slope(s1);
            if ((d0 < 0) != (d1 < 0) && out.count < out.mu.size()) {
                double lo = s0, hi = s1;
                for (int k = 0; k < 60; ++k) {
                    const double mid = 0.5 * (lo + hi);
                    if ((slope(mid) < 0) == (d0 < 0)) lo = mid; else hi = mid;
                }
                const double s = 0.5 * (lo + hi);
                out.add(s * s);
            }
            s0 = s1;
            d0 = d1;
        }
        break;
    }
    default:  // uniform, linear, power2 (monotone in μ^α): the ends
        break;
    }
    return out;
}

// The smallest intensity over the candidate points, and where.
std::pair<double, double> smallest_intensity(const Profile& profile, const Candidates& candidates) {
    double where = candidates.mu[0];
    double least = profile.intensity(where);
    for (std::size_t i = 1; i < candidates.count; ++i) {
        const double value = profile.intensity(candidates.mu[i]);
        if (!(value >= least)) {  // a NaN intensity is kept, so that it is reported
            least = value;
            where = candidates.mu[i];
        }
    }
    return {least, where};
}

// The refusals shared by both constructors, then the moments.
std::expected<Profile, ProfileError> finish(Profile profile, double scale, const Candidates& candidates) {
    const auto [least, where] = smallest_intensity(profile, candidates);
    if (!std::isfinite(least)) {
        return std::unexpected(ProfileError{"the profile is not finite at μ = " + format_mu(where)});
    }
    // A zero limb written as 1 − a − b may round to a few units below zero.
    if (least < -1e-12 * scale) {
        return std::unexpected(ProfileError{"the profile is negative at μ = " + format_mu(where)});
    }
    if (!(profile.flux() > 1e-300)) {
        return std::unexpected(ProfileError{"the profile has no flux"});
    }
    return profile;
}

}  // namespace

// The gradient's basis and Eₖᵢ = ∂cᵢ/∂coefficient_k of each law (the
// profile's terms as make_profile writes them), then the basis functions'
// fluxes and series factors.
void gradient_basis(Profile& p, Law law, std::span<const double> c) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    p.coefficient_count_ = c.size();
    p.basis_count_ = p.term_count_;
    for (std::size_t i = 0; i < p.term_count_; ++i) p.basis_[i] = p.terms_[i];
    auto& e = p.derivative_;
    switch (law) {
    case Law::linear:  // (1 − a) + a·μ
        e[0] = {-1, 1};
        break;
    case Law::quadratic:  // (1 − a − b) + (a + 2b)·μ − b·μ²
        e[0] = {-1, 1, 0};
        e[1] = {-1, 2, -1};
        break;
    case Law::square_root:  // (1 − c − d) + c·μ + d·√μ
        e[0] = {-1, 1, 0};
        e[1] = {-1, 0, 1};
        break;
    case Law::logarithmic:  // (1 − c) + c·μ − d·μ·ln μ
        e[0] = {-1, 1, 0};
        e[1] = {0, 0, -1};
        break;
    case Law::power2:  // (1 − c) + c·μ^α; ∂/∂α = c·μ^α·ln μ
        if (c[1] > 0) {
            p.basis_[0] = BasisTerm{Basis::constant, 0, 1 - c[0]};
            p.basis_[1] = BasisTerm{Basis::power, c[1], c[0]};
            p.basis_[2] = BasisTerm{Basis::mu_log_mu, c[1], 0};
            p.basis_count_ = 3;
            e[0] = {-1, 1, 0};
            e[1] = {0, 0, c[0]};
        } else {
            // α = 0: I = 1 for every c, and ∂I/∂α = c·ln μ, infinite at the
            // limb; α < 0 (only with c = 0): ∂I/∂c = μ^α − 1, likewise.
            e[0] = {c[1] == 0 ? 0.0 : nan};
            e[1] = {c[1] < 0 || c[0] == 0 ? 0.0 : nan};
        }
        break;
    case Law::claret4:  // (1 − Σaₖ) + Σ aₖ·μ^(k/2)
        for (std::size_t k = 0; k < 4; ++k) {
            e[k] = {};
            e[k][0] = -1;
            e[k][k + 1] = 1;
        }
        break;
    case Law::uniform:
    case Law::tabulated:
        break;
    }
    for (std::size_t i = 0; i < p.basis_count_; ++i) {
        const auto m = basis_moments(p.basis_[i]);
        p.basis_flux_[i] = m[0];
        p.basis_factors_[i][0] = 0;
        for (std::size_t n = 1; n <= max_order; ++n) {
            p.basis_factors_[i][n] = (m[n] - p.moments_[n] * m[0]) / p.flux_;
        }
    }
}

std::optional<Law> law_from_name(std::string_view name) noexcept {
    for (const NamedLaw& entry : named_laws) {
        if (entry.name == name) {
            return entry.law;
        }
    }
    return std::nullopt;
}

std::size_t coefficient_count(Law law) noexcept {
    for (const NamedLaw& entry : named_laws) {
        if (entry.law == law) {
            return entry.count;
        }
    }
    return 0;
}

double Profile::intensity(double mu) const noexcept {
    if (law_ == Law::tabulated) {
        if (mu <= mu_.front()) {
            return value_.front();
        }
        if (mu >= mu_.back()) {
            return value_.back();
        }
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(mu_.begin(), mu_.end(), mu) - mu_.begin());
        const double w = (mu - mu_[i - 1]) / (mu_[i] - mu_[i - 1]);
        return value_[i - 1] + w * (value_[i] - value_[i - 1]);
    }
    double sum = 0;
    for (std::size_t j = 0; j < term_count_; ++j) {
        sum += terms_[j].coefficient * basis_value(terms_[j], mu);
    }
    return sum;
}

double Profile::slope(double mu) const noexcept {
    if (law_ != Law::tabulated) {
        return 0;  // only the tabulated profile is asked for its slope
    }
    if (mu <= mu_.front() || mu >= mu_.back()) {
        return 0;
    }
    const std::size_t i = static_cast<std::size_t>(std::upper_bound(mu_.begin(), mu_.end(), mu) - mu_.begin());
    return (value_[i] - value_[i - 1]) / (mu_[i] - mu_[i - 1]);
}

std::expected<Profile, ProfileError> make_profile(Law law, std::span<const double> coefficients) {
    if (law == Law::tabulated || coefficients.size() != coefficient_count(law)) {
        return std::unexpected(ProfileError{"the law takes " + std::to_string(coefficient_count(law)) +
                                            " coefficients, not " + std::to_string(coefficients.size())});
    }
    for (std::size_t i = 0; i < coefficients.size(); ++i) {
        if (!std::isfinite(coefficients[i])) {
            return std::unexpected(ProfileError{"coefficient " + std::to_string(i + 1) + " is not finite"});
        }
    }
    Profile p;
    p.law_ = law;
    const auto& c = coefficients;
    auto add = [&p](Basis kind, double exponent, double coefficient) {
        p.terms_[p.term_count_++] = BasisTerm{kind, exponent, coefficient};
    };
    double scale = 1;
    switch (law) {
    case Law::uniform:
        add(Basis::constant, 0, 1);
        break;
    case Law::linear:  // 1 − a + a·μ
        add(Basis::constant, 0, 1 - c[0]);
        add(Basis::power, 1, c[0]);
        scale += std::abs(c[0]);
        break;
    case Law::quadratic:  // (1 − a − b) + (a + 2b)·μ − b·μ²
        add(Basis::constant, 0, 1 - c[0] - c[1]);
        add(Basis::power, 1, c[0] + 2 * c[1]);
        add(Basis::power, 2, -c[1]);
        scale += std::abs(c[0]) + 2 * std::abs(c[1]);
        p.power_ = 1;
        break;
    case Law::square_root:  // (1 − c − d) + c·μ + d·√μ
        add(Basis::constant, 0, 1 - c[0] - c[1]);
        add(Basis::power, 1, c[0]);
        add(Basis::power, 0.5, c[1]);
        scale += std::abs(c[0]) + std::abs(c[1]);
        p.power_ = 2;
        break;
    case Law::logarithmic:  // (1 − c) + c·μ − d·μ·ln μ
        add(Basis::constant, 0, 1 - c[0]);
        add(Basis::power, 1, c[0]);
        add(Basis::mu_log_mu, 1, -c[1]);
        scale += std::abs(c[0]) + std::abs(c[1]);
        p.power_ = 2;
        break;
    case Law::power2:  // (1 − c) + c·μ^α
        if (c[1] < 0 && c[0] != 0) {
            return std::unexpected(ProfileError{"the power2 exponent α must not be negative"});
        }
        if (c[1] == 0 || c[0] == 0) {
            add(Basis::constant, 0, 1);  // μ⁰ = 1: a uniform source
        } else {
            add(Basis::constant, 0, 1 - c[0]);
            add(Basis::power, c[1], c[0]);
        }
        if (c[1] > 0) {
            // μ^α = s^⌈α⌉ with μ = s^p: a polynomial weight at the limb
            // (also for c = 0, where the gradient's basis needs it).
            p.power_ = std::ceil(c[1]) / c[1];
        }
        scale += std::abs(c[0]);
        break;
    case Law::claret4:  // (1 − Σaₖ) + Σ aₖ·μ^(k/2)
        add(Basis::constant, 0, 1 - c[0] - c[1] - c[2] - c[3]);
        for (std::size_t k = 0; k < 4; ++k) {
            add(Basis::power, 0.5 * static_cast<double>(k + 1), c[k]);
            scale += std::abs(c[k]);
        }
        p.power_ = 2;
        break;
    case Law::tabulated:
        break;
    }
    // Every basis term but the constant vanishes at the limb.
    p.limb_ = p.terms_[0].coefficient;
    p.uniform_ = true;
    for (std::size_t j = 1; j < p.term_count_; ++j) {
        if (p.terms_[j].coefficient != 0) {
            p.uniform_ = false;
        }
    }
    std::array<double, max_order + 1> sum{};
    for (std::size_t j = 0; j < p.term_count_; ++j) {
        const auto m = basis_moments(p.terms_[j]);
        for (std::size_t n = 0; n <= max_order; ++n) sum[n] += p.terms_[j].coefficient * m[n];
    }
    p.flux_ = sum[0];
    for (std::size_t n = 0; n <= max_order; ++n) p.moments_[n] = sum[n] / sum[0];
    gradient_basis(p, law, coefficients);
    return finish(std::move(p), scale, stationary_points(law, coefficients));
}

std::expected<Profile, ProfileError> make_tabulated_profile(std::span<const double> mu,
                                                            std::span<const double> intensity) {
    if (mu.size() != intensity.size()) {
        return std::unexpected(ProfileError{"mu and intensity differ in length (" + std::to_string(mu.size()) +
                                            " and " + std::to_string(intensity.size()) + ")"});
    }
    if (mu.size() < 2) {
        return std::unexpected(ProfileError{"a tabulated profile needs at least 2 points"});
    }
    std::vector<std::size_t> order(mu.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    for (std::size_t i = 0; i < mu.size(); ++i) {
        if (!(mu[i] >= 0 && mu[i] <= 1)) {  // a NaN μ is refused here too
            return std::unexpected(ProfileError{"mu = " + format_mu(mu[i]) + " lies outside [0, 1]"});
        }
        if (!(intensity[i] >= 0) || !std::isfinite(intensity[i])) {
            return std::unexpected(ProfileError{"the profile is negative or not finite at μ = " + format_mu(mu[i])});
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return mu[a] < mu[b]; });
    Profile p;
    p.law_ = Law::tabulated;
    p.uniform_ = true;
    p.power_ = 1;
    double largest = 0;
    for (std::size_t i : order) {
        if (!p.mu_.empty() && mu[i] == p.mu_.back()) {
            return std::unexpected(ProfileError{"mu = " + format_mu(mu[i]) + " is given twice"});
        }
        p.mu_.push_back(mu[i]);
        p.value_.push_back(intensity[i]);
        largest = std::max(largest, intensity[i]);
        if (intensity[i] != intensity[order[0]]) {
            p.uniform_ = false;
        }
    }
    p.limb_ = p.value_.front();
    // Kinks where the slope changes, x = acos(μᵢ) (p = 1), inside (0, π/2).
    for (std::size_t i = 0; i < p.mu_.size(); ++i) {
        if (p.mu_[i] > 0 && p.mu_[i] < 1) {
            p.kinks_.push_back(std::acos(p.mu_[i]));
        }
    }
    std::sort(p.kinks_.begin(), p.kinks_.end());
    // Moments ∫₀¹ (1 − μ²)ⁿ·I(μ)·2μ dμ, a polynomial of degree 2n + 2 on each
    // segment (and on the constant ends): Gauss–Legendre with max_order + 2
    // nodes is exact for every n ≤ max_order.
    std::vector<double> edges{0.0};
    for (double m : p.mu_) {
        if (m > 0 && m < 1) edges.push_back(m);
    }
    edges.push_back(1.0);
    constexpr std::size_t nodes = max_order + 2;
    constexpr std::size_t first = nodes * (nodes - 1) / 2;
    std::array<double, max_order + 1> sum{};
    for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
        const double a = edges[e];
        const double width = edges[e + 1] - a;
        for (std::size_t k = 0; k < nodes; ++k) {
            const double m = a + width * gauss_nodes[first + k];
            const double weight = width * gauss_weights[first + k] * p.intensity(m) * 2 * m;
            const double tt = (1 - m) * (1 + m);
            double power = 1;
            for (std::size_t n = 0; n <= max_order; ++n) {
                sum[n] += weight * power;
                power *= tt;
            }
        }
    }
    p.flux_ = sum[0];
    if (sum[0] > 0) {
        for (std::size_t n = 0; n <= max_order; ++n) p.moments_[n] = sum[n] / sum[0];
    }
    // Linear between the points and constant beyond: the smallest value is
    // at a point, and every point was checked above.
    Candidates ends;
    ends.mu[0] = p.mu_.front();
    ends.mu[1] = p.mu_.back();
    return finish(std::move(p), largest, ends);
}

}  // namespace lumora::ld
