// y(xp): the piecewise-linear function through the points (x[k], y[k]).
//
// Method: binary search for the segment, then the segment's line value
// m_k·xp + c_k with slope m_k = (y[k+1] − y[k]) / (x[k+1] − x[k]) and
// intercept c_k = y[k] − x[k]·m_k (product first, then the sum; the form
// y[k] + (xp − x[k])·m_k differs in the last bits and is not used).
//
//   n = min(len x, len y)          | result
//   -------------------------------+------------------------------------
//   n = 0                          | 0.0
//   n = 1                          | y[0], for every xp (NaN included)
//   xp = x[0]                      | y[0] exactly
//   xp < x[0]                      | v
//   xp = x[n−1]                    | y[n−1] exactly
//   xp > x[n−1]                    | v
//   otherwise (inside, or NaN xp)  | m_k·xp + c_k (NaN for a NaN xp)
//
// x is expected ascending and is not checked: descending or unsorted
// abscissae run through the same search and end tests.  The search covers
// all of x, also when x is longer than y; the segment index is clamped to
// the n − 1 segments in use.  An abscissa at x[j] (j ≥ 1) of strictly
// ascending x falls in segment j − 1, the one ending at it.  A repeated
// abscissa gives a segment with an infinite or NaN slope that no xp inside
// [x[0], x[n−1]] ever reaches.  Nothing is reported; NaN table entries
// travel through the arithmetic.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumora {

// Piecewise-linear interpolation at xp, with v outside the table.  Pure: x and
// y are read only, nothing is allocated.
double interp(std::span<const double> x, std::span<const double> y, double xp, double v) noexcept;

namespace detail {

// The number of entries of x below xp, by the binary search
//   base = 0, size = len x; while size > 1: half = size/2, mid = base + half,
//   if xp > x[mid] then base = mid; size −= half;
//   count = base + 1 if xp > x[base], else base.
// Only "greater than" comparisons: a NaN on either side compares false, so a
// NaN xp counts 0.  For ascending x this is the count of entries < xp.
// x must not be empty.
inline std::size_t count_below(std::span<const double> x, double xp) noexcept {
    std::size_t base = 0;
    std::size_t size = x.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        base = xp > x[mid] ? mid : base;  // a select, not a branch: queries are unpredictable
        size -= half;
    }
    return xp > x[base] ? base + 1 : base;
}

// Segment k of the table: dx = x[k+1] − x[k], dy = y[k+1] − y[k],
// slope m = dy / dx, intercept c = y[k] − x[k]·m.  Equal abscissae give an
// infinite or NaN slope and intercept; nothing is raised.
struct Segment {
    double slope;
    double intercept;
};
Segment segment(std::span<const double> x, std::span<const double> y, std::size_t k) noexcept;

// The segment used for a point with count entries below it: the one ending at
// the first entry not below it, clamped to the segments 0 .. n − 2 (n ≥ 2).
inline std::size_t segment_index(std::size_t count, std::size_t n) noexcept {
    const std::size_t k = count == 0 ? 0 : count - 1;
    return k < n - 2 ? k : n - 2;
}

}  // namespace detail

// interp() for a table sampled many times: the segment slopes and intercepts are
// computed once, with interp()'s arithmetic, so operator() returns bit for bit
// what interp(x, y, xp, v) returns, at the cost of one binary search.
// The table keeps its own copies of x (all of it, since the search covers all
// of x) and of the segments: it does not refer to the spans it was built from,
// which may die right after construction.  Only the constructor allocates.
class InterpTable {
public:
    InterpTable(std::span<const double> x, std::span<const double> y);

    double operator()(double xp, double v) const noexcept {
        if (n_ == 0) {
            return 0.0;
        }
        if (n_ == 1) {  // every xp, NaN included
            return first_y_;
        }
        const std::size_t k = detail::segment_index(detail::count_below(x_, xp), n_);
        // Same tests, same order as interp().
        if (xp == x_[0]) {
            return first_y_;
        }
        const double line = segments_[k].slope * xp + segments_[k].intercept;
        if (xp < x_[0]) {
            return v;
        }
        if (xp == x_[n_ - 1]) {
            return last_y_;
        }
        if (xp > x_[n_ - 1]) {
            return v;
        }
        return line;  // inside the table, or a NaN xp
    }

    std::size_t size() const noexcept { return n_; }  // points in use, min(len x, len y)

private:
    std::vector<double> x_;                   // all of x
    std::vector<detail::Segment> segments_;   // n − 1 segments
    std::size_t n_ = 0;               // min(len x, len y)
    double first_y_ = 0.0;            // y[0] (0.0 when n = 0)
    double last_y_ = 0.0;             // y[n − 1]
};

}  // namespace lumora
