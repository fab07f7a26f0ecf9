"""Accuracy of the uniform-disk magnification against an independent reference.

Compares lumora.witt_mao_magnification with the mean of the point-lens
magnification over the disk, integrated by mpmath (tests/reference.py) at 30
digits, 50 beyond u = 1000ρ, on a grid of source radii ρ from 1e-6 to 10 and
separations u/ρ from 0 to 1e12 (both in Einstein radii), sampled densely
around the two branch switches: the limb window |u − ρ| < 0.001ρ, where the
value at u = ρ stands for every u, and u = 1000ρ, beyond which the disk-mean
expansion replaces the closed form.  Each point is classified by the branch
the kernel takes for the separation it actually sees, (u/ρ)·ρ.

Run: PYTHONPATH=<build dir> python3 benchmarks/accuracy_witt_mao.py
"""

import math
import os
import sys

import lumora

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference import relative_error, uniform_disk

RHOS = [1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0]
GENERAL = [0.0, 0.01, 0.1, 0.3, 0.5, 0.9, 0.99, 1.01, 1.1, 1.5, 3.0, 10.0, 100.0, 500.0]
NEAR_FAR = [990.0, 999.0, 999.9, 1000.0, 1000.1, 1001.0, 1010.0]
FAR = [1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12]
WIDTHS = [1.0, 1.001, 1.5, 3.0, 10.0]  # just outside the window, in window widths


def branch(l, rho):
    u = l * rho
    if 0.001 * rho > abs(u - rho):
        return "window"
    if u > 1000 * rho:
        return "far"
    return "near" if abs(u - rho) < 10 * 0.001 * rho else "general"


def error(l, rho):
    value = lumora.witt_mao_magnification([l], 1.0, rho)[0]
    u = l * rho
    return relative_error(value, uniform_disk(u, rho, dps=50 if u > 1000 * rho else 30))


def sample(rho):
    ls = list(GENERAL) + NEAR_FAR + FAR
    for f in WIDTHS:
        ls += [1 + f * 0.001, 1 - f * 0.001]
    ls += [1.0, 1 + 0.5e-3, 1 - 0.999e-3, 1 + 0.999e-3]  # inside the window
    return ls


def switch(rho, inside, outside):
    """The two neighbouring doubles of l on either side of a branch change
    between l = inside and l = outside, by bisection."""
    here = branch(inside, rho)
    while math.nextafter(inside, outside) != outside:
        mid = 0.5 * (inside + outside)
        if mid == inside or mid == outside:
            break
        if branch(mid, rho) == here:
            inside = mid
        else:
            outside = mid
    return inside, outside


def main():
    regions = {"general": [], "near": [], "window": [], "far": []}
    per_rho = []
    for rho in RHOS:
        row = {"general": 0.0, "near": 0.0, "window": 0.0, "far": 0.0}
        for l in sample(rho):
            kind = branch(l, rho)
            e = error(l, rho)
            regions[kind].append((e, l, rho))
            row[kind] = max(row[kind], e)
        jumps = []
        for inside, outside in [(1.0, 1 + 1.5e-3), (1.0, 1 - 1.5e-3), (999.0, 1001.0)]:
            a, b = switch(rho, inside, outside)
            va, vb = lumora.witt_mao_magnification([a, b], 1.0, rho)
            jumps.append(relative_error(va, vb))
        per_rho.append((rho, row, jumps))

    names = {
        "general": "away from the limb (|u − ρ| ≥ 10 windows, u ≤ 1000ρ)",
        "near": "just outside the window (1 to 10 windows)",
        "window": "inside the window |u − ρ| < 0.001ρ (the value at u = ρ)",
        "far": "past u = 1000ρ (up to 1e12ρ)",
    }
    print("| region | points | worst relative error | at u/ρ | at ρ |")
    print("|---|---|---|---|---|")
    for kind, points in regions.items():
        e, l, rho = max(points)
        print(f"| {names[kind]} | {len(points)} | {e:.1e} | {l:.8g} | {rho:g} |")
    print()
    print("Per ρ: worst relative error per region, and the relative jump between")
    print("the two neighbouring doubles of l at each switch.")
    print()
    print("| ρ | general | just outside | inside window | past 1000ρ | jump at u = ρ(1 + 0.001) | at u = ρ(1 − 0.001) | at u = 1000ρ |")
    print("|---|---|---|---|---|---|---|---|")
    for rho, row, jumps in per_rho:
        cells = [row["general"], row["near"], row["window"], row["far"]] + jumps
        print(f"| {rho:g} | " + " | ".join(f"{c:.1e}" for c in cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
