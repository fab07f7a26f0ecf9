"""Accuracy of the limb-darkened magnifications against an independent reference.

Truth: the brightness-weighted mean of the point-lens magnification over a
disk with I = 0.4 + 0.6·μ, integrated by mpmath at 30 digits in polar
coordinates around the lens (reference.limb_darkened).  Both integrated
functions divide by the literal normaliser 2.5132741228717936 rather than
0.8π, which alone leaves 1.6e-14.

Run: PYTHONPATH=<build dir> python3 benchmarks/accuracy_limb_darkening.py
"""

import os
import sys

import lumora

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference import limb_darkened

LS = [0.0, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999, 1.0, 1.001, 1.01, 1.1, 1.5, 2.0, 3.0]
RHOS = [1e-3, 1e-2, 0.1, 1.0, 10.0]
FUNCTIONS = {
    "integrated_witt_mao_magnification": lumora.integrated_witt_mao_magnification,
    "integrated_heyrovsky_magnification": lumora.integrated_heyrovsky_magnification,
}


def main():
    truth = {rho: [limb_darkened(l * rho, rho) for l in LS] for rho in RHOS}
    for name, function in FUNCTIONS.items():
        print(f"Relative error of `{name}` (rows: l in source radii; columns: ρ = rstar/re)")
        print()
        print("| l | " + " | ".join(f"ρ = {rho:g}" for rho in RHOS) + " |")
        print("|---|" + "---|" * len(RHOS))
        values = {rho: function(LS, 1.0, rho) for rho in RHOS}
        for i, l in enumerate(LS):
            cells = [f"{abs(values[rho][i] - truth[rho][i]) / truth[rho][i]:.1e}" for rho in RHOS]
            print(f"| {l:g} | " + " | ".join(cells) + " |")
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
