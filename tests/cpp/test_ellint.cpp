// Complete elliptic integrals K(m), E(m), Π(n, m) in the parameter
// convention m = k²: special values, messages, thresholds, the Taylor table,
// agreement with mpmath and the Legendre relation.
#include "numerics/ellint.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "numerics/constants.hpp"
#include "test_support.hpp"

namespace {

using lumora::EllipticResult;
using lumora::ellipe;
using lumora::ellipk;
using lumora::ellippi;

using test_support::inf;
using test_support::nan;
using test_support::read_vectors;
using test_support::relative_error;
using test_support::ulps;
using test_support::Vector;

using lumora::half_pi;

double value_of(const EllipticResult& r) { return r ? *r : nan; }

std::string message_of(const EllipticResult& r) { return r ? std::string("(value)") : r.error().message; }

enum class Fn { k, e, pi };

struct Call {
    Fn fn;
    double n;  // ignored by K and E
    double m;
};

EllipticResult call(const Call& c) {
    switch (c.fn) {
        case Fn::k:
            return ellipk(c.m);
        case Fn::e:
            return ellipe(c.m);
        case Fn::pi:
            return ellippi(c.n, c.m);
    }
    return std::unexpected(lumora::EllipticError{"bad call"});
}

std::string describe(const Call& c) {
    std::ostringstream out;
    out.precision(17);
    if (c.fn == Fn::pi) {
        out << "ellippi(" << c.n << ", " << c.m << ")";
    } else {
        out << (c.fn == Fn::k ? "ellipk(" : "ellipe(") << c.m << ")";
    }
    return out.str();
}

// ---------------------------------------------------------------------------
// Special values, compared with ==.  Provenance: the documented values of the
// routines (π/2 at 0, 2·E(0.75) for E(−3), infinities at the domain edges) and
// the tabulated Taylor centre values K(m0), E(m0) (mpmath, 256 bits).
struct ValueCase {
    Call call;
    double expected;
};

const ValueCase special_values[] = {
    {{Fn::k, 0, 0.0}, 1.5707963267948966},
    {{Fn::e, 0, 0.0}, 1.5707963267948966},
    {{Fn::e, 0, -3.0}, 2.422112055136919},  // c = 0.75, s = 2
    {{Fn::k, 0, 1.0}, inf},
    {{Fn::e, 0, 1.0}, 1.0},
    {{Fn::k, 0, -inf}, 0.0},
    {{Fn::e, 0, -inf}, inf},
    {{Fn::pi, 0.0, 0.0}, half_pi},
    {{Fn::pi, -0.5, 1.0}, inf},
    {{Fn::pi, 0.9999999999999999, 0.5}, inf},
    {{Fn::pi, 0.9999999999999999, -7.0}, inf},
    {{Fn::pi, 0.9999999999999999, nan}, inf},
    {{Fn::e, 0, -1e20}, 1e10},       // c = m/(m − 1) rounds to 1: E = √(1 − m)
    {{Fn::k, 0, -0.0}, half_pi},
    {{Fn::e, 0, -0.0}, half_pi},
    {{Fn::pi, -inf, 0.5}, 0.0},      // candidate NaN, n below −1.7976931348623156e306
    {{Fn::pi, 0.5, -1e307}, 0.0},    // candidate NaN, m below −1.7976931348623156e306
    // K(m0) and E(m0) at the ten Taylor centres: x = m − m0 = 0 returns c0.
    {{Fn::k, 0, 0.05}, 1.5910034537907922},
    {{Fn::k, 0, 0.15}, 1.63525673226458},
    {{Fn::k, 0, 0.25}, 1.685750354812596},
    {{Fn::k, 0, 0.35}, 1.7443505972256133},
    {{Fn::k, 0, 0.45}, 1.8138839368169826},
    {{Fn::k, 0, 0.55}, 1.8989249102715535},
    {{Fn::k, 0, 0.65}, 2.0075983984243764},
    {{Fn::k, 0, 0.75}, 2.1565156474996434},
    {{Fn::k, 0, 0.825}, 2.3181226217125106},
    {{Fn::k, 0, 0.875}, 2.473596173751344},
    {{Fn::e, 0, 0.05}, 1.5509733517804722},
    {{Fn::e, 0, 0.15}, 1.5101218320928198},
    {{Fn::e, 0, 0.25}, 1.4674622093394272},
    {{Fn::e, 0, 0.35}, 1.4226911334908792},
    {{Fn::e, 0, 0.45}, 1.3754019718711163},
    {{Fn::e, 0, 0.55}, 1.3250244979582302},
    {{Fn::e, 0, 0.65}, 1.2707074796501499},
    {{Fn::e, 0, 0.75}, 1.2110560275684594},
    {{Fn::e, 0, 0.825}, 1.1613071521962828},
    {{Fn::e, 0, 0.875}, 1.1246173251197522},
};

TEST(Ellint, SpecialValues) {
    for (const ValueCase& c : special_values) {
        SCOPED_TRACE(describe(c.call));
        const EllipticResult r = call(c.call);
        ASSERT_TRUE(r) << message_of(r);
        EXPECT_EQ(*r, c.expected);
    }
}

// ---------------------------------------------------------------------------
// Error messages, exact texts.
struct MessageCase {
    Call call;
    const char* message;
};

const MessageCase messages[] = {
    {{Fn::k, 0, 1.0000000000000002}, "ellipk: m must not be greater than 1."},
    {{Fn::k, 0, inf}, "ellipk: m must not be greater than 1."},          // 20m out of range
    {{Fn::k, 0, 1e300}, "ellipk: m must not be greater than 1."},        // 20m out of range
    {{Fn::k, 0, nan}, "ellipk: Arguments cannot be NAN."},
    {{Fn::k, 0, -1e18}, "ellipk: Unexpected error."},                    // below −2^63/20
    {{Fn::e, 0, 1.5}, "ellipe: m must not be greater than 1."},
    {{Fn::e, 0, 1.0000000000000002}, "ellipe: m must not be greater than 1."},
    {{Fn::e, 0, 1e19}, "ellipe: m must not be greater than 1."},        // above 2^63/20
    {{Fn::e, 0, inf}, "ellipe: m must not be greater than 1."},
    {{Fn::e, 0, nan}, "ellipe: Arguments cannot be NAN."},
    {{Fn::pi, 1.0, 0.0}, "ellippi: n cannot be 1."},
    {{Fn::pi, 1.0, 0.5}, "ellippi: n cannot be 1."},
    {{Fn::pi, 1.0, -3.0}, "ellippi: n cannot be 1."},
    {{Fn::pi, 1.0, nan}, "ellippi: n cannot be 1."},
    {{Fn::pi, 0.5, 1.5}, "ellippi: m must not be greater than 1."},
    {{Fn::pi, -0.5, 1.0000000000000002}, "ellippi: m must not be greater than 1."},
    {{Fn::pi, 0.0, 2.0}, "ellippi: m must not be greater than 1."},
    {{Fn::pi, nan, 0.5}, "ellippi: Arguments cannot be NAN."},
    {{Fn::pi, 0.5, nan}, "ellippi: Arguments cannot be NAN."},
    {{Fn::pi, -0.5, nan}, "ellippi: Arguments cannot be NAN."},
    {{Fn::pi, 0.0, nan}, "ellippi: Arguments cannot be NAN."},
    {{Fn::pi, 0.9999999999999998, nan}, "ellippi: Arguments cannot be NAN."},
    // 1 < n <= 1 + 2^−52: the errors of ellipk and ellipe pass through unchanged.
    {{Fn::pi, 1.0000000000000002, 1.5}, "ellipk: m must not be greater than 1."},
    {{Fn::pi, 1.0000000000000002, nan}, "ellipk: Arguments cannot be NAN."},
    {{Fn::pi, 1.0000000000000002, -1e18}, "ellipk: Unexpected error."},
    // ellipk(m) fails inside the n <= 0 branch: a NaN candidate, then classified.
    {{Fn::pi, 0.0, -1e18}, "ellippi: Unexpected error."},
    {{Fn::pi, -0.5, -1e300}, "ellippi: Unexpected error."},
};

TEST(Ellint, Messages) {
    for (const MessageCase& c : messages) {
        SCOPED_TRACE(describe(c.call));
        const EllipticResult r = call(c.call);
        ASSERT_FALSE(r) << "value " << *r;
        EXPECT_STREQ(r.error().message, c.message);
    }
}

// n > 1 + 2^−52 is not checked: whatever RJ yields is a value.
TEST(Ellint, PrincipalValueBranchIsUnchecked) {
    for (const double m : {nan, -inf}) {
        const EllipticResult r = ellippi(2.0, m);
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_TRUE(std::isnan(*r));
    }
}

// ---------------------------------------------------------------------------
// Thresholds and their nextafter neighbours.  Finite values are compared with
// mpmath (60 digits) at the stated relative tolerance.
struct ThresholdCase {
    Call call;
    double expected;      // NaN: an error is expected
    double tolerance;     // 0: compared with ==
};

const ThresholdCase thresholds[] = {
    // K: m = 1 and its neighbours.
    {{Fn::k, 0, 0.9999999999999999}, 19.75469464595844, 1e-15},
    {{Fn::k, 0, 1.0}, inf, 0},
    {{Fn::k, 0, 1.0000000000000002}, nan, 0},
    // E: m = 1 and its neighbours.
    {{Fn::e, 0, 0.9999999999999999}, 1.000000000000001, 1e-15},
    {{Fn::e, 0, 1.0}, 1.0, 0},
    {{Fn::e, 0, 1.0000000000000002}, nan, 0},
    // K: −0.05 (index −1, AGM) against its upper neighbour (index 0, table).
    // Just above −0.05 the polynomial about 0.05 is used at x = −0.1, twice
    // the half-width of its interval: its truncation error there is 4.4e-14.
    {{Fn::k, 0, -0.05}, 1.5516951365365805, 5e-16},
    {{Fn::k, 0, -0.049999999999999996}, 1.5516951365365805, 5e-14},
    {{Fn::k, 0, -0.01}, 1.5668912730681963, 2.5e-16},
    // K and E: 0.9 (AGM / RG) against its lower neighbour (table index 17).
    {{Fn::k, 0, 0.9}, 2.5780921133481733, 2.5e-16},
    {{Fn::k, 0, 0.8999999999999999}, 2.5780921133481733, 5e-16},
    {{Fn::e, 0, 0.9}, 1.1047747327040733, 2.5e-16},
    {{Fn::e, 0, 0.8999999999999999}, 1.1047747327040733, 2.5e-16},
    // Π: n = 1 − 2^−52 (general path), 1 − 2^−53 (+∞), 1 (error),
    // 1 + 2^−52 (K − E/(1 − m)), 1 + 2^−51 (RJ principal value); m = 0.5.
    {{Fn::pi, 0.9999999999999998, 0.5}, 149078412.58518204, 1e-13},
    {{Fn::pi, 0.9999999999999999, 0.5}, inf, 0},
    {{Fn::pi, 1.0, 0.5}, nan, 0},
    // Principal value at n = 1 + 2^−52, m = 0.5: −0.84721308479397876 (mpmath).
    {{Fn::pi, 1.0000000000000002, 0.5}, -0.84721308479397876, 1e-15},
    {{Fn::pi, 1.0000000000000004, 0.5}, -0.84721308479397876, 1e-15},
    // Π: 1 − m = 2^−52 (computed) against 1 − m = 2^−53 (counts as m = 1: +∞), n <= 0.
    {{Fn::pi, -0.5, 0.9999999999999998}, 13.22888728757468, 1e-14},
    {{Fn::pi, -0.5, 0.9999999999999999}, inf, 0},
    {{Fn::pi, 0.0, 0.9999999999999999}, inf, 0},
    {{Fn::pi, -0.5, 1.0000000000000002}, nan, 0},
};

TEST(Ellint, Thresholds) {
    for (const ThresholdCase& c : thresholds) {
        SCOPED_TRACE(describe(c.call));
        const EllipticResult r = call(c.call);
        if (std::isnan(c.expected)) {
            EXPECT_FALSE(r) << "value " << *r;
            continue;
        }
        ASSERT_TRUE(r) << r.error().message;
        if (c.tolerance == 0) {
            EXPECT_EQ(*r, c.expected);
        } else {
            EXPECT_LE(relative_error(*r, c.expected), c.tolerance) << "got " << *r;
        }
    }
}

// ---------------------------------------------------------------------------
// The Taylor table, through properties: at every boundary between intervals
// (and at 0.9, where the iterations take over) the polynomial of the interval
// below, evaluated at the last double before the boundary, agrees with the
// interval above to 1e-15 relative.  A wrong coefficient, centre or term count
// shows up as a jump.
TEST(Ellint, TaylorIntervalsJoinContinuously) {
    const double boundaries[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9};
    for (const double b : boundaries) {
        const double below = std::nextafter(b, 0.0);
        SCOPED_TRACE(b);
        EXPECT_LE(relative_error(value_of(ellipk(below)), value_of(ellipk(b))), 1e-15);
        EXPECT_LE(relative_error(value_of(ellipe(below)), value_of(ellipe(b))), 1e-15);
    }
}

// ---------------------------------------------------------------------------
// Agreement with mpmath (tests/cpp/data/ellint_vectors.txt, generated by
// tools/gen_ellint_vectors.py at 60 digits from the exact double arguments).
// Relative tolerance per table (measured maxima: K 2 ulp, E 3 ulp, Π 4 ulp).
// K for −0.05 < m < 0 is its own table: the polynomial about 0.05 is used
// out to x = −0.1, where its truncation error reaches 4.4e-14 (310 ulp).
const std::map<std::string, double> vector_tolerance = {
    {"K", 5e-16},
    {"K, -0.05 < m < 0", 5e-14},
    {"E", 1e-15},
    {"PI", 1e-15},
};

TEST(Ellint, AgreesWithMpmath) {
    const std::vector<Vector> vectors = read_vectors();
    ASSERT_GT(vectors.size(), 300u);
    std::map<std::string, double> worst_ulps;
    std::map<std::string, int> count;
    for (const Vector& v : vectors) {
        std::string table = v.routine;
        if (table == "K" && -0.05 < v.args[0] && v.args[0] < 0) {
            table = "K, -0.05 < m < 0";
        }
        const auto tolerance = vector_tolerance.find(table);
        if (tolerance == vector_tolerance.end()) {
            continue;  // the Carlson rows belong to test_carlson
        }
        Call c{Fn::k, 0, v.args.back()};
        if (v.routine == "E") {
            c.fn = Fn::e;
        } else if (v.routine == "PI") {
            c = Call{Fn::pi, v.args[0], v.args[1]};
        }
        SCOPED_TRACE(describe(c));
        const EllipticResult r = call(c);
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_LE(relative_error(*r, v.value), tolerance->second)
            << "got " << *r << ", mpmath " << v.value;
        worst_ulps[table] = std::max(worst_ulps[table], ulps(*r, v.value));
        ++count[table];
    }
    for (const auto& [routine, worst] : worst_ulps) {
        std::cout << "[ ulps     ] " << routine << ": max error " << worst << " ulp over "
                  << count[routine] << " vectors\n";
        RecordProperty("max_ulps_" + routine, std::to_string(worst));
    }
}

// ---------------------------------------------------------------------------
// Properties.

// Legendre's relation E(m)K(1 − m) + E(1 − m)K(m) − K(m)K(1 − m) = π/2
// (DLMF 19.7.1), over the table intervals, the iterations and their mix.
TEST(Ellint, LegendreRelation) {
    for (int j = 1; j < 200; ++j) {
        const double m = j / 200.0;
        const double k = value_of(ellipk(m));
        const double e = value_of(ellipe(m));
        const double kp = value_of(ellipk(1 - m));
        const double ep = value_of(ellipe(1 - m));
        SCOPED_TRACE(m);
        EXPECT_LE(relative_error(e * kp + ep * k - k * kp, half_pi), 4e-15);
    }
}

// Π(0, m) is K(m) and Π(m, m) = E(m)/(1 − m) (DLMF 19.6.1); the latter is
// evaluated as (1/(1 − m))·E(m), one rounding away from the quotient.
TEST(Ellint, PiReducesToKAndE) {
    for (const double m : {-3.0, -0.3, 0.1, 0.45, 0.89, 0.95, 0.9999}) {
        SCOPED_TRACE(m);
        EXPECT_EQ(value_of(ellippi(0.0, m)), value_of(ellipk(m)));
        if (m > 0) {
            EXPECT_LE(ulps(value_of(ellippi(m, m)), value_of(ellipe(m)) / (1 - m)), 1.0);
        }
    }
}

}  // namespace
