"""A point-lens microlensing light curve with every model lumora offers.

The source moves on a straight line past the lens: at time t its distance
from the lens is u(t) = sqrt(u0**2 + ((t - t0) / tE)**2) Einstein radii.
lumora takes separations in source radii, l = u / rho, with rho the source
radius in Einstein radii (re = 1, rstar = rho below).

    python3 examples/lightcurve.py --u0 0.02 --rho 0.05
"""

import argparse
import math

import lumora


def point_source(u: float) -> float:
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


def limb_darkened_table(points: int = 50, coefficient: float = 0.6) -> tuple[list[float], list[float]]:
    """A linear limb-darkening law I = 1 - c (1 - mu) sampled at `points` radii."""
    radii = [i / (points - 1) for i in range(points)]
    values = [1.0 - coefficient * (1.0 - math.sqrt(max(0.0, 1.0 - r * r))) for r in radii]
    return radii, values


def ring_weights(radii: list[float], values: list[float]) -> list[float]:
    """Weights that make the discrete ring sum a flux-weighted mean."""
    n = len(radii)
    widths = [(radii[min(i + 1, n - 1)] - radii[max(i - 1, 0)]) / 2 for i in range(n)]
    flux = [2 * math.pi * r * v * w for r, v, w in zip(radii, values, widths)]
    total = sum(flux)
    return [f / total for f in flux]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--t0", type=float, default=0.0, help="time of closest approach [days]")
    parser.add_argument("--u0", type=float, default=0.02, help="impact parameter [Einstein radii]")
    parser.add_argument("--te", type=float, default=20.0, help="Einstein time tE [days]")
    parser.add_argument("--rho", type=float, default=0.05, help="source radius [Einstein radii]")
    parser.add_argument("--span", type=float, default=0.15, help="half-width of the window [tE]")
    parser.add_argument("--points", type=int, default=201, help="number of epochs")
    parser.add_argument("--output", default="lightcurve.png", help="plot file ('' for none)")
    args = parser.parse_args()

    times = [args.t0 + args.te * args.span * (2 * i / (args.points - 1) - 1) for i in range(args.points)]
    u = [math.hypot(args.u0, (t - args.t0) / args.te) for t in times]
    l = [x / args.rho for x in u]
    re, rstar = 1.0, args.rho
    radii, values = limb_darkened_table()

    # column label -> (legend, magnifications)
    curves = {
        "point": ("point source", [point_source(x) for x in u]),
        "disk": ("uniform disk (Witt & Mao)", lumora.witt_mao_magnification(l, re, rstar)),
        "LD disks": ("limb-darkened, disks", lumora.integrated_witt_mao_magnification(l, re, rstar)),
        "LD rings": ("limb-darkened, rings", lumora.integrated_heyrovsky_magnification(l, re, rstar)),
        "FM disks": ("flux map, thin annuli of disks",
                     lumora.integrated_flux_map_witt_mao_magnification(l, re, rstar, radii, values)),
        "FM rings": ("flux map, rings",
                     lumora.integrated_flux_map_heyrovsky_magnification(l, re, rstar, radii, values)),
        "FM 50 rings": ("flux map, 50 discrete rings", lumora.discrete_flux_map_heyrovsky_magnification(
            l, re, rstar, radii, ring_weights(radii, values))),
    }

    names = list(curves)
    print(f"u0 = {args.u0}, tE = {args.te} d, rho = {args.rho}; magnification at selected epochs")
    print("LD: linear limb darkening I = 0.4 + 0.6 mu; FM: the same law as a 50-radius flux map")
    print(f"{'t - t0 [d]':>11} {'l':>7} " + " ".join(f"{n:>11}" for n in names))
    for i in range(0, args.points, max(1, args.points // 10)):
        row = " ".join(f"{curves[n][1][i]:11.5f}" for n in names)
        print(f"{times[i] - args.t0:11.3f} {l[i]:7.3f} {row}")

    if args.output:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 7), height_ratios=[3, 2])
        styles = ["k:", "C0-", "C1-", "C2--", "C3-.", "C4:", "C5--"]
        for name, style in zip(names, styles):
            top.plot(times, curves[name][1], style, label=curves[name][0])
        reference = curves["LD rings"][1]
        for name, style in zip(names[1:], styles[1:]):
            bottom.plot(times, [a / b - 1 for a, b in zip(curves[name][1], reference)], style)
        top.set_ylabel("magnification")
        top.set_title(f"point lens, u0 = {args.u0}, rho = {args.rho}")
        top.legend(fontsize="small")
        bottom.set_ylabel("relative to limb-darkened (rings)")
        bottom.set_xlabel("t [days]")
        fig.tight_layout()
        fig.savefig(args.output, dpi=120)
        print(f"plot written to {args.output}")


if __name__ == "__main__":
    main()
