"""Write tests/data/ld_gradient_truth.json: the derivatives of the
limb-darkened magnification with respect to u, rho and each coefficient,
for the profiles of tests/data/ld_truth.json, at a few fixed and seeded
points, from the independent reference tests/ld_reference.py (a nested
mpmath quadrature of the profile-weighted ring mean, at 20 digits).

Everything is computed from A - 1 (in mpmath, not rounded to a double),
so that a large source, where A - 1 is far below 1, keeps its digits.
The magnification is linear in the profile: with I = sum_i b_i psi_i over
basis profiles psi_i (1, mu, mu^2, sqrt(mu), 1 + mu ln mu, mu^(3/2), each
one a law of ld_reference with chosen coefficients) of flux N_i,
    A = sum_i b_i N_i A_i / N,   N = sum_i b_i N_i,
so the reference is evaluated once per basis profile and point, and
    dA/dx = sum_i b_i N_i dA_i/dx / N            (x = u or rho),
    dA/dc = sum_i (db_i/dc) N_i (A_i - A) / N    (a coefficient c),
the first by central differences of A_i, the second exact.  power2's
exponent alpha enters through mu^alpha itself: d(N_a A_a)/d alpha by a
central difference in alpha.

Steps: h = 1e-5 l, with l = rho min(1, |z - 1|) the distance to the ring
through the lens, where A_i is not smooth: the difference's own
truncation error is about (h/l)^2 = 1e-10 relative, its rounding 1e-20/1e-5
of A l/h; both far below the 1e-6 the tests ask for.  At u = 0, dA/du = 0
(A is even in u).

    nice tools/py314 python3 tools/gen_ld_gradient_truth.py [--jobs 2]
"""

import argparse
import json
import multiprocessing
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, TESTS)

import mpmath as mp  # noqa: E402

import ld_reference  # noqa: E402

DIGITS = 20
STEP = 1e-5

with open(os.path.join(TESTS, "data", "ld_truth.json")) as _f:
    _PROFILES = {name: (entry["law"], tuple(entry["coefficients"]))
                 for name, entry in json.load(_f)["profiles"].items()}

# Basis profiles as laws of ld_reference, with their flux 2 int_0^1 psi mu dmu.
BASIS = {
    "1": (("uniform", ()), 1.0),
    "mu": (("linear", (1.0,)), 2.0 / 3.0),
    "mu^2": (("quadratic", (2.0, -1.0)), 0.5),
    "mu^1/2": (("square_root", (0.0, 1.0)), 0.8),
    "1+mu ln mu": (("logarithmic", (0.0, -1.0)), 1.0 - 2.0 / 9.0),
    "mu^3/2": (("claret4", (0.0, 0.0, 1.0, 0.0)), 2.0 / 3.5),
}


def decomposition(name):
    """b_i and db_i/dc_k of a law's profile on BASIS (power2's alpha aside)."""
    law, c = _PROFILES[name]
    if name == "uniform":
        return {"1": 1.0}, []
    if name == "linear":
        return {"1": 1 - c[0], "mu": c[0]}, [{"1": -1.0, "mu": 1.0}]
    if name == "quadratic":
        return ({"1": 1 - c[0] - c[1], "mu": c[0] + 2 * c[1], "mu^2": -c[1]},
                [{"1": -1.0, "mu": 1.0}, {"1": -1.0, "mu": 2.0, "mu^2": -1.0}])
    if name == "square_root":
        return ({"1": 1 - c[0] - c[1], "mu": c[0], "mu^1/2": c[1]},
                [{"1": -1.0, "mu": 1.0}, {"1": -1.0, "mu^1/2": 1.0}])
    if name == "logarithmic":  # -d mu ln mu = d - d (1 + mu ln mu)
        return ({"1": 1 - c[0] + c[1], "mu": c[0], "1+mu ln mu": -c[1]},
                [{"1": -1.0, "mu": 1.0}, {"1": 1.0, "1+mu ln mu": -1.0}])
    if name == "power2":
        assert c[1] == 0.5, "the basis holds mu^(1/2) only"
        return {"1": 1 - c[0], "mu^1/2": c[0]}, [{"1": -1.0, "mu^1/2": 1.0}, {}]
    if name == "claret4":
        keys = ["mu^1/2", "mu", "mu^3/2", "mu^2"]
        b = {"1": 1 - sum(c)} | {k: ck for k, ck in zip(keys, c)}
        return b, [{"1": -1.0, k: 1.0} for k in keys]
    raise ValueError(name)


def points(seed):
    """(u, rho): u = 0, the limb 1e-3 inside and outside, both sides of
    z = 2, the smallest and the largest sources, two sources of moderate
    size (1/8 <= rho < 4) near the lens; z and rho jittered."""
    rng = np.random.default_rng(seed)
    jitter = lambda: 1 + 0.02 * rng.uniform(-1, 1)
    scale = lambda: 10 ** (0.3 * rng.uniform(-1, 1))
    table = [(0.0, 0.1 * scale()), (0.5 * jitter(), 1e-6), (1 - 1e-3 * jitter(), 0.01 * scale()),
             (1 + 1e-3 * jitter(), 1.0 * scale()), (1.9 * jitter(), 0.05 * scale()),
             (2.2 * jitter(), 0.3 * scale()), (0.6 * jitter(), 1e4),
             (0.5 * jitter(), 1.0 * scale()), (1.3 * jitter(), 2.5 * jitter())]
    return [(float(z * rho), float(rho)) for z, rho in table]


def excess(u, rho, law, coefficients):
    """A - 1 at DIGITS digits, as an mpf: ld_reference's nested quadrature
    (its profile, its split points, its squared distance) with the ring
    mean of A0 - 1 = 4/(d D (d^2 + 2 + d D)), D = sqrt(d^2 + 4), which
    keeps every digit of A - 1 when it is far below 1 (a large source)."""
    with mp.workdps(DIGITS):
        if isinstance(law, tuple):
            intensity, kinks = ld_reference._tabulated(*law)
        else:
            intensity, kinks = ld_reference._intensity(law, coefficients)
        u, rho = mp.mpf(u), mp.mpf(rho)
        z = u / rho

        def point(d):
            big = mp.sqrt(d * d + 4)
            return 4 / (d * big * (d * d + 2 + d * big))

        def ring(t):
            if z == 0 or t == 0:
                return point(rho * (z + t))
            zt4, dz2 = 4 * z * t, (z - t) ** 2
            return mp.quad(lambda phi: point(rho * mp.sqrt(dz2 + zt4 * mp.sin(phi / 2) ** 2)), [0, mp.pi]) / mp.pi

        weight = lambda t: intensity(mp.sqrt(1 - t * t)) * 2 * t
        split = sorted({mp.mpf(0), mp.mpf(1), *kinks} | ({z} if 0 < z < 1 else set()))
        return mp.quad(lambda t: weight(t) * ring(t), split) / mp.quad(weight, split)


def evaluate(task):
    """A - 1, dA/du, dA/drho of one profile at one point (a worker's task)."""
    u, rho, law, coefficients = task
    f = lambda x, r: excess(x, r, law, coefficients)
    z = u / rho
    h = STEP * rho * min(1.0, abs(z - 1.0))
    a = f(u, rho)
    with mp.workdps(DIGITS):
        du = mp.mpf(0) if u == 0 else (f(u + h, rho) - f(u - h, rho)) / (2 * h)
        drho = (f(u, rho + h) - f(u, rho - h)) / (2 * h)
    return a, du, drho


def alpha_slope(task):
    """d(N_alpha (A_alpha - 1))/d alpha of psi = mu^alpha, N_alpha = 2/(alpha + 2)."""
    u, rho, alpha = task
    g = lambda al: 2 / (mp.mpf(al) + 2) * excess(u, rho, "power2", (1.0, al))
    with mp.workdps(DIGITS):
        return (g(alpha + STEP) - g(alpha - STEP)) / (2 * STEP)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--seed", type=int, default=17)
    parser.add_argument("--output", default=os.path.join(TESTS, "data", "ld_gradient_truth.json"))
    args = parser.parse_args()
    pts = points(args.seed)
    tab_law, _ = _PROFILES["tabulated"]
    tabulated = ((tuple(tab_law["mu"]), tuple(tab_law["intensity"])), ())
    profiles = {key: law for key, (law, _) in BASIS.items()} | {"tabulated": tabulated}
    tasks = [(u, rho, law, coefficients) for u, rho in pts for law, coefficients in profiles.values()]
    alpha = _PROFILES["power2"][1][1]
    with multiprocessing.Pool(args.jobs) as pool:
        results = pool.map(evaluate, tasks, chunksize=1)
        slopes = pool.map(alpha_slope, [(u, rho, alpha) for u, rho in pts], chunksize=1)
    values = {}
    for (u, rho, _, _), key_result in zip(tasks, zip(list(profiles) * len(pts), results)):
        values[u, rho, key_result[0]] = key_result[1]

    out = {"generated by": "tools/gen_ld_gradient_truth.py", "digits": DIGITS, "step": STEP, "profiles": {}}
    for name, (law, coefficients) in _PROFILES.items():
        rows = []
        for p, (u, rho) in enumerate(pts):
            if name == "tabulated":
                a, du, drho = values[u, rho, "tabulated"]
                rows.append([float(1 + a), float(du), float(drho)])
                rows[-1][:0] = [u, rho]
                continue
            b, db = decomposition(name)
            flux = sum(bi * BASIS[k][1] for k, bi in b.items())
            v = {k: values[u, rho, k] for k in b}
            a = sum(b[k] * BASIS[k][1] * v[k][0] for k in b) / flux
            du = sum(b[k] * BASIS[k][1] * v[k][1] for k in b) / flux
            drho = sum(b[k] * BASIS[k][1] * v[k][2] for k in b) / flux
            dc = [sum(d[k] * BASIS[k][1] * (values[u, rho, k][0] - a) for k in d) / flux for d in db]
            if name == "power2":
                # dI/dalpha = c mu^alpha ln mu: c (d(N (A - 1))/dalpha - (A - 1) dN/dalpha)/N
                c, al = coefficients
                dc[1] = c * (slopes[p] - a * (-2 / (mp.mpf(al) + 2) ** 2)) / flux
            rows.append([u, rho, float(1 + a), float(du), float(drho), *(float(x) for x in dc)])
        out["profiles"][name] = {"law": law, "coefficients": list(coefficients), "points": rows}
    with open(args.output, "w") as f:
        json.dump(out, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
