#include "ld/models/small_source.hpp"

#include <cmath>

#include "ld/models/panels.hpp"
#include "ld/models/small_source_table.hpp"
#include "ld/models/stacked.hpp"

namespace lumora::ld {

namespace {

namespace table = small_source_table;

static_assert(table::orders == 8 && table::levels == 11 && table::cut_error.size() == 5);
static_assert(table::band_exponent == panels::band_exponent && table::panels == panels::count);
static_assert(table::terms % 4 == 0);

constexpr int terms = table::terms;

// The table column of a basis term, or −1.
int column_of(const BasisTerm& term) noexcept {
    switch (term.kind) {
    case Basis::constant:
        return 0;
    case Basis::power:
        if (term.exponent == 0.5) return 1;
        if (term.exponent == 1) return 2;
        if (term.exponent == 1.5) return 3;
        if (term.exponent == 2) return 4;
        return -1;
    case Basis::mu_log_mu:
        return term.exponent == 1 ? 5 : -1;
    }
    return -1;
}

// N_b = ∫₀¹ 2t·φ_b dt: 2/(k + 2) for μ^k, −2/9 for μ·ln μ.
constexpr std::array<double, table::bases> basis_flux = {1.0, 0.8, 2.0 / 3.0, 4.0 / 7.0, 0.5, -2.0 / 9.0};

// The tables' error (cut_error: each G_{k,b} relative to its own size, on
// the first 4, 8, …, 20 Chebyshev terms) times the cancellation
// Σ|w_b·N_b|/N of the profile's terms must stay below this share of the
// tolerance level; the shortest such sum is used, and a profile for which
// even the whole one does not qualify keeps stacked disks.
constexpr double cut_share = 0.05;

using panels::chebyshev;
using panels::dot;
using panels::Place;
using panels::place_of;

const double* series_of(int panel, int k, int column) noexcept {
    return table::coefficients.data() +
           static_cast<std::size_t>(((panel * table::orders + k) * table::bases + column) * terms);
}

}  // namespace

SmallSource plan_small_source(const Profile& profile, double rtol) noexcept {
    SmallSource plan;
    if (profile.law() == Law::tabulated) {
        return plan;
    }
    double spread = 0;
    for (std::size_t j = 0; j < profile.term_count(); ++j) {
        const BasisTerm& term = profile.term(j);
        const int column = column_of(term);
        if (column < 0) {
            return plan;
        }
        plan.column[j] = column;
        plan.weight[j] = term.coefficient / profile.flux();
        spread += std::abs(plan.weight[j] * basis_flux[static_cast<std::size_t>(column)]);
    }
    // The shortest sum whose error, times the terms' cancellation, fits
    // the level (a NaN rtol takes the finest level, as elsewhere).
    const int level = tolerance_level(rtol);
    const double tolerance = std::pow(10.0, -(level + 2));
    for (std::size_t i = 0; i < table::cut_error.size() && plan.terms == 0; ++i) {
        if (spread * table::cut_error[i] <= cut_share * tolerance) {
            plan.terms = 4 * static_cast<int>(i + 1);
        }
    }
    if (plan.terms == 0) {
        return plan;
    }
    plan.count = profile.term_count();
    plan.spread = spread;
    plan.basis_count = profile.basis_count();
    plan.gradient = true;
    for (std::size_t i = 0; i < plan.basis_count; ++i) {
        plan.basis_column[i] = column_of(profile.basis(i));
        plan.gradient = plan.gradient && plan.basis_column[i] >= 0;
        plan.basis_term[i] = -1;
        for (std::size_t j = 0; j < plan.count; ++j) {
            if (plan.column[j] == plan.basis_column[i]) plan.basis_term[i] = static_cast<int>(j);
        }
    }
    plan.epsilon_limit = table::epsilon_limit[static_cast<std::size_t>(level)];
    return plan;
}

int small_source_orders(const SmallSource& plan, double z, double rho) noexcept {
    if (!(z < 2)) {  // z ≥ 2 or NaN: the far series
        return 0;
    }
    const double reach = rho * (z + 1);
    const double epsilon = reach * reach;
    for (int k = 0; k < table::orders; ++k) {
        if (epsilon <= plan.epsilon_limit[static_cast<std::size_t>(k)]) {
            return place_of(z).panel < 0 ? 0 : k + 1;
        }
    }
    return 0;
}

namespace {

// g_k = Σⱼ (wⱼ/N)·G_{k,bⱼ}(z) over the profile's terms at order k, with
// each G_{k,bⱼ} kept in dots[j] (also where wⱼ = 0, for the gradient).
// The value and the gradient both sum through here, in one order: the
// same bits.
double order_sum(const SmallSource& plan, int panel, int k, const double* t, double* dots) noexcept {
    double g = 0;
    for (std::size_t j = 0; j < plan.count; ++j) {
        dots[j] = dot(series_of(panel, k, plan.column[j]), t, plan.terms);
        if (plan.weight[j] != 0) {
            g += plan.weight[j] * dots[j];
        }
    }
    return g;
}

}  // namespace

double small_source_unchecked(const SmallSource& plan, double u, double rho, int orders) noexcept {
    const double z = u / rho;
    const Place place = place_of(z);
    double t[terms];
    chebyshev(place.x, t, plan.terms);
    // Σₖ cₖ·(ρ²)ᵏ·g_k, Horner from the highest order.
    const double rho2 = rho * rho;
    double sum = 0;
    double dots[5];
    for (int k = orders - 1; k >= 0; --k) {
        const double g = order_sum(plan, place.panel, k, t, dots);
        sum = sum * rho2 + table::h_coefficients[static_cast<std::size_t>(k)] * g;
    }
    return sum / rho;
}

SmallSourceParts small_source_parts_unchecked(const SmallSource& plan, double u, double rho, int orders) noexcept {
    const double z = u / rho;
    const Place place = place_of(z);
    const int m = plan.terms;
    double t[terms];
    chebyshev(place.x, t, m);
    // dTₙ/dx = n·U_{n−1}(x), on every term of the tables: a sum cut after
    // m terms errs by ~n² times more in its slope than in its value.
    double dt[terms];
    panels::chebyshev_slopes(place.x, dt, terms);
    // Horner from the highest order in ρ², as the value:
    //   value = Σₖ hₖρ^(2k)·g_k,  slope = Σₖ hₖρ^(2k)·dg_k/dx,
    //   d_rho = Σₖ (2k − 1)·hₖρ^(2k)·g_k,  sums[i] = Σₖ hₖρ^(2k)·G_{k,b(ψᵢ)}.
    const double rho2 = rho * rho;
    double value = 0;
    double slope = 0;
    double d_rho = 0;
    std::array<double, basis_limit> sums{};
    double dots[5];
    for (int k = orders - 1; k >= 0; --k) {
        const double h = table::h_coefficients[static_cast<std::size_t>(k)];
        const double g = order_sum(plan, place.panel, k, t, dots);
        double dg = 0;
        for (std::size_t j = 0; j < plan.count; ++j) {
            dg += plan.weight[j] * dot(series_of(place.panel, k, plan.column[j]), dt, terms);
        }
        value = value * rho2 + h * g;
        slope = slope * rho2 + h * dg;
        d_rho = d_rho * rho2 + (2 * k - 1) * (h * g);
        for (std::size_t i = 0; i < plan.basis_count; ++i) {
            const int j = plan.basis_term[i];
            const double gi = j >= 0 ? dots[j] : dot(series_of(place.panel, k, plan.basis_column[i]), t, m);
            sums[i] = sums[i] * rho2 + h * gi;
        }
    }
    SmallSourceParts parts;
    parts.value = value / rho;
    // z = u/ρ: ∂A/∂u = (∂A/∂z)/ρ and ∂A/∂ρ = d_rho/ρ² − (z/ρ)·∂A/∂z.
    const double d_z = slope * place.scale / rho;
    parts.d_u = d_z / rho;
    parts.d_rho = d_rho / (rho * rho) - z * d_z / rho;
    for (std::size_t i = 0; i < plan.basis_count; ++i) parts.sums[i] = sums[i] / rho;
    return parts;
}

}  // namespace lumora::ld
