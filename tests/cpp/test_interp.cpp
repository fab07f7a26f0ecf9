// Piecewise-linear interpolation: interp() and the cached InterpTable.
#include "numerics/interp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace {

using test_support::nan;
using test_support::same_bits;

struct Case {
    const char* name;
    std::vector<double> x, y;
    double xp, v;
    double expected;  // compared with == (both NaN counts as equal)
};

// Expected values: exact table entries, v, or the line value m_k·xp + c_k
// of the stated segment evaluated in IEEE double (Python floats).
const Case cases[] = {
    {"empty x", {}, {1.0}, 0.5, -1.0, 0.0},
    {"empty y", {0.0, 1.0}, {}, 0.5, -1.0, 0.0},
    {"n = 1, outside", {2.0}, {7.0}, -5.0, -1.0, 7.0},
    {"n = 1, NaN xp", {2.0}, {7.0}, nan, -1.0, 7.0},
    {"n = 1, x longer", {0.0, 1.0, 2.0}, {7.0}, 1.5, -1.0, 7.0},
    {"inside", {0, 1, 2}, {0, 10, 20}, 0.5, 0.0, 5.0},
    {"above", {0, 1, 2}, {0, 10, 20}, 2.5, 0.0, 0.0},
    {"below", {0, 1, 2}, {0, 10, 20}, -1.0, 0.0, 0.0},
    {"below, v = -1", {0, 1, 2}, {0, 10, 20}, -1.0, -1.0, -1.0},
    {"+inf", {0, 1, 2}, {0, 10, 20}, HUGE_VAL, -1.0, -1.0},
    {"NaN xp", {0, 1, 2}, {0, 10, 20}, nan, -1.0, nan},
    // The line value m_1·xp + c_1, not y[1] + (xp − x[1])·m_1 = 0.49999999999999994.
    {"line value form", {0, 0.3, 1}, {1, 0.8, 0.2}, 0.65, 0.0, 0.4999999999999999},
    // The line of segment 1 gives 0.19999999999999984 at x[2]; the end test returns y[2].
    {"last abscissa exact", {0, 0.3, 1}, {1, 0.8, 0.2}, 1.0, 0.0, 0.2},
    {"first abscissa exact", {0.1, 0.3, 1.7}, {0.3, 0.9, 0.1}, 0.1, -1.0, 0.3},
    // Interior x[1]: segment 0 gives 0.9000000000000001, segment 1 0.8999999999999999.
    {"interior abscissa, segment ending there", {0.1, 0.3, 1.7}, {0.3, 0.9, 0.1}, 0.3, -1.0, 0.9000000000000001},
    {"repeated inside, at it: segment 0", {0, 1, 1, 2}, {0, 10, 20, 40}, 1.0, -1.0, 10.0},
    {"repeated inside, above it: segment 2", {0, 1, 1, 2}, {0, 10, 20, 40}, 1.5, -1.0, 30.0},
    {"repeated inside, just above it", {0, 1, 1, 2}, {0, 10, 20, 40}, std::nextafter(1.0, 2.0), -1.0,
     20.000000000000004},
    {"repeated at the end", {0, 1, 1}, {0, 10, 20}, 1.0, -1.0, 20.0},
    {"repeated at the end, inside", {0, 1, 1}, {0, 10, 20}, 0.5, -1.0, 5.0},
    {"repeated at the start", {0, 0, 1}, {5, 0, 10}, 0.0, -1.0, 5.0},
    {"repeated at the start, inside: segment 1", {0, 0, 1}, {5, 0, 10}, 0.5, -1.0, 5.0},
    // The search runs over all of x; the index is clamped to segment n − 2.
    {"x longer, inside", {0, 1, 2, 3, 4}, {0, 10, 20}, 1.5, -1.0, 15.0},
    {"x longer, at x[n-1]", {0, 1, 2, 3, 4}, {0, 10, 20}, 2.0, -1.0, 20.0},
    {"x longer, beyond x[n-1]", {0, 1, 2, 3, 4}, {0, 10, 20}, 2.5, -1.0, -1.0},
    {"y longer", {0, 1, 2}, {0, 10, 20, 99}, 1.5, -1.0, 15.0},
    // Descending x: only xp = x[0] escapes the end tests.
    {"descending, inside", {2, 1, 0}, {20, 10, 0}, 1.5, -1.0, -1.0},
    {"descending, at x[0]", {2, 1, 0}, {20, 10, 0}, 2.0, -1.0, 20.0},
    {"descending, at x[n-1]", {2, 1, 0}, {20, 10, 0}, 0.0, -1.0, -1.0},
    // Unsorted x: segment 0 gives 5 at 0.5, segment 1 would give 50.
    {"unsorted, search lands in segment 0", {0, 2, 1}, {0, 20, 40}, 0.5, -1.0, 5.0},
    {"unsorted, at x[n-1]", {0, 2, 1}, {0, 20, 40}, 1.0, -1.0, 40.0},
    {"unsorted, above x[n-1]", {0, 2, 1}, {0, 20, 40}, 1.5, -1.0, -1.0},
};

TEST(Interp, EdgeCases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double got = lumora::interp(c.x, c.y, c.xp, c.v);
        EXPECT_TRUE(got == c.expected || (std::isnan(got) && std::isnan(c.expected))) << got;
        EXPECT_TRUE(same_bits(lumora::InterpTable(c.x, c.y)(c.xp, c.v), got));
    }
}

// The cached table agrees bit for bit with interp() on random tables: ascending
// with repeated abscissae, descending, unsorted, NaN entries, x or y longer,
// queried at the abscissae, their neighbours, outside, at ±inf and NaN.
TEST(InterpTable, BitIdenticalToInterp) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 99);
    std::size_t queries = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t nx = std::uniform_int_distribution<std::size_t>(0, trial % 10 == 0 ? 200 : 9)(rng);
        const int longer = pick(rng) % 3;  // 0 equal, 1 x longer, 2 y longer
        std::size_t ny = nx;
        if (longer == 1 && nx > 0) ny = nx - 1 - std::size_t(pick(rng)) % nx;
        if (longer == 2) ny = nx + 1 + std::size_t(pick(rng)) % 3;
        std::vector<double> x(nx), y(ny);
        double at = unit(rng);
        for (double& xi : x) {
            at += pick(rng) < 15 ? 0.0 : std::abs(unit(rng));  // repeats
            xi = at;
        }
        const int order = pick(rng);
        if (order < 10) std::reverse(x.begin(), x.end());
        if (order >= 10 && order < 20) std::shuffle(x.begin(), x.end(), rng);
        for (double& yi : y) yi = 10.0 * unit(rng);
        if (pick(rng) < 5 && !x.empty()) x[std::size_t(pick(rng)) % nx] = nan;
        if (pick(rng) < 5 && !y.empty()) y[std::size_t(pick(rng)) % ny] = nan;

        std::vector<double> xps = {nan, HUGE_VAL, -HUGE_VAL, -5.0, 5.0};
        for (double xi : x) {
            xps.insert(xps.end(), {xi, std::nextafter(xi, -HUGE_VAL), std::nextafter(xi, HUGE_VAL)});
        }
        for (int i = 0; i < 20; ++i) xps.push_back(3.0 * unit(rng));

        const lumora::InterpTable table(x, y);
        for (double xp : xps) {
            const double v = pick(rng) < 50 ? 0.0 : unit(rng);
            const double want = lumora::interp(x, y, xp, v);
            ASSERT_TRUE(same_bits(table(xp, v), want))
                << "trial " << trial << " nx " << nx << " ny " << ny << " xp " << xp << ": " << table(xp, v)
                << " vs " << want;
            ++queries;
        }
    }
    EXPECT_GT(queries, 5000u);
}

}  // namespace
