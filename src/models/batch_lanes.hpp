// Lane mathematics of the batch kernels: the uniform-disk and ring kernels
// written once over an instruction set type S, lane by lane.  Included only
// by the vector unit (batch_avx2.cpp) through batch_driver.hpp, compiled
// for its instruction set.
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
// evaluation gives: a change of operation order in models/witt_mao.cpp,
// models/heyrovsky.cpp or numerics/ellint.cpp and carlson.cpp is made here
// too.  A lane takes this path only where the scalar kernel takes exactly
// these branches ("common" below); every other element goes to the scalar
// kernel, and so does a lane whose Π comes out non-finite or whose
// duplication does not settle (the scalar kernel then decides what error
// or value that is).
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
//
// Nothing here calls an inline function of another header: this code is
// compiled for an instruction set the baseline build must not reach, and
// an inline function compiled here could become the copy the linker keeps
// for every caller.  The headers included below hold only constants and
// tables (and the C library's declarations); the object check
// (tools/check_objects.py) verifies that a vector unit defines no symbol but
// its entry points.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "numerics/constants.hpp"
#include "numerics/ellint_table.hpp"
#include "numerics/strict_fp.hpp"

namespace lumora::batch {
namespace {

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

}  // namespace
}  // namespace lumora::batch
