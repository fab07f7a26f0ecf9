// Carlson's symmetric elliptic integrals: duplication algorithms after
// Carlson 1995, Numer. Algorithms 10, 13-26 (DLMF §19.36(i)), and the
// arithmetic-geometric mean for the forms with one zero argument (DLMF 19.22).
#include "numerics/carlson.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "numerics/agm.hpp"
#include "numerics/constants.hpp"
#include "numerics/strict_fp.hpp"

namespace lumora {
namespace {

constexpr double three_pi = 9.42477796076938;     // 3π, RD(0, y, y)
constexpr double rf_bound = 78.8959690786408;      // (3ε)^(−1/8), RF duplication stop bound
constexpr double rd_bound = 107.63474115247546;    // (ε/4)^(−1/8), RD duplication stop bound
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The fifth-order series T shared by RD and RJ (Carlson 1995, eq. 2.7 / 2.18).
// Lane-wise twin: Kernels::series_t (models/batch_lanes.hpp); change both alike.
inline double series_t(double e2, double e3, double e4, double e5) noexcept {
    return 1 - 3 * e2 / 14 + e3 / 6 + 9 * (e2 * e2) / 88 - 3 * e4 / 22 - 9 * e2 * e3 / 52 +
           3 * e5 / 26 - (e2 * e2 * e2) / 16 + 3 * (e3 * e3) / 40 + 3 * e2 * e4 / 20 +
           45 * (e2 * e2) * e3 / 272 - 9 * (e3 * e4 + e2 * e5) / 68;
}

// RC(1, 1 + e) computed from e directly (DLMF 19.2.18-19.2.20), for the RJ
// duplication where 1 + e would lose the digits of a small e.
// Lane-wise twin, of e >= 0: inside Kernels::rj (models/batch_lanes.hpp); change both alike.
double rc_one_one_plus(double e) noexcept {
    if (e > 0) {
        const double r = std::sqrt(e);
        return std::atan(r) / r;
    }
    if (e == 0) {
        return 1;  // RC(1, 1) = 1
    }
    if (-0.5 < e && e < 0) {
        const double r = std::sqrt(-e);
        return (std::log1p(r) - std::log1p(-r)) / (2 * r);
    }
    if (e < -1) {
        // Principal value, DLMF 19.2.20.
        return std::sqrt(-1 / e) * elliprc_unchecked(-e, -1 - e);
    }
    // Every other e, a NaN included (it gives NaN here).
    const double r = std::sqrt(-e);
    return std::log((1 + r) / std::sqrt(1 + e)) / r;
}

}  // namespace

double elliprc_unchecked(double x, double y) noexcept {
    double prefix = 1;
    if (y < 0) {
        // Cauchy principal value, DLMF 19.2.20: RC(x, y) = √(x/(x − y))·RC(x − y, −y).
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0) {
        return prefix * half_pi / std::sqrt(y);  // RC(0, y) = π/(2√y)
    }
    if (x == y) {
        return prefix / std::sqrt(x);  // RC(x, x) = 1/√x
    }
    if (y > x) {
        // DLMF 19.2.18
        return prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    }
    if (y < x) {
        // DLMF 19.2.19; for y/x > 1/2 the logarithm is written with log1p so
        // that a small (x − y)/x keeps its digits.
        if (y / x > 0.5) {
            const double a = std::sqrt((x - y) / x);
            return prefix * (std::log1p(a) - std::log1p(-a)) / (2 * std::sqrt(x - y));
        }
        return prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) /
               std::sqrt(x - y);
    }
    return nan;  // only a NaN argument fails every comparison above
}

// Lane-wise twin, of the AGM branch RF(0, y, 1): Kernels::rf0 (models/batch_lanes.hpp); change both alike.
double elliprf_unchecked(double x, double y, double z) noexcept {
    // Two or three equal arguments: RF reduces to RC (DLMF 19.20(i), 19.2.17).
    if (x == y) {
        if (x == z) {
            return 1 / std::sqrt(x);  // RF(x, x, x) = 1/√x
        }
        if (z == 0) {
            return pi / (2 * std::sqrt(x));  // RF(x, x, 0) = π/(2√x)
        }
        return elliprc_unchecked(z, x);
    }
    if (x == z) {
        if (y == 0) {
            return pi / (2 * std::sqrt(x));
        }
        return elliprc_unchecked(y, x);
    }
    if (y == z) {
        if (x == 0) {
            return pi / (2 * std::sqrt(y));
        }
        return elliprc_unchecked(x, y);
    }

    // One zero argument: RF(0, s, t) = π/(2·AGM(√s, √t)) (DLMF 19.22.1).
    if (x == 0 || y == 0 || z == 0) {
        double s;
        double t;
        if (x == 0) {
            s = z;
            t = y;
        } else if (y == 0) {
            s = x;
            t = z;
        } else {
            s = x;
            t = y;
        }
        double a = std::sqrt(s);
        double g = std::sqrt(t);
        // At most 11 steps; the condition is tested before each of them.
        for (int step = 0; step < 11; ++step) {
            if (!agm::continues(a, g)) {
                break;
            }
            agm::step(a, g);
        }
        return pi / (a + g);
    }

    // Duplication (Carlson 1995, Algorithm 1).
    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + z) / 3;
    // std::fmax skips a NaN operand.
    double q = rf_bound * std::fmax(std::fmax(std::fmax(std::fabs(a0), std::fabs(a0 - x)),
                                              std::fabs(a0 - y)),
                                    std::fabs(a0 - z));
    double a = a0;
    double f = 1;
    bool settled = false;
    for (int step = 0; step < 11; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        a = (a + lambda) / 4;
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        q = q / 4;
        f = f * 4;
        if (std::fabs(a) > q) {  // a NaN never settles
            settled = true;
            break;
        }
    }
    if (!settled) {
        return nan;
    }
    const double xx = (a0 - x0) / (f * a);
    const double yy = (a0 - y0) / (f * a);
    const double zz = -xx - yy;
    const double e2 = xx * yy - zz * zz;
    const double e3 = xx * yy * zz;
    return (1 + e3 * (1.0 / 14 + 3 * e3 / 104) +
            e2 * (-1.0 / 10 + e2 / 24 - 3 * e3 / 44 - 5 * (e2 * e2) / 208 + e2 * e3 / 16)) /
           std::sqrt(a);
}

double elliprd_unchecked(double x, double y, double z) noexcept {
    if (x == z) {
        std::swap(x, y);  // RD is symmetric in x and y; move the repeated value next to z
    }
    if (y == z) {
        if (x == y) {
            return 1 / (x * std::sqrt(x));  // RD(x, x, x) = x^(−3/2)
        }
        if (x == 0) {
            return three_pi / (4 * y * std::sqrt(y));  // RD(0, y, y) = 3π/(4y√y)
        }
        // Otherwise the general path: the closed form in RC would cancel.
    }

    // One zero argument (Carlson 1995 §2; DLMF 19.22): AGM of √y and √z
    // with the sum S of the weighted squared differences.
    if (x == 0) {
        const double p0 = std::sqrt(y);
        // RD(0, 0, z) is infinite, and for finite z > 0 the AGM of 0 and √z
        // never meets its stop test (a halves towards 0 while g stays 0).  We
        // return +∞ at once, so that the loop below always starts from two
        // positive values and ends.
        // (A NaN y or z fails this test, and so does z = +∞: the AGM loop then
        // ends after at most one step with NaN.)
        if (p0 == 0 && z >= 0 && z < infinity) {
            return infinity;
        }
        const double q0 = std::sqrt(z);
        double a = p0;
        double g = q0;
        double w = 0.25;
        double s = 0;
        while (agm::continues(a, g)) {  // a NaN ends the loop
            agm::step(a, g);
            w = 2 * w;
            s = s + w * ((a - g) * (a - g));
        }
        return 3 * (pi / (a + g)) *
               ((p0 + 3 * q0) / (4 * z * (p0 + q0)) - s / (z * (y - z)));
    }

    // Duplication (Carlson 1995, Algorithm 4).
    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + 3 * z) / 5;
    // Signed differences; std::fmax skips a NaN operand.
    double q = rd_bound * std::fmax(std::fmax(a0 - x, a0 - y), a0 - z) * 1.2;
    double a = a0;
    double f = 1;
    double s = 0;
    bool settled = false;
    for (int step = 0; step < 50; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        s = s + f / (sz * (z + lambda));
        a = (a + lambda) / 4;
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        f = f / 4;
        q = q / 4;
        if (a > q) {  // a NaN never settles
            settled = true;
            break;
        }
    }
    if (!settled) {
        return nan;
    }
    const double xx = f * (a0 - x0) / a;
    const double yy = f * (a0 - y0) / a;
    const double zz = -(xx + yy) / 3;
    const double e2 = xx * yy - 6 * (zz * zz);
    const double e3 = (3 * xx * yy - 8 * (zz * zz)) * zz;
    const double e4 = 3 * (xx * yy - zz * zz) * (zz * zz);
    const double e5 = xx * yy * (zz * zz * zz);
    return f * std::pow(a, -1.5) * series_t(e2, e3, e4, e5) + 3 * s;
}

// Lane-wise twin, of RJ(0, y, 1, p): Kernels::rj (models/batch_lanes.hpp); change both alike.
double elliprj_unchecked(double x, double y, double z, double p) noexcept {
    if (p <= 0) {  // a NaN p fails this test and goes on to the general path
        // Cauchy principal value, DLMF 19.20.14 (Carlson 1995 eq. 2.22):
        // with x <= y <= z and q = −p,
        //   (z + q)·RJ(x,y,z,−q) = (p′ − z)·RJ(x,y,z,p′) − 3·RF(x,y,z)
        //                          + 3·√(xyz/(xy + p′q))·RC(xy + p′q, p′q).
        if (x > y) {
            std::swap(x, y);
        }
        if (y > z) {
            std::swap(y, z);
        }
        if (x > y) {
            std::swap(x, y);
        }
        // RJ(0, 0, z, 0) is infinite, and for finite z > 0 the relation above
        // maps it to itself (p′ = 0), so it would never end.  We return +∞ at
        // once.  (For z = 0, z = +∞ or a NaN z, p′ is NaN and the reflection
        // ends as NaN.)
        if (x == 0 && y == 0 && p == 0 && z > 0 && z < infinity) {
            return infinity;
        }
        const double q = -p;
        const double p_prime = ((x + y - p) * z - x * y) / (z - p);
        // For non-negative x, y, z, p′ > 0 and the call below takes the
        // p > 0 path.  For some negative arguments (RJ(−1, −1, 0, −1)) p′ is
        // again <= 0: the principal value is not defined there, and a second
        // reflection would recurse without end.  We return NaN, so the
        // recursion is at most one level deep.  (A NaN p′ goes on to the
        // call, where it takes the p > 0 path and gives NaN.)
        if (p_prime <= 0) {
            return nan;
        }
        const double xy = x * y;
        const double pq = p_prime * q;
        return ((p_prime - z) * elliprj_unchecked(x, y, z, p_prime) -
                3 * elliprf_unchecked(x, y, z) +
                3 * std::sqrt(xy * z / (xy + pq)) * elliprc_unchecked(xy + pq, pq)) /
               (z + q);
    }

    // Special cases (DLMF 19.20(iii)).
    if (x == y && y == z) {
        if (x == p) {
            return 1 / (x * std::sqrt(x));  // RJ(x, x, x, x) = x^(−3/2)
        }
        // RJ(x, x, x, p) = 3(RC(x, p) − 1/√x)/(x − p)
        return 3 * (elliprc_unchecked(x, p) - 1 / std::sqrt(x)) / (x - p);
    }
    if (x == y) {
        std::swap(x, z);  // the repeated value now sits in y and z
    }
    if (y == z) {
        if (y == p) {
            return elliprd_unchecked(x, y, y);  // RJ(x, y, y, y) = RD(x, y, y)
        }
        if (std::max(y, p) / std::min(y, p) > 1.2) {
            // RJ(x, y, y, p) = 3(RC(x, y) − RC(x, p))/(p − y); for p close to
            // y this difference cancels, so the duplication takes over.
            return 3 * (elliprc_unchecked(x, y) - elliprc_unchecked(x, p)) / (p - y);
        }
    }
    if (z == p) {
        return elliprd_unchecked(x, y, z);  // RJ(x, y, z, z) = RD(x, y, z)
    }

    // Duplication (Carlson 1995, Algorithm 3, with the RC terms of
    // DLMF 19.36.11 written through e = δ/D²).
    const double x0 = x;
    const double y0 = y;
    const double z0 = z;
    const double a0 = (x + y + z + 2 * p) / 5;
    double delta = (p - x) * (p - y) * (p - z);
    // std::fmax skips a NaN operand.
    const double q = rj_bound * std::fmax(std::fmax(std::fmax(std::fabs(a0 - x), std::fabs(a0 - y)),
                                                    std::fabs(a0 - z)),
                                          std::fabs(a0 - p));
    double a = a0;
    double f = 1;
    double s = 0;
    bool settled = false;
    for (int step = 0; step < 100; ++step) {
        const double rx = std::sqrt(x);
        const double ry = std::sqrt(y);
        const double rz = std::sqrt(z);
        const double rp = std::sqrt(p);
        const double d = (rp + rx) * (rp + ry) * (rp + rz);
        const double e = delta / (d * d);
        if (-1.5 < e && e < -0.5) {
            const double b = 2 * rp * (p + rx * (ry + rz) + ry * rz) / d;
            s = s + (f / d) * elliprc_unchecked(1, b);
        } else {
            s = s + (f / d) * rc_one_one_plus(e);
        }
        const double lambda = rx * ry + rx * rz + ry * rz;
        a = (a + lambda) / 4;
        f = f / 4;
        if (a > q * f) {  // a NaN never settles
            settled = true;
            break;
        }
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        p = (p + lambda) / 4;
        delta = delta / 64;
    }
    if (!settled) {
        return nan;
    }
    const double xx = f * (a0 - x0) / a;
    const double yy = f * (a0 - y0) / a;
    const double zz = f * (a0 - z0) / a;
    const double pp = -(xx + yy + zz) / 2;
    const double e2 = xx * yy + xx * zz + yy * zz - 3 * (pp * pp);
    const double e3 = xx * yy * zz + 2 * e2 * pp + 4 * (pp * pp * pp);
    const double e4 = (2 * xx * yy * zz + e2 * pp + 3 * (pp * pp * pp)) * pp;
    const double e5 = xx * yy * zz * (pp * pp);
    return f * std::pow(a, -1.5) * series_t(e2, e3, e4, e5) + 6 * s;
}

}  // namespace lumora
