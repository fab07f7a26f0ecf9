#include "ld/models/profile.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
        return mu > 0 ? mu * std::log(mu) : 0.0;  // μ·ln μ → 0 at the limb
    }
    return 0;
}

// ∫₀¹ (1 − v)ⁿ·φ(√v) dv for n = 0 … max_order: the n-th moment of a basis
// term, ∫₀¹ t^(2n)·φ(μ)·2t dt with v = μ².
std::array<double, max_order + 1> basis_moments(const BasisTerm& term) noexcept {
    std::array<double, max_order + 1> out{};
    // B(n + 1, b) = B(n, b)·n/(n + b), B(1, b) = 1/b.
    const double b = term.kind == Basis::constant ? 1.0 : term.kind == Basis::power ? term.exponent / 2 + 1 : 1.5;
    double beta = 1 / b;
    double harmonic = 1 / 1.5;  // Σⱼ₌₀ⁿ 1/(j + 3/2)
    for (std::size_t n = 0; n <= max_order; ++n) {
        if (n > 0) {
            beta = beta * static_cast<double>(n) / (static_cast<double>(n) + b);
            harmonic = harmonic + 1 / (static_cast<double>(n) + 1.5);
        }
        // μ·ln μ = ½·∂/∂k μ^k at k = 1: the derivative of B(n + 1, k/2 + 1)
        // in k is ½·B·(ψ(k/2 + 1) − ψ(n + k/2 + 2)) = −½·B·Σⱼ₌₀ⁿ 1/(j + 3/2).
        out[n] = term.kind == Basis::mu_log_mu ? -0.5 * beta * harmonic : beta;
    }
    return out;
}

// The smallest intensity over μ in [0, 1] and where: a dense grid in μ
// (uniform, and geometric toward the limb, where μ^k and μ·ln μ bend most),
// then a golden-section refinement around the smallest grid value.
std::pair<double, double> smallest_intensity(const Profile& profile) {
    double where = 0;
    double least = profile.intensity(0);
    auto visit = [&](double mu) {
        const double value = profile.intensity(mu);
        if (!(value >= least)) {  // a NaN intensity is kept, so that it is reported
            least = value;
            where = mu;
        }
    };
    for (int i = 1; i <= 4000; ++i) visit(i / 4000.0);
    for (int i = 0; i < 600; ++i) visit(std::pow(10.0, -3.5 - i * (12.0 / 600)));
    double lo = std::max(0.0, where - 1 / 4000.0);
    double hi = std::min(1.0, where + 1 / 4000.0);
    const double golden = 0.6180339887498949;  // (√5 − 1)/2
    for (int i = 0; i < 80 && std::isfinite(least); ++i) {
        const double a = hi - golden * (hi - lo);
        const double b = lo + golden * (hi - lo);
        if (profile.intensity(a) < profile.intensity(b)) {
            hi = b;
        } else {
            lo = a;
        }
        visit(a);
        visit(b);
    }
    return {least, where};
}

// The refusals shared by both constructors, then the moments.
std::expected<Profile, ProfileError> finish(Profile profile, double scale) {
    const auto [least, where] = smallest_intensity(profile);
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
            // μ^α = s^⌈α⌉ with μ = s^p: a polynomial weight at the limb.
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
    return finish(std::move(p), scale);
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
    return finish(std::move(p), largest);
}

}  // namespace lumora::ld
