"""Accuracy of lumora_ld's C++ models against the independent truth
(tests/ld_reference.py, mpmath nested quadrature at 20 digits) on seeded
points: u = 0, the limb (z = 1, 1 ± 1e-3, 1 ± 1e-8), both sides of the
series switch at z = 2, ρ = 1e-6 and 1e4, and random z in [0, 4].  Prints
the worst relative error per law of magnification() at rtol 1e-4, 1e-8,
1e-10 and 1e-12, and of the 64-node stacked-disk rule that
tools/prove_ld_nodes.py uses as its reference.

Usage (inside tools/py314, after tools/prove_ld_nodes.py has built the
driver): python3 benchmarks/ld_accuracy.py
"""

import random
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tools"))

import ld_reference  # noqa: E402
import prove_ld_nodes as prove  # noqa: E402

LAWS = [("uniform", ()), ("linear", (0.6,)), ("quadratic", (0.4, 0.3)), ("square_root", (0.3, 0.5)),
        ("logarithmic", (0.6, 0.2)), ("power2", (0.6, 0.6)), ("claret4", (0.5, -0.2, 0.6, -0.25)),
        ("tabulated", ((0.0, 0.3, 0.7, 1.0), (0.3, 0.6, 0.85, 1.0)))]


def points(seed):
    rng = random.Random(seed)
    zs = [0.0, 1.0, 1 - 1e-3, 1 + 1e-3, 1 - 1e-8, 1 + 1e-8, 2 - 1e-9, 2.0, rng.uniform(0, 1), rng.uniform(1, 4)]
    rhos = [1e-6, 1e-3, 0.1, 1.0, 1e4]
    return [(z * rho, rho) for z in zs for rho in [rng.choice(rhos)]] + [(0.5e4, 1e4), (0.3e-6, 1e-6)]


def main():
    rtols = (1e-4, 1e-8, 1e-10, 1e-12)
    print(f"{'law':12s} " + " ".join(f"{r:>9.0e}" for r in rtols) + "  64 nodes")
    for i, (law, c) in enumerate(LAWS):
        pts = points(i)
        truth = [ld_reference.magnification(u, rho, c if law == "tabulated" else law,
                                            () if law == "tabulated" else c, digits=20) for u, rho in pts]
        head = prove.head(law, c)
        cells = []
        for rtol in rtols:
            values = prove.run("eval", [f"{head} {rtol!r} {u!r} {rho!r}" for u, rho in pts])
            cells.append(max(prove.rel(v, t) for v, t in zip(values, truth)))
        stacked = prove.run("stacked", [f"{head} 1e-8 {u!r} {rho!r}" for u, rho in pts], 64)
        ref = max(prove.rel(v, t) for v, t in zip(stacked, truth))
        print(f"{law:12s} " + " ".join(f"{e:9.1e}" for e in cells) + f"  {ref:8.1e}", flush=True)


if __name__ == "__main__":
    main()
