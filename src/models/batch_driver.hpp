// The width and driver machinery of the batch kernels: the adaptor that
// runs two vectors of an instruction set as one (Twice), the block driver
// that sorts the elements of a list into the vector branches, the general
// vector path and the scalar kernel, and the two drivers built on it,
// disk_lanes and ring_lanes, over the lane mathematics of batch_lanes.hpp.
// Included only by the vector unit (batch_avx2.cpp);
// like batch_lanes.hpp it includes no header with inline code of its own:
// the scalar kernels it falls back on are declared, and defined out of
// line in the baseline build (models/witt_mao.cpp, models/batch.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "models/batch_lanes.hpp"
#include "models/batch_variants.hpp"
#include "models/witt_mao.hpp"

namespace lumora::batch {
namespace {

// Two vectors of S side by side, operated on as one of twice the width.
// The two halves are independent chains of operations, so a processor can
// overlap one half's long-latency divisions, square roots and library calls
// with the other's; each lane still sees exactly its own operations.
template <class S>
struct Twice {
    static constexpr int width = 2 * S::width;
    struct V {
        typename S::V lo, hi;
    };
    struct M {
        typename S::M lo, hi;
    };
    struct I {
        typename S::I lo, hi;
    };

    static V set1(double x) { return {S::set1(x), S::set1(x)}; }
    static V load(const double* p) { return {S::load(p), S::load(p + S::width)}; }
    static void store(double* p, V v) {
        S::store(p, v.lo);
        S::store(p + S::width, v.hi);
    }
    static void store_i(std::int32_t* p, I i) {
        S::store_i(p, i.lo);
        S::store_i(p + S::width, i.hi);
    }
    static V from_lanes(const double* const* rows, int j) {
        return {S::from_lanes(rows, j), S::from_lanes(rows + S::width, j)};
    }
    static V add(V a, V b) { return {S::add(a.lo, b.lo), S::add(a.hi, b.hi)}; }
    static V sub(V a, V b) { return {S::sub(a.lo, b.lo), S::sub(a.hi, b.hi)}; }
    static V mul(V a, V b) { return {S::mul(a.lo, b.lo), S::mul(a.hi, b.hi)}; }
    static V div(V a, V b) { return {S::div(a.lo, b.lo), S::div(a.hi, b.hi)}; }
    static V sqrt(V a) { return {S::sqrt(a.lo), S::sqrt(a.hi)}; }
    static V abs(V a) { return {S::abs(a.lo), S::abs(a.hi)}; }
    static V neg(V a) { return {S::neg(a.lo), S::neg(a.hi)}; }
    static V max(V a, V b) { return {S::max(a.lo, b.lo), S::max(a.hi, b.hi)}; }
    static M lt(V a, V b) { return {S::lt(a.lo, b.lo), S::lt(a.hi, b.hi)}; }
    static M le(V a, V b) { return {S::le(a.lo, b.lo), S::le(a.hi, b.hi)}; }
    static M gt(V a, V b) { return {S::gt(a.lo, b.lo), S::gt(a.hi, b.hi)}; }
    static M ge(V a, V b) { return {S::ge(a.lo, b.lo), S::ge(a.hi, b.hi)}; }
    static M eq(V a, V b) { return {S::eq(a.lo, b.lo), S::eq(a.hi, b.hi)}; }
    static M ne(V a, V b) { return {S::ne(a.lo, b.lo), S::ne(a.hi, b.hi)}; }
    static M and_(M a, M b) { return {S::and_(a.lo, b.lo), S::and_(a.hi, b.hi)}; }
    static M or_(M a, M b) { return {S::or_(a.lo, b.lo), S::or_(a.hi, b.hi)}; }
    static M andnot(M a, M b) { return {S::andnot(a.lo, b.lo), S::andnot(a.hi, b.hi)}; }
    static M all() { return {S::all(), S::all()}; }
    static unsigned bits(M m) { return S::bits(m.lo) | (S::bits(m.hi) << S::width); }
    static V blend(M m, V a, V b) { return {S::blend(m.lo, a.lo, b.lo), S::blend(m.hi, a.hi, b.hi)}; }
    static I trunc(V a) { return {S::trunc(a.lo), S::trunc(a.hi)}; }
    static I clamp(I i, int lo, int hi) { return {S::clamp(i.lo, lo, hi), S::clamp(i.hi, lo, hi)}; }
};

// The vector of half the width of a Twice, for the last few lanes of a list
// (a narrow type is its own half).
template <class S>
struct HalfOf {
    using type = S;
};
template <class S>
struct HalfOf<Twice<S>> {
    using type = S;
};

// The driver: per block of elements, a classification pass over full
// vectors evaluates the cheap vector branches at once, and sends each
// other element either to `scalar(i)` or to the list of the general vector
// path, with the `carried` per-lane values the classification computed
// (the kernel's arguments); then the listed elements run through `vector`
// in full vectors, the last one filled up by repeating its final element.
// classify(first, lanes, values, done) returns the lanes for the list as
// bits, writes their values[c][lane], and sets in `done` the lanes it has
// written the result of; vector(index, values, lanes) gets the elements'
// indices and their values[c] (width each), and is a template on the
// instruction set type: the list's last vector runs at half the width when
// its lanes fit.
constexpr std::size_t block = 512;
constexpr int carried = 5;

template <class S, class Classify, class Scalar, class Vector>
void run_blocks(std::size_t n, Classify classify, Scalar scalar, Vector vector) {
    constexpr int width = S::width;
    using Half = typename HalfOf<S>::type;
    std::size_t index[block + width];
    alignas(64) double packed[carried][block + width];
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t length = n - start < block ? n - start : block;
        std::size_t count = 0;
        for (std::size_t k = 0; k < length; k += width) {
            const int lanes = length - k < static_cast<std::size_t>(width) ? static_cast<int>(length - k) : width;
            alignas(64) double values[carried][width];
            unsigned done = 0;
            const unsigned bits = classify(start + k, lanes, values, done);
            for (int lane = 0; lane < lanes; ++lane) {
                if ((done >> lane) & 1u) {
                    continue;
                }
                if ((bits >> lane) & 1u) {
                    index[count] = start + k + lane;
                    for (int c = 0; c < carried; ++c) {
                        packed[c][count] = values[c][lane];
                    }
                    ++count;
                } else {
                    scalar(start + k + lane);
                }
            }
        }
        for (std::size_t k = count; count > 0 && k % width != 0; ++k) {
            index[k] = index[count - 1];
            for (int c = 0; c < carried; ++c) {
                packed[c][k] = packed[c][count - 1];
            }
        }
        for (std::size_t k = 0; k < count; k += width) {
            const double* values[carried];
            for (int c = 0; c < carried; ++c) {
                values[c] = packed[c] + k;
            }
            const int lanes = count - k < static_cast<std::size_t>(width) ? static_cast<int>(count - k) : width;
            if (lanes <= Half::width) {  // a narrower vector for the rest
                vector.template operator()<Half>(index + k, values, lanes);
            } else {
                vector.template operator()<S>(index + k, values, lanes);
            }
        }
    }
}

// Loads `lanes` values from p into a full vector, the rest filled with
// `fill` (a value the eligibility test rejects).
template <class S>
typename S::V load_partial(const double* p, int lanes, double fill) {
    alignas(64) double t[S::width];
    for (int k = 0; k < S::width; ++k) {
        t[k] = k < lanes ? p[k] : fill;
    }
    return S::load(t);
}

template <class S>
void disk_lanes(const double* u, const double* rho, double* out, std::size_t n) {
    using K = Kernels<S>;
    using V = typename S::V;
    constexpr int width = S::width;
    constexpr double not_a_number = __builtin_nan("");
    run_blocks<S>(
        n,
        [&](std::size_t first, int lanes, double (*values)[width], unsigned& done) {
            const V uv = lanes == width ? S::load(u + first) : load_partial<S>(u + first, lanes, 1.0);
            const V rv = lanes == width ? S::load(rho + first) : load_partial<S>(rho + first, lanes, not_a_number);
            V nv;
            V mv;
            V r;
            typename S::M far;
            const unsigned bits = S::bits(K::disk_eligible(uv, rv, nv, mv, r, far));
            done = S::bits(far);
            if (done != 0) {
                alignas(64) double result[width];
                S::store(result, K::disk_far(uv, rv));
                for (int lane = 0; lane < lanes; ++lane) {
                    if ((done >> lane) & 1u) {
                        out[first + lane] = result[lane];
                    }
                }
            }
            if (bits != 0) {
                S::store(values[0], uv);
                S::store(values[1], rv);
                S::store(values[2], nv);
                S::store(values[3], mv);
                S::store(values[4], r);
            }
            return bits;
        },
        [&](std::size_t i) { out[i] = witt_mao_magnification_scaled(u[i], rho[i]); },
        [&]<class T>(const std::size_t* lane_index, const double* const* values, int lanes) {
            typename T::M ok;
            alignas(64) double result[T::width];
            T::store(result, Kernels<T>::disk(T::load(values[0]), T::load(values[1]), T::load(values[2]),
                                              T::load(values[3]), T::load(values[4]), ok));
            const unsigned bits = T::bits(ok);
            for (int lane = 0; lane < lanes; ++lane) {
                const std::size_t i = lane_index[lane];
                out[i] = ((bits >> lane) & 1u) ? result[lane] : witt_mao_magnification_scaled(u[i], rho[i]);
            }
        });
}

template <class S>
void ring_lanes(double l, const double* r, double re, double rstar, double* out, bool* failed,
                     std::size_t n) {
    using K = Kernels<S>;
    using V = typename S::V;
    constexpr int width = S::width;
    constexpr double not_a_number = __builtin_nan("");
    const auto scalar = [&](std::size_t i) { out[i] = detail::ring_or_nan(l, r[i], re, rstar, &failed[i]); };
    if (l == 0) {  // the point-lens branch for every element
        for (std::size_t i = 0; i < n; ++i) {
            scalar(i);
        }
        return;
    }
    const double cc = re / rstar;
    const double h = cc * cc;
    const double band = 1e-5 * (l < 1.0 ? l : 1.0);  // 1e-5·min(1, l); a NaN l gives 1
    const V lv = S::set1(l);
    const V cv = S::set1(cc);
    const V hv = S::set1(h);
    const V bandv = S::set1(band);
    const V arctangent = S::set1(4 * ::atan(l / cc));
    run_blocks<S>(
        n,
        [&](std::size_t first, int lanes, double (*values)[width], unsigned& done) {
            const V rv = lanes == width ? S::load(r + first) : load_partial<S>(r + first, lanes, not_a_number);
            V nv;
            V mv;
            V sv;
            V big_l;
            typename S::M near;
            const unsigned bits = S::bits(K::ring_eligible(lv, rv, cv, hv, bandv, nv, mv, sv, big_l, near));
            done = S::bits(near);
            if (done != 0) {
                alignas(64) double result[width];
                S::store(result, K::ring_near(lv, rv, cv, hv, arctangent, near));
                for (int lane = 0; lane < lanes; ++lane) {
                    if ((done >> lane) & 1u) {
                        out[first + lane] = result[lane];
                        failed[first + lane] = false;
                    }
                }
            }
            if (bits != 0) {
                S::store(values[0], rv);
                S::store(values[1], nv);
                S::store(values[2], mv);
                S::store(values[3], sv);
                S::store(values[4], big_l);
            }
            return bits;
        },
        scalar,
        [&]<class T>(const std::size_t* lane_index, const double* const* values, int lanes) {
            typename T::M ok;
            alignas(64) double result[T::width];
            T::store(result, Kernels<T>::ring(T::set1(l), T::load(values[0]), T::set1(h), T::load(values[1]),
                                              T::load(values[2]), T::load(values[3]), T::load(values[4]), ok));
            const unsigned bits = T::bits(ok);
            for (int lane = 0; lane < lanes; ++lane) {
                const std::size_t i = lane_index[lane];
                if ((bits >> lane) & 1u) {
                    out[i] = result[lane];
                    failed[i] = false;
                } else {
                    scalar(i);
                }
            }
        });
}

}  // namespace
}  // namespace lumora::batch
