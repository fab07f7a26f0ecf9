"""Measure the tabulated magnified fluxes of lumora_ld (sources with
1/8 <= rho < 4 near the lens) on a dense grid, at every tolerance level, and
write the result to tools/prove_ld_mid_source.txt.

The reference is the stacked-disk rule with 64 nodes per piece, as for
tools/prove_ld_small_source.py (the table was built from the same rule at
other points: its Chebyshev points).  The grid: every law the table serves,
with several coefficient sets each; rho at the ends of the range and of every
octave (a relative 1e-9 inside and outside), and seeded within it; z = u/rho
on [0, 2): the panel edges, both edges of the limb band 1 +- 2^-8,
z = 2 - 1e-12, and seeded random z.  For each level the worst relative error
of the table on the points it serves is printed, and of magnification()
(whichever method serves the point) on the whole grid.  Every cell of the
table must stay below half the tolerance ('!' marks one that does not);
'*' marks a whole-grid cell above half the tolerance, where the point is
served by another method.

Usage (inside tools/py314, about a minute):
    python3 tools/prove_ld_mid_source.py > tools/prove_ld_mid_source.txt
"""

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import prove_ld_nodes as nodes  # noqa: E402
import prove_ld_small_source as small  # noqa: E402

LEVELS = 11


def grid_rho():
    rng = random.Random(20261210)
    rhos = {2.0**e * (1 + s * 1e-9) for e in range(-3, 3) for s in (-1, 0, 1)}
    rhos |= {2.0 ** rng.uniform(-3.2, 2.2) for _ in range(14)}
    return sorted(rhos)


def main():
    nodes.build()
    points = sorted((z, rho) for z in small.grid_z() for rho in grid_rho())
    cases = [(law, c, z * rho, rho) for law, c in small.PROFILES for z, rho in points]
    lines = [f"{nodes.head(law, c)} 1e-8 {u!r} {rho!r}" for law, c, u, rho in cases]
    truth = nodes.run("stacked", lines, nodes.REFERENCE_NODES)
    print(f"{len(cases)} points ({len(points)} (z, rho) per profile, {len(small.PROFILES)} profiles); "
          f"reference: stacked disks, {nodes.REFERENCE_NODES} nodes per piece")
    laws = sorted({law for law, _ in small.PROFILES}, key=[law for law, _ in small.PROFILES].index)
    served_worst, whole_worst, share = {}, {}, {}
    for level in range(LEVELS):
        rtol = 10.0 ** -(level + 2)
        at = [line.replace(" 1e-8 ", f" {rtol!r} ") for line in lines]
        mid = nodes.run("mid", at)
        served, values = mid[0::2], mid[1::2]
        production = nodes.run("eval", at)
        for law in laws:
            mine = [(nodes.rel(v, t), s) for v, t, s, case in zip(values, truth, served, cases) if case[0] == law]
            served_worst[law, level] = max((e for e, s in mine if s), default=0.0)
            share[law, level] = sum(s for _, s in mine) / len(mine)
            whole_worst[law, level] = max(nodes.rel(v, t) for v, t, case in zip(production, truth, cases)
                                          if case[0] == law)
    small.report(laws, (
        ("worst relative error of the table where it serves ('!': above rtol/2)", served_worst, "!", "8.1e"),
        ("worst relative error of magnification() on the whole grid ('*': above rtol/2, "
         "a point served otherwise)", whole_worst, "*", "8.1e"),
        ("share of the grid the table serves", share, None, "8.2f")))

if __name__ == "__main__":
    main()
