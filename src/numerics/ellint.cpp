// Complete elliptic integrals K, E and Π: piecewise Taylor tables, the
// arithmetic-geometric mean, and Carlson's symmetric forms (DLMF §19.25;
// Carlson 1995, Numer. Algorithms 10, 13-26).
#include "numerics/ellint.hpp"

#include <cmath>
#include <limits>

#include "numerics/agm.hpp"
#include "numerics/carlson.hpp"
#include "numerics/constants.hpp"
#include "numerics/strict_fp.hpp"
#include "numerics/ellint_table.hpp"

namespace lumora {
namespace {

constexpr double one_plus_eps = 1.0000000000000002;      // 1 + 2^−52
constexpr double eps = 2.220446049250313e-16;            // 2^−52
constexpr double pi_lower_limit = -1.7976931348623156e306;  // −(largest finite double)/100
constexpr double two_63 = 9223372036854775808.0;         // 2^63, range of long long
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr EllipticError ellipk_m_too_large{"ellipk: m must not be greater than 1."};
constexpr EllipticError ellipk_nan{"ellipk: Arguments cannot be NAN."};
constexpr EllipticError ellipk_unexpected{"ellipk: Unexpected error."};
constexpr EllipticError ellipe_m_too_large{"ellipe: m must not be greater than 1."};
constexpr EllipticError ellipe_nan{"ellipe: Arguments cannot be NAN."};
constexpr EllipticError ellippi_n_is_one{"ellippi: n cannot be 1."};
constexpr EllipticError ellippi_m_too_large{"ellippi: m must not be greater than 1."};
constexpr EllipticError ellippi_nan{"ellippi: Arguments cannot be NAN."};
constexpr EllipticError ellippi_unexpected{"ellippi: Unexpected error."};

// The Taylor polynomial of row `row` at m, by Horner's rule in x = m − m0
// from the highest coefficient down.
double taylor(const ellint_table::TaylorRow& row, double m) noexcept {
    const double x = m - row.centre;
    double sum = row.c[row.terms - 1];
    for (int j = row.terms - 2; j >= 0; --j) {
        sum = sum * x + row.c[j];
    }
    return sum;
}

// Whether t truncates to a long long: −2^63 <= t < 2^63 (false for a NaN).
inline bool truncates(double t) noexcept { return t >= -two_63 && t < two_63; }

}  // namespace

// Lane-wise twin: Kernels::ellipk_ellipe (models/batch_lanes.hpp); change both alike.
EllipticResult ellipk(double m) noexcept {
    const double t = 20 * m;
    if (truncates(t)) {
        const long long i = static_cast<long long>(t);
        if (i >= 0 && i <= 17) {
            // −0.05 < m < 0.9 (truncation toward zero sends −0.05 < m < 0 to index 0).
            return taylor(ellint_table::ellipk_taylor[ellint_table::taylor_row_of_index[i]], m);
        }
        // m <= −0.05 or m >= 0.9.
        if (m >= 1) {
            if (m == 1) {
                return infinity;  // K(1) = +∞ (logarithmic singularity)
            }
            return std::unexpected(ellipk_m_too_large);
        }
        // K(m) = π/(2·AGM(1, √(1 − m))) (DLMF 19.8.5), at most 10 steps with
        // the condition tested before each; over this branch it fails after
        // at most 8.
        double a = 1;
        double g = std::sqrt(1 - m);
        for (int step = 0; step < 10; ++step) {
            if (!agm::continues(a, g)) {
                break;
            }
            agm::step(a, g);
        }
        return pi / (a + g);
    }
    if (std::isnan(m)) {
        return std::unexpected(ellipk_nan);
    }
    if (m == -infinity) {
        return 0.0;  // K(−∞) = 0
    }
    if (m > 1) {
        return std::unexpected(ellipk_m_too_large);
    }
    // A finite m below −2^63/20 = −4.611686018427388e17.
    return std::unexpected(ellipk_unexpected);
}

// Lane-wise twin: Kernels::ellipk_ellipe (models/batch_lanes.hpp); change both alike.
EllipticResult ellipe(double m) noexcept {
    double c;
    double s;
    if (m < 0) {
        if (m == -infinity) {
            return infinity;  // E(−∞) = +∞
        }
        // E(m) = √(1 − m)·E(m/(m − 1)) (DLMF 19.7.5 in the parameter m); maps
        // every negative m into 0 < c <= 1.
        c = m / (m - 1);
        s = std::sqrt(1 - m);
    } else {  // m >= 0, and a NaN m, which fails the test above
        c = m;
        s = 1;
    }
    const double t = 20 * c;
    if (truncates(t)) {
        const long long i = static_cast<long long>(t);
        if (i >= 0 && i <= 17) {
            return s * taylor(ellint_table::ellipe_taylor[ellint_table::taylor_row_of_index[i]], c);
        }
        // i >= 18 (c >= 0.9; c is never negative here).
        if (c == 1) {
            return s;  // E(1) = 1
        }
        if (c > 1) {
            return std::unexpected(ellipe_m_too_large);
        }
        // E(c) = 2·RG(0, 1 − c, 1) by Carlson's one-zero form of RG
        // (DLMF 19.25.1, 19.22.6-19.22.7): AGM of 1 and √(1 − c) with the sum
        // S of the weighted squared differences.  No iteration limit: for
        // 0.9 <= c < 1 it converges in a handful of steps, and a NaN ends it.
        double a = 1;
        double g = std::sqrt(1 - c);
        double w = 0.25;
        double sum = 0;
        while (agm::continues(a, g)) {
            agm::step(a, g);
            w = 2 * w;
            sum = sum + w * ((a - g) * (a - g));
        }
        const double b = 1 + std::sqrt(1 - c);
        const double e = (b * b / 4 - sum) * pi / (a + g);
        return s * e;
    }
    if (std::isnan(m)) {
        return std::unexpected(ellipe_nan);
    }
    // m above 2^63/20.
    return std::unexpected(ellipe_m_too_large);
}

// Lane-wise twin: Kernels::common and Kernels::ellippi (models/batch_lanes.hpp); change both alike.
EllipticResult ellippi(double n, double m) noexcept {
    if (n > one_minus_eps) {  // a NaN n fails this and goes to the general path below
        if (n > 1 && n <= one_plus_eps) {
            // Π(n, m) for n just above 1 is K(m) − E(m)/(1 − m) to double
            // precision; the errors of ellipk and ellipe pass through unchanged.
            const EllipticResult k = ellipk(m);
            const EllipticResult e = ellipe(m);
            if (!k) {
                return k;
            }
            if (!e) {
                return e;
            }
            return *k - *e / (1 - m);
        }
        if (n > one_plus_eps) {
            // Cauchy principal value K(m) − Π(m/n, m) (DLMF 19.6.5), written as
            // −(m/(3n))·RJ(0, 1 − m, 1, 1 − m/n); returned unchecked.
            return (-1.0 / 3 * m / n) * elliprj_unchecked(0, 1 - m, 1, 1 - m / n);
        }
        if (n < 1) {
            return infinity;  // n = 1 − 2^−53
        }
        return std::unexpected(ellippi_n_is_one);
    }

    // n <= 1 − 2^−52, or a NaN n.
    const double rf0 = elliprf_unchecked(0, 1 - m, 1);
    double v;
    if (n <= 0) {
        if (1 - m < eps) {  // a NaN m fails this; ellipk then gives NaN below
            v = -infinity;  // m counts as 1; the classification below turns it into +∞
        } else if (n == 0) {
            v = (m == 0) ? half_pi : ellipk(m).value_or(nan);  // Π(0, m) = K(m)
        } else {
            // n < 0 (DLMF 19.7.10): Π(n, m) = [m·K(m) − n(1 − m)/(1 − n)·Π(N, m)]/(m − n)
            // with N = (m − n)/(1 − n) in (0, 1) and Π(N, m) = RF0 + N·RJ/3.
            const double kv = ellipk(m).value_or(nan);
            const double rjv = elliprj_unchecked(0, 1 - m, 1, (1 - m) / (1 - n));
            const double big_n = (m - n) / (1 - n);
            const double w = -n * (big_n * rjv / 3 + rf0) / (1 - n);
            v = m * kv / (m - n) + (1 - m) * w / (m - n);
        }
    } else if (n != m) {  // 0 < n < 1, n != m; a NaN n compares unequal and lands here
        // Π(n, m) = RF(0, 1 − m, 1) + (n/3)·RJ(0, 1 − m, 1, 1 − n) (DLMF 19.25.2)
        v = rf0 + n * elliprj_unchecked(0, 1 - m, 1, 1 - n) / 3;
    } else {
        // Π(m, m) = E(m)/(1 − m) (DLMF 19.6.1)
        v = (1 / (1 - m)) * ellipe(m).value_or(nan);
    }

    if (std::isfinite(v)) {
        return v;
    }
    if (std::isnan(n) || std::isnan(m)) {
        return std::unexpected(ellippi_nan);
    }
    if (m > one_minus_eps) {
        if (m > 1) {
            return std::unexpected(ellippi_m_too_large);
        }
        return infinity;  // the sign of 1 − n, positive on this path
    }
    if (n < pi_lower_limit || m < pi_lower_limit) {
        return 0.0;
    }
    return std::unexpected(ellippi_unexpected);
}

}  // namespace lumora
