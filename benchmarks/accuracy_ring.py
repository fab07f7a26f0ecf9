"""Accuracy of the ring magnification, the lens from the centre of the star to its limb.

heyrovsky_magnification(l, r, re, rstar) against the ring mean of the
point-lens magnification, (1/2π)∫ A(d(φ)) dφ, integrated by mpmath at 30
digits (split geometrically towards φ = 0, where the integrand peaks for a
ring that passes close to the lens), over ring radii r from 1e-6 to 1 and
r = l·(1 ± δ) around the ring through the lens; and
integrated_heyrovsky_magnification against the limb-darkened disk mean of
tests/reference.py, for lens distances l from 0 to 1 source radii (dense
near the centre).

Run: PYTHONPATH=<build dir> python3 benchmarks/accuracy_ring.py
"""

import os
import sys

import mpmath as mp

import lumora

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference import limb_darkened, relative_error

LS = [0.0, 1e-12, 1e-9, 1e-7, 1e-5, 1e-3, 0.1, 0.5, 1.0]
RHOS = [1e-3, 1e-2, 1.0]


def ring_mean(l, r, c):
    with mp.workdps(30):
        l, r, c = mp.mpf(l), mp.mpf(r), mp.mpf(c)

        def a(phi):
            d2 = (l - r) ** 2 + 4 * l * r * mp.sin(phi / 2) ** 2
            return (d2 + 2 * c * c) / (mp.sqrt(d2) * mp.sqrt(d2 + 4 * c * c))

        width = abs(l - r) / max(mp.sqrt(l * r), mp.mpf("1e-300")) if l > 0 else mp.pi
        points = [mp.mpf(0)] + [width * 10**k for k in range(0, 20) if width * 10**k < mp.pi] + [mp.pi]
        return float(mp.quad(a, points) / mp.pi)


def radii(l):
    rs = [1e-6, 1e-4, 1e-2, 0.1, 0.5, 1.0]
    if l > 0:
        rs += [l * (1 + s * d) for d in (1e-8, 3e-6, 9.9e-6, 1.01e-5, 1e-4, 1e-2, 0.5) for s in (1, -1)]
    return [r for r in rs if r > 0 and r != l]  # r = l is the ring through the lens: +inf


def main():
    print("`heyrovsky_magnification` (re = rstar = 1): worst relative error over the ring radii,")
    print("by distance |r − l| from the ring through the lens, in units of the near-ring band")
    print("b = 1e-5·min(1, l)")
    print()
    print("| l | rings | inside the band (expansion) | 1 to 20 b (closed form, m → 1) | farther |")
    print("|---|---|---|---|---|")
    for l in LS:
        worst = [0.0, 0.0, 0.0]
        band = 1e-5 * min(1.0, l)
        rs = radii(l)
        for r in rs:
            value = lumora.heyrovsky_magnification(l, r, 1.0, 1.0)
            e = relative_error(value, ring_mean(l, r, 1.0))
            k = 0 if abs(r - l) < band else (1 if abs(r - l) < 20 * band else 2)
            worst[k] = max(worst[k], e)
        print(f"| {l:g} | {len(rs)} | " + " | ".join(f"{w:.1e}" for w in worst) + " |")
    print()
    print("`integrated_heyrovsky_magnification`, I = 0.4 + 0.6·μ: relative error")
    print()
    print("| l | " + " | ".join(f"ρ = {rho:g}" for rho in RHOS) + " |")
    print("|---|" + "---|" * len(RHOS))
    values = {rho: lumora.integrated_heyrovsky_magnification(LS, 1.0, rho) for rho in RHOS}
    for i, l in enumerate(LS):
        cells = [relative_error(values[rho][i], limb_darkened(l * rho, rho)) for rho in RHOS]
        print(f"| {l:g} | " + " | ".join(f"{c:.1e}" for c in cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
