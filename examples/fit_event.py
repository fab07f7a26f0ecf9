"""Fit a finite-source microlensing event: uniform disk, limb darkening, then its coefficient.

A synthetic event in which the lens crosses the source (u0 < rho) is drawn
with linear limb darkening I = 0.4 + 0.6 mu (the law of lumora's
integrated functions), at a survey cadence of one point every 15 minutes
during 8-hour nights plus follow-up every 3 minutes around the peak, with
Gaussian flux errors sigma = sqrt(sigma_sky**2 + (0.01 F)**2).  The
observed flux is F(t) = fs A(u(t)) + fb, u(t) = sqrt(u0**2 + ((t - t0)/tE)**2).

The six parameters (t0, u0, tE, rho, fs, fb) are fitted with
scipy.optimize.least_squares, first with the uniform-disk model
(witt_mao_magnification, fast) from a rough guess, then refined with the
limb-darkened one (integrated_heyrovsky_magnification) from that result.
Last, lumora_ld fits the linear limb-darkening coefficient a as a seventh
parameter (I = 1 - a(1 - mu), so lumora's profile is a = 0.6), from the
limb-darkened result and a = 0.5.  Uncertainties come from the Jacobian at
the optimum, (J^T J)^-1.

    python3 examples/fit_event.py [--quick] [--output fit_event.png]
"""

import argparse
import math
import time
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
from scipy.optimize import least_squares

import lumora
import lumora_ld

Array = npt.NDArray[np.float64]
NAMES = ("t0", "u0", "tE", "rho", "fs", "fb", "a")
UNITS = ("d", "", "d", "", "", "", "")
TRUTH = np.array([0.3, 0.004, 25.0, 0.012, 1.0, 0.25])
A_TRUE = 0.6  # the linear coefficient of lumora's profile I = 0.4 + 0.6 mu
# lumora_ld's tolerance for the fit: far below the noise (1 % of the flux).
RTOL = 1e-6
# Beyond this many source radii from the lens the limb-darkened and the
# uniform-disk magnifications differ by at most 1.3e-4 of the magnification
# (measured, any rho), a hundredth of the noise, so the cheaper disk serves.
LIMB_DARKENED_WITHIN = 10.0


class Model:
    """Light-curve model at fixed epochs; counts and times its evaluations."""

    def __init__(self, times: Array, limb_darkened: bool) -> None:
        self.times = times
        self.limb_darkened = limb_darkened
        self.calls = 0
        self.seconds = 0.0

    def magnification(self, p: Array) -> Array:
        t0, u0, te, rho = p[0], p[1], p[2], p[3]
        u = np.hypot(u0, (self.times - t0) / te)
        l = u / rho  # lumora takes separations in source radii (re = 1, rstar = rho)
        a = np.asarray(lumora.witt_mao_magnification(l, 1.0, rho))
        if self.limb_darkened:
            near = l < LIMB_DARKENED_WITHIN
            a[near] = lumora.integrated_heyrovsky_magnification(l[near], 1.0, rho)
        return a

    def flux(self, p: Array) -> Array:
        start = time.perf_counter()
        f: Array = p[4] * self.magnification(p) + p[5]
        self.seconds += time.perf_counter() - start
        self.calls += 1
        return f


class CoefficientModel(Model):
    """lumora_ld's linear law with its coefficient p[6] free: one call for
    every epoch (u and rho in Einstein radii), near the source or far."""

    def __init__(self, times: Array) -> None:
        super().__init__(times, limb_darkened=True)

    def magnification(self, p: Array) -> Array:
        u = np.hypot(p[1], (self.times - p[0]) / p[2])
        a: Array = lumora_ld.magnification(u, float(p[3]), "linear", (float(p[6]),), rtol=RTOL)
        return a


def cadence(quick: bool) -> Array:
    """Epochs in days: 8-hour nights every 15 min, follow-up every 3 min near t0
    (fewer nights and every 9 min in a quick run)."""
    nights = 16 if quick else 30
    step = 15.0 / 1440.0
    survey = [night + k * step for night in range(-nights // 2, nights // 2) for k in range(int(8.0 / 24.0 / step))]
    follow = np.arange(TRUTH[0] - 0.6, TRUTH[0] + 0.6, 9.0 / 1440.0 if quick else 3.0 / 1440.0)
    return np.sort(np.concatenate([np.array(survey), follow]))


def fit(model: Model, start: Array, data: Array, sigma: Array, evaluations: int) -> tuple[Array, Array, float]:
    residuals: Callable[[Array], Array] = lambda p: (model.flux(p) - data) / sigma
    lower = np.array([-np.inf, 0.0, 1.0, 1e-4, 0.0, -np.inf, 0.0])[: len(start)]
    upper = np.array([np.inf, 1.0, 1000.0, 1.0, np.inf, np.inf, 1.0])[: len(start)]
    result = least_squares(residuals, start, bounds=(lower, upper), x_scale="jac", max_nfev=evaluations)
    best: Array = np.asarray(result.x, dtype=np.float64)
    jacobian = np.asarray(result.jac, dtype=np.float64)
    errors = np.sqrt(np.diag(np.linalg.inv(jacobian.T @ jacobian)))
    return best, errors, float(2.0 * result.cost)


def report(title: str, model: Model, best: Array, errors: Array, chi2: float, points: int) -> None:
    per_call = model.seconds / model.calls
    print(f"\n{title}: chi^2 = {chi2:.1f} for {points - len(best)} degrees of freedom; "
          f"{model.calls} model evaluations, {1e3 * per_call:.2f} ms each "
          f"({1e6 * per_call / points:.2f} us per epoch)")
    print(f"{'':>4} {'true':>12} {'fitted':>12} {'+/-':>10} {'pull':>6}")
    for name, unit, true, value, error in zip(NAMES, UNITS, np.append(TRUTH, A_TRUE), best, errors):
        label = f"{name} [{unit}]" if unit else name
        print(f"{label:>8} {true:12.6g} {value:12.6g} {error:10.2g} {(value - true) / error:6.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="few epochs and iterations (a test run)")
    parser.add_argument("--seed", type=int, default=1, help="noise seed")
    parser.add_argument("--output", default="fit_event.png", help="plot file ('' for none)")
    args = parser.parse_args()

    times = cadence(args.quick)
    truth_model = Model(times, limb_darkened=True)
    true_flux = truth_model.flux(TRUTH)
    sigma = np.sqrt(0.01**2 + (0.01 * true_flux) ** 2)
    data = true_flux + sigma * np.random.default_rng(args.seed).standard_normal(len(times))
    print(f"{len(times)} epochs over {times[-1] - times[0]:.1f} d; the lens crosses the source "
          f"(u0/rho = {TRUTH[1] / TRUTH[3]:.2f}), peak magnification {max(true_flux - TRUTH[5]) / TRUTH[4]:.1f}")

    guess = TRUTH * np.array([1.0, 2.0, 0.7, 1.5, 1.2, 0.5]) + np.array([0.05, 0, 0, 0, 0, 0])
    disk = Model(times, limb_darkened=False)
    disk_best, disk_errors, disk_chi2 = fit(disk, guess, data, sigma, 400)
    report("uniform disk", disk, disk_best, disk_errors, disk_chi2, len(times))
    limb = Model(times, limb_darkened=True)
    best, errors, chi2 = fit(limb, disk_best, data, sigma, 4 if args.quick else 400)  # quick: a few steps
    report("limb-darkened (rings), from the disk fit", limb, best, errors, chi2, len(times))
    free = CoefficientModel(times)
    free_best, free_errors, free_chi2 = fit(free, np.append(best, 0.5), data, sigma, 6 if args.quick else 400)
    report("lumora_ld, linear coefficient free, from the limb-darkened fit", free, free_best, free_errors,
           free_chi2, len(times))

    if args.output:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        near = np.abs(times - TRUTH[0]) < 4.0 * TRUTH[3] * TRUTH[2]
        fine = np.linspace(times[near][0], times[near][-1], 800)
        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 7), height_ratios=[3, 2])
        top.errorbar(times[near], data[near], sigma[near], fmt=".", color="0.5", ms=3, label="data")
        for label, parameters, ld, style in [("uniform disk fit", disk_best, False, "C0-"),
                                             ("limb-darkened fit", best, True, "C3--")]:
            curve = Model(fine, ld).flux(parameters)
            top.plot(fine, curve, style, label=label)
            at_data = Model(times[near], ld).flux(parameters)
            bottom.plot(times[near], (data[near] - at_data) / sigma[near], style[:2] + ".", ms=3, label=label)
        top.set_ylabel("flux")
        top.set_title(f"u0 = {TRUTH[1]}, rho = {TRUTH[3]}, tE = {TRUTH[2]} d: the source crossing")
        top.legend(fontsize="small")
        bottom.axhline(0.0, color="k", lw=0.5)
        bottom.set_ylabel("residual / sigma")
        bottom.set_xlabel("t [days]")
        fig.tight_layout()
        fig.savefig(args.output, dpi=120)
        print(f"plot written to {args.output}")


if __name__ == "__main__":
    main()
