// ∫_a^b f(x) dx for a real function f on a finite interval.
//
// Method: tanh-sinh (double-exponential) quadrature, x = tanh((π/2) sinh t),
// Takahasi & Mori 1974, Publ. RIMS Kyoto Univ. 9, 721-741.  The step is
// halved over a fixed table of seven levels (t in [0, 3], finest step 1/64,
// 385 nodes in all); after each level from the third on, the change of the
// estimate is compared with a target and the run stops early when it is met.
//
//   input                          | result
//   -------------------------------+---------------------------------------
//   a < b finite, target > 0       | integral, error estimate, evaluations
//   f(x) = ±inf or NaN at a node   | that node counts as 0
//   f ≡ 0 (or NaN everywhere)      | 0, error 0, 25 evaluations
//   b < a                          | −∫_b^a f; target′ < 0, so all 7 levels
//   a = b, infinite a or b         | not supported (target′ is ±inf or NaN)
//
// The endpoints a and b themselves are never evaluated, so an integrable
// end-point singularity (1/√x at 0) needs no special treatment.  Nothing
// allocates; the integrand is any callable double(double), called first at
// the centre, then for each table pair at +x and then −x, level by level;
// or, for integrate_batched, a callable that takes the centre and then each
// level's nodes as one batch.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "numerics/constants.hpp"

namespace lumora::quadrature {

struct QuadratureResult {
    double integral;              // estimate of ∫_a^b f
    double error_estimate;        // estimate of its absolute error, on [a, b]
    std::uint32_t evaluations;    // integrand calls, the centre included
};

namespace double_exponential {

namespace detail {

// One table pair: the weight and the abscissa x of the two nodes ±x on [−1, 1].
struct Node {
    double weight;
    double abscissa;
};

inline constexpr std::size_t level_count = 7;
inline constexpr std::size_t node_count = 192;

// Level L (0-based) holds nodes[level_begin[L]] .. nodes[level_begin[L + 1] − 1]:
// 3, 3, 6, 12, 24, 48 and 96 pairs.
inline constexpr std::array<std::size_t, level_count + 1> level_begin{0, 3, 6, 12, 24, 48, 96, 192};

// The node table (tanh_sinh_table.hpp, generated), defined once in tanh_sinh.cpp.
extern const std::array<Node, node_count> nodes;

// A level whose running evaluation count is at most this (levels 1 and 2,
// with 7 and 13 evaluations) only records its difference; testing starts
// with level 3.
inline constexpr std::uint32_t silent_evaluations = 13;

// Quadratic convergence is recognised when ln δ_k / ln δ_(k−1) lies strictly
// inside (1.9, 2.1); the next difference is then expected to be about δ_k².
inline constexpr double quadratic_low = 1.9;
inline constexpr double quadratic_high = 2.1;

// The largest level's pair count: the batch arrays of integrate_batched.
inline constexpr std::size_t max_level_pairs = 96;
static_assert([] {
    for (std::size_t level = 0; level < level_count; ++level) {
        if (level_begin[level + 1] - level_begin[level] > max_level_pairs) return false;
    }
    return true;
}());

// The value a node contributes: a non-finite value (±inf or NaN) counts as 0.
inline double finite_or_zero(double value) noexcept { return std::isfinite(value) ? value : 0.0; }

}  // namespace detail

// The most points a batch integrand of integrate_batched is given at once.
inline constexpr std::size_t max_batch_size = 2 * detail::max_level_pairs;

// Integrates over [a, b] to the absolute error target, calling the batch
// integrand f(x, y, n), which sets y[i] = f(x[i]) for i < n, once for the
// centre and then once per level with all of that level's nodes: for each
// table pair in table order, c·x + d and then c·(−x) + d.  The sums, their
// order and the stopping rule are those of the header comment; the batch
// may evaluate its points in any order.  Nothing allocates: the nodes of a
// level sit in arrays on the stack.
template <class F>
    requires std::is_invocable_v<F&, const double*, double*, std::size_t>
QuadratureResult integrate_batched(F&& f, double a, double b, double target) noexcept {
    // Map [a, b] onto the reference interval [−1, 1]: c half-width, d midpoint.
    const double c = (b - a) * 0.5;
    const double d = (a + b) * 0.5;
    // The target for the integral over [−1, 1]: 0.25·target/c (5e-17 for the
    // system's [0, 1] at 1e-16); negative when b < a, so the run never stops early.
    const double target_reference = target * 0.25 / c;

    std::array<double, 2 * detail::max_level_pairs> x;
    std::array<double, 2 * detail::max_level_pairs> y;

    // Twice the centre contribution (π/2)·g(0): the halving below restores it.
    x[0] = c * 0.0 + d;
    f(static_cast<const double*>(x.data()), y.data(), std::size_t{1});
    double integral = pi * detail::finite_or_zero(y[0]);
    std::uint32_t evaluations = 1;
    double previous_difference = 0.0;
    double error = 0.0;

    for (std::size_t level = 0; level < detail::level_count; ++level) {
        const std::size_t begin = detail::level_begin[level];
        const std::size_t pairs = detail::level_begin[level + 1] - begin;
        for (std::size_t k = 0; k < pairs; ++k) {
            const double abscissa = detail::nodes[begin + k].abscissa;
            x[2 * k] = c * abscissa + d;
            x[2 * k + 1] = c * -abscissa + d;
        }
        f(static_cast<const double*>(x.data()), y.data(), 2 * pairs);
        double sum = 0.0;
        for (std::size_t k = 0; k < pairs; ++k) {
            const double upper = detail::finite_or_zero(y[2 * k]);
            const double lower = detail::finite_or_zero(y[2 * k + 1]);
            sum = sum + detail::nodes[begin + k].weight * (upper + lower);
        }
        evaluations += 2 * static_cast<std::uint32_t>(pairs);

        // Halving the step: the new estimate is half the old one plus the new nodes;
        // σ is their disagreement.
        const double signed_difference = 0.5 * integral - sum;
        const double difference = std::abs(signed_difference);
        integral = 0.5 * integral + sum;

        if (evaluations <= detail::silent_evaluations) {
            previous_difference = difference;
            continue;
        }
        if (signed_difference == 0.0) {  // the level changed nothing: exact
            error = 0.0;
            break;
        }
        const double q = std::log(difference) / std::log(previous_difference);
        // Both bounds strict; a NaN q takes the linear branch.
        error = (detail::quadratic_low < q && q < detail::quadratic_high) ? difference * difference
                                                                           : difference;
        if (error < target_reference) {  // NaN error never stops the run
            break;
        }
        previous_difference = difference;
    }
    return QuadratureResult{c * integral, c * error, evaluations};
}

// Integrates f over [a, b] to the absolute error target; see the header
// comment.  The batched form with f called point by point, in the order of
// each batch.
template <class F>
    requires std::is_invocable_r_v<double, F&, double>
QuadratureResult integrate(F&& f, double a, double b, double target) noexcept {
    return integrate_batched(
        [&f](const double* x, double* y, std::size_t n) noexcept {
            for (std::size_t i = 0; i < n; ++i) y[i] = f(x[i]);
        },
        a, b, target);
}

}  // namespace double_exponential
}  // namespace lumora::quadrature
