"""Measure the small-source expansion of lumora_ld on a dense grid, at every
tolerance level, and write the result to tools/prove_ld_small_source.txt.

The reference is the stacked-disk rule with 64 nodes per piece (the one
tools/prove_ld_nodes.py holds the production node counts to; it is itself
checked against the mpmath nested quadrature of tests/ld_reference.py by
benchmarks/ld_accuracy.py).  The grid: every law the expansion serves, with
several coefficient sets each (power2 with α = ½, 1, 3/2 and 2, which the
tables cover); ρ from 1e-6 up to past the largest served ρ, and, at each
z, ρ a relative 1e-9 below and above every switch between K and K + 1
orders (where the truncation error is largest); z = u/ρ on [0, 2): the
panel edges, both edges of the limb band 1 ± 2^−8 (a relative 1e-12 inside
and outside), z = 2 − 1e-12, and seeded random z.  For each level the
worst relative error of the expansion on the points it serves is printed,
and of magnification() (whichever method serves the point) on the whole
grid.  Every cell of the expansion must stay below half the tolerance
('!' marks one that does not); '*' marks a whole-grid cell above half the
tolerance, where the point is served by stacked disks (whose node counts
tools/prove_ld_nodes.py proves on its own profiles).

Usage (inside tools/py314, about a minute):
    python3 tools/prove_ld_small_source.py > tools/prove_ld_small_source.txt
"""

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import prove_ld_nodes as nodes  # noqa: E402

LEVELS = 11
# ε_K = largest ρ²(z + 1)² served by K orders, per level (as tabulated).
TABLE = Path(__file__).resolve().parent.parent / "src" / "ld" / "models" / "small_source_table.hpp"

PROFILES = [
    ("linear", (0.6,)), ("linear", (1.0,)), ("linear", (-0.3,)),
    ("quadratic", (0.4, 0.3)), ("quadratic", (0.1, 0.9)), ("quadratic", (1.2, -0.6)),
    ("square_root", (0.3, 0.5)), ("square_root", (-0.2, 1.0)),
    ("logarithmic", (0.6, 0.2)), ("logarithmic", (0.9, 0.5)),
    ("power2", (0.6, 0.5)), ("power2", (0.8, 1.0)), ("power2", (0.5, 1.5)), ("power2", (0.7, 2.0)),
    ("claret4", (0.5, -0.2, 0.6, -0.25)), ("claret4", (0.7, -0.8, 1.2, -0.4)),
    ("claret4", (2.0, -3.0, 3.5, -1.5)),
]


def epsilon_limits():
    text = TABLE.read_text()
    start = text.index("epsilon_limit = {{")
    rows = text[start:text.index("}};", start)].split("{")[3:]
    return [[float(x) for x in row.split("}")[0].split(",")] for row in rows]


def grid_z():
    rng = random.Random(20261209)
    band = 2.0**-8
    zs = {0.0, 1e-8, 1e-3, 0.25, 0.5, 2 - 1e-12, 1.999}
    zs |= {1 - 2.0**-j for j in range(1, 9)} | {1 + 2.0**-j for j in range(0, 9)}
    zs |= {1 + s * band * (1 + d) for s in (-1, 1) for d in (-1e-12, 1e-12)}
    zs |= {rng.uniform(0, 2) for _ in range(40)}
    zs |= {1 + s * 10 ** rng.uniform(-2.4, -0.3) for s in (-1, 1) for _ in range(15)}
    return sorted(z for z in zs if 0 <= z < 2)


def main():
    nodes.build()
    limits = epsilon_limits()
    rhos = {10.0**e for e in range(-6, 0)} | {3e-3, 3e-2, 0.05, 0.1, 0.15, 0.2, 0.3, 0.5}
    points = set()
    for z in grid_z():
        for rho in rhos:
            points.add((z, rho))
        # Both sides of every switch K → K + 1 (and of the largest ρ served).
        for row in limits:
            for eps in row:
                edge = eps**0.5 / (z + 1)
                if 1e-7 <= edge <= 1:
                    points |= {(z, edge * (1 - 1e-9)), (z, edge * (1 + 1e-9))}
    points = sorted(points)
    cases = [(law, c, z * rho, rho) for law, c in PROFILES for z, rho in points]
    lines = [f"{nodes.head(law, c)} 1e-8 {u!r} {rho!r}" for law, c, u, rho in cases]
    truth = nodes.run("stacked", lines, nodes.REFERENCE_NODES)
    print(f"{len(cases)} points ({len(points)} (z, rho) per profile, {len(PROFILES)} profiles); "
          f"reference: stacked disks, {nodes.REFERENCE_NODES} nodes per piece")
    laws = sorted({law for law, _ in PROFILES}, key=[law for law, _ in PROFILES].index)
    served_worst, whole_worst, reach = {}, {}, {}
    for level in range(LEVELS):
        rtol = 10.0 ** -(level + 2)
        at = [line.replace(" 1e-8 ", f" {rtol!r} ") for line in lines]
        small = nodes.run("small", at)
        orders, values = small[0::2], small[1::2]
        production = nodes.run("eval", at)
        for law in laws:
            served = [(nodes.rel(v, t), case[3]) for v, t, k, case in zip(values, truth, orders, cases)
                      if case[0] == law and k > 0]
            served_worst[law, level] = max((e for e, _ in served), default=0.0)
            reach[law, level] = max((r for _, r in served), default=0.0)
            whole_worst[law, level] = max(nodes.rel(v, t) for v, t, case in zip(production, truth, cases)
                                          if case[0] == law)
    report(laws, (
        ("worst relative error of the expansion where it serves ('!': above rtol/2)", served_worst, "!", "8.1e"),
        ("worst relative error of magnification() on the whole grid ('*': above rtol/2, "
         "a point served by stacked disks)", whole_worst, "*", "8.1e"),
        ("largest rho of the grid served", reach, None, "8.1e")))


def report(laws, sections):
    """Print each (title, table[law, level], mark, format) as a table of
    laws by tolerance level; `mark` flags a cell above half the tolerance."""
    header = f"{'':12s}" + "".join(f"{10.0 ** -(level + 2):>9.0e}" for level in range(LEVELS))
    for title, table, limit, form in sections:
        print(f"\n{title}\n{header}")
        for law in laws:
            cells = []
            for level in range(LEVELS):
                mark = limit if limit and table[law, level] > 10.0 ** -(level + 2) / 2 else " "
                cells.append(f"{table[law, level]:{form}}{mark}")
            print(f"{law:12s}" + "".join(cells))

if __name__ == "__main__":
    main()
