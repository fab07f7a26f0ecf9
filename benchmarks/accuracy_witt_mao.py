"""Accuracy of the uniform-disk magnification against an independent reference.

Compares lumora.witt_mao_magnification (closed form of Witt & Mao 1994) with
the mean of the point-lens magnification over the disk, integrated at 30
digits by mpmath (see reference.py), on a grid of separations u and source
radii rho (both in Einstein radii), in three regions:

- general: |u − rho| at least 10 window widths, u/rho < 1000;
- near the edge window: u just outside max(0.001·rho, 1e-5) of rho, where the
  closed form approaches the pole of Π, and inside it, where the value at
  u = rho stands for every u;
- far: u/rho ≥ 1000, where the closed form cancels.

Run: PYTHONPATH=<build dir> python3 benchmarks/accuracy_witt_mao.py
"""

import math
import os
import sys

import lumora

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference import uniform_disk

RHOS = [1e-3, 1e-2, 0.1, 0.5, 1.0, 2.0, 10.0]


def width(rho):
    return max(0.001 * rho, 1e-5)


def relative_error(value, truth):
    return abs(value - truth) / abs(truth)


def effective_u(u, rho):
    """The separation the module sees for l = u/rho, re = 1, rstar = rho."""
    return (u / rho) * rho


def in_window(u, rho):
    return width(rho) > abs(effective_u(u, rho) - rho)


def measure(points):
    """(worst relative error, its u, its rho) over (u, rho) pairs."""
    worst = (0.0, None, None)
    for u, rho in points:
        u = effective_u(u, rho)
        value = lumora.witt_mao_magnification([u / rho], 1.0, rho)[0]
        error = relative_error(value, uniform_disk(u, rho))
        if error > worst[0] or math.isnan(error):
            worst = (error, u, rho)
    return worst


def regions():
    general, near_out, near_in, far = [], [], [], []
    for rho in RHOS:
        w = width(rho)
        for u in [0.0, 0.01, 0.1, 0.3, 0.9, 1.5, 3.0, 10.0, 100.0]:
            u = u * rho if u < 1 else u  # some separations relative to rho
            if abs(u - rho) >= 10 * w and (u / rho) < 1000:
                general.append((u, rho))
        for factor in [1.0, 1.001, 1.5, 3.0, 10.0]:
            near_out += [p for p in [(rho + factor * w, rho), (rho - factor * w, rho)] if not in_window(*p)]
        near_in += [(rho + 0.5 * w, rho), (rho - 0.999 * w, rho)]
        for ratio in [1e3, 1e4, 1e5, 1e6]:
            far.append((ratio * rho, rho))
    return {
        "general (|u−ρ| ≥ 10 widths, u/ρ < 1000)": general,
        "just outside the window (1 to 10 widths)": near_out,
        "inside the window (value at u = ρ)": near_in,
        "far (u/ρ from 1e3 to 1e6)": far,
    }


def main():
    print("| region | points | worst relative error | at u | at ρ |")
    print("|---|---|---|---|---|")
    for name, points in regions().items():
        error, u, rho = measure(points)
        print(f"| {name} | {len(points)} | {error:.2e} | {u:.6g} | {rho:.6g} |")
    print()
    print("Per ρ, worst just outside the window and for u/ρ ≥ 1000:")
    print()
    print("| ρ | window width | outside window | u/ρ = 1e3 | 1e4 | 1e5 | 1e6 |")
    print("|---|---|---|---|---|---|---|")
    for rho in RHOS:
        w = width(rho)
        candidates = [(rho + s * f * w, rho) for f in [1.0, 1.001, 1.5, 3.0, 10.0] for s in (1, -1)]
        outside = measure([p for p in candidates if not in_window(*p)])
        far = " | ".join(f"{measure([(ratio * rho, rho)])[0]:.1e}" for ratio in [1e3, 1e4, 1e5, 1e6])
        print(f"| {rho:g} | {w:g} | {outside[0]:.2e} | {far} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
