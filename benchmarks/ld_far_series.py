"""Truncation error of lumora_ld's far-field disk-mean series (z = u/rho >= 2).

    PYTHONPATH=build/py314 python3 benchmarks/ld_far_series.py

The series stops on an estimate of its tail; this measures what that stop
costs in accuracy: every profile below at rtol 1e-2 ... 1e-10 against the
same series summed to rtol=1e-12, on rho from 1e-6 to 1e4 (31 values,
log-spaced) times z from 2 to 3 (201, linear) and 3 to 1e4 (300, log-spaced).
Prints the worst error as a fraction of rtol (the series' terms themselves
are checked against the independent truth in tests/test_ld.py), then the
time per value for z in [3, 100], one core.
"""

import time

import numpy as np

import lumora_ld

LAWS = [("linear", (0.6,)), ("linear", (1.0,)), ("quadratic", (0.4, 0.2)), ("square_root", (0.3, 0.4)),
        ("logarithmic", (0.5, 0.2)), ("power2", (0.6, 0.5)), ("claret4", (0.5, 0.1, 0.2, -0.1)),
        ((np.array([0.0, 0.3, 1.0]), np.array([0.35, 0.7, 1.0])), ())]


def main():
    z = np.concatenate([np.linspace(2, 3, 201), np.geomspace(3, 1e4, 300)])
    rho = np.geomspace(1e-6, 1e4, 31)
    zz, rr = np.meshgrid(z, rho)
    u, r = (zz * rr).ravel(), rr.ravel()
    print("| rtol | worst error / rtol |\n|---|---|")
    for rtol in [1e-2, 1e-4, 1e-6, 1e-8, 1e-10]:
        worst = 0.0
        for law, c in LAWS:
            a = lumora_ld.magnification(u, r, law, c, rtol=rtol)
            b = lumora_ld.magnification(u, r, law, c, rtol=1e-12)
            worst = max(worst, float(np.max(np.abs(a - b) / b)) / rtol)
        print(f"| {rtol:g} | {worst:.3f} |")
    rng = np.random.default_rng(1)
    print("\n| rho | ns per value, z in [3, 100], linear a = 0.6, rtol 1e-8 |\n|---|---|")
    for rho in [1e-3, 1e-2, 0.1, 1.0]:
        uu = rng.uniform(3, 100, 10000) * rho
        best = float("inf")
        for _ in range(7):
            start = time.perf_counter()
            lumora_ld.magnification(uu, rho, "linear", (0.6,), workers=1)
            best = min(best, time.perf_counter() - start)
        print(f"| {rho:g} | {best / uu.size * 1e9:.1f} |")


if __name__ == "__main__":
    main()
