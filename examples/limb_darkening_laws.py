"""Any limb-darkening law through lumora's flux-map functions, and how fine the table must be.

lumora's integrated functions have one built-in law, linear with u = 0.6
(I = 0.4 + 0.6 mu).  Any other radial profile goes in as a table of
brightness values bf at radii bl (source radii, ascending from the centre
0 to the limb 1); lumora interpolates linearly between the entries and
divides by the table's own flux, so the scale of bf does not matter.  Here
mu = sqrt(1 - r**2) is the cosine of the emergent angle, and the laws are

    linear (u)      I = 1 - u (1 - mu)
    linear (Gamma)  I = 1 - Gamma (1 - 3 mu / 2), the flux-normalised form;
                    the same law as u = 3 Gamma / (2 + Gamma),
                    i.e. Gamma = 2 u / (3 - u)
    quadratic       I = 1 - a (1 - mu) - b (1 - mu)**2
    square root     I = 1 - c (1 - mu) - d (1 - sqrt(mu))
    power-2         I = 1 - c (1 - mu**alpha)

(illustrative coefficients below).  For each law and table size the
example measures the worst relative error of the two flux-map integrals
(rings: integrated_flux_map_heyrovsky_magnification; thin annuli of
disks: integrated_flux_map_witt_mao_magnification) against the exact law,
integrated with mpmath in polar coordinates about the lens, inside the
source (l <= 1) and outside it, for tables equally spaced in r, in mu, and
in the angle theta with r = sin(theta), mu = cos(theta) (dense towards the
limb like mu, and like r at the centre).

    python3 examples/limb_darkening_laws.py [--quick] [--output ld_tables.png]
"""

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import mpmath as mp

import lumora

# Intensity as a function of mu, normalised to 1 at the centre (mu = 1).
# Written with operators only, so that it accepts floats and mpmath numbers.
Law = Callable[[Any], Any]


def gamma_from_u(u: float) -> float:
    """The flux-normalised linear coefficient Gamma of the law 1 - u (1 - mu)."""
    return 2.0 * u / (3.0 - u)


def u_from_gamma(gamma: float) -> float:
    return 3.0 * gamma / (2.0 + gamma)


def linear_u(u: float) -> Law:
    return lambda mu: 1 - u * (1 - mu)


def linear_gamma(gamma: float) -> Law:
    """I proportional to 1 - Gamma (1 - 3 mu / 2), divided by 1 + Gamma/2 so that
    I(1) = 1: the law 1 - u (1 - mu) with u = u_from_gamma(gamma)."""
    return lambda mu: (1 - gamma * (1 - 1.5 * mu)) / (1 + 0.5 * gamma)


U = 0.6  # the built-in law of integrated_*_magnification
LAWS: dict[str, Law] = {
    f"linear, u = {U}": linear_u(U),
    f"linear, Gamma = {gamma_from_u(U):.3g}": linear_gamma(gamma_from_u(U)),
    "quadratic, a = 0.4, b = 0.3": lambda mu: 1 - 0.4 * (1 - mu) - 0.3 * (1 - mu) ** 2,
    "square root, c = 0.1, d = 0.7": lambda mu: 1 - 0.1 * (1 - mu) - 0.7 * (1 - mu**0.5),
    "power-2, c = 0.65, alpha = 0.55": lambda mu: 1 - 0.65 * (1 - mu**0.55),
}
SPACINGS = ("r", "mu", "theta")
METHODS: dict[str, Callable[..., list[float]]] = {
    "rings": lumora.integrated_flux_map_heyrovsky_magnification,
    "disks": lumora.integrated_flux_map_witt_mao_magnification,
}
RHO = 0.01  # source radius in Einstein radii (re = 1, rstar = RHO)


def flux_map_table(law: Law, points: int, spacing: str = "theta") -> tuple[list[float], list[float]]:
    """The table (bl, bf) of `law` at `points` radii from the centre to the limb,
    equally spaced in r, in mu = sqrt(1 - r**2) or in theta (r = sin(theta)).
    Theta measures best: its error falls as 1/points**2 at every separation,
    while mu leaves the centre coarse (1/points with the lens there) and r
    the limb (where mu changes fastest)."""
    steps = [i / (points - 1) for i in range(points)]
    if spacing == "r":
        radii = steps
        mus = [math.sqrt((1.0 - r) * (1.0 + r)) for r in radii]
    elif spacing == "mu":
        mus = steps[::-1]  # mu = 1 (the centre) ... 0 (the limb)
        radii = [math.sqrt((1.0 - m) * (1.0 + m)) for m in mus]
    else:
        angles = [0.5 * math.pi * s for s in steps]
        radii = [math.sin(a) for a in angles[:-1]] + [1.0]
        mus = [math.cos(a) for a in angles[:-1]] + [0.0]
    return radii, [float(law(m)) for m in mus]


def exact_magnification(law: Law, l: float, rho: float, dps: int) -> float:
    """The brightness-weighted mean point-lens magnification of the source with
    `law`, integrated with mpmath in polar coordinates (d, phi) about the lens
    (lengths in Einstein radii, u = l*rho the lens-centre distance):
    A(d)*d = (d**2 + 2)/sqrt(d**2 + 4) is smooth, and on the circle of radius d
    mu**2 = 2du(cos phi - c)/rho**2 with c = (d**2 + u**2 - rho**2)/(2du)."""
    with mp.workdps(dps):
        rho_m = mp.mpf(rho)
        u = mp.mpf(l) * rho_m

        def arc(d: Any) -> Any:  # the integral of I over the part of the circle on the disk
            if u == 0:
                return 2 * mp.pi * law(mp.sqrt(1 - d * d / (rho_m * rho_m))) if d < rho_m else mp.mpf(0)
            c = (d * d + u * u - rho_m * rho_m) / (2 * d * u)
            if c >= 1:
                return mp.mpf(0)
            k = 2 * d * u / (rho_m * rho_m)
            if c <= -1:  # the whole circle lies on the disk
                return 2 * mp.quad(lambda p: law(mp.sqrt(k * (mp.cos(p) - c))), [0, mp.pi])
            theta = mp.acos(c)  # cos p - cos theta as a product: no cancellation near the edge
            return 2 * mp.quad(lambda p: law(mp.sqrt(2 * k * mp.sin((theta + p) / 2) * mp.sin((theta - p) / 2))),
                               [0, theta])

        corners = sorted({mp.mpf(0), abs(u - rho_m), u + rho_m})
        lensed = mp.quad(lambda d: (d * d + 2) / mp.sqrt(d * d + 4) * arc(d), corners)
        unlensed = 2 * mp.pi * rho_m * rho_m * mp.quad(lambda m: law(m) * m, [0, 1])
        return float(lensed / unlensed)


def worst_errors(law: Law, truth: dict[float, float], points: int, spacing: str, method: str) -> tuple[float, float]:
    """Worst relative error inside (l <= 1) and outside the source."""
    bl, bf = flux_map_table(law, points, spacing)
    separations = list(truth)
    values = METHODS[method](separations, 1.0, RHO, bl, bf)
    inside = max(abs(v / truth[l] - 1) for l, v in zip(separations, values) if l <= 1)
    outside = max(abs(v / truth[l] - 1) for l, v in zip(separations, values) if l > 1)
    return inside, outside


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="two separations, two table sizes (a test run)")
    parser.add_argument("--output", default="ld_tables.png", help="plot file ('' for none)")
    args = parser.parse_args()
    separations = [0.5, 2.0] if args.quick else [0.0, 0.5, 0.9, 0.99, 1.0, 1.01, 1.1, 2.0]
    sizes = [10, 100] if args.quick else [5, 10, 20, 50, 100, 200, 500, 1000]
    dps = 15 if args.quick else 20

    builtin = lumora.integrated_heyrovsky_magnification(separations, 1.0, RHO)
    print(f"rho = {RHO}; separations l = {separations} source radii; exact law: mpmath at {dps} digits")
    print("worst relative error of the flux-map magnification inside (l <= 1) / outside the source,")
    print("for tables equally spaced in r, mu or theta\n")
    results: dict[tuple[str, str, str], list[float]] = {}
    for name, law in LAWS.items():
        start = time.perf_counter()
        truth = {l: exact_magnification(law, l, RHO, dps) for l in separations}
        elapsed = time.perf_counter() - start
        print(f"{name} (reference: {elapsed:.1f} s)")
        if name.startswith("linear"):  # both conventions are the built-in law u = 0.6
            same = max(abs(b / truth[l] - 1) for l, b in zip(separations, builtin))
            print(f"  integrated_heyrovsky_magnification (built-in law u = {U}, Gamma = {gamma_from_u(U):.3g}) "
                  f"is within {same:.1e} of it")
        print(f"{'radii':>6} " + " ".join(f"{m + ', ' + s:>15}" for m in METHODS for s in SPACINGS))
        for points in sizes:
            cells = []
            for method in METHODS:
                for spacing in SPACINGS:
                    inside, outside = worst_errors(law, truth, points, spacing, method)
                    results.setdefault((name, method, spacing), []).append(max(inside, outside))
                    cells.append(f"{inside:.1e}/{outside:.1e}")
            print(f"{points:6d} " + " ".join(f"{c:>15}" for c in cells))
        print()

    if args.output:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(1, 2, sharey=True, figsize=(10, 4.5))
        for ax, method in zip(axes, METHODS):
            for i, name in enumerate(LAWS):
                for spacing, style in zip(SPACINGS, (":", "--", "-")):
                    ax.loglog(sizes, results[(name, method, spacing)], f"C{i}{style}",
                              label=f"{name}, uniform in {spacing}")
            ax.set_title(f"flux map as {method}, rho = {RHO}")
            ax.set_xlabel("table radii")
        axes[0].set_ylabel("worst relative error")
        axes[1].legend(fontsize="x-small")
        fig.tight_layout()
        fig.savefig(args.output, dpi=120)
        print(f"plot written to {args.output}")


if __name__ == "__main__":
    main()
