"""Fisher forecast for a limb-darkened source crossing, checked against simulated fits.

A point lens crosses a limb-darkened source (lumora_ld's linear law,
I = 1 - a(1 - mu)) watched by a space survey: one exposure every 15 min over
a 72-day season centred on the peak.  The observed flux is

    F(t) = Fs A(u(t); rho, a) + Fb,   u(t) = sqrt(u0**2 + ((t - t0)/tE)**2),

with seven parameters (t0, u0, tE, rho, a, Fs, Fb) and u0 < rho, so the lens
crosses the disk and both rho and a leave their mark.  Fluxes are in units of
a star of magnitude 21 (m = 21 - 2.5 log10 F); each exposure has a Gaussian
error from a simple magnitude-dependent model, photon noise of 1 % at m = 21
plus a 1 mmag floor:

    sigma_m(m) = sqrt(0.001**2 + 0.01**2 * 10**(0.4 (m - 21))),
    sigma_F = (0.4 ln 10) F sigma_m.

The Fisher matrix  F_ij = sum_k dF_k/dtheta_i dF_k/dtheta_j / sigma_k**2
comes from lumora_ld.magnification_and_gradient (A, dA/du, dA/drho, dA/da
in one call) by the chain rule through u(t); the square roots of the
diagonal of its inverse are the predicted 1-sigma errors.  Then N data sets
are simulated, each is fitted with scipy.optimize.least_squares using the
same analytic Jacobian (started at the truth), and the standard deviation of
the fitted values is set against the prediction.  The standard deviation of
N draws has a relative statistical error of about 1/sqrt(2 (N - 1)): 5 % for
N = 200, so ratios within 0.9-1.1 are what a correct forecast gives.

    python3 examples/fisher_forecast.py [--fits 200] [--seed 1] [--quick] [--output fisher_forecast.png]
"""

import argparse
import math
import time

import numpy as np
import numpy.typing as npt
from scipy.optimize import least_squares

import lumora_ld

Array = npt.NDArray[np.float64]
NAMES = ("t0", "u0", "tE", "rho", "a", "Fs", "Fb")
UNITS = ("d", "", "d", "", "", "", "")
TRUTH = np.array([0.0, 0.004, 20.0, 0.01, 0.55, 1.0, 0.3])
CADENCE = 15.0 / 1440.0  # days
SEASON = 72.0  # days, centred on t0
ZERO_POINT = 21.0  # the magnitude of unit flux
# lumora_ld's tolerance, for the magnification and its gradient: the model
# error stays far below the best exposure's 1 mmag.
RTOL = 1e-8


def epochs() -> Array:
    times: Array = TRUTH[0] - 0.5 * SEASON + CADENCE * np.arange(int(SEASON / CADENCE) + 1, dtype=np.float64)
    return times


def flux_errors(flux: Array) -> Array:
    """1-sigma flux errors: photon noise of 1 % at m = 21 and a 1 mmag floor."""
    m = ZERO_POINT - 2.5 * np.log10(flux)
    sigma_m = np.sqrt(0.001**2 + 0.01**2 * 10.0 ** (0.4 * (m - ZERO_POINT)))
    sigma: Array = 0.4 * math.log(10.0) * flux * sigma_m
    return sigma


def model(theta: Array, times: Array) -> tuple[Array, Array]:
    """The flux at each epoch and its Jacobian (epochs x parameters)."""
    t0, u0, te, rho, a, fs, fb = (float(x) for x in theta)
    tau = (times - t0) / te
    u = np.hypot(u0, tau)
    mag, d_u, d_rho, d_coefficients = lumora_ld.magnification_and_gradient(u, rho, "linear", (a,), rtol=RTOL)
    # u = sqrt(u0**2 + tau**2) with tau = (t - t0)/tE; u >= u0 > 0 throughout
    slope = fs * d_u / u
    jacobian = np.column_stack([
        slope * (-tau / te),        # t0
        slope * u0,                 # u0
        slope * (-tau * tau / te),  # tE
        fs * d_rho,                 # rho
        fs * d_coefficients[0],     # a
        mag,                        # Fs
        np.ones_like(mag),          # Fb
    ])
    flux: Array = fs * mag + fb
    return flux, jacobian


def covariance(jacobian: Array, sigma: Array) -> Array:
    """Inverse of the Fisher matrix J^T W J, W = diag(1/sigma**2), inverted
    after scaling to unit diagonal (its diagonal spans seven decades)."""
    weighted = jacobian / sigma[:, None]
    fisher = weighted.T @ weighted
    scale = 1.0 / np.sqrt(np.diag(fisher))
    inverse: Array = np.linalg.inv(fisher * np.outer(scale, scale)) * np.outer(scale, scale)
    return inverse


class Residuals:
    """Normalised residuals and their Jacobian for least_squares, sharing one
    model evaluation per point (least_squares asks for both at each step)."""

    def __init__(self, times: Array, data: Array, sigma: Array) -> None:
        self.times, self.data, self.sigma = times, data, sigma
        self.at: Array | None = None
        self.flux = self.jacobian = np.empty(0)
        self.calls = 0

    def evaluate(self, theta: Array) -> None:
        if self.at is None or not np.array_equal(theta, self.at):
            self.flux, self.jacobian = model(theta, self.times)
            self.at = theta.copy()
            self.calls += 1

    def residuals(self, theta: Array) -> Array:
        self.evaluate(theta)
        r: Array = (self.flux - self.data) / self.sigma
        return r

    def jac(self, theta: Array) -> Array:
        self.evaluate(theta)
        j: Array = self.jacobian / self.sigma[:, None]
        return j


def fit(times: Array, data: Array, sigma: Array) -> tuple[Array, bool, int]:
    """Best fit from the truth; whether least_squares converged; model calls."""
    problem = Residuals(times, data, sigma)
    result = least_squares(problem.residuals, TRUTH, jac=problem.jac, x_scale="jac",
                           ftol=1e-12, xtol=1e-12, gtol=1e-12, max_nfev=100)
    return np.asarray(result.x, dtype=np.float64), bool(result.status > 0), problem.calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="12 fits unless --fits is given (a test run)")
    parser.add_argument("--fits", type=int, default=None, help="simulated data sets (default 200)")
    parser.add_argument("--seed", type=int, default=1, help="noise seed")
    parser.add_argument("--output", default="fisher_forecast.png", help="plot file ('' for none)")
    args = parser.parse_args()
    fits = args.fits if args.fits is not None else (12 if args.quick else 200)
    if fits < 2:
        parser.error("--fits must be at least 2")

    times = epochs()
    true_flux, jacobian = model(TRUTH, times)
    sigma = flux_errors(true_flux)
    predicted = np.sqrt(np.diag(covariance(jacobian, sigma)))
    crossing = np.abs(times - TRUTH[0]) < TRUTH[2] * math.sqrt(TRUTH[3] ** 2 - TRUTH[1] ** 2)
    print(f"{len(times)} epochs over {SEASON:g} d every {CADENCE * 1440:g} min, {crossing.sum()} of them "
          f"with the lens over the source (u0/rho = {TRUTH[1] / TRUTH[3]:.2f}); peak magnification "
          f"{(true_flux.max() - TRUTH[6]) / TRUTH[5]:.1f}, flux errors {(sigma / true_flux).min():.2%}"
          f"-{(sigma / true_flux).max():.2%}")

    rng = np.random.default_rng(args.seed)
    fitted = np.empty((fits, len(TRUTH)))
    failed = calls = 0
    start = time.perf_counter()
    for k in range(fits):
        data = true_flux + sigma * rng.standard_normal(len(times))
        fitted[k], converged, used = fit(times, data, sigma)
        failed += not converged
        calls += used
    seconds = time.perf_counter() - start
    print(f"{fits} simulated data sets fitted in {seconds:.1f} s ({calls / fits:.1f} model evaluations "
          f"per fit, {1e3 * seconds / calls:.1f} ms each); {failed} did not converge")

    scatter = fitted.std(axis=0, ddof=1)
    ratio = scatter / predicted
    bias = (fitted.mean(axis=0) - TRUTH) / predicted
    print(f"\n{'':>8} {'true':>10} {'Fisher 1-sigma':>15} {'scatter 1-sigma':>16} {'ratio':>7} {'mean pull':>10}")
    for name, unit, true, p, s, r, b in zip(NAMES, UNITS, TRUTH, predicted, scatter, ratio, bias):
        label = f"{name} [{unit}]" if unit else name
        print(f"{label:>8} {true:10.4g} {p:15.4g} {s:16.4g} {r:7.3f} {b:10.2f}")
    worst = int(np.argmax(np.abs(ratio - 1.0)))
    print(f"\nlargest |ratio - 1|: {abs(ratio[worst] - 1.0):.3f} ({NAMES[worst]}; every parameter within 10 %: "
          f"{'yes' if abs(ratio[worst] - 1.0) <= 0.1 else 'no'}); the scatter of {fits} fits has a "
          f"statistical error of about {1.0 / math.sqrt(2.0 * (fits - 1)):.1%}")
    if failed or not np.all((ratio > 1.0 / 3.0) & (ratio < 3.0)):
        raise SystemExit("the fits do not scatter as the Fisher matrix predicts, even roughly")

    if args.output:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(2, 4, figsize=(13, 6))
        near = np.abs(times - TRUTH[0]) < 2.0 * TRUTH[2] * TRUTH[3]
        axes[0, 0].errorbar(times[near], data[near], sigma[near], fmt=".", ms=2, color="0.5")
        axes[0, 0].plot(times[near], true_flux[near], "C3-", lw=1)
        axes[0, 0].set_xlabel("t [d]")
        axes[0, 0].set_title("one simulated crossing", fontsize="small")
        grid = np.linspace(-4.0, 4.0, 200)
        for axis, name, column, p in zip(axes.flat[1:], NAMES, fitted.T, predicted):
            pulls = (column - TRUTH[NAMES.index(name)]) / p
            axis.hist(pulls, bins=max(6, fits // 10), range=(-4.0, 4.0), density=True, color="C0", alpha=0.6)
            axis.plot(grid, np.exp(-0.5 * grid**2) / math.sqrt(2.0 * math.pi), "k-", lw=1)
            axis.set_title(f"{name}: scatter / Fisher = {np.std(pulls, ddof=1):.2f}", fontsize="small")
            axis.set_xlabel("(fitted - true) / Fisher sigma")
        fig.tight_layout()
        fig.savefig(args.output, dpi=110)
        print(f"plot written to {args.output}")


if __name__ == "__main__":
    main()
