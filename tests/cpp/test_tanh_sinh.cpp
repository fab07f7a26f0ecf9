// Tanh-sinh quadrature: the node table and the stopping rule.
#include "numerics/tanh_sinh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace {

namespace de = lumora::quadrature::double_exponential;

using test_support::nan;
using test_support::relative_error;

// Rows of the table as (level, index within the level, abscissa, weight);
// values from mpmath at 60 digits, rounded to nearest double (t = 1, 2, 3,
// 1/2, 5/2, 1/4, 1/64, 191/64).
struct SampleRow {
    int level;
    int index;
    double abscissa;
    double weight;
};
constexpr SampleRow sample_rows[] = {
    {1, 0, 0.9513679640727469, 0.23002239451478868},
    {1, 1, 0.9999774771924616, 0.00026620051375271693},
    {1, 2, 0.999999999999957, 1.3581784274539091e-12},
    {2, 0, 0.6742714922484359, 0.4829882897061506},
    {2, 2, 0.9999999888756649, 1.071560227847152e-07},
    {3, 0, 0.3772097381640342, 0.3474036898118141},
    {7, 0, 0.02453976357464916, 0.024531906707493643},
    {7, 95, 0.9999999999999298, 3.411862828005251e-14},
};

TEST(TanhSinhTable, SampleRowsExact) {
    for (const SampleRow& row : sample_rows) {
        SCOPED_TRACE(testing::Message() << "level " << row.level << " index " << row.index);
        const de::detail::Node& node = de::detail::nodes[de::detail::level_begin[row.level - 1] + row.index];
        EXPECT_EQ(node.abscissa, row.abscissa);
        EXPECT_EQ(node.weight, row.weight);
    }
}

// Merged over all levels in order of t (level 1 at t = 1, 2, 3 with h = 1;
// level k at odd multiples of h = 2^(1−k)), the abscissae rise strictly
// below 1 and w/h = (π/2) cosh t / cosh²((π/2) sinh t) falls strictly: a node
// out of place, a 1 − x stored for x or a wrong step breaks the order.
TEST(TanhSinhTable, MonotoneInT) {
    struct Entry { double t, abscissa, weight_per_step; };
    std::vector<Entry> merged;
    for (int level = 1; level <= 7; ++level) {
        const double h = level == 1 ? 1.0 : std::ldexp(1.0, 1 - level);
        for (std::size_t i = de::detail::level_begin[level - 1]; i < de::detail::level_begin[level]; ++i) {
            const std::size_t j = i - de::detail::level_begin[level - 1];
            const double t = level == 1 ? double(j + 1) : double(2 * j + 1) * h;
            merged.push_back({t, de::detail::nodes[i].abscissa, de::detail::nodes[i].weight / h});
        }
    }
    ASSERT_EQ(merged.size(), 192u);
    std::sort(merged.begin(), merged.end(), [](const Entry& l, const Entry& r) { return l.t < r.t; });
    EXPECT_EQ(merged.front().t, 1.0 / 64.0);
    EXPECT_EQ(merged.back().t, 3.0);
    for (std::size_t i = 1; i < merged.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "t = " << merged[i].t);
        EXPECT_LT(merged[i - 1].abscissa, merged[i].abscissa);
        EXPECT_GT(merged[i - 1].weight_per_step, merged[i].weight_per_step);
        EXPECT_LT(merged[i].abscissa, 1.0);
    }
}

// Known results of the rule (exact values from the reference run of the
// seven-level rule; ∫₀¹ 1/√x = 2 to the accuracy the truncation at t = 3 allows).
struct Case {
    const char* name;
    std::function<double(double)> f;
    double a, b, target;
    double integral;          // compared with ==, unless tolerance > 0
    double tolerance;         // relative, for integral
    std::uint32_t evaluations;
    double error_estimate;    // == when 0, NaN: not checked, else relative tolerance 1e-2
};
const Case cases[] = {
    {"one, 1e-16", [](double) { return 1.0; }, 0, 1, 1e-16, 0.9999999999999669, 0, 385, 8.2e-15},
    {"one, 1e-6 stops after level 4", [](double) { return 1.0; }, 0, 1, 1e-6, 0.9999999999999971, 0, 49, nan},
    {"zero", [](double) { return 0.0; }, 0, 1, 1e-16, 0.0, 0, 25, 0.0},
    {"NaN everywhere", [](double) { return nan; }, 0, 1, 1e-16, 0.0, 0, 25, 0.0},
    {"+inf everywhere", [](double) { return HUGE_VAL; }, 0, 1, 1e-16, 0.0, 0, 25, 0.0},
    {"odd on [-1, 1]: +x and -x cancel", [](double x) { return x * x * x; }, -1, 1, 1e-16, 0.0, 0, 25, 0.0},
    {"x^2", [](double x) { return x * x; }, 0, 1, 1e-16, 0.3333333333333167, 0, 385, nan},
    {"sqrt(1 - x^2)", [](double x) { return std::sqrt(1.0 - x * x); }, 0, 1, 1e-16, 0.7853981633974318, 0, 385, nan},
    {"1/sqrt(x), end-point singularity", [](double x) { return 1.0 / std::sqrt(x); }, 0, 1, 1e-16, 1.99999974, 1e-8, 385, nan},
    {"reversed x^2", [](double x) { return x * x; }, 1, 0, 1e-16, -0.3333333333333167, 0, 385, nan},
    // target' < 0: no early stop, unlike the forward run at 1e-6 above.
    {"reversed one, 1e-6", [](double) { return 1.0; }, 1, 0, 1e-6, -0.9999999999999669, 0, 385, -8.2e-15},
};

// The batched form with f evaluated point by point, last point of each
// batch first: the order within a batch must not matter.
template <class F>
auto reversed_batches(F f) {
    return [f](const double* x, double* y, std::size_t n) {
        for (std::size_t i = n; i-- > 0;) y[i] = f(x[i]);
    };
}

using Form = lumora::quadrature::QuadratureResult (*)(const std::function<double(double)>&, double, double,
                                                      double);
const std::pair<const char*, Form> forms[] = {
    {"scalar", [](const std::function<double(double)>& f, double a, double b, double target) {
         return de::integrate(f, a, b, target);
     }},
    {"batched", [](const std::function<double(double)>& f, double a, double b, double target) {
         return de::integrate_batched(reversed_batches(f), a, b, target);
     }},
};

TEST(TanhSinhIntegrate, KnownResults) {
    for (const auto& [form, integrate] : forms) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << form << ": " << c.name);
            const lumora::quadrature::QuadratureResult r = integrate(c.f, c.a, c.b, c.target);
            if (c.tolerance == 0) {
                EXPECT_EQ(r.integral, c.integral);
            } else {
                EXPECT_LE(relative_error(r.integral, c.integral), c.tolerance) << r.integral;
            }
            EXPECT_EQ(r.evaluations, c.evaluations);
            if (c.error_estimate == 0.0) {
                EXPECT_EQ(r.error_estimate, 0.0);
            } else if (!std::isnan(c.error_estimate)) {
                EXPECT_LE(relative_error(r.error_estimate, c.error_estimate), 1e-2) << r.error_estimate;
            }
        }
    }
}

// The stop test error < 0.25·target/c is strict, so the threshold on target is
// exactly 4·error_estimate: at it the run goes on, one ulp above it it stops.
// Regression values of 1/(1 + 25x²) on [−1, 1] (and the same on [−2, 2]):
// level 4 has q = 2.24, so error = δ₄; level 5 has q = 2.08, so error = δ₅²
// (δ₅ = 2.2e-3 would never meet the target).
struct Threshold {
    const char* name;
    double a, b;
    double (*f)(double);
    std::uint32_t evaluations;  // when stopping at this level
    double error_estimate;      // there, compared with ==
};
double runge(double x) { return 1.0 / (1.0 + 25.0 * x * x); }
double runge_wide(double x) { return 1.0 / (1.0 + 6.25 * x * x); }
const Threshold thresholds[] = {
    {"level 4, linear", -1, 1, runge, 49, 0.053051902117144972},
    {"level 5, quadratic", -1, 1, runge, 97, 4.9807978174310142e-06},
    {"level 4, half-width 2", -2, 2, runge_wide, 49, 0.10610380423428994},
};

TEST(TanhSinhIntegrate, StopThresholds) {
    for (const auto& [form, integrate] : forms) {
        for (const Threshold& row : thresholds) {
            SCOPED_TRACE(testing::Message() << form << ": " << row.name);
            const double at = 4.0 * row.error_estimate;
            const auto stops = integrate(row.f, row.a, row.b, std::nextafter(at, HUGE_VAL));
            EXPECT_EQ(stops.evaluations, row.evaluations);
            EXPECT_EQ(stops.error_estimate, row.error_estimate);
            EXPECT_EQ(integrate(row.f, row.a, row.b, at).evaluations, 2 * row.evaluations - 1);
        }
    }
}

// Integrals whose bits depend on every node, compared with == between the
// two forms, on intervals where the nodes are rounded (so the mapping
// c·x + d must be the same), stopping early or not.
TEST(TanhSinhIntegrate, BatchedEqualsScalar) {
    struct Row {
        const char* name;
        double (*f)(double);
        double a, b, target;
    };
    const Row rows[] = {
        {"Runge, stops at level 5", runge, -1, 1, 2e-5},
        {"Runge on [0.3, 1.7], all levels", runge, 0.3, 1.7, 1e-16},
        {"exp on [-0.7, 2.9], stops early", [](double x) { return std::exp(x); }, -0.7, 2.9, 1e-10},
        {"log singular at 0.1, reversed", [](double x) { return std::log(x - 0.1); }, 1.3, 0.1, 1e-16},
        {"1/x on [-1, 1]: +inf at the centre", [](double x) { return 1.0 / x; }, -1, 1, 1e-16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto scalar = de::integrate(row.f, row.a, row.b, row.target);
        const auto batched = de::integrate_batched(reversed_batches(row.f), row.a, row.b, row.target);
        EXPECT_EQ(batched.integral, scalar.integral);
        EXPECT_EQ(batched.error_estimate, scalar.error_estimate);
        EXPECT_EQ(batched.evaluations, scalar.evaluations);
    }
}

// The batch integrand is called once for the centre and once per level,
// with each pair's +x and −x side by side in table order.
TEST(TanhSinhIntegrate, OneBatchPerLevel) {
    std::vector<std::vector<double>> batches;
    const auto record = [&batches](const double* x, double* y, std::size_t n) {
        batches.emplace_back(x, x + n);
        std::fill(y, y + n, 1.0);
    };
    de::integrate_batched(record, -1.0, 1.0, 0.0);
    ASSERT_EQ(batches.size(), 1 + de::detail::level_count);
    EXPECT_EQ(batches[0], std::vector<double>{0.0});
    for (std::size_t level = 0; level < de::detail::level_count; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level + 1);
        const std::size_t begin = de::detail::level_begin[level];
        const std::vector<double>& batch = batches[1 + level];
        ASSERT_EQ(batch.size(), 2 * (de::detail::level_begin[level + 1] - begin));
        for (std::size_t k = 0; k < batch.size() / 2; ++k) {
            EXPECT_EQ(batch[2 * k], de::detail::nodes[begin + k].abscissa);
            EXPECT_EQ(batch[2 * k + 1], -de::detail::nodes[begin + k].abscissa);
        }
    }
}

// The integrand sees the centre first, then each table pair at +x and then
// at −x, level by level (on [−1, 1] the mapped point is x itself), and never
// an endpoint.
TEST(TanhSinhIntegrate, EvaluationOrder) {
    std::vector<double> calls;
    auto record = [&calls](double x) {
        calls.push_back(x);
        return 1.0;
    };
    const auto r = de::integrate(record, -1.0, 1.0, 0.0);
    ASSERT_EQ(calls.size(), 385u);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_EQ(calls[0], 0.0);
    for (std::size_t i = 0; i < de::detail::node_count; ++i) {
        EXPECT_EQ(calls[1 + 2 * i], de::detail::nodes[i].abscissa) << "pair " << i;
        EXPECT_EQ(calls[2 + 2 * i], -de::detail::nodes[i].abscissa) << "pair " << i;
    }
}

}  // namespace
