"""Generate src/ld/models/mid_source_table.hpp: the magnified flux of each
limb-darkening basis term for sources of moderate size, 1/8 ≤ ρ < 4, as
two-dimensional Chebyshev series in z = u/ρ and ρ.

For a profile I = Σ_b w_b·φ_b(μ) the magnification is linear in the basis
terms,

    A(u, ρ) = (1/(ρN))·Σ_b w_b·P_b(z, ρ),   P_b = ρ·∫₀¹ 2t·φ_b(μ)·Ā(u, ρt) dt,

Ā the mean of the point-lens magnification over the ring of radius ρt about
the source centre (so that P_b/ρ is the magnified flux of φ_b, and
P_b → G_{0,b} of the small-source expansion as ρ → 0).  This is where that
expansion stops serving (its ρ² series converges for ρ(z + 1) < 2 only and
needs many orders well before), and where stacked disks took 30–50 kernel
calls per value.

P_b for φ_b = 1, μ^½, μ, μ^(3/2), μ², μ·ln μ is tabulated on the z panels
of the small-source tables ([0, ½], [1 − 2^−j, 1 − 2^−(j+1)] and
[1 + 2^−(j+1), 1 + 2^−j], j up to 7: graded toward the limb z = 1, where
P_b has a (z − 1)^p·ln|z − 1|-type singularity; |z − 1| < 2^−8 is left to
the stacked disks) times the octaves [2^e, 2^(e+1)), e = −3 … 1, in ρ,
where P_b is analytic (its nearest singularities lie off the real axis, at
ρ = ±2i/(z + 1) and beyond).  On each cell, TERMS × TERMS values at the
Chebyshev points of both variables give the coefficients of
Σᵢⱼ cᵢⱼ·Tᵢ(x)·Tⱼ(y), x linear in z on the panel, y = 2ρ/2^e − 3.

The values come from stacked disks with 64 Gauss–Legendre nodes per piece
(the rule tools/prove_ld_nodes.py holds the production node counts to, and
benchmarks/ld_accuracy.py checks against the mpmath nested quadrature of
tests/ld_reference.py), for the pure profiles μ (linear, a = 1), μ²
(quadratic, a = 2, b = −1), μ^½ (square-root, c = 0, d = 1), μ^(3/2)
(power-2, c = 1, α = 3/2), 1 (uniform) and μ − μ·ln μ (logarithmic,
c = d = 1), from which P of μ·ln μ is the difference with that of μ.

The script writes, per pair of shorter sums (the first m_z terms in z and
m_ρ in ρ, multiples of 4), a bound on the relative error of P_b: the
dropped |cᵢⱼ| over the smallest |P_b| on the cell, worst over cells and
bases, or the error measured at seeded points off the nodes against the
reference, whichever is larger.

Usage (inside tools/py314, about a minute):
    python3 tools/gen_ld_mid_source_table.py > src/ld/models/mid_source_table.hpp
"""

import random
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import prove_ld_nodes as nodes  # noqa: E402

TERMS = 16
RHO_OCTAVES = range(-3, 2)  # [2^e, 2^(e+1)): ρ from 1/8 to 4
BAND_EXPONENT = 8
CUTS = (4, 8, 12, 16)
CHECKS_PER_CELL = 8
BASES = ("1", "μ^½", "μ", "μ^(3/2)", "μ²", "μ·ln μ")
# The pure profiles and their fluxes N = ∫₀¹ 2t·I dt; the last is μ − μ·ln μ.
PROFILES = [("uniform", (), 1.0), ("square_root", (0.0, 1.0), 0.8), ("linear", (1.0,), 2 / 3),
            ("power2", (1.0, 1.5), 4 / 7), ("quadratic", (2.0, -1.0), 0.5), ("logarithmic", (1.0, 1.0), 8 / 9)]


def z_panels():
    inside = [(0.0, 0.5)] + [(1 - 2.0**-j, 1 - 2.0**-(j + 1)) for j in range(1, BAND_EXPONENT)]
    outside = [(1 + 2.0**-(j + 1), 1 + 2.0**-j) for j in range(BAND_EXPONENT)]
    return inside + outside


def chebyshev_points(n):
    return np.cos(np.pi * (np.arange(n) + 0.5) / n)


def p_values(zs, rhos):
    """P_b(z, ρ) for the six bases at the pairs (zs[k], rhos[k])."""
    columns = []
    for law, c, flux in PROFILES:
        lines = [f"{nodes.head(law, c)} 1e-8 {float(z) * float(r)!r} {float(r)!r}" for z, r in zip(zs, rhos)]
        columns.append(np.array(nodes.run("stacked", lines, nodes.REFERENCE_NODES)) * flux * np.asarray(rhos))
    columns[5] = columns[2] - columns[5]  # μ·ln μ = μ − (μ − μ·ln μ)
    return np.array(columns)  # [basis, point]


def coefficients_of(values):
    """cᵢⱼ of Σ cᵢⱼ·Tᵢ(x)·Tⱼ(y) interpolating values[i, j] at the Chebyshev
    points x_i, y_j (a discrete cosine transform along each axis)."""
    n = values.shape[0]
    k = np.arange(n)
    cosines = np.cos(np.pi * np.outer(k, k + 0.5) / n) * (2.0 / n)
    cosines[0] /= 2
    return cosines @ values @ cosines.T


def evaluate(c, x, y):
    return np.polynomial.chebyshev.chebval(x, np.polynomial.chebyshev.chebval(y, c.T))


def main():
    nodes.build()
    points = chebyshev_points(TERMS)
    rng = random.Random(20261208)
    cells = [(zp, e) for zp in z_panels() for e in RHO_OCTAVES]
    zs, rhos, checks = [], [], []
    for (lo, hi), e in cells:
        for x in points:
            for y in points:
                zs.append(lo + (hi - lo) * (x + 1) / 2)
                rhos.append(2.0**e * (y + 3) / 2)
        checks.append([(rng.uniform(-1, 1), rng.uniform(-1, 1)) for _ in range(CHECKS_PER_CELL)])
    check_z = [lo + (hi - lo) * (x + 1) / 2 for ((lo, hi), e), cell in zip(cells, checks) for x, _ in cell]
    check_rho = [2.0**e * (y + 3) / 2 for ((lo, hi), e), cell in zip(cells, checks) for _, y in cell]
    values = p_values(zs, rhos).reshape(len(PROFILES), len(cells), TERMS, TERMS)
    reference = p_values(check_z, check_rho).reshape(len(PROFILES), len(cells), CHECKS_PER_CELL)
    table = np.empty((len(cells), len(BASES), TERMS, TERMS))
    cut = np.zeros((len(CUTS), len(CUTS)))
    measured = 0.0
    for c_index in range(len(cells)):
        for b in range(len(BASES)):
            v = values[b, c_index]
            c = coefficients_of(v)
            table[c_index, b] = c
            smallest = np.min(np.abs(v))
            for i, mz in enumerate(CUTS):
                for j, mr in enumerate(CUTS):
                    dropped = np.sum(np.abs(c)) - np.sum(np.abs(c[:mz, :mr]))
                    cut[i, j] = max(cut[i, j], dropped / smallest)
            for (x, y), truth in zip(checks[c_index], reference[b, c_index]):
                measured = max(measured, abs(evaluate(c, x, y) - truth) / abs(truth))
    cut = np.maximum(cut, measured)
    total = len(cells) * len(BASES) * TERMS * TERMS
    out = sys.stdout
    out.write("// Generated by tools/gen_ld_mid_source_table.py (stacked disks, 64 nodes\n"
              "// per piece), do not edit.\n//\n"
              "// P_b(z, ρ) = ρ·∫₀¹ 2t·φ_b(μ)·Ā(u, ρt) dt, the magnified flux of the basis\n"
              "// term φ_b times ρ, as Σᵢⱼ cᵢⱼ·Tᵢ(x)·Tⱼ(y) on each cell of z panels × ρ octaves:\n"
              "// x = (2z − lo − hi)/(hi − lo) on the z panel [lo, hi] (those of\n"
              "// small_source_table.hpp), y = 2ρ/2^e − 3 on [2^e, 2^(e+1)), e = −3 … 1;\n"
              "// coefficients[(((zpanel·octaves + e + 3)·bases + b)·terms + i)·terms + j].\n"
              "// Bases b: 1, μ^½, μ, μ^(3/2), μ², μ·ln μ.\n"
              f"// Off the Chebyshev points, {CHECKS_PER_CELL} seeded points per cell: within "
              f"{measured:.1e} of the\n// reference, relative.\n"
              "#pragma once\n\n#include <array>\n\n"
              "namespace lumora::ld::mid_source_table {\n\n"
              f"inline constexpr int bases = {len(BASES)};\n"
              f"inline constexpr int z_panels = {len(z_panels())};\n"
              f"inline constexpr int octaves = {len(RHO_OCTAVES)};\n"
              f"inline constexpr int lowest_octave = {RHO_OCTAVES[0]};  // ρ ≥ 2^lowest_octave\n"
              f"inline constexpr int terms = {TERMS};\n\n")
    out.write("// cut_error[i][j]: a bound on the relative error of P_b summed on the first\n"
              "// 4(i + 1) terms in z and 4(j + 1) in ρ: the dropped |cᵢⱼ| over the smallest\n"
              "// |P_b| on the cell, worst over cells and bases, at least the error measured\n"
              "// off the nodes.\n")
    out.write(f"inline constexpr std::array<std::array<double, {len(CUTS)}>, {len(CUTS)}> cut_error = {{{{\n")
    for row in cut:
        out.write("    {" + ", ".join(f"{x:.3g}" for x in row) + "},\n")
    out.write("}};\n\n")
    out.write(f"inline constexpr std::array<double, {total}> coefficients = {{\n")
    for c_index, ((lo, hi), e) in enumerate(cells):
        for b in range(len(BASES)):
            out.write(f"    // z in [{lo:.9g}, {hi:.9g}], rho in [2^{e}, 2^{e + 1}), {BASES[b]}\n")
            for i in range(TERMS):
                out.write("    " + " ".join(f"{x:.17g}," for x in table[c_index, b, i]) + "\n")
    out.write("};\n\n}  // namespace lumora::ld::mid_source_table\n")
    print(f"mid-source table: {len(cells)} cells, off-node error {measured:.2e}", file=sys.stderr)
    for row in cut:
        print("  " + " ".join(f"{x:.2e}" for x in row), file=sys.stderr)


if __name__ == "__main__":
    main()
