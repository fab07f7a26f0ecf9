// Piecewise-linear interpolation; see interp.hpp for the rules.
#include "numerics/interp.hpp"

#include <algorithm>

#include "numerics/strict_fp.hpp"

namespace lumora {

namespace detail {

Segment segment(std::span<const double> x, std::span<const double> y, std::size_t k) noexcept {
    const double dx = x[k + 1] - x[k];
    const double dy = y[k + 1] - y[k];
    const double slope = dy / dx;
    const double intercept = y[k] - x[k] * slope;
    return Segment{slope, intercept};
}

}  // namespace detail

// Only the one segment the query needs is formed, with the arithmetic every
// segment would get, so the result is the same as from a full table of
// slopes and intercepts, without allocating it (O(log n) per call).
double interp(std::span<const double> x, std::span<const double> y, double xp, double v) noexcept {
    const std::size_t n = std::min(x.size(), y.size());
    if (n == 0) {
        return 0.0;
    }
    if (n == 1) {  // every xp, NaN included
        return y[0];
    }
    const std::size_t k = detail::segment_index(detail::count_below(x, xp), n);
    if (xp == x[0]) {
        return y[0];
    }
    const detail::Segment line = detail::segment(x, y, k);
    const double value = line.slope * xp + line.intercept;
    if (xp < x[0]) {
        return v;
    }
    if (xp == x[n - 1]) {
        return y[n - 1];
    }
    if (xp > x[n - 1]) {
        return v;
    }
    return value;  // inside the table, or a NaN xp (no test above holds for it)
}

InterpTable::InterpTable(std::span<const double> x, std::span<const double> y)
    : x_(x.begin(), x.end()), n_(std::min(x.size(), y.size())) {
    if (n_ == 0) {
        return;
    }
    first_y_ = y[0];
    last_y_ = y[n_ - 1];
    if (n_ >= 2) {
        segments_.reserve(n_ - 1);
        for (std::size_t k = 0; k + 1 < n_; ++k) {
            segments_.push_back(detail::segment(x, y, k));
        }
    }
}

}  // namespace lumora
