"""Generate src/ld/models/small_source_table.hpp: the small-source expansion
of the limb-darkened point-lens magnification.

With A₀(ρy) = h(ρ²y²)/(ρy), h(ε) = (1 + ε/2)(1 + ε/4)^(−1/2) = Σₖ cₖ·εᵏ,
the magnification of a source of radius ρ with profile I = Σ_b w_b·φ_b(μ)
at z = u/ρ is

    A = (1/(ρN))·Σ_b w_b·Σₖ cₖ·ρ^(2k)·G_{k,b}(z),   N = Σ_b w_b·N_b,
    G_{k,b}(z) = ∫₀¹ 2t·φ_b(μ)·R_k(z, t) dt,   μ = √(1 − t²),

R_k the mean of |y|^(2k−1) over the ring of radius t about the source
centre, y = z + t·e^(iθ).  With m = 4zt/(z + t)²,

    R_k = (z + t)^(2k−1)·₂F₁(½ − k, ½; 1; m)

(R₀ = 2K(m)/(π(z + t)), R₁ = 2(z + t)E(m)/π; the higher k by the
contiguous relation DLMF 15.5.11 in the first parameter, upward from K and
E, checked here against mpmath's hyp2f1).  k = 0 is the B₀ function of
Gould 1994 (ApJ 421, L71) and Yoo et al. 2004 (ApJ 603, 139).

G_{k,b} is tabulated for the basis terms φ_b = 1, μ^½, μ, μ^(3/2), μ², μ·ln μ
and k = 0 … ORDERS − 1, as Chebyshev series on panels in z graded toward
the limb z = 1, where G has a (z − 1)^p·ln|z − 1|-type singularity:
[0, ½] and [1 − 2^−j, 1 − 2^−(j+1)], j = 1 … 7, inside; [1 + 2^−(j+1), 1 + 2^−j],
j = 0 … 7, outside.  Each panel lies at least half its width from z = 1,
so the series converge geometrically at the same rate on every panel;
|z − 1| < 2^−8 is left to the stacked disks.  The values at the Chebyshev
points come from a tanh-sinh rule (Takahasi & Mori 1974) in x, t = sin x,
split at the ring through the lens t = z, at 50 digits; every (k, b) shares
the nodes.  The script checks the rule against the same rule at half the
step, the table against direct values off the nodes, and G₀ against an
independent two-dimensional mpmath quadrature of the ring mean.

It also writes the truncation bound of the ρ² series: the largest
ε = ρ²(z + 1)² for which K orders keep |h − Σₖ₌₀^(K−1) cₖεᵏ| ≤ ¼·rtol·h on
all of [0, ε], per tolerance level rtol = 10^−(level + 2).  Since
|y| ≤ z + 1 over the disk and a non-negative profile averages
A₀ = h/(ρy) with positive weights, the same bound holds for A.

Usage (inside tools/py314, about a minute on two cores):
    python3 tools/gen_ld_small_source_table.py > src/ld/models/small_source_table.hpp
"""

import multiprocessing
import sys
from fractions import Fraction

import mpmath as mp

DPS = 50
ORDERS = 8
BASES = ("1", "μ^½", "μ", "μ^(3/2)", "μ²", "μ·ln μ")
NODES = 20  # Chebyshev points per panel: degree 19
CUTS = (4, 8, 12, 16)  # shorter sums offered to looser tolerances
LEVELS = 11
BAND_EXPONENT = 8  # |z − 1| < 2^−8 is left to the stacked disks
mp.mp.dps = DPS  # everything, the panels' Chebyshev points included
STEP = mp.mpf(1) / 32  # tanh-sinh step


def panels():
    inside = [(mp.mpf(0), mp.mpf(0.5))] + [(1 - mp.ldexp(1, -j), 1 - mp.ldexp(1, -j - 1))
                                          for j in range(1, BAND_EXPONENT)]
    outside = [(1 + mp.ldexp(1, -j - 1), 1 + mp.ldexp(1, -j)) for j in range(BAND_EXPONENT)]
    return inside + outside


def basis(mu):
    half = mp.sqrt(mu)
    return [mp.mpf(1), half, mu, mu * half, mu * mu, mu * mp.log(mu) if mu > 0 else mp.mpf(0)]


def ring_means(z, t):
    """R_k(z, t), k = 0 … ORDERS − 1."""
    s = z + t
    if z == 0 or t == 0:
        return [s ** (2 * k - 1) for k in range(ORDERS)]
    if z == t:
        return None  # only a node within rounding of the kink, of negligible weight
    # m = 4zt/(z + t)² from its complement, which nothing cancels: near the
    # kink K(m) = π/(2·agm(1, √(1 − m))) keeps its logarithm.
    kc = abs(z - t) / s
    m = 1 - kc * kc
    f = [1 / mp.agm(1, kc), 2 / mp.pi * mp.ellipe(m)]
    for k in range(1, ORDERS - 1):
        a = mp.mpf(1) / 2 - k  # ₂F₁(a − 1) from ₂F₁(a) and ₂F₁(a + 1), DLMF 15.5.11
        f.append(-((2 * a - 1 + (mp.mpf(1) / 2 - a) * m) * f[k] + a * (-kc * kc) * f[k - 1]) / (1 - a))
    return [s ** (2 * k - 1) * f[k] for k in range(ORDERS)]


def tanh_sinh(a, b, step):
    """Nodes and weights of the tanh-sinh rule on [a, b]."""
    c = (a + b) / 2
    r = (b - a) / 2
    out = []
    j = 0
    while True:
        s = j * step
        v = mp.pi / 2 * mp.sinh(s)
        gap = 2 / (1 + mp.exp(2 * v))  # 1 − tanh v
        w = r * step * (mp.pi / 2) * mp.cosh(s) / mp.cosh(v) ** 2
        if gap < mp.mpf(10) ** (-DPS + 8) or w < mp.mpf(10) ** (-DPS + 5):
            break
        for sign in ((1,) if j == 0 else (1, -1)):
            out.append((c + sign * r * (1 - gap), w))
        j += 1
    return out


def g_values(z, step=STEP):
    """G_{k,b}(z) for every k and b, as sums[k][b]."""
    with mp.workdps(DPS):
        z = mp.mpf(z)
        pieces = [(mp.mpf(0), mp.pi / 2)]
        if 0 < z < 1:
            xz = mp.asin(z)
            pieces = [(mp.mpf(0), xz), (xz, mp.pi / 2)]
        sums = [[mp.mpf(0)] * len(BASES) for _ in range(ORDERS)]
        for a, b in pieces:
            for x, w in tanh_sinh(a, b, step):
                t = mp.sin(x)
                mu = mp.cos(x)
                rings = ring_means(z, t)
                if rings is None:
                    continue
                phis = basis(mu)
                weight = w * 2 * t * mu
                for k in range(ORDERS):
                    wr = weight * rings[k]
                    row = sums[k]
                    for i, phi in enumerate(phis):
                        row[i] += wr * phi
        return sums


def chebyshev_points(a, b):
    return [(a + b) / 2 + (b - a) / 2 * mp.cos(mp.pi * (j + mp.mpf(1) / 2) / NODES) for j in range(NODES)]


def chebyshev_coefficients(values):
    n = NODES
    out = []
    for i in range(n):
        c = 2 * mp.fsum(values[j] * mp.cos(mp.pi * i * (j + mp.mpf(1) / 2) / n) for j in range(n)) / n
        out.append(c / 2 if i == 0 else c)
    return out


def chebyshev_value(coefficients, x):
    t0, t1 = mp.mpf(1), x
    total = coefficients[0] + coefficients[1] * x
    for c in coefficients[2:]:
        t0, t1 = t1, 2 * x * t1 - t0
        total += c * t1
    return total


def h_coefficients():
    """cₖ of h(ε) = (1 + ε/2)(1 + ε/4)^(−1/2), exactly."""
    binomial = [Fraction(1)]
    for j in range(1, ORDERS + 1):
        binomial.append(binomial[-1] * (Fraction(-1, 2) - (j - 1)) / j)
    b = [x / 4**j for j, x in enumerate(binomial)]
    return [b[k] + (b[k - 1] / 2 if k > 0 else 0) for k in range(ORDERS + 1)]


def truncation_limits(c):
    """ε_K per level: the largest ε with |h − h_K| ≤ ¼·rtol·h on [0, ε]."""
    with mp.workdps(40):
        h = lambda e: (1 + e / 2) / mp.sqrt(1 + e / 4)
        def error(k, e):
            partial = mp.fsum(mp.mpf(c[j].numerator) / c[j].denominator * e**j for j in range(k))
            return abs(h(e) - partial) / h(e)
        limits = []
        for level in range(LEVELS):
            target = mp.mpf(10) ** -(level + 2) / 4
            row = []
            for k in range(1, ORDERS + 1):
                lo, hi = mp.mpf(0), mp.mpf(2)  # the series converges for ε < 4
                for _ in range(80):
                    mid = (lo + hi) / 2
                    if error(k, mid) <= target:
                        lo = mid
                    else:
                        hi = mid
                # The error grows with ε on [0, lo]: checked on a grid.
                grid = [lo * i / 400 for i in range(401)]
                assert all(error(k, grid[i]) <= error(k, grid[i + 1]) for i in range(400)), (level, k)
                row.append(float(lo) * (1 - 1e-12))
            limits.append(row)
        return limits


def panel_job(panel):
    a, b = panel
    points = chebyshev_points(a, b)
    values = [g_values(z) for z in points]
    coefficients = [[chebyshev_coefficients([v[k][i] for v in values]) for i in range(len(BASES))]
                    for k in range(ORDERS)]
    # An error δ in G_{k,b} moves A by cₖρ^(2k)·δ/ρ against A ≈ G_{0,b}/ρ for
    # one basis term, and G_{k,b} ≤ (z + 1)^(2k)·G_{0,b} (|y| ≤ z + 1), so
    # errors are measured against (z + 1)^(2k)·|G_{0,b}(z)|: the table's
    # share in the relative error of A is then at most Σₖ |cₖ|·εᵏ ≤
    # Σₖ |cₖ|·2ᵏ (ε ≤ 2) times it.  Every G_{0,b} keeps one sign.
    def scale(z, v, k, i):
        return abs(v[0][i]) * (1 + z) ** (2 * k)
    scales = [[min(scale(z, v, k, i) for z, v in zip(points, values)) for i in range(len(BASES))]
              for k in range(ORDERS)]
    # The series cut after m terms: Σ_{n ≥ m} |aₙ| bounds the error.
    tails = [max(float(mp.fsum(abs(x) for x in coefficients[k][i][m:]) / scales[k][i])
                 for k in range(ORDERS) for i in range(len(BASES))) for m in CUTS]
    # Off the nodes: the table against direct values at two points, summed
    # exactly and, rounded to doubles, in double arithmetic as the module
    # sums it.
    worst = 0.0
    worst_double = 0.0
    for frac in (mp.mpf("0.137"), mp.mpf("0.911")):
        z = a + (b - a) * frac
        direct = g_values(z)
        x = 2 * frac - 1
        for k in range(ORDERS):
            for i in range(len(BASES)):
                size = scale(z, direct, k, i)
                err = abs(chebyshev_value(coefficients[k][i], x) - direct[k][i]) / size
                worst = max(worst, float(err))
                t0, t1 = 1.0, float(x)
                total = float(coefficients[k][i][0]) + float(coefficients[k][i][1]) * t1
                for c in coefficients[k][i][2:]:
                    t0, t1 = t1, 2 * float(x) * t1 - t0
                    total += float(c) * t1
                worst_double = max(worst_double, float(abs(total - direct[k][i]) / size))
    # The rule against half its step at the panel's middle.
    z = (a + b) / 2
    fine = g_values(z, STEP / 2)
    coarse = g_values(z)
    rule = max(float(abs(fine[k][i] - coarse[k][i]) / abs(fine[k][0]))
               for k in range(ORDERS) for i in range(len(BASES)))
    return coefficients, worst, rule, worst_double, tails


def independent_g0(z, basis_index):
    """G_{0,b}(z) as (1/π)∫∫ φ_b/|y| over the unit disk, by nested mp.quad."""
    with mp.workdps(25):
        z = mp.mpf(z)
        def ring(t):
            f = lambda th: 1 / mp.sqrt((z - t) ** 2 + 4 * z * t * mp.sin(th / 2) ** 2)
            return mp.quad(f, [0, mp.pi]) / mp.pi
        pts = [0, z, 1] if 0 < z < 1 else [0, 1]
        return mp.quad(lambda t: 2 * t * basis(mp.sqrt(1 - t * t))[basis_index] * ring(t), pts)


def main():
    # The contiguous recurrence against hyp2f1.
    with mp.workdps(DPS):
        for z, t in ((mp.mpf("0.3"), mp.mpf("0.7")), (mp.mpf("0.99"), mp.mpf("0.98"))):
            s = z + t
            m = 4 * z * t / s**2
            for k, r in enumerate(ring_means(z, t)):
                direct = s ** (2 * k - 1) * mp.hyp2f1(mp.mpf(1) / 2 - k, mp.mpf(1) / 2, 1, m)
                assert abs(r - direct) <= mp.mpf(10) ** -40 * abs(direct), (k, r, direct)
    # G₀ against a two-dimensional quadrature.
    for z, i in ((0.3, 0), (0.8, 1), (1.2, 5), (1.7, 3)):
        a = g_values(z)[0][i]
        b = independent_g0(z, i)
        assert abs(a - b) <= 1e-20 * abs(b), (z, i, a, b)
    with multiprocessing.Pool(2) as pool:
        results = pool.map(panel_job, panels(), chunksize=1)
    worst_table = max(r[1] for r in results)
    worst_rule = max(r[2] for r in results)
    worst_double = max(r[3] for r in results)
    print(f"table off the nodes {worst_table:.2e} (in doubles {worst_double:.2e}), "
          f"rule against half step {worst_rule:.2e}", file=sys.stderr)
    assert worst_table < 1e-16 and worst_double < 1e-15 and worst_rule < 1e-25
    c = h_coefficients()
    limits = truncation_limits(c)
    out = sys.stdout
    out.write("// Generated by tools/gen_ld_small_source_table.py (mpmath, 50 digits),\n"
              "// do not edit.\n"
              "//\n"
              "// G_{k,b}(z) = ∫₀¹ 2t·φ_b(μ)·R_k(z, t) dt, R_k the ring mean of |y|^(2k−1),\n"
              "// as Chebyshev series Σₙ aₙ·Tₙ(x), x = (2z − lo − hi)/(hi − lo), on each panel\n"
              "// [lo, hi]: coefficients[((panel·orders + k)·bases + b)·terms + n].  Panels:\n"
              "// 0 = [0, ½], j = 1 … 7: [1 − 2^−j, 1 − 2^−(j+1)]; 8 + j, j = 0 … 7:\n"
              "// [1 + 2^−(j+1), 1 + 2^−j].  Bases b: 1, μ^½, μ, μ^(3/2), μ², μ·ln μ.\n"
              f"// Off the Chebyshev points the table is within {worst_table:.1e} of direct\n"
              f"// values, relative to (z + 1)^(2k)·|G_{{0,b}}(z)|; rounded to doubles and\n"
              f"// summed in double arithmetic, within {worst_double:.1e}.\n"
              "#pragma once\n\n#include <array>\n#include <cstddef>\n\n"
              "namespace lumora::ld::small_source_table {\n\n"
              f"inline constexpr int orders = {ORDERS};\n"
              f"inline constexpr int bases = {len(BASES)};\n"
              f"inline constexpr int panels = {len(results)};\n"
              f"inline constexpr int terms = {NODES};\n"
              f"inline constexpr int band_exponent = {BAND_EXPONENT};  // |z − 1| < 2^−8: not served\n"
              f"inline constexpr int levels = {LEVELS};\n\n")
    out.write("// cₖ of h(ε) = (1 + ε/2)(1 + ε/4)^(−1/2) = Σₖ cₖεᵏ (exact rationals, rounded once).\n")
    out.write(f"inline constexpr std::array<double, orders> h_coefficients = {{\n")
    for k in range(ORDERS):
        out.write(f"    {float(c[k]):.17g},  // {c[k]}\n")
    out.write("};\n\n")
    share = sum(abs(float(c[k])) * 2**k for k in range(ORDERS))
    tails = [share * max(r[4][j] for r in results) for j in range(len(CUTS))] + [share * worst_double]
    out.write("// A bound on the tables' share in the relative error of A for one basis\n"
              "// term, summed on the first 4, 8, 12, 16 Chebyshev terms (the dropped |aₙ|)\n"
              "// and on all 20 (measured in doubles, as below): the error of G_{k,b}\n"
              "// against (z + 1)^(2k)·|G_{0,b}(z)|, worst over k, b and panels, times\n"
              f"// Σₖ |cₖ|·2ᵏ = {share:.4g}.\n")
    out.write("inline constexpr std::array<double, 5> cut_error = {"
              + ", ".join(f"{x:.3g}" for x in tails) + "};\n\n")
    out.write("// epsilon_limit[level][K − 1]: the largest ε = ρ²(z + 1)² for which the\n"
              "// orders k < K keep the truncated h within ¼·10^−(level+2) of h (relative)\n"
              "// on all of [0, ε].\n")
    out.write("inline constexpr std::array<std::array<double, orders>, levels> epsilon_limit = {{\n")
    for row in limits:
        out.write("    {" + ", ".join(f"{x:.17g}" for x in row) + "},\n")
    out.write("}};\n\n")
    total = len(results) * ORDERS * len(BASES) * NODES
    out.write(f"inline constexpr std::array<double, {total}> coefficients = {{\n")
    for p, (coefficients, *_) in enumerate(results):
        for k in range(ORDERS):
            for i in range(len(BASES)):
                row = [float(x) for x in coefficients[k][i]]
                out.write(f"    // panel {p}, k = {k}, {BASES[i]}\n")
                for j in range(0, NODES, 4):
                    out.write("    " + " ".join(f"{x:.17g}," for x in row[j:j + 4]) + "\n")
    out.write("};\n\n}  // namespace lumora::ld::small_source_table\n")


if __name__ == "__main__":
    main()
