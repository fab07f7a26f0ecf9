#include "ld/models/mid_source.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ld/models/mid_source_table.hpp"
#include "ld/models/panels.hpp"
#include "ld/models/stacked.hpp"

namespace lumora::ld {

namespace {

namespace table = mid_source_table;

static_assert(table::z_panels == panels::count && table::cut_error.size() == 4 && table::terms == 16);

constexpr int terms = table::terms;

// The table's error bound, times the profile's cancellation, must stay
// below this share of the tolerance level (as for the small-source tables).
constexpr double cut_share = 0.05;

// The cuts (m_z/4 − 1, m_ρ/4 − 1) in the order of their cost m_z·m_ρ.
constexpr std::array<std::array<int, 2>, 10> cuts = {
    {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 3}, {3, 2}, {3, 3}}};

// The octave [2^e, 2^(e+1)) of ρ and y = 2ρ/2^e − 3 there (exact), or index
// −1 for ρ outside [2^lowest_octave, 2^(lowest_octave + octaves)) or NaN.
struct Octave {
    int index;
    double y;
    double scale;  // dy/dρ = 2^(1−e)
};

Octave octave_of(double rho) noexcept {
    const int e = static_cast<int>((std::bit_cast<std::uint64_t>(rho) >> 52) & 0x7ff) - 1023;
    const int index = e - table::lowest_octave;
    if (!(rho > 0) || index < 0 || index >= table::octaves) {
        return {-1, 0, 0};
    }
    const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 + 1 - e) << 52);
    return {index, scale * rho - 3, scale};
}

const double* cell_of(int panel, int octave, int column) noexcept {
    return table::coefficients.data() +
           static_cast<std::size_t>(((panel * table::octaves + octave) * table::bases + column) * terms * terms);
}

// Σᵢ tz[i]·Σⱼ c[i][j]·tr[j] on the first mz × mr terms, the inner sums kept
// in rows[i] (the gradient's slope in z reuses them).
double column_sum(const double* cell, const double* tz, const double* tr, int mz, int mr, double* rows) noexcept {
    for (int i = 0; i < mz; ++i) rows[i] = panels::dot(cell + i * terms, tr, mr);
    return panels::dot(rows, tz, mz);
}

// The Chebyshev terms of both variables at a place.
struct Point {
    double tz[terms];
    double tr[terms];
};

Point point_of(const MidSource& plan, const MidPlace& place) noexcept {
    Point p;
    panels::chebyshev(place.x, p.tz, plan.z_terms);
    panels::chebyshev(place.y, p.tr, plan.rho_terms);
    return p;
}

// Σⱼ (wⱼ/N)·P_{bⱼ} over the profile's terms, each P in p_of[j]; the value
// and the gradient both sum through here, in one order: the same bits.
double weighted_sum(const SmallSource& columns, const MidSource& plan, const MidPlace& place, const Point& p,
                    double* p_of, double (*rows)[terms]) noexcept {
    double s = 0;
    for (std::size_t j = 0; j < columns.count; ++j) {
        p_of[j] = column_sum(cell_of(place.panel, place.octave, columns.column[j]), p.tz, p.tr, plan.z_terms,
                             plan.rho_terms, rows[j]);
        if (columns.weight[j] != 0) {
            s += columns.weight[j] * p_of[j];
        }
    }
    return s;
}

}  // namespace

MidSource plan_mid_source(const SmallSource& columns, double rtol) noexcept {
    MidSource plan;
    if (columns.count == 0) {
        return plan;
    }
    const double tolerance = std::pow(10.0, -(tolerance_level(rtol) + 2));
    for (const auto& [iz, ir] : cuts) {
        const double bound = table::cut_error[static_cast<std::size_t>(iz)][static_cast<std::size_t>(ir)];
        if (columns.spread * bound <= cut_share * tolerance) {
            plan.z_terms = 4 * (iz + 1);
            plan.rho_terms = 4 * (ir + 1);
            break;
        }
    }
    return plan;
}

MidPlace mid_source_place(const MidSource& plan, double z, double rho) noexcept {
    if (plan.z_terms == 0 || !(z < 2)) {
        return {};
    }
    const panels::Place zp = panels::place_of(z);
    const Octave octave = octave_of(rho);
    if (zp.panel < 0 || octave.index < 0) {
        return {};
    }
    return {zp.panel, octave.index, zp.x, zp.scale, octave.y, octave.scale};
}

double mid_source_unchecked(const SmallSource& columns, const MidSource& plan, const MidPlace& place,
                            double rho) noexcept {
    const Point p = point_of(plan, place);
    double p_of[5];
    double rows[5][terms];
    return weighted_sum(columns, plan, place, p, p_of, rows) / rho;
}

SmallSourceParts mid_source_parts_unchecked(const SmallSource& columns, const MidSource& plan,
                                            const MidPlace& place, double z, double rho) noexcept {
    const Point p = point_of(plan, place);
    const int mz = plan.z_terms;
    const int mr = plan.rho_terms;
    double p_of[5];
    double rows[5][terms];
    const double s = weighted_sum(columns, plan, place, p, p_of, rows);
    // Slopes of the same cut series: ∂P/∂x = Σᵢ T′ᵢ(x)·rowᵢ and
    // ∂P/∂y = Σᵢ Tᵢ(x)·Σⱼ cᵢⱼ·T′ⱼ(y).
    double dtz[terms];
    double dtr[terms];
    panels::chebyshev_slopes(place.x, dtz, mz);
    panels::chebyshev_slopes(place.y, dtr, mr);
    double s_x = 0;
    double s_y = 0;
    for (std::size_t j = 0; j < columns.count; ++j) {
        if (columns.weight[j] == 0) continue;
        const double* cell = cell_of(place.panel, place.octave, columns.column[j]);
        double slope_rows[terms];
        for (int i = 0; i < mz; ++i) slope_rows[i] = panels::dot(cell + i * terms, dtr, mr);
        s_x += columns.weight[j] * panels::dot(rows[j], dtz, mz);
        s_y += columns.weight[j] * panels::dot(slope_rows, p.tz, mz);
    }
    // A = S(z, ρ)/ρ with z = u/ρ: ∂A/∂u = S_z/ρ², ∂A/∂ρ = (S_ρ − (S + z·S_z)/ρ)/ρ.
    const double s_z = s_x * place.x_scale;
    const double s_rho = s_y * place.y_scale;
    SmallSourceParts parts;
    parts.value = s / rho;
    parts.d_u = s_z / (rho * rho);
    parts.d_rho = (s_rho - (s + z * s_z) / rho) / rho;
    for (std::size_t i = 0; i < columns.basis_count; ++i) {
        const int j = columns.basis_term[i];
        double scratch[terms];
        const double sum =
            j >= 0 ? p_of[j]
                   : column_sum(cell_of(place.panel, place.octave, columns.basis_column[i]), p.tz, p.tr, mz, mr,
                                scratch);
        parts.sums[i] = sum / rho;
    }
    return parts;
}

}  // namespace lumora::ld
