// Lane-wise uniform-disk and ring kernels, written once over an instruction
// set type S and included only by the variant translation units
// (batch_avx512.cpp, batch_avx2.cpp), each compiled for its instruction set.
//
// Each lane performs, operation for operation, the scalar sequence of
//   witt_mao_magnification_scaled (Witt & Mao 1994) and
//   heyrovsky_magnification (Heyrovský 2003), general branch, with
//   K(m), E(m) from the Taylor tables (ellint_table.hpp) or the AGM, and
//   Π(n, m) = RF(0, 1 − m, 1) + (n/3)·RJ(0, 1 − m, 1, 1 − n) (DLMF 19.25.2),
//   RF by the AGM (DLMF 19.22.1), RJ by duplication (Carlson 1995,
//   Numer. Algorithms 10, 13-26, Algorithm 3; DLMF 19.36.11),
// and the disk's far-field branch and the ring's near-ring expansion,
// so that a lane's result has the scalar kernel's bits.  The grouping of
// every expression below is the one the scalar code's left-to-right
// evaluation gives.  A lane takes this path only where the scalar kernel
// takes exactly these branches ("common" below); every other element goes to
// the scalar kernel, and so does a lane whose Π comes out non-finite or
// whose duplication does not settle (the scalar kernel then decides what
// error or value that is).
//
// A division by a power of two is written as the multiplication by its
// reciprocal: both are the correctly rounded x·2^−k, so the bits agree, and
// a vector division costs many multiplications.
//
// S provides: width; V (vector of doubles), M (lane mask), I (vector of
// int32 indices); set1, load, store, store_i; add, sub, mul, div, sqrt (all
// correctly rounded), abs, neg (sign bit only), max; lt, le, gt, ge, eq (ordered),
// ne (unordered, as C's !=); and_, or_, andnot(a, b) = a & ~b, all, bits;
// blend(m, a, b) = m ? b : a; trunc (toward zero), clamp, and from_lanes
// (the vector of rows[k][j] over the lanes k).
// Nothing here may call an inline function of another header: this code is
// compiled for an instruction set the baseline build must not reach.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "models/batch_variants.hpp"
#include "models/witt_mao.hpp"
#include "numerics/ellint_table.hpp"

namespace lumora::batch {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;              // 2π
constexpr double one_minus_eps = 0.9999999999999998;      // 1 − 2^−52, ellippi's pole test
constexpr double rj_bound = 110.67925377307274;           // (ε/5)^(−1/8), RJ stop bound
constexpr double agm_tolerance = 5.995204332975846e-16;   // 2.7ε, AGM stop test

// The Taylor rows of K and E by interval index i = trunc(20 m), 0 <= i <= 17,
// each padded with zero coefficients above its last term.  Horner's rule
// started at a zero coefficient keeps the sum at ±0 until the row's own
// highest coefficient c, and ±0·x + c = c exactly: every lane then runs
// its own row's Horner sequence, however many terms its neighbours have.
constexpr int index_count = 18;
constexpr int row_stride = ellint_table::max_terms;

struct PaddedTaylor {
    double centre[index_count];
    int terms[index_count];
    double c[index_count * row_stride];
};

constexpr PaddedTaylor pad(const ellint_table::TaylorRow (&rows)[10]) {
    PaddedTaylor out{};
    for (int i = 0; i < index_count; ++i) {
        const ellint_table::TaylorRow& row = rows[ellint_table::taylor_row_of_index[i]];
        out.centre[i] = row.centre;
        out.terms[i] = row.terms;
        for (int j = 0; j < row_stride; ++j) {
            out.c[i * row_stride + j] = j < row.terms ? row.c[j] : 0.0;
        }
    }
    return out;
}

alignas(64) constexpr PaddedTaylor padded_k = pad(ellint_table::ellipk_taylor);
alignas(64) constexpr PaddedTaylor padded_e = pad(ellint_table::ellipe_taylor);

double atan_lane(double x) noexcept { return ::atan(x); }
double pow_lane(double a) noexcept { return ::pow(a, -1.5); }
double log_lane(double x) noexcept { return ::log(x); }

template <class S>
struct Kernels {
    using V = typename S::V;
    using M = typename S::M;
    using I = typename S::I;
    static constexpr int width = S::width;

    static V c(double x) { return S::set1(x); }

    // f(x) in every lane of `active`, one C library call per lane; the
    // other lanes keep x.
    template <double (*F)(double) noexcept>
    static V per_lane(V x, M active) {
        alignas(64) double t[width];
        S::store(t, x);
        const unsigned bits = S::bits(active);
        for (int k = 0; k < width; ++k) {
            if ((bits >> k) & 1u) {
                t[k] = F(t[k]);
            }
        }
        return S::load(t);
    }

    // The Taylor polynomial of K or E at m, row by interval index, for
    // as many terms as the longest row among the lanes.
    static V taylor(const PaddedTaylor& table, I index, V m) {
        alignas(64) std::int32_t lane_index[width];
        S::store_i(lane_index, index);
        const double* rows[width];
        int top = 0;
        for (int k = 0; k < width; ++k) {
            const int terms = table.terms[lane_index[k]];
            top = terms > top ? terms : top;
            rows[k] = table.c + lane_index[k] * row_stride;
        }
        double centres[width];
        for (int k = 0; k < width; ++k) {
            centres[k] = table.centre[lane_index[k]];
        }
        const V x = S::sub(m, S::load(centres));
        V sum = c(0.0);
        for (int j = top - 1; j >= 0; --j) {
            sum = S::add(S::mul(sum, x), S::from_lanes(rows, j));
        }
        return sum;
    }

    // The lanes for which ellipk(m) and ellipe(m) take a Taylor row
    // (0 <= trunc(20 m) <= 17) or the AGM (trunc(20 m) >= 18, m < 1), and
    // ellippi(n, m) is RF(0, y, 1) + n·RJ(0, y, 1, p)/3 with y = 1 − m,
    // p = 1 − n: 0 < n <= 1 − 2^−52, n != m; RF takes the AGM (y != 0,
    // y != 1), RJ none of its special cases (y != 1, p != 1) and its
    // duplication sees e = δ/d² >= 0 only (δ >= 0), where RC(1, 1 + e) is
    // atan(√e)/√e or 1.  Every comparison is false for a NaN.
    static M common(V n, V m) {
        const V t = S::mul(c(20), m);
        const M k_e_ok = S::and_(S::ge(t, c(0)), S::lt(m, c(1)));
        const V y = S::sub(c(1), m);
        const V p = S::sub(c(1), n);
        const V delta = S::mul(S::mul(S::sub(p, c(0)), S::sub(p, y)), S::sub(p, c(1)));
        M ok = S::and_(S::gt(n, c(0)), S::le(n, c(one_minus_eps)));
        ok = S::and_(ok, S::ne(n, m));
        ok = S::and_(ok, S::and_(S::ne(y, c(0)), S::ne(y, c(1))));
        ok = S::and_(ok, S::and_(S::ne(p, c(1)), S::ge(delta, c(0))));
        return S::and_(ok, k_e_ok);
    }

    // K(m), and E(m) if e is not null, for 0 <= m < 1: the Taylor rows
    // where trunc(20 m) <= 17, else the AGM of 1 and √(1 − m) (DLMF 19.8.5
    // for K, at most 10 steps; Carlson's one-zero form of RG for E, DLMF
    // 19.22.6-19.22.7, until the stop test fails), both from one sequence
    // of AGM steps: K's loop is the same as E's, cut after 10 steps.
    static V ellipk_ellipe(V m, V* e) {
        const M agm = S::ge(S::mul(c(20), m), c(18));
        const unsigned agm_bits = S::bits(agm);
        V k = c(0);
        if (e != nullptr) {
            *e = c(0);
        }
        if (agm_bits != S::bits(S::all())) {
            const I index = interval(m);
            k = taylor(padded_k, index, m);
            if (e != nullptr) {
                *e = taylor(padded_e, index, m);
            }
        }
        if (agm_bits == 0) {
            return k;
        }
        const V root = S::sqrt(S::sub(c(1), m));  // √(1 − m), also in E's b below
        V a = c(1);
        V g = root;
        V w = c(0.25);
        V sum = c(0);
        V a_k = a;
        V g_k = g;
        M active = agm;
        for (int step = 0; S::bits(active) != 0; ++step) {
            if (step == 10) {
                a_k = a;  // K stops here
                g_k = g;
                if (e == nullptr) {
                    break;
                }
            }
            active = S::and_(active, continues(a, g));
            const V a_next = S::mul(S::add(a, g), c(0.5));
            const V g_next = S::sqrt(S::mul(a, g));
            a = S::blend(active, a, a_next);
            g = S::blend(active, g, g_next);
            const V w_next = S::mul(c(2), w);
            const V d = S::sub(a, g);
            w = S::blend(active, w, w_next);
            sum = S::blend(active, sum, S::add(sum, S::mul(w, S::mul(d, d))));
            if (step < 10) {
                a_k = a;
                g_k = g;
            }
        }
        k = S::blend(agm, k, S::div(c(pi), S::add(a_k, g_k)));
        if (e != nullptr) {
            const V b = S::add(c(1), root);
            const V value = S::div(S::mul(S::sub(S::mul(S::mul(b, b), c(0.25)), sum), c(pi)), S::add(a, g));
            *e = S::blend(agm, *e, value);
        }
        return k;
    }

    // The AGM goes on while |a − g| >= 2.7ε·|a|.
    static M continues(V a, V g) {
        return S::ge(S::abs(S::sub(a, g)), S::mul(c(agm_tolerance), S::abs(a)));
    }

    // trunc(20 m), the row index; clamped to the table so that a lane
    // outside it (which the caller never sends here) cannot read elsewhere.
    static I interval(V m) { return S::clamp(S::trunc(S::mul(c(20), m)), 0, index_count - 1); }

    // RF(0, y, 1) = π/(2·AGM(1, √y)) with at most 11 AGM steps, the stop
    // test |a − g| >= 2.7ε·|a| before each.
    static V rf0(V y) {
        V a = c(1);  // √1
        V g = S::sqrt(y);
        M active = S::all();
        for (int step = 0; step < 11; ++step) {
            active = S::and_(active, continues(a, g));
            if (S::bits(active) == 0) {
                break;
            }
            const V a_next = S::mul(S::add(a, g), c(0.5));
            const V g_next = S::sqrt(S::mul(a, g));
            a = S::blend(active, a, a_next);
            g = S::blend(active, g, g_next);
        }
        return S::div(c(pi), S::add(a, g));
    }

    // RJ(0, y, 1, p) by duplication, at most 100 steps; `settled` marks
    // the lanes that met the stop test a > q·f with e >= 0 throughout.
    static V rj(V y, V p, M& settled) {
        V x = c(0);
        V z = c(1);
        const V x0 = x;
        const V y0 = y;
        const V z0 = z;
        const V a0 = S::div(S::add(S::add(S::add(x, y), z), S::mul(c(2), p)), c(5));
        V delta = S::mul(S::mul(S::sub(p, x), S::sub(p, y)), S::sub(p, z));
        const V q = S::mul(c(rj_bound),
                           S::max(S::max(S::max(S::abs(S::sub(a0, x)), S::abs(S::sub(a0, y))),
                                         S::abs(S::sub(a0, z))),
                                  S::abs(S::sub(a0, p))));
        V a = a0;
        V f = c(1);
        V s = c(0);
        M active = S::all();
        M odd = S::andnot(active, active);  // lanes that would need another RC branch
        settled = odd;
        for (int step = 0; step < 100 && S::bits(active) != 0; ++step) {
            // In the first step x = 0 and z = 1 in every lane: √0 = 0, √1 = 1.
            const V rx = step == 0 ? c(0) : S::sqrt(x);
            const V ry = S::sqrt(y);
            const V rz = step == 0 ? c(1) : S::sqrt(z);
            const V rp = S::sqrt(p);
            const V d = S::mul(S::mul(S::add(rp, rx), S::add(rp, ry)), S::add(rp, rz));
            const V e = S::div(delta, S::mul(d, d));
            // RC(1, 1 + e): atan(√e)/√e for e > 0, 1 for e = 0 (DLMF 19.2.18)
            const M positive = S::gt(e, c(0));
            odd = S::or_(odd, S::andnot(active, S::or_(positive, S::eq(e, c(0)))));
            const V r = S::sqrt(e);
            const V rc = S::blend(positive, c(1), S::div(per_lane<atan_lane>(r, S::and_(active, positive)), r));
            const V s_next = S::add(s, S::mul(S::div(f, d), rc));
            const V lambda = S::add(S::add(S::mul(rx, ry), S::mul(rx, rz)), S::mul(ry, rz));
            const V a_next = S::mul(S::add(a, lambda), c(0.25));
            const V f_next = S::mul(f, c(0.25));
            s = S::blend(active, s, s_next);
            a = S::blend(active, a, a_next);
            f = S::blend(active, f, f_next);
            const M done = S::and_(active, S::gt(a_next, S::mul(q, f_next)));
            settled = S::or_(settled, done);
            active = S::andnot(active, done);
            x = S::mul(S::add(x, lambda), c(0.25));
            y = S::mul(S::add(y, lambda), c(0.25));
            z = S::mul(S::add(z, lambda), c(0.25));
            p = S::mul(S::add(p, lambda), c(0.25));
            delta = S::mul(delta, c(0.015625));
        }
        settled = S::andnot(settled, odd);
        const V xx = S::div(S::mul(f, S::sub(a0, x0)), a);
        const V yy = S::div(S::mul(f, S::sub(a0, y0)), a);
        const V zz = S::div(S::mul(f, S::sub(a0, z0)), a);
        const V pp = S::mul(S::neg(S::add(S::add(xx, yy), zz)), c(0.5));
        const V pp2 = S::mul(pp, pp);
        const V e2 = S::sub(S::add(S::add(S::mul(xx, yy), S::mul(xx, zz)), S::mul(yy, zz)), S::mul(c(3), pp2));
        const V e3 = S::add(S::add(S::mul(S::mul(xx, yy), zz), S::mul(S::mul(c(2), e2), pp)),
                            S::mul(c(4), S::mul(pp2, pp)));
        const V e4 = S::mul(S::add(S::add(S::mul(S::mul(S::mul(c(2), xx), yy), zz), S::mul(e2, pp)),
                                   S::mul(c(3), S::mul(pp2, pp))),
                            pp);
        const V e5 = S::mul(S::mul(S::mul(xx, yy), zz), pp2);
        const V t = series_t(e2, e3, e4, e5);
        return S::add(S::mul(S::mul(f, per_lane<pow_lane>(a, settled)), t), S::mul(c(6), s));
    }

    // Carlson 1995, eq. 2.18, term by term from the left.
    static V series_t(V e2, V e3, V e4, V e5) {
        const V e22 = S::mul(e2, e2);
        V t = S::sub(c(1), S::div(S::mul(c(3), e2), c(14)));
        t = S::add(t, S::div(e3, c(6)));
        t = S::add(t, S::div(S::mul(c(9), e22), c(88)));
        t = S::sub(t, S::div(S::mul(c(3), e4), c(22)));
        t = S::sub(t, S::div(S::mul(S::mul(c(9), e2), e3), c(52)));
        t = S::add(t, S::div(S::mul(c(3), e5), c(26)));
        t = S::sub(t, S::mul(S::mul(e22, e2), c(0.0625)));  // /16
        t = S::add(t, S::div(S::mul(c(3), S::mul(e3, e3)), c(40)));
        t = S::add(t, S::div(S::mul(S::mul(c(3), e2), e4), c(20)));
        t = S::add(t, S::div(S::mul(S::mul(c(45), e22), e3), c(272)));
        return S::sub(t, S::div(S::mul(c(9), S::add(S::mul(e3, e4), S::mul(e2, e5))), c(68)));
    }

    // Π(n, m) on the common lanes; `ok` marks a finite, settled result.
    static V ellippi(V n, V m, M& ok) {
        const V y = S::sub(c(1), m);
        const V rf = rf0(y);
        M settled;
        const V rjv = rj(y, S::sub(c(1), n), settled);
        const V v = S::add(rf, S::div(S::mul(n, rjv), c(3)));
        ok = S::and_(settled, S::lt(S::abs(v), c(HUGE_VAL)));
        return v;
    }

    // Uniform disk, general branch: n and m (Witt & Mao 1994).
    static void disk_nm(V u, V rho, V& n, V& m, V& r) {
        const V sum = S::add(u, rho);
        const V diff = S::sub(u, rho);
        n = S::div(S::mul(S::mul(c(4), u), rho), S::mul(sum, sum));
        r = S::sqrt(S::add(S::mul(diff, diff), c(4)));
        const V k = S::div(S::sqrt(S::mul(c(4), n)), r);
        m = S::mul(k, k);
    }

    // The lanes the general vector path evaluates: ρ > 0, outside the limb
    // window |u − ρ| < 0.001|ρ|, not beyond 1000ρ, and common (n, m); n, m
    // and r = √((u − ρ)² + 4) for disk().  `far`: the lanes of the far-field
    // branch (ρ > 0, outside the window, u > 1000ρ), for disk_far().
    static M disk_eligible(V u, V rho, V& n, V& m, V& r, M& far) {
        M outside = S::gt(rho, c(0));
        outside = S::andnot(outside, S::gt(S::mul(c(0.001), S::abs(rho)), S::abs(S::sub(u, rho))));
        far = S::and_(outside, S::gt(u, S::mul(c(1000), rho)));
        disk_nm(u, rho, n, m, r);
        return S::and_(S::andnot(outside, far), common(n, m));
    }

    // Far from the source: the point lens plus the disk-mean Laplacian term.
    static V disk_far(V u, V rho) {
        const V uu = S::mul(u, u);
        const V q = S::add(uu, c(4));
        const V s = S::sqrt(q);
        const V point = S::div(S::add(c(2), uu), S::mul(u, s));
        const V laplacian = S::div(S::mul(S::mul(c(4), S::mul(rho, rho)), S::add(uu, c(1))),
                                   S::mul(S::mul(u, uu), S::mul(S::mul(q, q), s)));
        return S::add(point, laplacian);
    }

    static V disk(V u, V rho, V n, V m, V r, M& ok) {
        V e;
        const V kk = ellipk_ellipe(m, &e);
        const V p = ellippi(n, m, ok);
        const V sum = S::add(u, rho);
        const V diff = S::sub(u, rho);
        const V rr = S::mul(rho, rho);
        const V c_e = S::div(S::mul(r, sum), S::mul(c(2), rr));
        const V c_k = S::div(S::mul(diff, S::add(S::mul(S::sub(S::mul(u, u), rr), c(0.5)), c(4))), S::mul(r, rr));
        const V c_pi = S::div(S::mul(S::mul(c(2), S::mul(diff, diff)), S::add(c(1), rr)), S::mul(S::mul(r, rr), sum));
        return S::div(S::add(S::sub(S::mul(e, c_e), S::mul(kk, c_k)), S::mul(p, c_pi)), c(pi));
    }

    // Ring, general branch (Heyrovský 2003), with c = re/rstar and h = c².
    static void ring_nm(V l, V r, V cc, V h, V& n, V& m, V& s, V& big_l) {
        const V d = S::sub(r, l);
        s = S::add(l, r);
        big_l = S::add(S::mul(c(4), h), S::mul(d, d));
        const V k = S::mul(S::sqrt(S::div(S::mul(l, r), big_l)), S::div(S::mul(c(4), cc), s));
        m = S::mul(k, k);
        n = S::div(S::mul(S::mul(c(4), l), r), S::mul(s, s));
    }

    // Lanes outside the near-ring band |r − l| < band (l != 0 is the
    // caller's test) and common (n, m); n, m, s and L for ring().  `near`:
    // the lanes inside the band, for ring_near().
    static M ring_eligible(V l, V r, V cc, V h, V band, V& n, V& m, V& s, V& big_l, M& near) {
        near = S::lt(S::abs(S::sub(r, l)), band);
        ring_nm(l, r, cc, h, n, m, s, big_l);
        return S::andnot(common(n, m), near);
    }

    // The ring through the lens, to first order in D = r − l (Heyrovský
    // 2003); `arctangent` is 4·atan(l/c), the same for every lane.
    static V ring_near(V l, V r, V cc, V h, V arctangent, M near) {
        const V d = S::sub(r, l);
        const V ll = S::mul(l, l);
        const V q = S::add(ll, h);
        const V logarithm =
            per_lane<log_lane>(S::div(S::mul(S::mul(c(8), cc), l), S::mul(S::sqrt(q), S::abs(d))), near);
        const V first = S::mul(S::mul(S::div(S::mul(c(2), cc), l), S::sub(c(1), S::div(d, S::mul(c(2), l)))),
                               logarithm);
        const V last = S::div(S::mul(S::mul(d, cc), S::add(S::mul(c(2), ll), h)), S::mul(q, ll));
        return S::div(S::add(S::add(first, arctangent), last), c(two_pi));
    }

    static V ring(V l, V r, V h, V n, V m, V s, V big_l, M& ok) {
        const V kk = ellipk_ellipe(m, nullptr);
        const V p = ellippi(n, m, ok);
        const V d = S::sub(r, l);
        const V num = S::add(S::mul(S::mul(c(2), h), kk), S::mul(S::mul(d, d), p));
        return S::div(S::mul(num, S::div(c(4), S::mul(s, S::sqrt(big_l)))), c(two_pi));
    }
};

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
void witt_mao_batch(const double* u, const double* rho, double* out, std::size_t n) {
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
void heyrovsky_batch(double l, const double* r, double re, double rstar, double* out, bool* failed,
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
